// qm412-emu: an emulated QM412 tuner (or QM268 input switch, or QM5 clock) on a UDP port, for
// developing and testing without hardware. Prints one line when it is ready and runs until
// SIGINT or SIGTERM.
#include <signal.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <string_view>

#include "emulator/Qm412Emulator.h"

namespace {

const char* const Usage = R"(Usage: qm412-emu [--model M] [--port P] [options]

Plays an Ostrel device: answers the JSON control protocol on UDP port P and streams every audio
input as RTP (stereo, 24 bit, 192 frames per packet) to the destination the host sets. Input N
plays a sine whose pitch follows unit N's tuned frequency (110 Hz at 87.5 MHz, one octave up
every 5 MHz; only a QM412 can be retuned), the right channel at half the level of the left.
Prints one line when ready and stops on SIGINT or SIGTERM.

  --model M              qm412 (default): FM tuner; tuning, reception quality and RDS.
                         qm268: input switch; analog or AES input, gain and sample rate set with
                         "set_state", and from control protocol 2 on a bypass ("get_bypass",
                         "set_bypass"; protocol 1 acknowledges those and never answers).
                         qm5: clock; asks the host for the time ("get_time") and checks that each
                         request gets exactly one "cur_time" with two well-formed time texts.
                         Requests of another model are acknowledged and never answered.

Network:
  --port P               control port (default 15001; 0: the system picks, see the ready line)
  --bind ADDR            address to listen on (default 127.0.0.1)
  --broadcast ADDR       also hear discovery broadcasts to ADDR:P (default 127.255.255.255;
                         "none" to not)

Description ("dev_info") and state:
  --unit-id TEXT         unit identifier (default the model's name and -EMU-0001)
  --unit-type TEXT       model text (default the model's name, QM412, QM268 or QM5; another
                         plays a device of the wrong model)
  --inputs N             audio inputs (at most 64; default 4 for a QM412, whose tuner units
                         they are, 1 for a QM268, 0 for a QM5)
  --outputs N            audio outputs (default 0)
  --rate HZ              sample rate in "state" (default 48000; 44100 also streams, any other
                         value plays a device the host must refuse, 0 leaves it out; a QM268's
                         host may set 44100 or 48000)
  --audio-protocol N     audio protocol version (default 2; below 2 the RTP payload type is
                         written in the legacy form)
  --control-protocol N   control protocol version (default 1)
  --hardware N, --firmware N, --software N   versions (default 1 each)
  --rtp-port N           RTP port reported in "dev_info" (default 15002)

Tuner:
  --freqs K1,K2,...      tuned frequencies of units 1, 2, ... in kHz
                         (default 88100,94300,100500,106900, then spread over the band)
  --band MIN,MAX         tuning range in kHz (default 87500,108000)
  --step KHZ             tuning step; requests are rounded to it (default 50; 0: no rounding)

Input switch (qm268):
  --input analog|aes     selected input (default analog)
  --gain +4dBu|-10dBu    analog gain (default +4dBu)
  --aes-rate HZ          rate of the signal at the AES input, reported as the input's "freq"
                         (default 48000; 0: no signal, "freq" left out)
  --bypass on|off        bypass (default off; reported from control protocol 2 on)

Clock (qm5):
  --time-every MS        ask the host for the time every MS (default 0: never)
  --time-host ADDR:PORT  the host to ask (default the one that sent the last message)

Reliability:
  --repeat-ms MS         repeat an unacknowledged message after MS (default 300)
  --transmissions N      give a message up after N sends (default 3)

Faults (drawn from --seed, so the same seed and the same traffic give the same faults;
probabilities are 0..1):
  --seed N               fault seed; also sets the RTP start sequence numbers (default 1)
  --drop-in P            ignore a received control datagram
  --dup-in P             handle a received control datagram twice
  --drop-out P           do not send a control datagram (acknowledgement or message)
  --dup-out P            send a control datagram twice
  --rtp-loss P           do not send an RTP packet
  --rtp-dup P            send an RTP packet twice
  --rtp-swap P           send an RTP packet after the next one
  --never-answer KINDS   comma-separated request kinds that are acknowledged but never answered
  --never-ack KINDS      comma-separated request kinds that are answered but never acknowledged
  --answer-delay MS      send answers MS after the acknowledgement
  --list-delta N         per-unit lists in answers carry N entries more (negative: fewer)
  --state-fault F,...    a QM268's "state" messages: empty-inputs (an empty inputs list),
                         no-select (its input without "select"), no-gain (without "gain")

  --help                 this text
)";

