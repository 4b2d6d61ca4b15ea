// qm412: the command-line tool over the SDK's public interface. Finds QM412 tuners, shows their
// description, tunes them, reads reception quality and RDS, and records their audio to WAV files.
// Exit codes: 0 done, 1 the device or the network failed, 2 the command line is wrong.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ErrorCapture.h"
#include "LocalNet.h"
#include "Text.h"
#include "WavWriter.h"
#include "sdk412.h"

namespace {

using namespace Ostrel::SDK;

constexpr int ExitOk = 0;
constexpr int ExitFailed = 1;
constexpr int ExitUsage = 2;

const char* const MainUsage = R"(Usage: qm412 COMMAND [options]

Talks to Ostrel QM412 FM tuners over the network.

Commands:
  find       search the network for devices (3 s)
  info       show a device's description
  freq       show the tuned frequencies, or tune the units: freq 94.3 100.5 ...
  quality    show the reception quality of every unit
  rds        show the RDS data (station name, radio text, clock) of every unit
  record     record the audio of every unit into one WAV file per unit

Options of every command that talks to a device:
  --device ADDR      the device's IPv4 address (required)
  --port P           the device's control port (default 15001)
  --host ADDR        local address to use (default: the one that routes to the device)
  --host-port P      local control port (default: a free one)
  --json             print machine-readable JSON instead of text
  --help             help for the command

Exit codes: 0 done, 1 the device or the network failed, 2 wrong command line.
Run "qm412 COMMAND --help" for the options of one command.
)";

