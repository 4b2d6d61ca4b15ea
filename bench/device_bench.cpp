// The tuner device object against the emulated device on 127.0.0.1: how long a connection takes
// (Init: handshake plus the three tuner queries), and fresh frequency queries
// (GetUnitRadioFreqs with update_from_device: request, acknowledgement, answer, its
// acknowledgement) against a plain UDP ping-pong in the same run.
//
// Usage: device_bench [json output] [queries, default 3000]
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string_view>
#include <thread>
#include <vector>

#include "audiodevs/IOstrelDevice.h"
#include "emulator/Qm412Emulator.h"
#include "net/INet.h"
#include "pingpong.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t WarmUp = 100;
constexpr size_t Connections = 15;

double Since(Clock::time_point t0, double scale) {
    return std::chrono::duration<double>(Clock::now() - t0).count() * scale;
}

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "device_bench: %s\n", what);
    std::exit(1);
}

struct DeviceFigures {
    std::vector<double> InitMs;
    std::vector<double> QueryUs;
};

DeviceFigures Ours(size_t count) {
    emu::Qm412Emulator emulator;
    std::string error;
    if (!emulator.Start(&error)) Fail(error.c_str());
    std::unique_ptr<Network::INetManager> control(Network::NetFactory::CreateNetManager(L"device_bench control", true, 1));
    std::unique_ptr<Network::INetManager> audio(Network::NetFactory::CreateNetManager(L"device_bench audio", true, 1));
    std::unique_ptr<Ostrel::IDevice> device(Ostrel::CreateDevice(Ostrel::DeviceType::Qm412, *control, *audio));
    Ostrel::DeviceInitSettings settings;
    settings.PeerAddr = L"127.0.0.1";
    settings.PeerJsonPort = emulator.Port();
    settings.HostAddr = L"127.0.0.1";
    // A control socket on port 0 would not read: the answers need a port of their own.
    {
        uint16_t port = 0;
        close(bench::OpenBoundLoopback(port));
        settings.HostJsonPort = port;
    }

    DeviceFigures figures;
    for (size_t i = 0; i < Connections; ++i) {
        const auto t0 = Clock::now();
        if (!device->Init(settings)) Fail("Init failed");
        figures.InitMs.push_back(Since(t0, 1e3));
        if (i + 1 < Connections) device->Deinit();
    }
    auto* tuner = static_cast<Ostrel::IDeviceQm412*>(*device);
    std::vector<uint32_t> freqs(device->GetNumRecordChannels());
    for (size_t i = 0; i < WarmUp + count; ++i) {
        const auto t0 = Clock::now();
        if (!tuner->GetUnitRadioFreqs(freqs.data(), true)) Fail("query failed");
        if (i >= WarmUp) figures.QueryUs.push_back(Since(t0, 1e6));
    }
    device.reset();
    emulator.Stop();
    return figures;
}

} // namespace

int main(int argc, char** argv) {
    const char* jsonPath = argc > 1 ? argv[1] : nullptr;
    const size_t count = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 3000;
    if (count == 0) return 1;

    // The reference datagram: a small control message with its terminating zero.
    static const char request[] = "{\"msg\":\"get_fm_freq\",\"msg_id\":123456}";
    const bench::Percentiles plain = bench::Summarise(bench::PlainPingPong(count, WarmUp, std::string_view(request, sizeof(request))));
    const DeviceFigures figures = Ours(count);
    const bench::Percentiles init = bench::Summarise(figures.InitMs);
    const bench::Percentiles query = bench::Summarise(figures.QueryUs);
    const double ratio50 = query.P50 / plain.P50, ratio99 = query.P99 / plain.P99;

    std::printf("Init against the emulator: p50 %.2f ms, max of %zu %.2f ms\n", init.P50, Connections,
                *std::max_element(figures.InitMs.begin(), figures.InitMs.end()));
    std::printf("%-30s %10s %10s\n", "round trip", "p50 us", "p99 us");
    std::printf("%-30s %10.1f %10.1f\n", "GetUnitRadioFreqs(fresh)", query.P50, query.P99);
    std::printf("%-30s %10.1f %10.1f\n", "plain UDP ping-pong", plain.P50, plain.P99);
    std::printf("ours / plain: p50 %.2f, p99 %.2f (%zu queries each)\n", ratio50, ratio99, count);

    if (jsonPath) {
        std::ofstream out(jsonPath);
        out << "{\"queries\": " << count << ", \"init_p50_ms\": " << init.P50 << ", \"results\": [\n"
            << "  {\"impl\": \"ours\", \"p50_us\": " << query.P50 << ", \"p99_us\": " << query.P99 << "},\n"
            << "  {\"impl\": \"plain\", \"p50_us\": " << plain.P50 << ", \"p99_us\": " << plain.P99 << "}\n"
            << "], \"p50_ratio\": " << ratio50 << ", \"p99_ratio\": " << ratio99 << "}\n";
    }
    return 0;
}