bool ParseU64(std::string_view text, uint64_t& out) {
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && end == text.data() + text.size() && !text.empty();
}

template <class T>
bool ParseUnsigned(std::string_view text, T& out) {
    uint64_t v = 0;
    if (!ParseU64(text, v) || v > static_cast<uint64_t>(static_cast<T>(-1))) return false;
    out = static_cast<T>(v);
    return true;
}

bool ParseInt(std::string_view text, int32_t& out) {
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && end == text.data() + text.size() && !text.empty();
}

bool ParseProbability(std::string_view text, double& out) {
    try {
        size_t used = 0;
        const std::string s(text);
        out = std::stod(s, &used);
        return used == s.size() && out >= 0 && out <= 1;
    } catch (...) {
        return false;
    }
}

std::vector<std::string> SplitCommas(const std::string& text) {
    std::vector<std::string> parts;
    std::stringstream in(text);
    for (std::string part; std::getline(in, part, ',');) parts.push_back(part);
    return parts;
}

bool ParseFreqs(const std::string& text, emu::EmulatorConfig& config) {
    const auto parts = SplitCommas(text);
    if (parts.empty()) return false;
    for (size_t i = 0; i < parts.size(); ++i) {
        emu::TunerUnit unit = emu::DefaultUnit(static_cast<uint32_t>(i));
        if (!ParseUnsigned(parts[i], unit.FmFreqKhz)) return false;
        config.Units.push_back(unit);
    }
    return true;
}

bool ParseBand(const std::string& text, emu::EmulatorConfig& config) {
    const auto parts = SplitCommas(text);
    return parts.size() == 2 && ParseUnsigned(parts[0], config.FmMinKhz) && ParseUnsigned(parts[1], config.FmMaxKhz) &&
           config.FmMinKhz <= config.FmMaxKhz;
}

bool ParseKinds(const std::string& text, std::set<std::string>& kinds) {
    for (const std::string& kind : SplitCommas(text))
        if (!kind.empty()) kinds.insert(kind);
    return !kinds.empty();
}

bool ParseStateFaults(const std::string& text, emu::FaultConfig& faults) {
    const auto parts = SplitCommas(text);
    for (const std::string& part : parts) {
        if (part == "empty-inputs")
            faults.StateEmptyInputs = true;
        else if (part == "no-select")
            faults.StateNoSelect = true;
        else if (part == "no-gain")
            faults.StateNoGain = true;
        else
            return false;
    }
    return !parts.empty();
}

template <class T>
bool ParseChoice(const std::string& text, const std::map<std::string, T>& choices, T& out) {
    const auto it = choices.find(text);
    if (it == choices.end()) return false;
    out = it->second;
    return true;
}