const std::map<std::string, std::string> CommandUsage = {
    {"find", R"(Usage: qm412 find [--broadcast ADDR] [--port P] [--host ADDR] [--host-port P] [--json]

Sends one search message to ADDR:P and lists every device that answers within 3 seconds.
  --broadcast ADDR   where to send the search (default 255.255.255.255, the local network;
                     a device's own address asks that device only)
  --port P           the devices' control port (default 15001)
  --host ADDR        local address to send from (default: the one that routes to ADDR)
  --host-port P      local port for the answers (default: a free one; never 0)
Exits 1 when no device answered.
)"},
    {"info", R"(Usage: qm412 info --device ADDR [--port P] [--json]

Connects and shows the device's identifier, versions, number of tuner units, sample rate and state.
)"},
    {"freq", R"(Usage: qm412 freq --device ADDR [FREQ ...] [--json]

Without FREQ: shows the frequency each tuner unit is tuned to.
With FREQ: tunes unit 1 to the first, unit 2 to the second, and so on, then shows what the device
settled on (it rounds to its tuning step). FREQ is in MHz (94.3 or 95) or in kHz (94300);
"-" leaves that unit as it is. Units after the last FREQ stay as they are.
)"},
    {"quality", R"(Usage: qm412 quality --device ADDR [--json]

Asks the device for the reception quality of every tuner unit: signal strength (RSSI), signal to
noise ratio (SNR), multipath, stereo pilot and whether the reception is valid.
)"},
    {"rds", R"(Usage: qm412 rds --device ADDR [--json]

Asks the device for the RDS data of every tuner unit: station name, radio text and clock time.
)"},
    {"record", R"(Usage: qm412 record --device ADDR [--seconds N] [--units LIST] [--out DIR] [options]

Records the audio of the tuner units, one stereo WAV file per unit at the device's sample rate.
  --seconds N        how long (default 5; fractions allowed, at most 3600)
  --units LIST       which units, 1-based, comma-separated (default: all)
  --out DIR          folder for the files (default: the current one); names are PREFIX-unitN.wav
  --prefix PREFIX    file name prefix (default qm412)
  --format F         float (32-bit float, default) or pcm24 (24-bit integer)
  --rtp-port B       base of the local audio ports: unit N arrives on B+2*N (default: free ports)
Shows a progress line on a terminal and a summary of peak and RMS level per unit at the end.
)"},
};

struct Options {
    std::string Command;
    std::vector<std::string> Args;
    bool Help = false;
    bool Json = false;
    std::string Device;
    uint16_t Port = 15001;
    std::string Host;
    uint16_t HostPort = 0;
    std::string Broadcast = "255.255.255.255";
    double Seconds = 5;
    std::vector<uint32_t> Units;  // 0-based; empty: all
    std::string Out = ".";
    std::string Prefix = "qm412";
    cli::WavFormat Format = cli::WavFormat::Float32;
    uint16_t RtpPort = 0;
};

void Usage(const std::string& what) { std::fprintf(stderr, "qm412: %s (see qm412 --help)\n", what.c_str()); }

bool ParsePort(const std::string& text, uint16_t& port, bool allowZero) {
    uint64_t v = 0;
    if (!cli::ParseUint(text, 65535, v) || (v == 0 && !allowZero)) return false;
    port = static_cast<uint16_t>(v);
    return true;
}

bool ParseUnits(const std::string& text, std::vector<uint32_t>& units) {
    size_t start = 0;
    while (start <= text.size()) {
        const size_t comma = std::min(text.find(',', start), text.size());
        uint64_t v = 0;
        if (!cli::ParseUint(text.substr(start, comma - start), 64, v) || v == 0) return false;
        if (std::find(units.begin(), units.end(), v - 1) == units.end()) units.push_back(static_cast<uint32_t>(v - 1));
        start = comma + 1;
    }
    return !units.empty();
}

// Returns ExitOk, or ExitUsage after saying what is wrong.
int ParseCommandLine(int argc, char** argv, Options& o) {
    using Setter = std::function<bool(const std::string&)>;
    const std::set<std::string> device = {"info", "freq", "quality", "rds", "record"};
    const std::set<std::string> all = {"find", "info", "freq", "quality", "rds", "record"};
    struct Option {
        std::set<std::string> Commands;
        Setter Set;
    };
    const std::map<std::string, Option> options = {
        {"--device", {device, [&](const std::string& v) { o.Device = v; return !v.empty(); }}},
        {"--port", {all, [&](const std::string& v) { return ParsePort(v, o.Port, false); }}},
        {"--host", {all, [&](const std::string& v) { o.Host = v; return !v.empty(); }}},
        {"--host-port", {all, [&](const std::string& v) { return ParsePort(v, o.HostPort, false); }}},
        {"--broadcast", {{"find"}, [&](const std::string& v) { o.Broadcast = v; return !v.empty(); }}},
        {"--seconds", {{"record"}, [&](const std::string& v) {
             try {
                 size_t used = 0;
                 o.Seconds = std::stod(v, &used);
                 return used == v.size() && o.Seconds > 0 && o.Seconds <= 3600;
             } catch (...) {
                 return false;
             }
         }}},
        {"--units", {{"record"}, [&](const std::string& v) { return ParseUnits(v, o.Units); }}},
        {"--out", {{"record"}, [&](const std::string& v) { o.Out = v; return !v.empty(); }}},
        {"--prefix", {{"record"}, [&](const std::string& v) { o.Prefix = v; return !v.empty(); }}},
        {"--format", {{"record"}, [&](const std::string& v) {
             if (v == "float") o.Format = cli::WavFormat::Float32;
             else if (v == "pcm24") o.Format = cli::WavFormat::Pcm24;
             else return false;
             return true;
         }}},
        {"--rtp-port", {{"record"}, [&](const std::string& v) { return ParsePort(v, o.RtpPort, false); }}},
    };

    std::vector<std::pair<std::string, const Option*>> given;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            o.Help = true;
            continue;
        }
        if (arg == "--json") {
            o.Json = true;
            continue;
        }
        if (arg.size() > 2 && arg.compare(0, 2, "--") == 0) {
            std::string value;
            bool haveValue = false;
            if (const size_t eq = arg.find('='); eq != std::string::npos) {
                value = arg.substr(eq + 1);
                arg.resize(eq);
                haveValue = true;
            }
            const auto it = options.find(arg);
            if (it == options.end()) {
                Usage("unknown option " + arg);
                return ExitUsage;
            }
            if (!haveValue) {
                if (i + 1 >= argc) {
                    Usage(arg + " needs a value");
                    return ExitUsage;
                }
                value = argv[++i];
            }
            given.emplace_back(arg, &it->second);
            if (!it->second.Set(value)) {
                Usage("bad value for " + arg + ": " + value);
                return ExitUsage;
            }
            continue;
        }
        if (o.Command.empty()) {
            if (!all.count(arg)) {
                Usage("unknown command " + arg);
                return ExitUsage;
            }
            o.Command = arg;
        } else {
            o.Args.push_back(arg);
        }
    }
    if (o.Help) return ExitOk;
    if (o.Command.empty()) {
        Usage("no command given");
        return ExitUsage;
    }
    for (const auto& [name, option] : given) {
        if (!option->Commands.count(o.Command)) {
            Usage(name + " does not apply to " + o.Command);
            return ExitUsage;
        }
    }
    if (o.Command != "freq" && !o.Args.empty()) {
        Usage("unexpected argument " + o.Args.front());
        return ExitUsage;
    }
    if (device.count(o.Command) && o.Device.empty()) {
        Usage(o.Command + " needs --device ADDR");
        return ExitUsage;
    }
    return ExitOk;
}

