// qm412-soak: an application that streams from an emulated QM412 and queries it without pause,
// while the emulator drops, repeats and reorders packets and the network throws bad datagrams at
// the application every minute. It checks what a user of the SDK counts on and prints the figures:
//
//   - every query (frequencies, quality, RDS, every 100 ms) succeeds or fails within its bound;
//   - audio continuity: a block of a channel is either silent (its packet was lost) or the next
//     piece of the unit's tone, in order, so nothing is repeated, reordered or shifted;
//   - resident memory after warm-up grows less than 1 MB (not under a sanitizer, whose
//     quarantine holds freed memory on purpose);
//   - no crash; under the address sanitizer, no leak at exit.
//
// Usage: qm412-soak [--minutes M] [--seed S]   (M may be fractional; default 1)
// Exit code 0 when every check holds, 1 otherwise, 2 on bad usage or when the run cannot start.
#include "sdk412.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <numbers>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "cli/LocalNet.h"
#include "emulator/Qm412Emulator.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define SOAK_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define SOAK_SANITIZED 1
#endif
#endif

namespace {

using namespace Ostrel::SDK;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr uint32_t Units = 4;
constexpr uint32_t Channels = 2 * Units;
constexpr double SampleRate = 48000;
// A request waits up to 2000 ms for its acknowledgement and as long again for its answer; the
// rest is scheduling slack on a loaded machine.
constexpr auto QueryBound = 4500ms;
constexpr auto QueryInterval = 100ms;
constexpr auto AttackInterval = 60s;
constexpr auto FirstAttack = 10s;
[[maybe_unused]] constexpr double MemoryGrowthLimit = 1024.0 * 1024.0;

// --- plain sockets on 127.0.0.1 -----------------------------------------------------------------

sockaddr_in Loopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
}