void PrintCounters(const emu::EmulatorCounters& c, emu::DeviceModel model) {
    uint64_t rtp = 0;
    for (uint64_t n : c.RtpDatagrams) rtp += n;
    std::fprintf(stderr,
                 "qm412-emu: stopped; %llu control datagrams received (%llu garbage, %llu duplicates), "
                 "%llu acknowledgements and %llu messages sent (%llu repeats, %llu given up), %llu RTP datagrams sent\n",
                 static_cast<unsigned long long>(c.DatagramsReceived), static_cast<unsigned long long>(c.Garbage),
                 static_cast<unsigned long long>(c.Duplicates), static_cast<unsigned long long>(c.AcksSent),
                 static_cast<unsigned long long>(c.MessagesSent), static_cast<unsigned long long>(c.Repeats),
                 static_cast<unsigned long long>(c.GivenUp), static_cast<unsigned long long>(rtp));
    if (model == emu::DeviceModel::Qm5) {
        const auto& t = c.Time;
        std::fprintf(stderr,
                     "qm412-emu: %llu time requests sent, %llu answered once, %llu unanswered, %llu extra answers, "
                     "%llu malformed, %llu inconsistent; last: td \"%s\" utc \"%s\"\n",
                     static_cast<unsigned long long>(t.RequestsSent), static_cast<unsigned long long>(t.AnsweredOnce),
                     static_cast<unsigned long long>(t.Waiting), static_cast<unsigned long long>(t.ExtraAnswers),
                     static_cast<unsigned long long>(t.Malformed), static_cast<unsigned long long>(t.Inconsistent),
                     t.LastTd.c_str(), t.LastUtc.c_str());
    }
}

} // namespace