// Says what failed, in words and, with --json, as {"ok":false,"error":...} on stdout.
int Fail(const Options& o, const std::string& what) {
    std::fprintf(stderr, "qm412: %s\n", what.c_str());
    if (o.Json) std::printf("{\"ok\":false,\"error\":%s}\n", cli::JsonString(what).c_str());
    return ExitFailed;
}

std::string Mhz(uint32_t khz) {
    char text[32];
    std::snprintf(text, sizeof text, "%u.%03u MHz", khz / 1000, khz % 1000);
    return text;
}

std::string Dbfs(double level) {
    if (level <= 0) return "-inf dBFS";
    char text[32];
    std::snprintf(text, sizeof text, "%.1f dBFS", 20 * std::log10(level));
    return text;
}

// The device connection every command but find needs.
class Session {
public:
    Session(const Options& o, cli::ErrorCapture& errors) : _o(o), _errors(errors) {}
    ~Session() {
        if (_device) _device->Deinit();
    }

    // False after reporting the failure.
    bool Connect() {
        DeviceInitSettings settings;
        settings.PeerAddr = _o.Device;
        settings.PeerJsonPort = _o.Port;
        settings.HostAddr = _o.Host.empty() ? cli::LocalAddressFor(_o.Device) : _o.Host;
        settings.HostJsonPort = _o.HostPort ? _o.HostPort : cli::FreeUdpPort(settings.HostAddr);
        _hostAddr = settings.HostAddr;
        if (settings.HostJsonPort == 0) {
            _exit = Fail(_o, "no free local UDP port on " + settings.HostAddr);
            return false;
        }
        _device.reset(CreateQm412());
        if (!_device->Init(settings)) {
            _exit = Fail(_o, "cannot connect to the QM412 at " + Where() + ": " +
                                 _errors.TakeText("no answer") +
                                 "; is the device on, and are address and port right?" + LogHint());
            return false;
        }
        _units = _device->GetDeviceInfo().NumInputs;
        return true;
    }

    IQm412& Device() { return *_device; }
    uint32_t Units() const { return _units; }
    const std::string& HostAddr() const { return _hostAddr; }
    std::string Where() const { return _o.Device + ":" + std::to_string(_o.Port); }
    int Exit() const { return _exit; }
    int Failed(const std::string& what) {
        _exit = Fail(_o, what + ": " + _errors.TakeText("the device did not answer") + LogHint());
        return _exit;
    }
    std::string LogHint() {
        const std::string path = _errors.LogFilePath();
        return path.empty() ? std::string() : " (details in " + path + ")";
    }

private:
    const Options& _o;
    cli::ErrorCapture& _errors;
    std::unique_ptr<IQm412> _device;
    uint32_t _units = 0;
    std::string _hostAddr;
    int _exit = ExitFailed;
};

