#include "Qm412Emulator.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>

#include "ControlWire.h"
#include "FaultDice.h"
#include "Qm268Switch.h"
#include "Qm5Clock.h"
#include "RtpWriter.h"

namespace emu {

namespace {

using Clock = std::chrono::steady_clock;

// How many messages may wait for their turn; more are refused rather than stored.
constexpr size_t MaxQueued = 64;
// Accepted requests remembered for the duplicate filter. A repeat comes within a second of the
// original, so entries older than that are ignored: a host that restarts on the same port and
// counts its message ids from 1 again is not taken for a repeat.
constexpr size_t RecentRequests = 16;
constexpr auto DuplicateWindow = std::chrono::seconds(2);
// Datagrams read per wake-up before the queue is served again.
constexpr int ReadsPerWake = 32;
// Behind by more than this, the stream restarts its clock instead of sending a burst.
constexpr int64_t MaxLateNs = 50'000'000;
constexpr uint32_t MaxGarbageBurst = 10000;

// Fault sequences, one per direction and one per input.
enum : uint64_t { StreamControlIn = 1, StreamControlOut = 2, StreamGarbage = 3, StreamRtp = 16 };

const char* const KnownKinds[] = {
    "dev_find", "get_dev_info", "dev_info", "get_state", "set_state", "state", "get_inputs",
    "set_inputs", "inputs", "get_time", "cur_time", "get_fm_freq", "set_fm_freq", "fm_freq",
    "get_fm_quality", "fm_quality", "get_rds_data", "rds_data", "get_bypass", "bypass",
    "set_bypass", "idle", "ping", "attach", "ok", "error"};

// The counter key of a kind: unknown names share one entry, so garbage cannot grow the map.
std::string CounterKey(const std::string& kind) {
    for (const char* known : KnownKinds)
        if (kind == known) return kind;
    return "(other)";
}

bool SameAddress(const sockaddr_in& a, const sockaddr_in& b) {
    return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

int BindUdp(const sockaddr_in& addr) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

void CloseFd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

int64_t NowNs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

JSON::Value IntList(const std::vector<int64_t>& items) {
    JSON::Value list;
    list.SetTypeArray();
    for (size_t i = 0; i < items.size(); ++i) list[static_cast<uint64_t>(i)] = items[i];
    return list;
}

JSON::Value TextList(const std::vector<std::string>& items) {
    JSON::Value list;
    list.SetTypeArray();
    for (size_t i = 0; i < items.size(); ++i) list[static_cast<uint64_t>(i)] = wire::Wide(items[i]);
    return list;
}

} // namespace

struct Qm412Emulator::Impl {
    // A message of the device that waits for its acknowledgement; the front one is outstanding.
    struct Outgoing {
        std::string Kind;
        std::string Bytes;
        sockaddr_in To{};
        uint32_t MsgId = 0;
        Clock::time_point NotBefore;
        Clock::time_point LastSent;
        uint32_t Transmissions = 0;
    };
    struct Seen {
        sockaddr_in From{};
        uint32_t MsgId = 0;
        Clock::time_point When;
    };

    explicit Impl(EmulatorConfig c) : Config(std::move(c)), Rate(Config.SampleRate), Switch(Config.Switch) {}

    const EmulatorConfig Config;

    mutable std::mutex Mutex;
    std::condition_variable StreamWake;  // with Mutex: an input started, or stopping
    bool Stopping = false;               // guarded by Mutex
    bool Running = false;                // guarded by Mutex
    std::vector<TunerUnit> Units;        // guarded by Mutex; one per input from Start on
    std::vector<std::optional<sockaddr_in>> Destinations;  // guarded by Mutex; per input
    FaultConfig Faults;                  // guarded by Mutex
    FaultDice DiceIn, DiceOut, DiceGarbage;  // guarded by Mutex
    std::vector<FaultDice> DiceRtp;          // guarded by Mutex; per input
    EmulatorCounters Counters;               // guarded by Mutex
    std::deque<Outgoing> Outbox;             // guarded by Mutex
    std::deque<Seen> Recent;                 // guarded by Mutex
    std::optional<sockaddr_in> LastHost;     // guarded by Mutex
    uint32_t NextMsgId = 1;                  // guarded by Mutex
    uint32_t Rate = 0;                       // guarded by Mutex; reported and streamed
    InputSwitch Switch;                      // guarded by Mutex; a QM268's
    Clock::time_point NextTimeRequest;       // guarded by Mutex; a QM5's periodic "get_time"
    std::optional<sockaddr_in> TimeHost;     // set by Start; where a QM5 asks, else LastHost

