// What an emulated device is and does: its model, its description, its tuner units or input
// switch, the faults it injects, and the counters it keeps. Plain records, copied in and out of
// the emulator under its lock.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace emu {

// The device played. Every model describes itself, reports its sample rate and streams its
// inputs; what else it answers is its own:
//  - Qm412: FM tuner; "get/set_fm_freq", "get_fm_quality", "get_rds_data".
//  - Qm268: input switch; "set_state" with its input selection, gain and rate, and from control
//    protocol 2 on "get_bypass"/"set_bypass".
//  - Qm5: clock; asks the host for the time with "get_time" and checks the "cur_time" answers.
// Requests of another model are acknowledged and never answered, as by firmware that does not
// know them.
enum class DeviceModel { Qm412, Qm268, Qm5 };

const char* ModelName(DeviceModel model);  // "QM412", "QM268", "QM5"
std::optional<DeviceModel> ModelFromName(const std::string& lowerCaseName);  // "qm412", …

// The input switch of a QM268 and what it reports in "state".
enum class SwitchInput { Analog, Aes };
enum class SwitchGain { Plus4dBu, Minus10dBu };
struct InputSwitch {
    SwitchInput Select = SwitchInput::Analog;
    SwitchGain Gain = SwitchGain::Plus4dBu;
    uint32_t AesFreq = 48000;  // rate of the signal at the AES input; 0: no signal, "freq" left out
    bool Bypass = false;       // reported only from control protocol 2 on
};

// One tuner unit: what it is tuned to, how well it receives, what RDS it decodes.
struct TunerUnit {
    uint32_t FmFreqKhz = 100500;  // frequencies travel in kHz
    int32_t Rssi = 40;
    int32_t Snr = 30;
    int32_t Multipath = 5;
    int32_t Pilot = 1;
    int32_t Valid = 1;
    std::string PSrv;  // UTF-8; station name
    std::string Text;  // UTF-8; radio text
    std::string Time;  // UTF-8; clock text as broadcast
};

// The defaults of unit index (0-based): distinct frequencies, so every unit sounds different,
// and RDS texts with non-ASCII characters.
TunerUnit DefaultUnit(uint32_t index);

// Faults, drawn from a pseudo-random sequence started from Seed: the same seed and the same
// traffic give the same faults. Each direction and each input draws from a sequence of its own,
// and every decision draws whether or not its probability is 0, so changing one probability does
// not move the pattern of another. Probabilities are 0…1.
struct FaultConfig {
    uint64_t Seed = 1;
    double ControlDropIn = 0;    // received control datagram ignored as if lost
    double ControlDupIn = 0;     // received control datagram handled twice
    double ControlDropOut = 0;   // control datagram (ack or message) not sent
    double ControlDupOut = 0;    // control datagram sent twice
    double RtpLoss = 0;          // RTP packet not sent (its sequence number is used up)
    double RtpDuplicate = 0;     // RTP packet sent twice
    double RtpSwap = 0;          // RTP packet held back and sent after the next one
    std::set<std::string> NeverAnswer;  // request kinds ("get_state", …) acknowledged, never answered
    std::set<std::string> NeverAck;     // request kinds answered, never acknowledged
    uint32_t AnswerDelayMs = 0;         // answers leave this long after the acknowledgement
    int32_t ListLengthDelta = 0;        // per-unit lists carry this many entries more (or fewer)
    // A QM268's "state" messages: "inputs" as an empty list, or its entry without "select" (the
    // input type undefined) or without "gain". A rate of 0 at the AES input is InputSwitch::AesFreq.
    bool StateEmptyInputs = false;
    bool StateNoSelect = false;
    bool StateNoGain = false;
};

struct EmulatorConfig {
    DeviceModel Model = DeviceModel::Qm412;

    std::string BindAddress = "127.0.0.1";
    uint16_t Port = 0;  // 0: the kernel picks; Qm412Emulator::Port() tells which
    // Also listens for discovery broadcasts sent to this address and the same port; empty: not.
    std::string BroadcastAddress = "127.255.255.255";

    std::string UnitId;    // empty: the model's name and "-EMU-0001"
    std::string UnitType;  // empty: the model's name; another text plays a device of the wrong model
    uint32_t Hardware = 1;
    uint32_t Firmware = 1;
    uint32_t Software = 1;
    uint32_t AudioProtocol = 2;  // below 2: RTP payload types in the legacy form
    uint32_t ControlProtocol = 1;
    uint32_t RtpPort = 15002;    // reported only: a QM412 has no outputs to receive
    // Audio inputs (a QM412's tuner units), at most MaxInputs; unset: the model's own number,
    // 4 for a QM412, 1 for a QM268, 0 for a QM5.
    std::optional<uint32_t> Inputs;
    uint32_t Outputs = 0;
    // Reported in "state"; audio streams only at 44100 or 48000, any other value (0 included,
    // which leaves "device_freq" out) plays a device the host must refuse. A QM268's host may
    // change it to either streaming rate.
    uint32_t SampleRate = 48000;