int Find(const Options& o, cli::ErrorCapture& errors) {
    const std::string host = o.Host.empty() ? cli::LocalAddressFor(o.Broadcast) : o.Host;
    const uint16_t hostPort = o.HostPort ? o.HostPort : cli::FreeUdpPort(host);
    if (hostPort == 0) return Fail(o, "no free local UDP port on " + host);
    if (!o.Json) std::fprintf(stderr, "Searching %s:%u for 3 seconds...\n", o.Broadcast.c_str(), o.Port);
    std::vector<DeviceInfoEx> devices;
    if (!FindActiveDevices(host, hostPort, o.Broadcast, o.Port, devices))
        return Fail(o, "the search could not run: " + errors.TakeText("unknown reason"));

    if (o.Json) {
        std::string out = "{\"ok\":true,\"devices\":[";
        for (size_t i = 0; i < devices.size(); ++i) {
            const DeviceInfoEx& d = devices[i];
            out += (i ? "," : "");
            out += "{\"unit_id\":" + cli::JsonString(d.UnitId) + ",\"address\":" + cli::JsonString(d.UnitAddr) +
                   ",\"port\":" + std::to_string(d.UnitPort) + ",\"inputs\":" + std::to_string(d.NumInputs) +
                   ",\"hardware\":" + std::to_string(d.HardwareVersion) +
                   ",\"firmware\":" + std::to_string(d.FirmwareVersion) +
                   ",\"software\":" + std::to_string(d.SoftwareVersion) + "}";
        }
        std::printf("%s]}\n", out.c_str());
    } else {
        for (const DeviceInfoEx& d : devices)
            std::printf("%-20s %s:%u  %u tuner units  hw %u fw %u sw %u\n", d.UnitId.c_str(), d.UnitAddr.c_str(),
                        d.UnitPort, d.NumInputs, d.HardwareVersion, d.FirmwareVersion, d.SoftwareVersion);
    }
    if (devices.empty()) {
        std::fprintf(stderr, "qm412: no device answered at %s:%u\n", o.Broadcast.c_str(), o.Port);
        return ExitFailed;
    }
    return ExitOk;
}

const char* StateText(DeviceConnectState state) {
    switch (state) {
    case DeviceConnectState::Connected: return "Connected";
    case DeviceConnectState::RtpActive: return "RtpActive";
    default: return "Disconnected";
    }
}

int Info(const Options& o, Session& s) {
    IQm412& dev = s.Device();
    const DeviceInfo d = dev.GetDeviceInfo();
    const char* state = StateText(dev.GetDeviceConnectState());
    if (o.Json) {
        std::printf("{\"ok\":true,\"unit_id\":%s,\"address\":%s,\"port\":%u,\"state\":\"%s\",\"inputs\":%u,"
                    "\"sample_rate\":%u,\"cycle_samples\":%u,\"hardware\":%u,\"firmware\":%u,\"software\":%u,"
                    "\"audio_protocol\":%u,\"control_protocol\":%u,\"rtp_port\":%u}\n",
                    cli::JsonString(d.UnitId).c_str(), cli::JsonString(o.Device).c_str(), o.Port, state,
                    d.NumInputs, dev.GetSampleFreq(), dev.GetNumCycleSamples(), d.HardwareVersion,
                    d.FirmwareVersion, d.SoftwareVersion, d.AudioProtocolVersion, d.ControlProtocolVersion,
                    d.PeerRtpPort);
        return ExitOk;
    }
    std::printf("Device       %s at %s\n", d.UnitId.c_str(), s.Where().c_str());
    std::printf("State        %s\n", state);
    std::printf("Tuner units  %u\n", d.NumInputs);
    std::printf("Audio        %u Hz, %u samples per cycle, stereo per unit\n", dev.GetSampleFreq(),
                dev.GetNumCycleSamples());
    std::printf("Versions     hardware %u, firmware %u, software %u, audio protocol %u, control protocol %u\n",
                d.HardwareVersion, d.FirmwareVersion, d.SoftwareVersion, d.AudioProtocolVersion,
                d.ControlProtocolVersion);
    std::printf("RTP port     %u\n", d.PeerRtpPort);
    return ExitOk;
}

