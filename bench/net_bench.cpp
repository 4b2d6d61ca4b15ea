// UDP receive through a NetManager against a plain blocking recvfrom loop, on the same traffic
// of 1200-byte datagrams over 127.0.0.1 sent by another thread. Two measurements, each for both
// receivers in the same run:
//
// - stream: one sender thread sends as fast as its blocking sendto allows while the receiver
//   under test counts what reaches it (OnDatagramReceived, or out of recvfrom), over a window
//   after a short warm-up. Figures: datagrams per second delivered, and the receiving thread's
//   CPU time per delivered datagram. On loopback the receiver usually keeps up, so the rate is
//   mostly the sender's, and the CPU time includes a wake-up per datagram or small batch.
// - drain: the receiver is held while the sender queues a backlog of datagrams in the socket's
//   (enlarged) receive buffer; then it is let go and the receiving thread times its way from the
//   first to the last datagram of the backlog. This is the receiver's capacity: no sender, no
//   wake-ups in between. Held means: our service thread waits inside a callback of another
//   socket of the same manager; the plain loop's thread waits before its recvfrom loop.
//
// Usage: net_bench [json output] [stream window seconds, default 1]
//
// The report quotes the medians of three repetitions; within a repetition the two receivers run
// in alternating order. The plain loop's thread gets the real-time priority the manager's
// service thread asks for (when the system grants it), so that scheduling does not decide the
// comparison. The manager runs with its default settings, statistics included. A timing program
// rather than a Google Benchmark: the receiver runs on a thread of its own, which a benchmark
// loop cannot time.
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/BaseSock.h"
#include "net/INet.h"
#include "util/mythread.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t DatagramBytes = 1200;
constexpr int Repetitions = 3;
constexpr auto WarmUp = std::chrono::milliseconds(200);

