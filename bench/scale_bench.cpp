// Many tuners in one process: 1, 4 and 16 emulated QM412 devices of 4 units each stream into this
// process through the public interface. Per device count it measures the process's CPU time per
// device-second, its resident memory per device, and the share of audio cycles delivered on time
// (no exchange callback later than one packet period behind the device's clock).
//
// The emulators run in a child process (this program started again with --host-emulators N), so
// the figures are the SDK's alone.
//
// Usage: scale_bench [json output] [seconds per count, default 10]
#include "sdk412.h"

#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cli/LocalNet.h"
#include "emulator/Qm412Emulator.h"

extern char** environ;

namespace {

using namespace Ostrel::SDK;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr uint32_t Units = 4;
constexpr double PacketPeriodUs = 192.0 * 1e6 / 48000.0;  // 4 ms: one packet, one cycle
constexpr auto WarmUp = 3s;

[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "scale_bench: %s\n", what.c_str());
    std::exit(1);
}

// --- the emulator host (child process) ---------------------------------------------------------

// Starts count emulators, writes their control ports to stdout one per line, then runs until
// stdin closes.
int HostEmulators(int count) {
    std::vector<std::unique_ptr<emu::Qm412Emulator>> devices;
    for (int i = 0; i < count; ++i) {
        emu::EmulatorConfig config;
        config.UnitId = "QM412-SCALE-" + std::to_string(i);
        config.Inputs = Units;
        config.BroadcastAddress.clear();
        devices.push_back(std::make_unique<emu::Qm412Emulator>(config));
        std::string error;
        if (!devices.back()->Start(&error)) Fail("emulator: " + error);
        std::printf("%u\n", devices.back()->Port());
    }
    std::fflush(stdout);
    char byte;
    while (read(STDIN_FILENO, &byte, 1) > 0) {
    }
    return 0;
}

struct Host {
    pid_t Pid = -1;
    int ToChild = -1;
    std::vector<uint16_t> Ports;
};

Host StartHost(const char* self, int count) {
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) Fail("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, in[1]);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    const std::string n = std::to_string(count);
    char* argv[] = {const_cast<char*>(self), const_cast<char*>("--host-emulators"), const_cast<char*>(n.c_str()), nullptr};
    Host host;
    if (posix_spawn(&host.Pid, self, &actions, nullptr, argv, environ) != 0) Fail("cannot start the emulator host");
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    host.ToChild = in[1];
    FILE* ports = fdopen(out[0], "r");
    unsigned port = 0;
    while (static_cast<int>(host.Ports.size()) < count && std::fscanf(ports, "%u", &port) == 1)
        host.Ports.push_back(static_cast<uint16_t>(port));
    std::fclose(ports);
    if (static_cast<int>(host.Ports.size()) != count) Fail("the emulator host did not report its ports");
    return host;
}

void StopHost(Host& host) {
    close(host.ToChild);
    int status = 0;
    waitpid(host.Pid, &status, 0);
}

// --- process figures ------------------------------------------------------------------------------

double ResidentBytes() {
    std::ifstream statm("/proc/self/statm");
    double pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * static_cast<double>(sysconf(_SC_PAGESIZE));
}

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// --- cycle timing -----------------------------------------------------------------------------------

// Callback times of one device within the measured window. A cycle is late when it comes more
// than one packet period after the device's clock says it could: the clock is the earliest
// arrival, reduced by k periods, of the window (both sides run on this machine's clock).
struct CycleTimes {
    std::mutex Mutex;
    bool Recording = false;       // guarded by Mutex
    std::vector<double> ArrivalUs;  // guarded by Mutex; reserved before recording starts

    void Arrived() {
        const double us = std::chrono::duration<double, std::micro>(Clock::now().time_since_epoch()).count();
        std::lock_guard<std::mutex> lock(Mutex);
        if (Recording && ArrivalUs.size() < ArrivalUs.capacity()) ArrivalUs.push_back(us);
    }
};

struct Figures {
    int Devices = 0;
    double Seconds = 0;
    double CpuMsPerDeviceSecond = 0;
    double ResidentMbPerDevice = 0;
    uint64_t Cycles = 0;
    uint64_t OnTime = 0;
    double WorstLateMs = 0;
};