int main(int argc, char** argv) {
    emu::EmulatorConfig config;
    config.Port = 15001;
    emu::FaultConfig& faults = config.Faults;

    using Setter = std::function<bool(const std::string&)>;
    const std::map<std::string, Setter> options = {
        {"--model", [&](const std::string& v) {
             const auto model = emu::ModelFromName(v);
             if (model) config.Model = *model;
             return model.has_value();
         }},
        {"--input", [&](const std::string& v) {
             return ParseChoice(v, {{"analog", emu::SwitchInput::Analog}, {"aes", emu::SwitchInput::Aes}}, config.Switch.Select);
         }},
        {"--gain", [&](const std::string& v) {
             return ParseChoice(v, {{"+4dBu", emu::SwitchGain::Plus4dBu}, {"-10dBu", emu::SwitchGain::Minus10dBu}}, config.Switch.Gain);
         }},
        {"--aes-rate", [&](const std::string& v) { return ParseUnsigned(v, config.Switch.AesFreq); }},
        {"--bypass", [&](const std::string& v) { return ParseChoice(v, {{"on", true}, {"off", false}}, config.Switch.Bypass); }},
        {"--time-every", [&](const std::string& v) { return ParseUnsigned(v, config.TimeRequestIntervalMs); }},
        {"--time-host", [&](const std::string& v) { config.TimeHost = v; return !v.empty(); }},
        {"--state-fault", [&](const std::string& v) { return ParseStateFaults(v, faults); }},
        {"--port", [&](const std::string& v) { return ParseUnsigned(v, config.Port); }},
        {"--bind", [&](const std::string& v) { config.BindAddress = v; return true; }},
        {"--broadcast", [&](const std::string& v) { config.BroadcastAddress = v == "none" ? "" : v; return true; }},
        {"--unit-id", [&](const std::string& v) { config.UnitId = v; return true; }},
        {"--unit-type", [&](const std::string& v) { config.UnitType = v; return true; }},
        {"--inputs", [&](const std::string& v) {
             uint32_t n = 0;
             if (!ParseUnsigned(v, n) || n > emu::EmulatorConfig::MaxInputs) return false;
             config.Inputs = n;
             return true;
         }},
        {"--outputs", [&](const std::string& v) { return ParseUnsigned(v, config.Outputs); }},
        {"--rate", [&](const std::string& v) { return ParseUnsigned(v, config.SampleRate); }},
        {"--audio-protocol", [&](const std::string& v) { return ParseUnsigned(v, config.AudioProtocol); }},
        {"--control-protocol", [&](const std::string& v) { return ParseUnsigned(v, config.ControlProtocol); }},
        {"--hardware", [&](const std::string& v) { return ParseUnsigned(v, config.Hardware); }},
        {"--firmware", [&](const std::string& v) { return ParseUnsigned(v, config.Firmware); }},
        {"--software", [&](const std::string& v) { return ParseUnsigned(v, config.Software); }},
        {"--rtp-port", [&](const std::string& v) { return ParseUnsigned(v, config.RtpPort); }},
        {"--freqs", [&](const std::string& v) { return ParseFreqs(v, config); }},
        {"--band", [&](const std::string& v) { return ParseBand(v, config); }},
        {"--step", [&](const std::string& v) { return ParseUnsigned(v, config.FmStepKhz); }},
        {"--repeat-ms", [&](const std::string& v) { return ParseUnsigned(v, config.RepeatTimeoutMs) && config.RepeatTimeoutMs > 0; }},
        {"--transmissions", [&](const std::string& v) { return ParseUnsigned(v, config.MaxTransmissions) && config.MaxTransmissions > 0; }},
        {"--seed", [&](const std::string& v) { return ParseU64(v, faults.Seed); }},
        {"--drop-in", [&](const std::string& v) { return ParseProbability(v, faults.ControlDropIn); }},
        {"--dup-in", [&](const std::string& v) { return ParseProbability(v, faults.ControlDupIn); }},
        {"--drop-out", [&](const std::string& v) { return ParseProbability(v, faults.ControlDropOut); }},
        {"--dup-out", [&](const std::string& v) { return ParseProbability(v, faults.ControlDupOut); }},
        {"--rtp-loss", [&](const std::string& v) { return ParseProbability(v, faults.RtpLoss); }},
        {"--rtp-dup", [&](const std::string& v) { return ParseProbability(v, faults.RtpDuplicate); }},
        {"--rtp-swap", [&](const std::string& v) { return ParseProbability(v, faults.RtpSwap); }},
        {"--never-answer", [&](const std::string& v) { return ParseKinds(v, faults.NeverAnswer); }},
        {"--never-ack", [&](const std::string& v) { return ParseKinds(v, faults.NeverAck); }},
        {"--answer-delay", [&](const std::string& v) { return ParseUnsigned(v, faults.AnswerDelayMs); }},
        {"--list-delta", [&](const std::string& v) { return ParseInt(v, faults.ListLengthDelta); }},
    };

    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(Usage, stdout);
            return 0;
        }
        std::string value;
        bool haveValue = false;
        if (const size_t eq = arg.find('='); eq != std::string::npos) {  // --port=15001 works too
            value = arg.substr(eq + 1);
            arg.resize(eq);
            haveValue = true;
        }
        const auto it = options.find(arg);
        if (it == options.end()) {
            std::fprintf(stderr, "qm412-emu: unknown option %s (see --help)\n", arg.c_str());
            return 2;
        }
        if (!haveValue) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "qm412-emu: %s needs a value (see --help)\n", arg.c_str());
                return 2;
            }
            value = argv[++i];
        }
        if (!it->second(value)) {
            std::fprintf(stderr, "qm412-emu: bad value for %s: %s (see --help)\n", arg.c_str(), value.c_str());
            return 2;
        }
    }

    // Blocked before the emulator's threads exist, so they inherit the mask and the signals
    // reach only the sigwait below.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    emu::Qm412Emulator device(config);
    std::string error;
    if (!device.Start(&error)) {
        std::fprintf(stderr, "qm412-emu: %s\n", error.c_str());
        return 1;
    }
    std::printf("qm412-emu: %s unit %s listening on %s:%u\n", config.Type().c_str(), config.Id().c_str(),
                config.BindAddress.c_str(), static_cast<unsigned>(device.Port()));
    std::fflush(stdout);

    int signal = 0;
    while (sigwait(&stopSignals, &signal) != 0) {
    }
    device.Stop();
    PrintCounters(device.Counters(), config.Model);
    return 0;
}