void PrintFreqs(const Options& o, const std::vector<uint32_t>& freqs) {
    if (o.Json) {
        std::string out = "{\"ok\":true,\"freqs_khz\":[";
        for (size_t i = 0; i < freqs.size(); ++i) {
            if (i) out += ',';
            out += std::to_string(freqs[i]);
        }
        std::printf("%s]}\n", out.c_str());
        return;
    }
    for (size_t i = 0; i < freqs.size(); ++i)
        std::printf("unit %zu  %s  (%u kHz)\n", i + 1, Mhz(freqs[i]).c_str(), freqs[i]);
}

int Freq(const Options& o, Session& s) {
    std::vector<uint32_t> freqs(s.Units());
    if (o.Args.size() > freqs.size())
        return Fail(o, "the device has " + std::to_string(freqs.size()) + " tuner units, " +
                           std::to_string(o.Args.size()) + " frequencies given");
    if (!s.Device().GetUnitRadioFreqs(freqs.data(), o.Args.empty()))
        return s.Failed("cannot read the frequencies");
    if (o.Args.empty()) {
        PrintFreqs(o, freqs);
        return ExitOk;
    }
    for (size_t i = 0; i < o.Args.size(); ++i) {
        if (o.Args[i] == "-") continue;
        if (!cli::ParseFrequencyKhz(o.Args[i], freqs[i])) {
            Usage("bad frequency " + o.Args[i] + ": give MHz (94.3) or kHz (94300)");
            return ExitUsage;
        }
    }
    if (!s.Device().SetUnitRadioFreqs(freqs.data())) return s.Failed("cannot tune");
    if (!s.Device().GetUnitRadioFreqs(freqs.data(), false)) return s.Failed("cannot read the frequencies");
    PrintFreqs(o, freqs);
    return ExitOk;
}

int Quality(const Options& o, Session& s) {
    std::vector<Qm412TunerQualityValues> q(s.Units());
    if (!s.Device().GetUnitRadioQuality(q.data(), true)) return s.Failed("cannot read the reception quality");
    if (o.Json) {
        std::string out = "{\"ok\":true,\"units\":[";
        for (size_t i = 0; i < q.size(); ++i)
            out += std::string(i ? "," : "") + "{\"unit\":" + std::to_string(i + 1) +
                   ",\"rssi\":" + std::to_string(q[i]._RSSI) + ",\"snr\":" + std::to_string(q[i]._SNR) +
                   ",\"multipath\":" + std::to_string(q[i]._MultiPath) + ",\"pilot\":" + std::to_string(q[i]._Pilot) +
                   ",\"valid\":" + std::to_string(q[i]._Valid) + "}";
        std::printf("%s]}\n", out.c_str());
        return ExitOk;
    }
    std::printf("unit   RSSI    SNR  multipath  pilot  valid\n");
    for (size_t i = 0; i < q.size(); ++i)
        std::printf("%4zu  %5u  %5u  %9u  %5s  %5s\n", i + 1, q[i]._RSSI, q[i]._SNR, q[i]._MultiPath,
                    q[i]._Pilot ? "yes" : "no", q[i]._Valid ? "yes" : "no");
    return ExitOk;
}