    // Set by Start, cleared by Stop; in between only read.
    int ControlFd = -1;
    int BroadcastFd = -1;
    int RtpFd = -1;
    int WakeRead = -1, WakeWrite = -1;
    std::atomic<uint16_t> Port{0};
    std::thread ControlThread, StreamThread;

    // --- the caller holds Mutex (the control thread, or a test API call) ---

    TunerUnit UnitAt(size_t i) const { return i < Units.size() ? Units[i] : DefaultUnit(static_cast<uint32_t>(i)); }

    uint32_t TakeMsgId() {
        if (NextMsgId == 0) NextMsgId = 1;
        return NextMsgId++;
    }

    void ResetDice() {
        DiceIn = FaultDice(FaultDice::StreamSeed(Faults.Seed, StreamControlIn));
        DiceOut = FaultDice(FaultDice::StreamSeed(Faults.Seed, StreamControlOut));
        DiceGarbage = FaultDice(FaultDice::StreamSeed(Faults.Seed, StreamGarbage));
        DiceRtp.clear();
        for (uint32_t i = 0; i < Config.NumInputs(); ++i)
            DiceRtp.emplace_back(FaultDice::StreamSeed(Faults.Seed, StreamRtp + i));
    }

    void Wake() const {
        const char one = 1;
        [[maybe_unused]] ssize_t n = write(WakeWrite, &one, 1);  // a full pipe already wakes
    }

    void SendControl(const std::string& bytes, const sockaddr_in& to) {
        const bool drop = DiceOut.Chance(Faults.ControlDropOut);
        const bool twice = DiceOut.Chance(Faults.ControlDupOut);
        if (drop) {
            ++Counters.ControlDroppedOut;
            return;
        }
        for (int i = twice ? 2 : 1; i > 0; --i)
            sendto(ControlFd, bytes.data(), bytes.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to), sizeof(to));
        if (twice) ++Counters.ControlDuplicatedOut;
    }

    bool Queue(std::string_view kind, JSON::Value body, const sockaddr_in& to, uint32_t answersId, uint32_t delayMs) {
        if (Outbox.size() >= MaxQueued) {
            ++Counters.QueueOverflows;
            return false;
        }
        Outgoing out;
        out.Kind = kind;
        out.MsgId = TakeMsgId();
        out.Bytes = wire::Build(std::move(body), kind, out.MsgId, answersId);
        out.To = to;
        out.NotBefore = Clock::now() + std::chrono::milliseconds(delayMs);
        Outbox.push_back(std::move(out));
        return true;
    }

    // Sends, repeats or gives up the front message as its time has come.
    void ServiceOutbox() {
        const auto now = Clock::now();
        const auto repeatAfter = std::chrono::milliseconds(std::max<uint32_t>(Config.RepeatTimeoutMs, 1));
        while (!Outbox.empty()) {
            Outgoing& front = Outbox.front();
            if (front.Transmissions == 0) {
                if (now < front.NotBefore) return;
                ++Counters.MessagesSent;
                if (front.Kind == "get_time") {
                    ++Counters.Time.RequestsSent;
                    ++Counters.Time.Waiting;
                }
            } else {
                if (now - front.LastSent < repeatAfter) return;
                if (front.Transmissions >= std::max<uint32_t>(Config.MaxTransmissions, 1)) {
                    ++Counters.GivenUp;
                    Outbox.pop_front();
                    continue;
                }
                ++Counters.Repeats;
            }
            ++front.Transmissions;
            front.LastSent = now;
            SendControl(front.Bytes, front.To);
            return;
        }
    }

    bool Push(std::string_view kind, const sockaddr_in& to) {
        if (!Running) return false;
        JSON::Value body = Body(kind);
        if (body.Type() != JSON::typeObject || !Queue(kind, std::move(body), to, 0, 0)) return false;
        Wake();
        return true;
    }

    // Milliseconds until ServiceOutbox has work, rounded up; -1 for none.
    int OutboxTimeoutMs() const {
        if (Outbox.empty()) return -1;
        const Outgoing& front = Outbox.front();
        const auto due = front.Transmissions == 0
                             ? front.NotBefore
                             : front.LastSent + std::chrono::milliseconds(std::max<uint32_t>(Config.RepeatTimeoutMs, 1));
        return MsUntil(due);
    }