    InputSwitch Switch;  // a QM268's switch at Start

    // A QM5 asks the host for the time every this many ms (0: only when told, see Push), at the
    // address TimeHost ("a.b.c.d:port"), or when that is empty at the host that spoke last.
    uint32_t TimeRequestIntervalMs = 0;
    std::string TimeHost;

    // Tuning: requests are clamped to the band and rounded to the nearest step.
    uint32_t FmMinKhz = 87500;
    uint32_t FmMaxKhz = 108000;
    uint32_t FmStepKhz = 50;
    std::vector<TunerUnit> Units;  // missing units get DefaultUnit(i); extra ones are ignored

    uint32_t RepeatTimeoutMs = 300;  // unacknowledged message sent again after this
    uint32_t MaxTransmissions = 3;   // then given up

    FaultConfig Faults;

    static constexpr uint32_t MaxInputs = 64;

    // The values in effect: the configured ones, or the model's own where left unset.
    uint32_t NumInputs() const;
    std::string Type() const;
    std::string Id() const;
};

// What a unit plays: a sine of FrequencyHz on both channels, the right one at half the level of
// the left, starting at phase 0 when the input starts streaming. The pitch follows the unit's
// tuned frequency: 110 Hz at 87.5 MHz, one octave higher every 5 MHz.
struct Tone {
    double FrequencyHz = 0;
    double LeftAmplitude = 0;   // of full scale
    double RightAmplitude = 0;
};
Tone ToneForFmFrequency(uint32_t fmFreqKhz);

struct EmulatorCounters {
    uint64_t DatagramsReceived = 0;  // control datagrams that arrived, garbage and dropped ones included
    uint64_t Garbage = 0;            // control datagrams that were no readable message
    std::map<std::string, uint64_t> Requests;  // accepted messages by kind; acks and duplicates excluded
    uint64_t Duplicates = 0;         // repeats of a message already accepted, acknowledged again
    uint64_t AttachmentsIgnored = 0; // messages whose attachment did not arrive whole, and segments
    uint64_t AcksSent = 0;
    uint64_t AcksReceived = 0;       // acknowledgements of the outstanding message
    uint64_t StrayAcks = 0;          // acknowledgements of nothing outstanding
    uint64_t MessagesSent = 0;       // answers and updates, first transmissions
    uint64_t Repeats = 0;
    uint64_t GivenUp = 0;            // messages never acknowledged
    uint64_t QueueOverflows = 0;     // messages not queued: too many waiting
    uint64_t ControlDroppedIn = 0;
    uint64_t ControlDuplicatedIn = 0;
    uint64_t ControlDroppedOut = 0;
    uint64_t ControlDuplicatedOut = 0;
    uint64_t GarbageSent = 0;
    uint64_t SetInputsSeen = 0;
    std::vector<uint64_t> RtpPackets;    // per input: packets made (sequence numbers used)
    std::vector<uint64_t> RtpDatagrams;  // per input: datagrams sent
    uint64_t RtpLost = 0;
    uint64_t RtpDuplicated = 0;
    uint64_t RtpSwapped = 0;

    // A QM5's time requests. The host answers a "get_time" with a message of its own ("cur_time"
    // names no request), so answers are matched to requests by count: a "cur_time" that arrives
    // while a request waits answers it, malformed or not; one arriving while none waits is an
    // extra answer, a second one to a request or one nobody asked for. Repeats of one "cur_time"
    // datagram are the duplicate filter's (Duplicates above), not extra answers. Each request
    // answered exactly once with good texts: AnsweredOnce == RequestsSent, ExtraAnswers,
    // Malformed and Inconsistent 0.
    struct TimeCheck {
        uint64_t RequestsSent = 0;    // "get_time", first transmissions
        uint64_t Waiting = 0;         // of those, not answered yet
        uint64_t AnswersReceived = 0; // "cur_time" accepted
        uint64_t AnsweredOnce = 0;    // "cur_time" that answered a waiting request
        uint64_t ExtraAnswers = 0;    // "cur_time" while no request waited
        uint64_t Malformed = 0;       // "td" or "utc" missing or no valid "YYYY/MM/DD HH:MM:SS.mmm"
        // Both texts valid, yet not of one clock reading: their milliseconds differ, or they lie
        // no whole quarter hour (at most 14 h) apart.
        uint64_t Inconsistent = 0;
        std::string LastTd, LastUtc;  // of the last "cur_time", as received (UTF-8; empty: none)
        std::chrono::system_clock::time_point LastReceivedAt;  // this machine's clock then
    } Time;
};

} // namespace emu