int Rds(const Options& o, Session& s) {
    std::vector<Qm412TunerRdsDataValues> r(s.Units());
    if (!s.Device().GetUnitRdsData(r.data(), true)) return s.Failed("cannot read the RDS data");
    if (o.Json) {
        std::string out = "{\"ok\":true,\"units\":[";
        for (size_t i = 0; i < r.size(); ++i)
            out += std::string(i ? "," : "") + "{\"unit\":" + std::to_string(i + 1) +
                   ",\"ps\":" + cli::JsonString(cli::ToUtf8(r[i]._RdsPSrv)) +
                   ",\"text\":" + cli::JsonString(cli::ToUtf8(r[i]._RdsText)) +
                   ",\"time\":" + cli::JsonString(cli::ToUtf8(r[i]._RdsTime)) + "}";
        std::printf("%s]}\n", out.c_str());
        return ExitOk;
    }
    for (size_t i = 0; i < r.size(); ++i)
        std::printf("unit %zu  station \"%s\"  time \"%s\"\n        text \"%s\"\n", i + 1,
                    cli::ToUtf8(r[i]._RdsPSrv).c_str(), cli::ToUtf8(r[i]._RdsTime).c_str(),
                    cli::ToUtf8(r[i]._RdsText).c_str());
    return ExitOk;
}

// Audio handed over from the library's audio thread to the writing thread.
struct Capture {
    std::mutex Mutex;
    std::condition_variable Arrived;
    // Guarded by Mutex: per selected unit, left and right samples not yet written.
    std::vector<std::vector<float>> Left, Right;
    uint64_t Taken = 0;  // frames taken per unit so far; guarded by Mutex
    uint64_t Wanted = 0;
};