int BoundSocket(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const sockaddr_in a = Loopback(port);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

double ResidentBytes() {
    std::ifstream statm("/proc/self/statm");
    double pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * static_cast<double>(sysconf(_SC_PAGESIZE));
}

// --- audio continuity -----------------------------------------------------------------------------

// Follows one channel's tone block by block. Each block is fitted as a sin(w n) + b cos(w n) over
// the absolute sample index n of the stream; while the stream is continuous (a, b) stays put, so
// a block whose fit moves is out of place. Runs on the audio thread; allocates nothing.
class ToneFollower {
public:
    void Reset(double frequencyHz) {
        _w = 2 * std::numbers::pi * frequencyHz / SampleRate;
        _index = 0;
        _haveReference = false;
    }

    void Block(const float* x, size_t n, bool counted) {
        const uint64_t start = _index;
        _index += n;
        bool silent = true;
        for (size_t k = 0; k < n && silent; ++k) silent = x[k] == 0.0f;
        if (!counted) return;
        if (silent) {
            ++Silent;
            return;
        }
        ++Sounding;
        double ss = 0, cc = 0, sc = 0, xs = 0, xc = 0;
        for (size_t k = 0; k < n; ++k) {
            const double phase = _w * static_cast<double>(start + k);
            const double s = std::sin(phase), c = std::cos(phase);
            ss += s * s, cc += c * c, sc += s * c, xs += x[k] * s, xc += x[k] * c;
        }
        const double det = ss * cc - sc * sc;
        if (std::fabs(det) < 1e-9) return;
        const double a = (xs * cc - xc * sc) / det;
        const double b = (xc * ss - xs * sc) / det;
        double worst = 0;
        for (size_t k = 0; k < n; ++k) {
            const double phase = _w * static_cast<double>(start + k);
            worst = std::max(worst, std::fabs(x[k] - (a * std::sin(phase) + b * std::cos(phase))));
        }
        if (worst > Tolerance) {
            ++Broken;  // not one piece of a sine: frames of two places, or damaged samples
            return;
        }
        if (_haveReference && std::hypot(a - _a, b - _b) > Tolerance) ++Jumps;
        _a = a, _b = b, _haveReference = true;
    }

    static constexpr double Tolerance = 2e-3;
    uint64_t Silent = 0;
    uint64_t Sounding = 0;
    uint64_t Broken = 0;
    uint64_t Jumps = 0;

private:
    double _w = 0;
    uint64_t _index = 0;
    bool _haveReference = false;
    double _a = 0, _b = 0;
};

struct AudioCheck {
    std::mutex Mutex;  // the audio thread holds it per cycle; the reader takes snapshots
    ToneFollower Followers[Channels];
    uint64_t Cycles = 0;
    uint64_t BadShape = 0;  // cycles with another channel count or block length
    Clock::time_point CountFrom;  // blocks before this are the receive delay filling up
};

// --- bad input from the network -------------------------------------------------------------------

struct Attacker {
    uint16_t HostControlPort = 0;
    uint16_t RtpBase = 0;
    emu::Qm412Emulator* Device = nullptr;
    std::mt19937 Random{7};
    uint64_t Sent = 0;

    void Burst() {
        const int fd = BoundSocket(0);
        if (fd < 0) return;
        auto send = [&](const std::string& bytes, uint16_t port) {
            const sockaddr_in to = Loopback(port);
            if (sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) >= 0) ++Sent;
        };
        // Random bytes, from a stranger and from the device's own address and port.
        std::uniform_int_distribution<int> byte(0, 255), length(0, 1400);
        for (int i = 0; i < 200; ++i) {
            std::string garbage(static_cast<size_t>(length(Random)), '\0');
            for (char& c : garbage) c = static_cast<char>(byte(Random));
            send(garbage, HostControlPort);
        }
        Device->SendGarbage("127.0.0.1", HostControlPort, 200);
        // Deeply nested JSON, as arrays and as objects.
        send(std::string(60000, '[') + std::string(1, '\0'), HostControlPort);
        std::string objects;
        for (int i = 0; i < 6000; ++i) objects += "{\"a\":";
        send(objects + std::string(1, '\0'), HostControlPort);
        // Messages that declare attachments far beyond anything a datagram or its segments carry.
        for (const char* att : {"4294967295", "2147483648", "100000000", "65536"}) {
            send(std::string("{\"att\":") + att + ",\"msg\":\"fm_freq\",\"msg_id\":77}" + std::string(1, '\0') + "abc",
                 HostControlPort);
            send(std::string("{\"att\":") + att + ",\"leader_id\":77,\"msg\":\"attach\",\"msg_id\":78,\"seg_count\":"
                     "1000000,\"seg_number\":2}" + std::string(1, '\0') + "x",
                 HostControlPort);
        }
        // RTP datagrams shorter than a header, of every short length, to every unit's port.
        for (uint32_t unit = 0; unit < Units; ++unit)
            for (size_t len = 0; len < 12; ++len)
                send(std::string(len, '\x80'), static_cast<uint16_t>(RtpBase + 2 + 2 * unit));
        close(fd);
    }
};

// --- queries -----------------------------------------------------------------------------------------

struct QueryStats {
    uint64_t Ok = 0;
    uint64_t Failed = 0;
    uint64_t OverBound = 0;
    double WorstMs = 0;
    double TotalMs = 0;
};

template <typename F>
void TimedQuery(QueryStats& stats, F&& query) {
    const auto t0 = Clock::now();
    const bool ok = query();
    const auto took = Clock::now() - t0;
    (ok ? stats.Ok : stats.Failed)++;
    if (took > QueryBound) ++stats.OverBound;
    const double ms = std::chrono::duration<double, std::milli>(took).count();
    stats.WorstMs = std::max(stats.WorstMs, ms);
    stats.TotalMs += ms;
}

