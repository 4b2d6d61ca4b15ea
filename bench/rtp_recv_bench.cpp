// The RTP receive path on one thread: datagrams of 8 receive channels (192 stereo L24 frames
// each, as a device sends them) carried from the sockets through a NetManager, the RtpManager and
// RecvAudio into float buffers, against a plain loop that reads the same datagrams with blocking
// recvfrom and converts them into float buffers itself. Two measurements, both receivers in each:
//
// - capacity: the receiver is held while a backlog of 1024 packets per channel is queued in the
//   8 sockets (receive buffers enlarged); then it is let go and the receiving thread times a fixed
//   stretch in the middle of the drain. Ours is held inside a callback of another socket of the
//   same manager; the plain loop's thread waits before its loop. The service thread reads up to
//   64 datagrams of one socket before it turns to the next, so the channel it starts with runs up
//   to 64 packets ahead of the others: ours runs with a receive delay of 64 packets (buffer 72)
//   so that every packet is converted, as with a paced device. Timing runs between the first
//   notifications of the 2nd and the 16th round of 64 packet numbers: 14 rounds of 8 x 64
//   datagrams. The plain loop reads the channels round-robin, one datagram each, and is timed
//   over the same number of datagrams. Figure: datagrams per second.
// - latency: a sender paces one packet number per millisecond (8 datagrams) for 2 s; ours runs
//   with the usual delay of 5 packets. Latency is the time from the sender's clock reading just
//   before it sends the first datagram of a packet number (kept in a table the receiver reads;
//   it includes the loopback send call, so it slightly overstates the time from arrival) to the
//   start of the OnSync that packet triggers; for the plain loop, to the return of its recvfrom.
//   Figures: p50 and p99 in microseconds.
//
// Usage: rtp_recv_bench [json output]
//
// Medians of 5 capacity repetitions are reported. The plain loop's thread gets the real-time
// priority the manager's service thread asks for. A timing program rather than a Google
// Benchmark: the receiver runs on a thread of its own, which a benchmark loop cannot time.
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/BaseSock.h"
#include "net/INet.h"
#include "rtp/RtpManager.h"
#include "util/myhirestimer.h"
#include "util/mythread.h"

namespace {

using namespace Network;

constexpr unsigned Channels = 8;
constexpr unsigned Frames = 192;
constexpr size_t DatagramBytes = 12 + Frames * 6;
constexpr unsigned Round = 64;           // datagrams of one socket per service pass
constexpr unsigned BacklogPackets = 1024;  // per channel: 16 rounds
constexpr unsigned FirstTimedRound = 1;    // 0-based: the 2nd round
constexpr unsigned EndTimedRound = 15;     // the 16th round's start ends the timing
constexpr int Repetitions = 5;
constexpr unsigned LatencyPackets = 2000;
constexpr auto LatencyPeriod = std::chrono::milliseconds(1);

[[noreturn]] void Fail(const char* text) {
    std::fprintf(stderr, "rtp_recv_bench: %s\n", text);
    std::exit(1);
}

sockaddr_in Loopback(uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

uint16_t FreePort() {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr = Loopback(0);
    socklen_t length = sizeof(addr);
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
    close(fd);
    return ntohs(addr.sin_port);
}

void EnlargeReceiveBuffer(int fd) {
    const int bytes = 32 << 20;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof(bytes)) != 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof(bytes));
}

// A device's datagram: header, then a ramp of stereo L24 samples.
std::vector<uint8_t> Datagram(uint16_t seq, uint32_t ts) {
    std::vector<uint8_t> d(DatagramBytes);
    d[0] = 0x80;
    d[1] = 100;
    d[2] = static_cast<uint8_t>(seq >> 8);
    d[3] = static_cast<uint8_t>(seq);
    for (int i = 0; i < 4; ++i) d[4 + i] = static_cast<uint8_t>(ts >> (24 - 8 * i));
    for (size_t i = 12; i + 2 < d.size(); i += 3) {
        const uint32_t v = static_cast<uint32_t>(i * 2654435761u) & 0xFFFFFF;
        d[i] = static_cast<uint8_t>(v >> 16);
        d[i + 1] = static_cast<uint8_t>(v >> 8);
        d[i + 2] = static_cast<uint8_t>(v);
    }
    return d;
}