sockaddr_in Loopback(uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

int64_t ThreadCpuNs(clockid_t clock) {
    timespec ts{};
    if (clock_gettime(clock, &ts) != 0) return 0;
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// What a receiver exposes to the measurement: datagrams delivered so far and the CPU clock of
// the thread that receives them (known once the first datagram arrived).
struct Counters {
    std::atomic<uint64_t> Delivered{0};
    std::atomic<bool> ClockKnown{false};
    clockid_t CpuClock{};

    void NoteThread() {
        if (ClockKnown.load(std::memory_order_relaxed)) return;
        if (pthread_getcpuclockid(pthread_self(), &CpuClock) == 0) ClockKnown.store(true);
    }
};

// Sends to port until stopped.
class Sender {
public:
    explicit Sender(uint16_t port) : _to(Loopback(port)) {
        _fd = socket(AF_INET, SOCK_DGRAM, 0);
        _thread = std::thread([this] {
            std::vector<char> payload(DatagramBytes, 'r');
            while (!_stop.load(std::memory_order_relaxed)) {
                if (sendto(_fd, payload.data(), payload.size(), 0, reinterpret_cast<const sockaddr*>(&_to),
                           sizeof(_to)) >= 0)
                    _sent.fetch_add(1, std::memory_order_relaxed);
            }
        });
    }
    ~Sender() {
        _stop = true;
        _thread.join();
        close(_fd);
    }
    uint64_t Sent() const { return _sent.load(); }

private:
    sockaddr_in _to;
    int _fd = -1;
    std::atomic<bool> _stop{false};
    std::atomic<uint64_t> _sent{0};
    std::thread _thread;
};

struct Figures {
    double Rate = 0;       // delivered datagrams per second
    double CpuNs = 0;      // receiving thread's CPU ns per delivered datagram
    double SentRate = 0;   // datagrams per second the sender managed
};

// Runs the sender against a receiver listening on port and measures one window.
Figures Measure(uint16_t port, Counters& counters, std::chrono::milliseconds window) {
    Sender sender(port);
    std::this_thread::sleep_for(WarmUp);
    for (int i = 0; !counters.ClockKnown.load(); ++i) {
        if (i == 500) {
            std::fprintf(stderr, "net_bench: nothing reaches the receiver\n");
            std::exit(1);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const auto t0 = Clock::now();
    const uint64_t d0 = counters.Delivered.load();
    const uint64_t s0 = sender.Sent();
    const int64_t c0 = ThreadCpuNs(counters.CpuClock);
    std::this_thread::sleep_for(window);
    const auto t1 = Clock::now();
    const uint64_t d1 = counters.Delivered.load();
    const uint64_t s1 = sender.Sent();
    const int64_t c1 = ThreadCpuNs(counters.CpuClock);
    const double seconds = std::chrono::duration<double>(t1 - t0).count();
    Figures f;
    f.Rate = static_cast<double>(d1 - d0) / seconds;
    f.SentRate = static_cast<double>(s1 - s0) / seconds;
    f.CpuNs = d1 > d0 ? static_cast<double>(c1 - c0) / static_cast<double>(d1 - d0) : 0;
    return f;
}

// Ours: a NetManager with one UDP socket whose receiver counts.
class CountingReceiver : public Network::IUdpReceiver {
public:
    explicit CountingReceiver(Counters& counters) : _counters(counters) {}
    void OnDatagramReceived(Network::IUdpSock*, Network::PacketUniqPtr packet, const Network::SockAddr&) override {
        _counters.NoteThread();
        if (packet->GetDataSize() == DatagramBytes) _counters.Delivered.fetch_add(1, std::memory_order_relaxed);
    }
    void OnError(Network::IUdpSock*, ErrInfo error) override { error.Silent(); }
    void OnClose(Network::IUdpSock*, ErrInfo error) override { error.Silent(); }

private:
    Counters& _counters;
};

uint16_t FreePort() {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr = Loopback(0);
    socklen_t length = sizeof(addr);
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
    close(fd);
    return ntohs(addr.sin_port);
}

Figures RunOurs(std::chrono::milliseconds window) {
    Counters counters;
    CountingReceiver receiver(counters);
    std::unique_ptr<Network::INetManager> manager(Network::NetFactory::CreateNetManager(L"net_bench", true, 1));
    Network::IUdpSockPtr socket;
    uint16_t port = 0;
    for (int attempt = 0; attempt < 10 && !socket; ++attempt) {
        port = FreePort();
        Network::UdpSockInfo settings;
        settings.RecvAddr = Network::SockAddr("127.0.0.1", port);
        settings.Receiver = &receiver;
        socket = manager->CreateUdpSock();
        ErrInfo result = socket->Open(settings);
        if (!result.IsOk()) socket.reset();
    }
    if (!socket) {
        std::fprintf(stderr, "net_bench: cannot open a socket on 127.0.0.1\n");
        std::exit(1);
    }
    const Figures f = Measure(port, counters, window);
    socket->Close();
    return f;
}

// The reference: a blocking recvfrom loop on a thread of its own, at the service thread's
// priority.
Figures RunPlain(std::chrono::milliseconds window) {
    Counters counters;
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr = Loopback(0);
    socklen_t length = sizeof(addr);
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
    timeval tick{0, 100000};  // lets the loop notice the stop request
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof(tick));
    std::atomic<bool> stop{false};
    std::thread receiver([&] {
        os::MyThread::MakeCurrentThreadRealtime(os::DispatchClass::RealTime, -10);
        std::vector<char> buf(1472);
        while (!stop.load(std::memory_order_relaxed)) {
            sockaddr_in from{};
            socklen_t fromLength = sizeof(from);
            const ssize_t n =
                recvfrom(fd, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
            if (n == static_cast<ssize_t>(DatagramBytes)) {
                counters.NoteThread();
                counters.Delivered.fetch_add(1, std::memory_order_relaxed);
            }
        }
    });
    const Figures f = Measure(ntohs(addr.sin_port), counters, window);
    stop = true;
    receiver.join();
    close(fd);
    return f;
}

// --- drain ---------------------------------------------------------------------------------------

constexpr int DrainBacklog = 20000;
constexpr auto DrainTimeout = std::chrono::seconds(5);

int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

// Timestamps of one drain, taken by the receiving thread at the first and the last datagram.
class DrainProbe {
public:
    explicit DrainProbe(int expected) : _expected(expected) {}

    void OnDatagram() {  // receiving thread
        ++_count;
        if (_count == 1) {
            pthread_getcpuclockid(pthread_self(), &_cpu);
            _t0 = NowNs();
            _c0 = ThreadCpuNs(_cpu);
        }
        if (_count == _expected) {
            _t1 = NowNs();
            _c1 = ThreadCpuNs(_cpu);
            std::lock_guard<std::mutex> lock(_m);
            _done = true;
            _cv.notify_all();
        }
    }
    bool Wait() {
        std::unique_lock<std::mutex> lock(_m);
        return _cv.wait_for(lock, DrainTimeout, [this] { return _done; });
    }
    Figures Result() const {
        Figures f;
        const double n = _expected - 1;
        f.Rate = n / (static_cast<double>(_t1 - _t0) / 1e9);
        f.CpuNs = static_cast<double>(_c1 - _c0) / n;
        return f;
    }

private:
    const int _expected;
    int _count = 0;
    clockid_t _cpu{};
    int64_t _t0 = 0, _t1 = 0, _c0 = 0, _c1 = 0;
    std::mutex _m;
    std::condition_variable _cv;
    bool _done = false;
};

// Room for the whole backlog; root may go beyond the system's limit for receive buffers.
void EnlargeReceiveBuffer(int fd) {
    const int bytes = 256 << 20;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof(bytes)) != 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof(bytes));
}

// Queues count datagrams to port, from a thread of its own.
void SendBacklog(uint16_t port, int count) {
    std::thread([port, count] {
        const int fd = socket(AF_INET, SOCK_DGRAM, 0);
        const sockaddr_in to = Loopback(port);
        std::vector<char> payload(DatagramBytes, 'd');
        for (int i = 0; i < count; ++i)
            sendto(fd, payload.data(), payload.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to));
        close(fd);
    }).join();
}

class FnReceiver : public Network::IUdpReceiver {
public:
    explicit FnReceiver(std::function<void()> fn) : _fn(std::move(fn)) {}
    void OnDatagramReceived(Network::IUdpSock*, Network::PacketUniqPtr, const Network::SockAddr&) override { _fn(); }
    void OnError(Network::IUdpSock*, ErrInfo error) override { error.Silent(); }
    void OnClose(Network::IUdpSock*, ErrInfo error) override { error.Silent(); }

private:
    std::function<void()> _fn;
};

Network::IUdpSockPtr OpenOnFreePort(Network::INetManager& manager, Network::IUdpReceiver& receiver, uint16_t& port) {
    for (int attempt = 0; attempt < 10; ++attempt) {
        port = FreePort();
        Network::UdpSockInfo settings;
        settings.RecvAddr = Network::SockAddr("127.0.0.1", port);
        settings.Receiver = &receiver;
        Network::IUdpSockPtr socket = manager.CreateUdpSock();
        ErrInfo result = socket->Open(settings);
        if (result.IsOk()) return socket;
        result.Silent();
    }
    std::fprintf(stderr, "net_bench: cannot open a socket on 127.0.0.1\n");
    std::exit(1);
}

bool DrainOurs(int backlog, Figures& figures) {
    DrainProbe probe(backlog);
    std::mutex m;
    std::condition_variable cv;
    bool held = false;
    bool released = false;
    FnReceiver target([&] { probe.OnDatagram(); });
    FnReceiver holder([&] {
        std::unique_lock<std::mutex> lock(m);
        held = true;
        cv.notify_all();
        cv.wait(lock, [&] { return released; });
    });
    std::unique_ptr<Network::INetManager> manager(Network::NetFactory::CreateNetManager(L"net_bench", true, 1));
    uint16_t targetPort = 0;
    uint16_t holderPort = 0;
    Network::IUdpSockPtr targetSocket = OpenOnFreePort(*manager, target, targetPort);
    Network::IUdpSockPtr holderSocket = OpenOnFreePort(*manager, holder, holderPort);
    EnlargeReceiveBuffer(dynamic_cast<Network::BaseSock&>(*targetSocket).GetSystemHandle());

    SendBacklog(holderPort, 1);
    {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] { return held; });
    }
    SendBacklog(targetPort, backlog);
    {
        std::lock_guard<std::mutex> lock(m);
        released = true;
        cv.notify_all();
    }
    const bool complete = probe.Wait();
    if (complete) figures = probe.Result();
    targetSocket->Close();
    holderSocket->Close();
    return complete;
}