int Record(const Options& o, Session& s) {
    IQm412& dev = s.Device();
    std::vector<uint32_t> units = o.Units;
    if (units.empty())
        for (uint32_t i = 0; i < s.Units(); ++i) units.push_back(i);
    for (uint32_t u : units)
        if (u >= s.Units())
            return Fail(o, "the device has no unit " + std::to_string(u + 1) + " (it has " +
                               std::to_string(s.Units()) + ")");
    const uint32_t rate = dev.GetSampleFreq();
    if (rate == 0) return Fail(o, "the device reports no sample rate");

    std::vector<std::unique_ptr<cli::WavWriter>> files;
    std::vector<std::string> paths;
    for (uint32_t u : units) {
        paths.push_back(o.Out + "/" + o.Prefix + "-unit" + std::to_string(u + 1) + ".wav");
        files.push_back(std::make_unique<cli::WavWriter>());
        std::string error;
        if (!files.back()->Open(paths.back(), o.Format, rate, error))
            return Fail(o, "cannot create " + paths.back() + ": " + error);
    }

    Capture capture;
    capture.Left.resize(units.size());
    capture.Right.resize(units.size());
    capture.Wanted = static_cast<uint64_t>(std::llround(o.Seconds * rate));
    const uint32_t channelsNeeded = 2 * s.Units();

    DeviceStartSettings start;
    start.HostRtpPort = o.RtpPort ? o.RtpPort : cli::FreeRtpPortBase(s.HostAddr(), s.Units());
    if (start.HostRtpPort == 0) return Fail(o, "no free local UDP ports for the audio on " + s.HostAddr());
    // Runs on the library's audio thread: copy and leave.
    start.RtpExchangeCallback = [&capture, &units, channelsNeeded](const buffer_ptrs& record, size_t samples) {
        if (record.size() < channelsNeeded) return;
        std::lock_guard<std::mutex> lock(capture.Mutex);
        const uint64_t n = std::min<uint64_t>(samples, capture.Wanted - capture.Taken);
        if (n == 0) return;
        for (size_t k = 0; k < units.size(); ++k) {
            const float* l = record[2 * units[k]];
            const float* r = record[2 * units[k] + 1];
            capture.Left[k].insert(capture.Left[k].end(), l, l + n);
            capture.Right[k].insert(capture.Right[k].end(), r, r + n);
        }
        capture.Taken += n;
        capture.Arrived.notify_one();
    };
    if (!dev.Start(start)) return s.Failed("cannot start the audio");

    const bool progress = !o.Json && isatty(STDERR_FILENO);
    bool writeFailed = false;
    bool stalled = false;
    auto writeOut = [&](std::vector<std::vector<float>>& left, std::vector<std::vector<float>>& right) {
        for (size_t k = 0; k < files.size(); ++k) {
            if (!files[k]->Write(left[k].data(), right[k].data(), left[k].size())) writeFailed = true;
            left[k].clear();
            right[k].clear();
        }
    };
    std::vector<std::vector<float>> left(units.size()), right(units.size());
    uint64_t taken = 0;
    auto lastArrival = std::chrono::steady_clock::now();
    while (taken < capture.Wanted && !writeFailed) {
        {
            std::unique_lock<std::mutex> lock(capture.Mutex);
            capture.Arrived.wait_for(lock, std::chrono::milliseconds(100));
            if (capture.Taken != taken) lastArrival = std::chrono::steady_clock::now();
            taken = capture.Taken;
            left.swap(capture.Left);
            right.swap(capture.Right);
        }
        writeOut(left, right);
        if (progress)
            std::fprintf(stderr, "\rrecording %.1f / %.1f s", static_cast<double>(taken) / rate, o.Seconds);
        // The device streams continuously; a gap this long means the audio does not reach us.
        if (std::chrono::steady_clock::now() - lastArrival > std::chrono::seconds(3)) {
            stalled = true;
            break;
        }
    }
    if (progress) std::fprintf(stderr, "\n");
    dev.Stop();
    {
        std::lock_guard<std::mutex> lock(capture.Mutex);
        left.swap(capture.Left);
        right.swap(capture.Right);
    }
    writeOut(left, right);
    for (auto& f : files)
        if (!f->Close()) writeFailed = true;

    if (writeFailed) return Fail(o, "writing the WAV files failed (disk full?)");
    if (stalled)
        return Fail(o, taken ? "the audio stopped arriving from " + s.Where()
                             : "no audio arrived from " + s.Where() + " (a firewall blocking UDP ports " +
                                   std::to_string(start.HostRtpPort + 2) + " and up?)");

    if (o.Json) {
        std::string out = "{\"ok\":true,\"sample_rate\":" + std::to_string(rate) + ",\"units\":[";
        for (size_t k = 0; k < files.size(); ++k) {
            char levels[160];
            std::snprintf(levels, sizeof levels,
                          ",\"frames\":%llu,\"peak\":[%.6f,%.6f],\"rms\":[%.6f,%.6f]}",
                          static_cast<unsigned long long>(files[k]->Frames()), files[k]->Peak(0), files[k]->Peak(1),
                          files[k]->Rms(0), files[k]->Rms(1));
            out += std::string(k ? "," : "") + "{\"unit\":" + std::to_string(units[k] + 1) +
                   ",\"file\":" + cli::JsonString(paths[k]) + levels;
        }
        std::printf("%s]}\n", out.c_str());
        return ExitOk;
    }
    std::printf("Recorded %.1f s at %u Hz, stereo, %s:\n", o.Seconds, rate,
                o.Format == cli::WavFormat::Float32 ? "32-bit float" : "24-bit PCM");
    for (size_t k = 0; k < files.size(); ++k)
        std::printf("unit %u  %s  peak L %s R %s  RMS L %s R %s\n", units[k] + 1, paths[k].c_str(),
                    Dbfs(files[k]->Peak(0)).c_str(), Dbfs(files[k]->Peak(1)).c_str(), Dbfs(files[k]->Rms(0)).c_str(),
                    Dbfs(files[k]->Rms(1)).c_str());
    return ExitOk;
}

} // namespace

int main(int argc, char** argv) {
    Options o;
    if (const int rc = ParseCommandLine(argc, argv, o); rc != ExitOk) return rc;
    if (o.Help) {
        const auto it = CommandUsage.find(o.Command);
        std::fputs(it == CommandUsage.end() ? MainUsage : it->second.c_str(), stdout);
        return ExitOk;
    }

    cli::ErrorCapture errors;
    if (o.Command == "find") return Find(o, errors);

    Session session(o, errors);
    if (!session.Connect()) return session.Exit();
    if (o.Command == "info") return Info(o, session);
    if (o.Command == "freq") return Freq(o, session);
    if (o.Command == "quality") return Quality(o, session);
    if (o.Command == "rds") return Rds(o, session);
    return Record(o, session);
}