// Sends packet numbers [0, count) to the ports, every channel once per number; period 0 sends
// as fast as possible, otherwise one number per period with its send time noted in sendTimes.
void SendStream(const std::vector<uint16_t>& ports, unsigned count, std::chrono::nanoseconds period,
                std::vector<std::atomic<int64_t>>* sendTimes) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    std::vector<sockaddr_in> to;
    for (uint16_t port : ports) to.push_back(Loopback(port));
    auto next = std::chrono::steady_clock::now();
    for (unsigned s = 0; s < count; ++s) {
        const std::vector<uint8_t> d = Datagram(static_cast<uint16_t>(s), s * Frames);
        if (period.count() != 0) {
            next += period;
            std::this_thread::sleep_until(next);
        }
        if (sendTimes) (*sendTimes)[s].store(static_cast<int64_t>(hrt::GetClock()));
        for (const sockaddr_in& addr : to)
            sendto(fd, d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr));
    }
    close(fd);
}

// A gate the receiving thread waits at until the backlog is queued.
struct Gate {
    std::mutex M;
    std::condition_variable Cv;
    bool Waiting = false;
    bool Open = false;

    void Hold() {
        std::unique_lock<std::mutex> lock(M);
        Waiting = true;
        Cv.notify_all();
        Cv.wait(lock, [this] { return Open; });
    }
    void WaitUntilHeld() {
        std::unique_lock<std::mutex> lock(M);
        Cv.wait(lock, [this] { return Waiting; });
    }
    void Release() {
        std::lock_guard<std::mutex> lock(M);
        Open = true;
        Cv.notify_all();
    }
};

// The device layer's part: one read cycle per notification, with the timing probes.
class Device : public ISyncTarget {
public:
    explicit Device(RtpAudioManager& audio) : Audio(audio), Buffers(Channels * 2, std::vector<float>(Frames)) {
        for (auto& b : Buffers) Ptrs.push_back(b.data());
    }
    void OnSync(ISyncSource*, int64_t pos, int) override {
        if (pos < 0) return;
        const int64_t now = static_cast<int64_t>(hrt::GetClock());
        const uint64_t n = ++Syncs;
        if (SendTimes) {
            const auto s = static_cast<size_t>(pos / Frames);
            if (s < SendTimes->size()) Latencies.push_back(now - (*SendTimes)[s].load());
        }
        if (n == FirstTimedRound * Round + 1) T0 = now;
        if (n == EndTimedRound * Round + 1) T1 = now;
        Audio.RecvAudio(Ptrs, Frames);
        if (n == Target) {
            std::lock_guard<std::mutex> lock(M);
            Done = true;
            Cv.notify_all();
        }
    }
    bool WaitDone() {
        std::unique_lock<std::mutex> lock(M);
        return Cv.wait_for(lock, std::chrono::seconds(20), [this] { return Done; });
    }

    RtpAudioManager& Audio;
    std::vector<std::vector<float>> Buffers;
    std::vector<float*> Ptrs;
    std::vector<std::atomic<int64_t>>* SendTimes = nullptr;
    std::vector<int64_t> Latencies;  // service thread until Done
    uint64_t Syncs = 0;
    uint64_t Target = 0;
    int64_t T0 = 0, T1 = 0;
    std::mutex M;
    std::condition_variable Cv;
    bool Done = false;
};

class HoldReceiver : public IUdpReceiver {
public:
    explicit HoldReceiver(Gate& gate) : G(gate) {}
    void OnDatagramReceived(IUdpSock*, PacketUniqPtr, const SockAddr&) override { G.Hold(); }
    void OnError(IUdpSock*, ErrInfo error) override { error.Silent(); }
    void OnClose(IUdpSock*, ErrInfo error) override { error.Silent(); }
    Gate& G;
};

struct Ours {
    std::unique_ptr<INetManager> Net{NetFactory::CreateNetManager(L"rtp_recv_bench", true, 1)};
    std::unique_ptr<RtpAudioManager> Audio;
    std::unique_ptr<Device> Dev;
    std::vector<uint16_t> Ports;

    Ours(uint32_t delay, uint32_t delayMax) {
        for (int attempt = 0; attempt < 10; ++attempt) {
            RtpManagerInfo info;
            info.SampleFreq = 48000;
            info.PacketSmplSize = Frames;
            info.RecvDelay = delay;
            info.RecvDelayMax = delayMax;
            Ports.clear();
            for (unsigned c = 0; c < Channels; ++c) {
                Ports.push_back(FreePort());
                RtpRecvChanInfo chan;
                chan.IpAddr = SockAddr("127.0.0.1", Ports.back());
                info.RecvChans.push_back(chan);
            }
            Audio = std::make_unique<RtpAudioManager>(ComponentInfo(L"bench"), *Net);
            Audio->Init(info);
            bool open = true;
            for (unsigned c = 0; c < Channels; ++c) {
                IUdpSockPtr sock = Audio->GetRtpManager().GetRecvChan(c)->GetSocket(0);
                auto* base = sock ? dynamic_cast<BaseSock*>(sock.get()) : nullptr;
                if (!base || !base->IsHandleValid()) {
                    open = false;
                    break;
                }
                EnlargeReceiveBuffer(base->GetSystemHandle());
            }
            if (open) break;
            Audio.reset();
        }
        if (!Audio) Fail("cannot open the receive channels on 127.0.0.1");
        Dev = std::make_unique<Device>(*Audio);
        Audio->AddTarget(Dev.get());
        Audio->Start();
    }
    ~Ours() {
        Audio->Stop();
        Audio.reset();
    }
};