bool DrainPlain(int backlog, Figures& figures) {
    DrainProbe probe(backlog);
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr = Loopback(0);
    socklen_t length = sizeof(addr);
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
    EnlargeReceiveBuffer(fd);
    timeval limit{2, 0};  // a lost datagram must not keep the loop waiting for ever
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
    std::mutex m;
    std::condition_variable cv;
    bool go = false;
    std::thread receiver([&] {
        os::MyThread::MakeCurrentThreadRealtime(os::DispatchClass::RealTime, -10);
        {
            std::unique_lock<std::mutex> lock(m);
            cv.wait(lock, [&] { return go; });
        }
        std::vector<char> buf(1472);
        for (int i = 0; i < backlog; ++i) {
            sockaddr_in from{};
            socklen_t fromLength = sizeof(from);
            if (recvfrom(fd, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &fromLength) < 0) break;
            probe.OnDatagram();
        }
    });
    SendBacklog(ntohs(addr.sin_port), backlog);
    {
        std::lock_guard<std::mutex> lock(m);
        go = true;
        cv.notify_all();
    }
    const bool complete = probe.Wait();
    receiver.join();
    close(fd);
    if (complete) figures = probe.Result();
    return complete;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

struct Series {
    std::vector<double> Rate, Cpu, Sent;
    void Add(const Figures& f) {
        Rate.push_back(f.Rate);
        Cpu.push_back(f.CpuNs);
        Sent.push_back(f.SentRate);
    }
};

} // namespace