    static int MsUntil(Clock::time_point due) {
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(due - Clock::now()).count();
        return static_cast<int>(std::clamp<int64_t>(wait, 0, 60'000));
    }

    bool PeriodicTime() const { return Config.Model == DeviceModel::Qm5 && Config.TimeRequestIntervalMs > 0; }

    // A QM5's periodic time request, queued when due; skipped while it knows no host to ask.
    void RequestTimeIfDue() {
        if (!PeriodicTime() || Clock::now() < NextTimeRequest) return;
        NextTimeRequest = Clock::now() + std::chrono::milliseconds(Config.TimeRequestIntervalMs);
        const std::optional<sockaddr_in> to = TimeHost ? TimeHost : LastHost;
        if (to) Queue("get_time", Body("get_time"), *to, 0, 0);
    }

    // Milliseconds until the control thread has work; -1 for none.
    int WakeTimeoutMs() const {
        const int outbox = OutboxTimeoutMs();
        if (!PeriodicTime()) return outbox;
        const int time = MsUntil(NextTimeRequest);
        return outbox < 0 ? time : std::min(outbox, time);
    }

    bool IsRepeat(const sockaddr_in& from, uint32_t msgId) {
        const auto now = Clock::now();
        for (const Seen& s : Recent)
            if (s.MsgId == msgId && SameAddress(s.From, from) && now - s.When < DuplicateWindow) return true;
        Recent.push_back({from, msgId, now});
        if (Recent.size() > RecentRequests) Recent.pop_front();
        return false;
    }

    // --- the device's messages ---

    bool IsTuner() const { return Config.Model == DeviceModel::Qm412; }
    bool HasBypass() const { return Config.Model == DeviceModel::Qm268 && Config.ControlProtocol >= 2; }

    // The body of a message the device sends; undefined for a kind this model does not send.
    JSON::Value Body(std::string_view kind) const {
        JSON::Value body;
        body.SetTypeObject();
        const size_t lists = static_cast<size_t>(std::max<int64_t>(0, int64_t{Config.NumInputs()} + Faults.ListLengthDelta));
        if (kind == "dev_info") {
            body[L"unit_id"] = wire::Wide(Config.Id());
            body[L"unit_type"] = wire::Wide(Config.Type());
            body[L"hardware"] = Config.Hardware;
            body[L"firmware"] = Config.Firmware;
            body[L"software"] = Config.Software;
            body[L"audio_protocol"] = Config.AudioProtocol;
            body[L"control_protocol"] = Config.ControlProtocol;
            body[L"rtp_port"] = Config.RtpPort;
            body[L"inputs"] = Config.NumInputs();
            body[L"outputs"] = Config.Outputs;
        } else if (kind == "state") {
            if (Rate != 0) body[L"device_freq"] = Rate;
            if (Config.Model == DeviceModel::Qm268) body[L"inputs"] = qm268::StateInputs(Switch, Faults);
        } else if (kind == "inputs") {
            std::vector<std::string> texts;
            for (const auto& d : Destinations) texts.push_back(d ? wire::AddressText(*d) : std::string());
            body[L"inputs"] = TextList(texts);
        } else if (IsTuner() && kind == "fm_freq") {
            std::vector<int64_t> freqs;
            for (size_t i = 0; i < lists; ++i) freqs.push_back(UnitAt(i).FmFreqKhz);
            body[L"freq"] = IntList(freqs);
        } else if (IsTuner() && kind == "fm_quality") {
            std::vector<int64_t> rssi, snr, multipath, pilot, valid;
            for (size_t i = 0; i < lists; ++i) {
                const TunerUnit u = UnitAt(i);
                rssi.push_back(u.Rssi);
                snr.push_back(u.Snr);
                multipath.push_back(u.Multipath);
                pilot.push_back(u.Pilot);
                valid.push_back(u.Valid);
            }
            body[L"rssi"] = IntList(rssi);
            body[L"snr"] = IntList(snr);
            body[L"multipath"] = IntList(multipath);
            body[L"pilot"] = IntList(pilot);
            body[L"valid"] = IntList(valid);
        } else if (IsTuner() && kind == "rds_data") {
            std::vector<std::string> psrv, text, time;
            for (size_t i = 0; i < lists; ++i) {
                const TunerUnit u = UnitAt(i);
                psrv.push_back(u.PSrv);
                text.push_back(u.Text);
                time.push_back(u.Time);
            }
            body[L"psrv"] = TextList(psrv);
            body[L"text"] = TextList(text);
            body[L"time"] = TextList(time);
        } else if (HasBypass() && kind == "bypass") {
            qm268::WriteBypass(Switch, body);
        } else if (Config.Model == DeviceModel::Qm5 && kind == "get_time") {
            // the envelope says it all
        } else {
            body.Clear();  // not a kind the device sends
        }
        return body;
    }

    uint32_t Tune(int64_t requestedKhz) const {
        const int64_t lo = Config.FmMinKhz, hi = std::max<int64_t>(Config.FmMaxKhz, lo), step = Config.FmStepKhz;
        int64_t khz = std::clamp(requestedKhz, lo, hi);
        if (step > 0) {
            khz = lo + (khz - lo + step / 2) / step * step;
            if (khz > hi) khz -= step;
        }
        return static_cast<uint32_t>(khz);
    }

    // "set_inputs": per input the empty text keeps it as it is, "off" stops it, an address
    // starts it there (or moves it). A text that is no address stops the input: there is nowhere
    // to stream to.
    void SetInputs(const JSON::Value& request) {
        const JSON::Value* list = request.Find(L"inputs");
        if (list == nullptr || list->Type() != JSON::typeArray) return;
        const size_t n = std::min<size_t>(list->ArraySize(), Destinations.size());
        for (size_t i = 0; i < n; ++i) {
            const JSON::Value& entry = (*list)[static_cast<uint64_t>(i)];
            if (entry.Type() != JSON::typeString) continue;
            const std::string text = wire::Utf8(static_cast<std::wstring_view>(entry));
            sockaddr_in addr{};
            if (text.empty()) continue;
            if (text != "off" && wire::ParseAddress(text, addr))
                Destinations[i] = addr;
            else
                Destinations[i].reset();
        }
        StreamWake.notify_all();
    }

    // "set_fm_freq": units in order; the list ends at its first entry that is no integer.
    void SetFmFreq(const JSON::Value& request) {
        const JSON::Value* list = request.Find(L"freq");
        if (list == nullptr || list->Type() != JSON::typeArray) return;
        const size_t n = std::min<size_t>(list->ArraySize(), Config.NumInputs());
        for (size_t i = 0; i < n; ++i) {
            const JSON::Value& entry = (*list)[static_cast<uint64_t>(i)];
            if (entry.Type() != JSON::typeIntNumber) break;
            Units[i].FmFreqKhz = Tune(static_cast<int64_t>(entry));
        }
    }

    // Each model does what a request asks and names its answer; empty for none. Pings, idles and
    // anything the model does not know are acknowledged only.

    std::string_view ServeTuner(const wire::Message& request) {
        const std::string& kind = request.Kind;
        if (kind == "get_fm_freq") return "fm_freq";
        if (kind == "set_fm_freq") {
            SetFmFreq(request.Body);
            return "fm_freq";  // what the units are tuned to now, which may differ from the request
        }
        if (kind == "get_fm_quality") return "fm_quality";
        if (kind == "get_rds_data") return "rds_data";
        return {};
    }

    // Firmware of control protocol 1 has no bypass and does not know its requests, so it
    // acknowledges them and never answers.
    std::string_view ServeSwitch(const wire::Message& request) {
        const std::string& kind = request.Kind;
        if (kind == "set_state") {
            qm268::ApplySetState(request.Body, Config.AudioProtocol, Switch, Rate);
            StreamWake.notify_all();
            return "state";  // as the device is now, which may differ from the request
        }
        if (!HasBypass()) return {};
        if (kind == "get_bypass") return "bypass";
        if (kind == "set_bypass") {
            qm268::ApplySetBypass(request.Body, Switch);
            return "bypass";
        }
        return {};
    }

    std::string_view ServeClock(const wire::Message& request) {
        if (request.Kind == "cur_time") qm5::CheckAnswer(request.Body, std::chrono::system_clock::now(), Counters.Time);
        return {};
    }

    void Answer(const wire::Message& request, const sockaddr_in& from) {
        const std::string& kind = request.Kind;
        std::string_view answer;
        if (kind == "dev_find" || kind == "get_dev_info") {
            answer = "dev_info";
        } else if (kind == "get_state") {
            answer = "state";
        } else if (kind == "get_inputs") {
            answer = "inputs";
        } else if (kind == "set_inputs") {
            ++Counters.SetInputsSeen;
            SetInputs(request.Body);
            answer = "inputs";
        } else {
            switch (Config.Model) {
            case DeviceModel::Qm412: answer = ServeTuner(request); break;
            case DeviceModel::Qm268: answer = ServeSwitch(request); break;
            case DeviceModel::Qm5: answer = ServeClock(request); break;
            }
        }
        if (answer.empty() || Faults.NeverAnswer.count(kind) != 0) return;
        Queue(answer, Body(answer), from, request.MsgId, Faults.AnswerDelayMs);
    }

    void Handle(const char* data, size_t size, const sockaddr_in& from) {
        std::optional<wire::Message> msg = wire::Parse(data, size);
        if (!msg) {
            ++Counters.Garbage;
            return;
        }
        if (msg->Kind == "ack") {
            if (!Outbox.empty() && Outbox.front().Transmissions > 0 && Outbox.front().MsgId == msg->AckMsgId) {
                ++Counters.AcksReceived;
                Outbox.pop_front();
            } else {
                ++Counters.StrayAcks;
            }
            return;
        }
        if (Faults.NeverAck.count(msg->Kind) == 0) {
            ++Counters.AcksSent;
            SendControl(wire::Build(JSON::Value(), "ack", TakeMsgId(), msg->MsgId), from);
        }
        if (IsRepeat(from, msg->MsgId)) {
            ++Counters.Duplicates;
            return;
        }
        ++Counters.Requests[CounterKey(msg->Kind)];
        LastHost = from;
        // The device takes no attachments: a segment, or a message whose attachment is still to
        // come in segments, is acknowledged (so the host's transfer can finish) and dropped.
        if (msg->Kind == "attach" || !msg->AttachmentWhole) {
            ++Counters.AttachmentsIgnored;
            return;
        }
        Answer(*msg, from);
    }

    void Received(const char* data, size_t size, const sockaddr_in& from) {
        ++Counters.DatagramsReceived;
        const bool drop = DiceIn.Chance(Faults.ControlDropIn);
        const bool twice = DiceIn.Chance(Faults.ControlDupIn);
        if (drop) {
            ++Counters.ControlDroppedIn;
            return;
        }
        Handle(data, size, from);
        if (twice) {
            ++Counters.ControlDuplicatedIn;
            Handle(data, size, from);
        }
    }

    // --- threads ---

    // Runs on the control thread: reads datagrams, answers them, serves the outbox.
    void ControlLoop() {
        // Larger than any UDP datagram, so none is cut short and misread.
        std::vector<char> buffer(65536);
        for (;;) {
            int timeout;
            {
                std::lock_guard<std::mutex> lock(Mutex);
                if (Stopping) return;
                timeout = WakeTimeoutMs();
            }
            pollfd fds[3] = {{WakeRead, POLLIN, 0}, {ControlFd, POLLIN, 0}, {BroadcastFd, POLLIN, 0}};
            const int ready = poll(fds, BroadcastFd >= 0 ? 3 : 2, timeout);
            if (ready < 0 && errno != EINTR) return;
            if (ready > 0 && (fds[0].revents & POLLIN) != 0) {
                char drain[64];
                while (read(WakeRead, drain, sizeof(drain)) > 0) {
                }
            }
            for (int f = 1; f < 3 && ready > 0; ++f) {
                if (fds[f].fd < 0 || (fds[f].revents & POLLIN) == 0) continue;
                for (int i = 0; i < ReadsPerWake; ++i) {
                    sockaddr_in from{};
                    socklen_t length = sizeof(from);
                    const ssize_t n = recvfrom(fds[f].fd, buffer.data(), buffer.size(), 0,
                                               reinterpret_cast<sockaddr*>(&from), &length);
                    if (n < 0) {
                        if (errno == EINTR) continue;
                        break;  // EAGAIN: drained; anything else: try again next wake
                    }
                    std::lock_guard<std::mutex> lock(Mutex);
                    Received(buffer.data(), static_cast<size_t>(n), from);
                }
            }
            std::lock_guard<std::mutex> lock(Mutex);
            RequestTimeIfDue();
            ServiceOutbox();
        }
    }

    // Runs on the streaming thread: one packet per streaming input per tick of 192 frames.
    // The stream state is this thread's own; what it shares is read under Mutex once per tick.
    void StreamLoop() {
        const uint32_t inputs = Config.NumInputs();
        uint32_t rate = 0;  // of the packets being sent
        std::optional<uint8_t> typeByte;
        std::vector<rtp::StreamState> streams(inputs);
        uint16_t sequence = 0;   // the device clock's start
        uint32_t timestamp = 0;
        uint64_t deviceTicks = 0;  // packets' worth of time since the start; never reset
        {
            std::lock_guard<std::mutex> lock(Mutex);
            // One device clock: every input's stream shares its sequence numbers and time
            // stamps (the host keeps one read position for all of them).
            FaultDice start(FaultDice::StreamSeed(Faults.Seed, 0));
            sequence = static_cast<uint16_t>(start.Next());
            timestamp = static_cast<uint32_t>(start.Next());
            for (uint32_t i = 0; i < inputs; ++i) {
                streams[i].Sequence = sequence;
                streams[i].Timestamp = timestamp;
                streams[i].Ssrc = 0x51410000u + i;
            }
        }
        struct Planned {
            std::optional<sockaddr_in> To;
            Tone Sound;
            bool Lose = false, Twice = false, Hold = false;
        };
        std::vector<Planned> plan(inputs);
        std::vector<bool> streaming(inputs, false);
        std::vector<std::vector<uint8_t>> held(inputs);  // a packet waiting to be sent late
        std::vector<uint8_t> packet(rtp::PacketBytes);
        int64_t base = 0, tick = 0;
        bool idle = true;

        for (;;) {
            {
                std::unique_lock<std::mutex> lock(Mutex);
                const auto anyActive = [&] {
                    return std::any_of(Destinations.begin(), Destinations.end(), [](const auto& d) { return d.has_value(); });
                };
                const auto streamable = [&] { return rtp::PayloadTypeByte(Rate, Config.AudioProtocol).has_value(); };
                if (!streamable() || !anyActive()) {
                    idle = true;
                    std::fill(streaming.begin(), streaming.end(), false);
                    for (auto& h : held) h.clear();  // a stopped stream sends nothing more
                    StreamWake.wait(lock, [&] { return Stopping || (streamable() && anyActive()); });
                }
                if (Stopping) return;
                if (Rate != rate) {  // the ticks change length: count them from a new start
                    rate = Rate;
                    typeByte = rtp::PayloadTypeByte(rate, Config.AudioProtocol);
                    idle = true;
                }
                for (uint32_t i = 0; i < inputs; ++i) {
                    Planned& p = plan[i];
                    p.To = Destinations[i];
                    if (!p.To) continue;
                    p.Sound = ToneForFmFrequency(UnitAt(i).FmFreqKhz);
                    p.Lose = DiceRtp[i].Chance(Faults.RtpLoss);
                    p.Twice = DiceRtp[i].Chance(Faults.RtpDuplicate);
                    p.Hold = DiceRtp[i].Chance(Faults.RtpSwap);
                }
            }
            if (idle) {
                base = NowNs();
                tick = 0;
                idle = false;
            }
            uint64_t lost = 0, duplicated = 0, swapped = 0;
            std::vector<uint64_t> made(inputs, 0), sent(inputs, 0);
            for (uint32_t i = 0; i < inputs; ++i) {
                const Planned& p = plan[i];
                if (!p.To) {
                    streaming[i] = false;
                    held[i].clear();  // a stopped stream sends nothing more
                    continue;
                }
                if (!streaming[i]) streams[i].Phase = 0;
                streaming[i] = true;
                // The device's clock runs whether or not an input streams.
                streams[i].Sequence = static_cast<uint16_t>(sequence + deviceTicks);
                streams[i].Timestamp = timestamp + static_cast<uint32_t>(deviceTicks) * rtp::FramesPerPacket;
                rtp::WritePacket(packet.data(), streams[i], *typeByte, p.Sound, rate);
                ++made[i];
                const auto send = [&](const std::vector<uint8_t>& bytes) {
                    sendto(RtpFd, bytes.data(), bytes.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&*p.To), sizeof(*p.To));
                    ++sent[i];
                };
                if (p.Lose) {
                    ++lost;
                } else if (p.Hold && held[i].empty()) {
                    held[i] = packet;
                    ++swapped;
                    continue;
                } else {
                    send(packet);
                    if (p.Twice) {
                        send(packet);
                        ++duplicated;
                    }
                }
                if (!held[i].empty()) {
                    send(held[i]);
                    held[i].clear();
                }
            }
            {
                std::lock_guard<std::mutex> lock(Mutex);
                for (uint32_t i = 0; i < inputs; ++i) {
                    Counters.RtpPackets[i] += made[i];
                    Counters.RtpDatagrams[i] += sent[i];
                }
                Counters.RtpLost += lost;
                Counters.RtpDuplicated += duplicated;
                Counters.RtpSwapped += swapped;
            }
            // Deadlines from one start point: rounding never accumulates into drift.
            ++tick;
            ++deviceTicks;
            int64_t deadline = base + tick * int64_t{rtp::FramesPerPacket} * 1'000'000'000 / rate;
            if (NowNs() - deadline > MaxLateNs) {
                base = NowNs();
                tick = 0;
                deadline = base;
            }
            timespec at{static_cast<time_t>(deadline / 1'000'000'000), static_cast<long>(deadline % 1'000'000'000)};
            while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
            }
        }
    }
};

Qm412Emulator::Qm412Emulator(EmulatorConfig config) : _impl(std::make_unique<Impl>(std::move(config))) {}

Qm412Emulator::~Qm412Emulator() { Stop(); }

bool Qm412Emulator::Start(std::string* error) {
    const auto fail = [&](const std::string& why) {
        if (error != nullptr) *error = why;
        Stop();
        return false;
    };
    Impl& d = *_impl;
    const EmulatorConfig& c = d.Config;
    {
        std::lock_guard<std::mutex> lock(d.Mutex);
        if (d.Running) {
            if (error != nullptr) *error = "already running";
            return false;
        }
    }
    if (c.NumInputs() > EmulatorConfig::MaxInputs) return fail("too many inputs (at most " + std::to_string(EmulatorConfig::MaxInputs) + ")");
    sockaddr_in addr{};
    if (!wire::MakeAddress(c.BindAddress, c.Port, addr)) return fail("not an IPv4 address: " + c.BindAddress);
    sockaddr_in timeHost{};
    if (!c.TimeHost.empty() && !wire::ParseAddress(c.TimeHost, timeHost)) return fail("not an address:port: " + c.TimeHost);
    int pipeFds[2];
    if (pipe2(pipeFds, O_NONBLOCK | O_CLOEXEC) != 0) return fail(std::string("pipe: ") + std::strerror(errno));
    d.WakeRead = pipeFds[0];
    d.WakeWrite = pipeFds[1];
    d.ControlFd = BindUdp(addr);
    if (d.ControlFd < 0) return fail("cannot bind " + wire::AddressText(addr) + ": " + std::strerror(errno));
    socklen_t length = sizeof(addr);
    getsockname(d.ControlFd, reinterpret_cast<sockaddr*>(&addr), &length);
    d.Port = ntohs(addr.sin_port);
    sockaddr_in broadcast{};
    // Optional: where the control socket already hears broadcasts (bound to 0.0.0.0), this bind fails.
    if (!c.BroadcastAddress.empty() && wire::MakeAddress(c.BroadcastAddress, d.Port, broadcast))
        d.BroadcastFd = BindUdp(broadcast);
    sockaddr_in rtpFrom = addr;
    rtpFrom.sin_port = 0;
    d.RtpFd = BindUdp(rtpFrom);
    if (d.RtpFd < 0) return fail(std::string("cannot bind the RTP socket: ") + std::strerror(errno));

    {
        std::lock_guard<std::mutex> lock(d.Mutex);
        const uint32_t inputs = c.NumInputs();
        d.Units.clear();
        for (uint32_t i = 0; i < inputs; ++i) d.Units.push_back(i < c.Units.size() ? c.Units[i] : DefaultUnit(i));
        d.Destinations.assign(inputs, std::nullopt);
        d.Faults = c.Faults;
        d.ResetDice();
        d.Counters = EmulatorCounters{};
        d.Counters.RtpPackets.assign(inputs, 0);
        d.Counters.RtpDatagrams.assign(inputs, 0);
        d.Outbox.clear();
        d.Recent.clear();
        d.LastHost.reset();
        d.Rate = c.SampleRate;
        d.Switch = c.Switch;
        d.TimeHost = c.TimeHost.empty() ? std::nullopt : std::optional<sockaddr_in>(timeHost);
        d.NextTimeRequest = Clock::now() + std::chrono::milliseconds(c.TimeRequestIntervalMs);
        d.Stopping = false;
        d.Running = true;
    }
    d.ControlThread = std::thread([&d] { d.ControlLoop(); });
    d.StreamThread = std::thread([&d] { d.StreamLoop(); });
    return true;
}

void Qm412Emulator::Stop() {
    Impl& d = *_impl;
    {
        // Not running from here on, so no caller writes to the wake pipe once it is closed.
        std::lock_guard<std::mutex> lock(d.Mutex);
        d.Stopping = true;
        d.Running = false;
        d.StreamWake.notify_all();
    }
    if (d.WakeWrite >= 0) d.Wake();
    if (d.ControlThread.joinable()) d.ControlThread.join();
    if (d.StreamThread.joinable()) d.StreamThread.join();
    CloseFd(d.ControlFd);
    CloseFd(d.BroadcastFd);
    CloseFd(d.RtpFd);
    CloseFd(d.WakeRead);
    CloseFd(d.WakeWrite);
    d.Port = 0;
    std::lock_guard<std::mutex> lock(d.Mutex);
    d.Outbox.clear();
    d.Destinations.assign(d.Destinations.size(), std::nullopt);
}

bool Qm412Emulator::IsRunning() const {
    std::lock_guard<std::mutex> lock(_impl->Mutex);
    return _impl->Running;
}

uint16_t Qm412Emulator::Port() const { return _impl->Port; }

const EmulatorConfig& Qm412Emulator::Config() const { return _impl->Config; }

EmulatorCounters Qm412Emulator::Counters() const {
    std::lock_guard<std::mutex> lock(_impl->Mutex);
    return _impl->Counters;
}

void Qm412Emulator::SetFaults(const FaultConfig& faults) {
    std::lock_guard<std::mutex> lock(_impl->Mutex);
    _impl->Faults = faults;
    _impl->ResetDice();
}

uint32_t Qm412Emulator::NumUnits() const { return _impl->Config.NumInputs(); }

uint32_t Qm412Emulator::SampleRate() const {
    std::lock_guard<std::mutex> lock(_impl->Mutex);
    return _impl->Rate;
}

void Qm412Emulator::SetSampleRate(uint32_t hz) {
    std::lock_guard<std::mutex> lock(_impl->Mutex);
    _impl->Rate = hz;
    _impl->StreamWake.notify_all();
}

InputSwitch Qm412Emulator::Switch() const {
    std::lock_guard<std::mutex> lock(_impl->Mutex);
    return _impl->Switch;
}

void Qm412Emulator::SetSwitch(const InputSwitch& value) {
    std::lock_guard<std::mutex> lock(_impl->Mutex);
    _impl->Switch = value;
}

TunerUnit Qm412Emulator::Unit(uint32_t unit) const {
    std::lock_guard<std::mutex> lock(_impl->Mutex);
    return _impl->UnitAt(unit);
}

void Qm412Emulator::SetUnit(uint32_t unit, const TunerUnit& value) {
    std::lock_guard<std::mutex> lock(_impl->Mutex);
    if (unit < _impl->Units.size()) _impl->Units[unit] = value;
}

Tone Qm412Emulator::ToneOf(uint32_t unit) const { return ToneForFmFrequency(Unit(unit).FmFreqKhz); }

std::vector<std::string> Qm412Emulator::Destinations() const {
    std::lock_guard<std::mutex> lock(_impl->Mutex);
    std::vector<std::string> out;
    for (const auto& d : _impl->Destinations) out.push_back(d ? wire::AddressText(*d) : std::string());
    return out;
}

bool Qm412Emulator::Push(std::string_view kind) {
    std::lock_guard<std::mutex> lock(_impl->Mutex);
    return _impl->LastHost && _impl->Push(kind, *_impl->LastHost);
}

bool Qm412Emulator::PushTo(std::string_view kind, const std::string& address, uint16_t port) {
    sockaddr_in to{};
    if (!wire::MakeAddress(address, port, to)) return false;
    std::lock_guard<std::mutex> lock(_impl->Mutex);
    return _impl->Push(kind, to);
}

void Qm412Emulator::SendGarbage(const std::string& address, uint16_t port, uint32_t count) {
    sockaddr_in to{};
    if (!wire::MakeAddress(address, port, to)) return;
    std::lock_guard<std::mutex> lock(_impl->Mutex);
    if (!_impl->Running) return;
    for (uint32_t i = 0; i < std::min(count, MaxGarbageBurst); ++i) {
        const std::string bytes = wire::Garbage(_impl->DiceGarbage);
        sendto(_impl->ControlFd, bytes.data(), bytes.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to), sizeof(to));
        ++_impl->Counters.GarbageSent;
    }
}

} // namespace emu