double CapacityOurs() {
    Ours ours(Round, Round + 8);
    Gate gate;
    HoldReceiver holder(gate);
    IUdpSockPtr hold;
    uint16_t holdPort = 0;
    for (int attempt = 0; attempt < 10 && !hold; ++attempt) {
        holdPort = FreePort();
        UdpSockInfo settings;
        settings.RecvAddr = SockAddr("127.0.0.1", holdPort);
        settings.Receiver = &holder;
        hold = ours.Net->CreateUdpSock();
        ErrInfo result = hold->Open(settings);
        if (!result.IsOk()) {
            result.Silent();
            hold.reset();
        }
    }
    if (!hold) Fail("cannot open the holding socket");
    ours.Dev->Target = EndTimedRound * Round + 1;
    SendStream({holdPort}, 1, std::chrono::nanoseconds(0), nullptr);
    gate.WaitUntilHeld();
    SendStream(ours.Ports, BacklogPackets, std::chrono::nanoseconds(0), nullptr);
    gate.Release();
    if (!ours.Dev->WaitDone()) Fail("the drain did not finish (datagrams lost?)");
    hold->Close();
    const double datagrams = double{Channels} * Round * (EndTimedRound - FirstTimedRound);
    return datagrams / (static_cast<double>(ours.Dev->T1 - ours.Dev->T0) / 1e9);
}

// The reference: blocking recvfrom, round-robin over the channels, each datagram converted into
// the channel's two float buffers.
struct Plain {
    std::vector<int> Fds;
    std::vector<uint16_t> Ports;
    std::vector<std::vector<float>> Buffers = std::vector<std::vector<float>>(Channels * 2, std::vector<float>(Frames));