Figures Run(const char* self, int count, double seconds) {
    const double residentBefore = ResidentBytes();
    Host host = StartHost(self, count);
    std::vector<std::unique_ptr<IQm412>> devices;
    std::vector<std::unique_ptr<CycleTimes>> times;
    for (int i = 0; i < count; ++i) {
        devices.emplace_back(CreateQm412());
        times.push_back(std::make_unique<CycleTimes>());
        times.back()->ArrivalUs.reserve(static_cast<size_t>(seconds * 1e6 / PacketPeriodUs * 1.5) + 100);
        DeviceInitSettings init;
        init.PeerAddr = "127.0.0.1";
        init.PeerJsonPort = host.Ports[i];
        init.HostAddr = "127.0.0.1";
        init.HostJsonPort = cli::FreeUdpPort(init.HostAddr);
        if (!devices.back()->Init(init)) Fail("Init of device " + std::to_string(i) + " failed");
        DeviceStartSettings start;
        start.RtpExchangeCallback = [t = times.back().get()](const buffer_ptrs&, size_t) { t->Arrived(); };
        bool started = false;
        for (int attempt = 0; attempt < 5 && !started; ++attempt) {
            start.HostRtpPort = cli::FreeRtpPortBase(init.HostAddr, Units);
            started = start.HostRtpPort != 0 && devices.back()->Start(start);
        }
        if (!started) Fail("Start of device " + std::to_string(i) + " failed");
    }
    std::this_thread::sleep_for(WarmUp);
    for (auto& t : times) {
        std::lock_guard<std::mutex> lock(t->Mutex);
        t->Recording = true;
    }
    const double cpu0 = CpuSeconds();
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double cpu1 = CpuSeconds();
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    const double residentDuring = ResidentBytes();
    for (auto& t : times) {
        std::lock_guard<std::mutex> lock(t->Mutex);
        t->Recording = false;
    }
    for (auto& d : devices) {
        d->Stop();
        d->Deinit();
    }
    devices.clear();
    StopHost(host);

    Figures f;
    f.Devices = count;
    f.Seconds = wall;
    f.CpuMsPerDeviceSecond = (cpu1 - cpu0) * 1000.0 / (wall * count);
    f.ResidentMbPerDevice = (residentDuring - residentBefore) / 1048576.0 / count;
    for (auto& t : times) {
        const auto& a = t->ArrivalUs;
        if (a.empty()) continue;
        double clock = a[0];
        for (size_t k = 0; k < a.size(); ++k) clock = std::min(clock, a[k] - k * PacketPeriodUs);
        for (size_t k = 0; k < a.size(); ++k) {
            const double late = a[k] - k * PacketPeriodUs - clock;
            f.OnTime += late <= PacketPeriodUs;
            f.WorstLateMs = std::max(f.WorstLateMs, late / 1000.0);
        }
        f.Cycles += a.size();
    }
    return f;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--host-emulators") == 0) return HostEmulators(std::atoi(argv[2]));
    const char* json = argc > 1 ? argv[1] : nullptr;
    const double seconds = argc > 2 ? std::atof(argv[2]) : 10.0;
    if (!(seconds > 0)) Fail("usage: scale_bench [json output] [seconds per count]");
    signal(SIGPIPE, SIG_IGN);

    std::vector<Figures> all;
    std::printf("%8s %22s %20s %10s %10s %14s\n", "devices", "CPU ms/device-second", "resident MB/device", "cycles",
                "on time", "worst late ms");
    for (int count : {1, 4, 16}) {
        const Figures f = Run(argv[0], count, seconds);
        std::printf("%8d %22.2f %20.2f %10llu %9.2f%% %14.2f\n", f.Devices, f.CpuMsPerDeviceSecond, f.ResidentMbPerDevice,
                    static_cast<unsigned long long>(f.Cycles), f.Cycles ? 100.0 * f.OnTime / f.Cycles : 0.0, f.WorstLateMs);
        std::fflush(stdout);
        all.push_back(f);
    }
    if (json) {
        std::ofstream out(json);
        out << "{\"cycle_us\": " << PacketPeriodUs << ", \"seconds\": " << seconds << ", \"runs\": [";
        for (size_t i = 0; i < all.size(); ++i) {
            const Figures& f = all[i];
            out << (i ? ", " : "") << "{\"devices\": " << f.Devices << ", \"units\": " << f.Devices * Units
                << ", \"cpu_ms_per_device_second\": " << f.CpuMsPerDeviceSecond
                << ", \"resident_mb_per_device\": " << f.ResidentMbPerDevice << ", \"cycles\": " << f.Cycles
                << ", \"on_time\": " << f.OnTime << ", \"worst_late_ms\": " << f.WorstLateMs << "}";
        }
        out << "]}\n";
    }
    return 0;
}
