// Control round trips through two reliable connections on 127.0.0.1 against a plain UDP
// ping-pong in the same run. One round trip: the caller hands a request to connection A, which
// sends it to B (acknowledged by B); B's user answers from its receive callback with an "ok"
// (acknowledged by A); the round trip ends when A's user has the answer. The reference is two
// blocking sockets on two threads: sendto, the echo thread's recvfrom and sendto, recvfrom.
// Round trips are sequential; the figures are percentiles of single round trips in µs.
//
// Usage: conn_bench [json output] [round trips, default 5000]
//
// A timing program rather than a Google Benchmark: the answer comes from other threads, and
// percentiles of single round trips do not fit a benchmark loop.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>
#include <vector>

#include "net/INet.h"
#include "pingpong.h"
#include "protocol/JsonUdpConnect.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace Network;

constexpr size_t WarmUp = 200;

// B: answers every request with an "ok".
class Echo : public IJsonUdpReceiver {
public:
    void OnMsgDelivered(IJsonUdpManager*, const JsonMsgPtr&) override {}
    void OnMsgReceived(IJsonUdpManager* manager, const JsonMsgPtr& msg, const SockAddr& from) override {
        static_cast<IJsonUdpConnect*>(manager)->Send(std::make_shared<JsonMsgOk>(msg->MsgId), from);
    }
    void OnError(IJsonUdpManager*, ErrInfo err) override {
        std::fprintf(stderr, "conn_bench: echo error %ls\n", err.GetErrorStr().c_str());
    }
};

// A: hands each answer to the waiting caller.
class Caller : public IJsonUdpReceiver {
public:
    void OnMsgDelivered(IJsonUdpManager*, const JsonMsgPtr&) override {}
    void OnMsgReceived(IJsonUdpManager*, const JsonMsgPtr& msg, const SockAddr&) override {
        std::lock_guard<std::mutex> lock(Mutex);
        Answered = msg->AckMsgId;
        Changed.notify_one();
    }
    void OnError(IJsonUdpManager*, ErrInfo err) override {
        std::fprintf(stderr, "conn_bench: caller error %ls\n", err.GetErrorStr().c_str());
    }
    bool WaitFor(uint32_t id) {
        std::unique_lock<std::mutex> lock(Mutex);
        return Changed.wait_for(lock, std::chrono::seconds(5), [&] { return Answered == id; });
    }

private:
    std::mutex Mutex;
    std::condition_variable Changed;
    uint32_t Answered = 0;  // guarded by Mutex
};

IJsonUdpConnectPtr StartOnLoopback(INetManager& net, const char* name, IJsonUdpReceiver& receiver, SockAddr& bound) {
    for (int attempt = 0; attempt < 20; ++attempt) {
        const int probe = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(addr);
        bind(probe, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
        getsockname(probe, reinterpret_cast<sockaddr*>(&addr), &len);
        close(probe);
        JsonUdpConnectInfo info;
        info.ManagerInfo.Receiver = &receiver;
        info.ManagerInfo.RecvAddr = SockAddr("127.0.0.1", ntohs(addr.sin_port));
        IJsonUdpConnectPtr c = JsonUdpFactory::CreateJsonUdpConnect(ComponentInfo(name), net);
        c->Init(info);
        ErrInfo err = c->Start();
        bound = info.ManagerInfo.RecvAddr;
        if (err.IsOk()) return c;
        err.Silent();
    }
    return nullptr;
}

std::vector<double> Ours(size_t count) {
    // One manager per side, as a device's own stack would be: a shared service thread would
    // serialise both ends' receiving.
    std::unique_ptr<INetManager> netA(NetFactory::CreateNetManager(L"conn_bench A", true, 1));
    std::unique_ptr<INetManager> netB(NetFactory::CreateNetManager(L"conn_bench B", true, 1));
    Echo echo;
    Caller caller;
    SockAddr addrA, addrB;
    IJsonUdpConnectPtr b = StartOnLoopback(*netB, "B", echo, addrB);
    IJsonUdpConnectPtr a = StartOnLoopback(*netA, "A", caller, addrA);
    if (!a || !b) {
        std::fprintf(stderr, "conn_bench: cannot open a connection on 127.0.0.1\n");
        std::exit(1);
    }
    std::vector<double> us;
    us.reserve(count);
    for (size_t i = 0; i < WarmUp + count; ++i) {
        auto request = std::make_shared<JsonMsgPing>();
        const auto t0 = Clock::now();
        a->Send(request, addrB);
        if (!caller.WaitFor(request->MsgId)) {
            std::fprintf(stderr, "conn_bench: no answer\n");
            std::exit(1);
        }
        if (i >= WarmUp) us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    a->Stop();
    b->Stop();
    return us;
}

} // namespace

int main(int argc, char** argv) {
    const char* jsonPath = argc > 1 ? argv[1] : nullptr;
    const size_t count = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 5000;
    if (count == 0) return 1;

    // The reference datagram: a small control message with its terminating zero.
    static const char request[] = "{\"msg\":\"ping\",\"msg_id\":123456}";
    const bench::Percentiles plain = bench::Summarise(bench::PlainPingPong(count, WarmUp, std::string_view(request, sizeof(request))));
    const bench::Percentiles ours = bench::Summarise(Ours(count));
    const double ratio50 = ours.P50 / plain.P50, ratio99 = ours.P99 / plain.P99;

    std::printf("%-22s %10s %10s\n", "round trip", "p50 us", "p99 us");
    std::printf("%-22s %10.1f %10.1f\n", "JsonUdpConnect", ours.P50, ours.P99);
    std::printf("%-22s %10.1f %10.1f\n", "plain UDP ping-pong", plain.P50, plain.P99);
    std::printf("ours / plain: p50 %.2f, p99 %.2f (%zu round trips each)\n", ratio50, ratio99, count);

    if (jsonPath) {
        std::ofstream out(jsonPath);
        out << "{\"round_trips\": " << count << ", \"results\": [\n"
            << "  {\"impl\": \"ours\", \"p50_us\": " << ours.P50 << ", \"p99_us\": " << ours.P99 << "},\n"
            << "  {\"impl\": \"plain\", \"p50_us\": " << plain.P50 << ", \"p99_us\": " << plain.P99 << "}\n"
            << "], \"p50_ratio\": " << ratio50 << ", \"p99_ratio\": " << ratio99 << "}\n";
    }
    return 0;
}