int main(int argc, char** argv) {
    const char* jsonPath = argc > 1 ? argv[1] : nullptr;
    const double windowSeconds = argc > 2 ? std::atof(argv[2]) : 1.0;
    const auto window = std::chrono::milliseconds(static_cast<int64_t>(windowSeconds * 1000));

    Series streamOurs, streamPlain, drainOurs, drainPlain;
    int backlog = DrainBacklog;
    for (int rep = 0; rep < Repetitions; ++rep) {
        Figures ours, plain, ourDrain, plainDrain;
        const bool oursFirst = rep % 2 == 0;
        if (oursFirst) ours = RunOurs(window);
        plain = RunPlain(window);
        if (!oursFirst) ours = RunOurs(window);
        // A backlog the receive buffer cannot hold loses datagrams: then halve it and retry.
        for (;;) {
            const bool ok = oursFirst ? DrainOurs(backlog, ourDrain) && DrainPlain(backlog, plainDrain)
                                      : DrainPlain(backlog, plainDrain) && DrainOurs(backlog, ourDrain);
            if (ok) break;
            if (backlog < 200) {
                std::fprintf(stderr, "net_bench: the backlog does not fit into a receive buffer\n");
                return 1;
            }
            backlog /= 2;
        }
        std::printf("repetition %d: stream ours %.0f/s %.0f ns, recvfrom %.0f/s %.0f ns; "
                    "drain of %d ours %.0f/s %.0f ns, recvfrom %.0f/s %.0f ns\n",
                    rep + 1, ours.Rate, ours.CpuNs, plain.Rate, plain.CpuNs, backlog, ourDrain.Rate, ourDrain.CpuNs,
                    plainDrain.Rate, plainDrain.CpuNs);
        streamOurs.Add(ours);
        streamPlain.Add(plain);
        drainOurs.Add(ourDrain);
        drainPlain.Add(plainDrain);
    }

    struct Row {
        const char* Name;
        const Series& S;
        bool Stream;
    } rows[] = {
        {"stream: ours (NetManager)", streamOurs, true},
        {"stream: plain recvfrom", streamPlain, true},
        {"drain: ours (NetManager)", drainOurs, false},
        {"drain: plain recvfrom", drainPlain, false},
    };
    std::printf("\n%-28s %14s %16s %14s\n", "receiver", "datagrams/s", "CPU ns/datagram", "sender/s");
    for (const Row& r : rows) {
        std::printf("%-28s %14.0f %16.0f", r.Name, Median(r.S.Rate), Median(r.S.Cpu));
        if (r.Stream)
            std::printf(" %14.0f\n", Median(r.S.Sent));
        else
            std::printf(" %14s\n", "-");
    }
    const double streamRateRatio = Median(streamOurs.Rate) / Median(streamPlain.Rate);
    const double streamCpuRatio = Median(streamOurs.Cpu) / Median(streamPlain.Cpu);
    const double drainRateRatio = Median(drainOurs.Rate) / Median(drainPlain.Rate);
    const double drainCpuRatio = Median(drainOurs.Cpu) / Median(drainPlain.Cpu);
    std::printf("ours / recvfrom: stream rate %.2f, stream CPU %.2f; drain rate %.2f, drain CPU %.2f\n",
                streamRateRatio, streamCpuRatio, drainRateRatio, drainCpuRatio);

    if (jsonPath) {
        std::ofstream out(jsonPath);
        out << "{\"datagram_bytes\": " << DatagramBytes << ", \"stream_window_seconds\": " << windowSeconds
            << ", \"drain_backlog\": " << backlog << ", \"results\": [\n";
        const char* keys[][2] = {{"stream", "ours"}, {"stream", "recvfrom"}, {"drain", "ours"}, {"drain", "recvfrom"}};
        for (size_t i = 0; i < 4; ++i) {
            const Series& series = rows[i].S;
            out << "  {\"mode\": \"" << keys[i][0] << "\", \"impl\": \"" << keys[i][1]
                << "\", \"datagrams_per_second\": " << Median(series.Rate)
                << ", \"cpu_ns_per_datagram\": " << Median(series.Cpu);
            if (rows[i].Stream) out << ", \"sender_per_second\": " << Median(series.Sent);
            out << "}" << (i < 3 ? ",\n" : "\n");
        }
        out << "], \"stream_rate_ratio\": " << streamRateRatio << ", \"stream_cpu_ratio\": " << streamCpuRatio
            << ", \"drain_rate_ratio\": " << drainRateRatio << ", \"drain_cpu_ratio\": " << drainCpuRatio << "}\n";
    }
    return 0;
}