int Usage() {
    std::fprintf(stderr, "usage: qm412-soak [--minutes M] [--seed S]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    double minutes = 1;
    uint64_t seed = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) return Usage();
        char* end = nullptr;
        if (arg == "--minutes") {
            minutes = std::strtod(argv[++i], &end);
            if (*end != '\0' || !(minutes > 0) || minutes > 24 * 60) return Usage();
        } else if (arg == "--seed") {
            seed = std::strtoull(argv[++i], &end, 10);
            if (*end != '\0') return Usage();
        } else {
            return Usage();
        }
    }
    const auto runFor = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::ratio<60>>(minutes));

    emu::EmulatorConfig config;
    config.UnitId = "QM412-SOAK";
    config.Inputs = Units;
    config.Faults.Seed = seed;
    config.Faults.RtpLoss = 0.05;
    config.Faults.RtpDuplicate = 0.01;
    config.Faults.RtpSwap = 0.01;
    config.Faults.ControlDropIn = 0.10;
    config.Faults.ControlDropOut = 0.10;
    emu::Qm412Emulator device(config);
    std::string error;
    if (!device.Start(&error)) {
        std::fprintf(stderr, "qm412-soak: the emulator does not start: %s\n", error.c_str());
        return 2;
    }

    std::unique_ptr<IQm412> app(CreateQm412());
    DeviceInitSettings init;
    init.PeerAddr = "127.0.0.1";
    init.PeerJsonPort = device.Port();
    init.HostAddr = "127.0.0.1";
    // Init itself talks over the lossy link; an application would try again, so does this one.
    bool initialised = false;
    for (int attempt = 0; attempt < 5 && !initialised; ++attempt) {
        init.HostJsonPort = cli::FreeUdpPort(init.HostAddr);
        initialised = app->Init(init);
    }
    if (!initialised) {
        std::fprintf(stderr, "qm412-soak: Init failed five times\n");
        return 2;
    }

    auto audio = std::make_unique<AudioCheck>();
    for (uint32_t c = 0; c < Channels; ++c) audio->Followers[c].Reset(device.ToneOf(c / 2).FrequencyHz);
    const auto warmUp = std::min<Clock::duration>(20s, runFor / 3);
    audio->CountFrom = Clock::now() + 2s;  // the receive delay fills, the streams lock

    DeviceStartSettings start;
    start.RtpExchangeCallback = [check = audio.get()](const buffer_ptrs& record, size_t samples) {
        std::lock_guard<std::mutex> lock(check->Mutex);
        ++check->Cycles;
        if (record.size() != Channels) {
            ++check->BadShape;
            return;
        }
        const bool counted = Clock::now() >= check->CountFrom;
        for (uint32_t c = 0; c < Channels; ++c) check->Followers[c].Block(record[c], samples, counted);
    };
    bool started = false;
    uint16_t rtpBase = 0;
    for (int attempt = 0; attempt < 5 && !started; ++attempt) {
        rtpBase = cli::FreeRtpPortBase(init.HostAddr, Units);
        start.HostRtpPort = rtpBase;
        started = rtpBase != 0 && app->Start(start);
    }
    if (!started) {
        std::fprintf(stderr, "qm412-soak: Start failed five times\n");
        return 2;
    }
    const auto t0 = Clock::now();
    std::printf("qm412-soak: %.2f min, seed %llu, device on 127.0.0.1:%u, host control port %u, audio from port %u\n",
                minutes, static_cast<unsigned long long>(seed), device.Port(), init.HostJsonPort, rtpBase + 2);
    std::fflush(stdout);

    std::atomic<bool> stop{false};
    QueryStats freqs, quality, rds;
    std::thread queries([&] {
        uint32_t f[Units];
        Qm412TunerQualityValues q[Units];
        Qm412TunerRdsDataValues r[Units];
        for (auto next = Clock::now(); !stop.load(); next += QueryInterval) {
            TimedQuery(freqs, [&] { return app->GetUnitRadioFreqs(f, true); });
            TimedQuery(quality, [&] { return app->GetUnitRadioQuality(q, true); });
            TimedQuery(rds, [&] { return app->GetUnitRdsData(r, true); });
            next = std::max(next, Clock::now());
            std::this_thread::sleep_until(next);
        }
    });

    Attacker attacker;
    attacker.HostControlPort = init.HostJsonPort;
    attacker.RtpBase = rtpBase;
    attacker.Device = &device;
    double memoryAtWarmUp = -1;
    uint64_t bursts = 0;
    for (auto nextAttack = t0 + FirstAttack; Clock::now() - t0 < runFor;) {
        std::this_thread::sleep_for(100ms);
        const auto now = Clock::now();
        if (now >= nextAttack) {
            attacker.Burst();
            ++bursts;
            nextAttack += AttackInterval;
        }
        if (memoryAtWarmUp < 0 && now - t0 >= warmUp) memoryAtWarmUp = ResidentBytes();
    }
    const double memoryAtEnd = ResidentBytes();
    stop = true;
    queries.join();
    const DeviceConnectState state = app->GetDeviceConnectState();
    app->Stop();
    app->Deinit();
    app.reset();
    const emu::EmulatorCounters counters = device.Counters();
    device.Stop();

    bool ok = true;
    auto check = [&ok](bool holds, const char* what) {
        std::printf("  %-4s %s\n", holds ? "ok" : "FAIL", what);
        ok = ok && holds;
    };

    std::printf("queries (each every %lld ms, bound %lld ms):\n", static_cast<long long>(QueryInterval.count()),
                static_cast<long long>(QueryBound.count()));
    bool bounded = true;
    for (auto [name, s] : {std::pair{"frequencies", &freqs}, {"quality", &quality}, {"rds", &rds}}) {
        const uint64_t all = s->Ok + s->Failed;
        std::printf("  %-12s ok %llu, failed %llu, over bound %llu, mean %.1f ms, slowest %.0f ms\n", name,
                    static_cast<unsigned long long>(s->Ok), static_cast<unsigned long long>(s->Failed),
                    static_cast<unsigned long long>(s->OverBound), all ? s->TotalMs / double(all) : 0.0, s->WorstMs);
        bounded = bounded && s->OverBound == 0 && s->Ok > 0;
    }

    uint64_t silent = 0, sounding = 0, broken = 0, jumps = 0, cycles = 0, badShape = 0;
    {
        std::lock_guard<std::mutex> lock(audio->Mutex);
        cycles = audio->Cycles;
        badShape = audio->BadShape;
        for (const auto& f : audio->Followers) {
            silent += f.Silent, sounding += f.Sounding, broken += f.Broken, jumps += f.Jumps;
        }
    }
    std::printf("audio: %llu cycles; blocks sounding %llu, silent %llu, broken %llu, out of place %llu\n",
                static_cast<unsigned long long>(cycles), static_cast<unsigned long long>(sounding),
                static_cast<unsigned long long>(silent), static_cast<unsigned long long>(broken),
                static_cast<unsigned long long>(jumps));
    std::printf("emulator: RTP lost %llu, duplicated %llu, swapped %llu; control dropped in %llu, out %llu; "
                "garbage seen by the device %llu\n",
                static_cast<unsigned long long>(counters.RtpLost), static_cast<unsigned long long>(counters.RtpDuplicated),
                static_cast<unsigned long long>(counters.RtpSwapped),
                static_cast<unsigned long long>(counters.ControlDroppedIn),
                static_cast<unsigned long long>(counters.ControlDroppedOut),
                static_cast<unsigned long long>(counters.Garbage));
    std::printf("attacks: %llu bursts, %llu datagrams\n", static_cast<unsigned long long>(bursts),
                static_cast<unsigned long long>(attacker.Sent));
    std::printf("memory: resident %.1f MB after warm-up, %.1f MB at the end\n", memoryAtWarmUp / 1048576.0,
                memoryAtEnd / 1048576.0);

    std::printf("checks:\n");
    check(state == DeviceConnectState::RtpActive, "the device streamed to the end");
    check(bounded, "every query answered or failed within its bound");
    check(cycles > 0 && badShape == 0 && sounding > 0, "audio cycles delivered with every channel");
    check(broken == 0 && jumps == 0, "audio continuous: every sounding block in its place");
    // Counted blocks cover most but not all of the run, so the silent ones can be at most the
    // lost packets' two channels each.
    check(silent <= 2 * counters.RtpLost, "silence only where packets were lost");
#ifdef SOAK_SANITIZED
    std::printf("  --   resident memory not checked under a sanitizer (its quarantine keeps freed memory)\n");
#else
    check(memoryAtWarmUp > 0 && memoryAtEnd - memoryAtWarmUp < MemoryGrowthLimit,
          "resident memory grew less than 1 MB after warm-up");
#endif
    std::printf("qm412-soak: %s\n", ok ? "passed" : "FAILED");
    return ok ? 0 : 1;
}