    Plain() {
        for (unsigned c = 0; c < Channels; ++c) {
            const int fd = socket(AF_INET, SOCK_DGRAM, 0);
            sockaddr_in addr = Loopback(0);
            socklen_t length = sizeof(addr);
            bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
            getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
            EnlargeReceiveBuffer(fd);
            Fds.push_back(fd);
            Ports.push_back(ntohs(addr.sin_port));
        }
    }
    ~Plain() {
        for (int fd : Fds) close(fd);
    }
    // Receives one datagram of channel c and converts it; false on a short or failed read.
    bool ReceiveOne(unsigned c, uint8_t* buf) {
        sockaddr_in from{};
        socklen_t fromLength = sizeof(from);
        const ssize_t n = recvfrom(Fds[c], buf, 1472, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (n != static_cast<ssize_t>(DatagramBytes)) return false;
        float* left = Buffers[2 * c].data();
        float* right = Buffers[2 * c + 1].data();
        const uint8_t* p = buf + 12;
        for (unsigned f = 0; f < Frames; ++f, p += 6) {
            const int32_t l = static_cast<int32_t>(uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8) >> 8;
            const int32_t r = static_cast<int32_t>(uint32_t{p[3]} << 24 | uint32_t{p[4]} << 16 | uint32_t{p[5]} << 8) >> 8;
            left[f] = static_cast<float>(l) * (1.0f / 8388607.0f);
            right[f] = static_cast<float>(r) * (1.0f / 8388607.0f);
        }
        return true;
    }
};

double CapacityPlain() {
    Plain plain;
    Gate gate;
    int64_t t0 = 0, t1 = 0;
    std::thread receiver([&] {
        os::MyThread::MakeCurrentThreadRealtime(os::DispatchClass::RealTime, -10);
        std::vector<uint8_t> buf(1472);
        gate.Hold();
        for (unsigned s = 0; s < EndTimedRound * Round + 1; ++s) {
            if (s == FirstTimedRound * Round) t0 = static_cast<int64_t>(hrt::GetClock());
            if (s == EndTimedRound * Round) t1 = static_cast<int64_t>(hrt::GetClock());
            for (unsigned c = 0; c < Channels; ++c)
                if (!plain.ReceiveOne(c, buf.data())) Fail("plain loop: bad datagram");
        }
    });
    gate.WaitUntilHeld();
    SendStream(plain.Ports, BacklogPackets, std::chrono::nanoseconds(0), nullptr);
    gate.Release();
    receiver.join();
    const double datagrams = double{Channels} * Round * (EndTimedRound - FirstTimedRound);
    return datagrams / (static_cast<double>(t1 - t0) / 1e9);
}

struct Percentiles {
    double P50 = 0, P99 = 0;
};

Percentiles InMicroseconds(std::vector<int64_t> ns) {
    Percentiles p;
    if (ns.empty()) return p;
    std::sort(ns.begin(), ns.end());
    p.P50 = static_cast<double>(ns[ns.size() / 2]) / 1000.0;
    p.P99 = static_cast<double>(ns[std::min(ns.size() - 1, ns.size() * 99 / 100)]) / 1000.0;
    return p;
}

Percentiles LatencyOurs() {
    Ours ours(5, 9);
    std::vector<std::atomic<int64_t>> sendTimes(LatencyPackets);
    ours.Dev->SendTimes = &sendTimes;
    ours.Dev->Target = LatencyPackets;
    ours.Dev->Latencies.reserve(LatencyPackets);
    SendStream(ours.Ports, LatencyPackets, LatencyPeriod, &sendTimes);
    if (!ours.Dev->WaitDone()) Fail("latency run: notifications missing (datagrams lost?)");
    return InMicroseconds(ours.Dev->Latencies);
}

Percentiles LatencyPlain() {
    Plain plain;
    std::vector<std::atomic<int64_t>> sendTimes(LatencyPackets);
    std::vector<int64_t> latencies;
    latencies.reserve(LatencyPackets);
    std::thread receiver([&] {
        os::MyThread::MakeCurrentThreadRealtime(os::DispatchClass::RealTime, -10);
        std::vector<uint8_t> buf(1472);
        for (unsigned s = 0; s < LatencyPackets; ++s)
            for (unsigned c = 0; c < Channels; ++c) {
                if (!plain.ReceiveOne(c, buf.data())) Fail("plain loop: bad datagram");
                if (c == 0) latencies.push_back(static_cast<int64_t>(hrt::GetClock()) - sendTimes[s].load());
            }
    });
    SendStream(plain.Ports, LatencyPackets, LatencyPeriod, &sendTimes);
    receiver.join();
    return InMicroseconds(latencies);
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    const char* jsonPath = argc > 1 ? argv[1] : nullptr;
    std::vector<double> ours, plain;
    for (int r = 0; r < Repetitions; ++r) {
        // Alternating order, so that neither always runs on a warmer machine.
        if (r % 2 == 0) {
            ours.push_back(CapacityOurs());
            plain.push_back(CapacityPlain());
        } else {
            plain.push_back(CapacityPlain());
            ours.push_back(CapacityOurs());
        }
    }
    const double oursRate = Median(ours), plainRate = Median(plain);
    const double ratio = oursRate / plainRate;
    const Percentiles oursLat = LatencyOurs();
    const Percentiles plainLat = LatencyPlain();

    std::printf("capacity, datagrams/s (8 channels x 192 stereo L24 frames):\n");
    std::printf("  rtp_manager     %10.0f\n  plain_recvfrom  %10.0f\n  ratio           %10.3f\n", oursRate, plainRate,
                ratio);
    std::printf("latency send -> OnSync (ours) / recvfrom return (plain), us:\n");
    std::printf("  rtp_manager     p50 %7.1f  p99 %7.1f\n", oursLat.P50, oursLat.P99);
    std::printf("  plain_recvfrom  p50 %7.1f  p99 %7.1f\n", plainLat.P50, plainLat.P99);
    if (jsonPath) {
        std::ofstream out(jsonPath);
        out << "{\"channels\": " << Channels << ", \"frames_per_packet\": " << Frames
            << ", \"datagram_bytes\": " << DatagramBytes << ", \"repetitions\": " << Repetitions
            << ", \"results\": [\n"
            << "  {\"impl\": \"rtp_manager\", \"datagrams_per_second\": " << oursRate
            << ", \"latency_p50_us\": " << oursLat.P50 << ", \"latency_p99_us\": " << oursLat.P99 << "},\n"
            << "  {\"impl\": \"plain_recvfrom\", \"datagrams_per_second\": " << plainRate
            << ", \"latency_p50_us\": " << plainLat.P50 << ", \"latency_p99_us\": " << plainLat.P99 << "}\n"
            << "], \"rate_ratio\": " << ratio << "}\n";
    }
    return 0;
}
