// TCP sockets of a manager on 127.0.0.1, against plain POSIX peers and against each other:
// connecting (success, refusal, timeout), sending in packets and resuming partial sends,
// receiving, peer close, accepting (echo, refusal, data that arrives with the connection), a
// listener that can not accept, and the TCP statistics.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "diag/IEnvironment.h"
#include "net/NetManager.h"
#include "net/TcpListenSock.h"
#include "net/TcpSock.h"
#include "support/log_capture.h"
#include "support/udp_loopback.h"

namespace {

using namespace std::chrono_literals;
using Network::ITcpListenSock;
using Network::ITcpListenSockPtr;
using Network::ITcpSock;
using Network::ITcpSockCallback;
using Network::ITcpSockPtr;
using Network::NetManager;
using Network::Packet;
using Network::PacketPtr;
using Network::SockAddr;
using Network::SockConnectState;
using Network::TcpListenSock;
using Network::TcpListenSockInfo;
using Network::TcpSockInfo;
using test_support::FirstLine;

constexpr auto Patience = 10s;  // a safety net for a failing test, not a measurement

std::string Pattern(size_t n, unsigned seed = 0) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + seed) % 251);
    return s;
}

struct Report {
    std::wstring Text;
    uint32_t Code = 0;
};

// Records what a stream socket reports; the optional hooks run on the service thread first.
class TcpRecorder : public Network::ITcpSockManager {
public:
    std::function<void(ITcpSock*)> OnConnected;
    std::function<void(ITcpSock*, const PacketPtr&)> OnEachPacket;

    void OnConnect(ITcpSock* socket) override {
        if (OnConnected) OnConnected(socket);
        Update([&] { ++_connects; });
    }
    bool OnDataReceived(ITcpSock* socket, const PacketPtr& packet) override {
        if (OnEachPacket) OnEachPacket(socket, packet);
        Update([&] { _data.append(reinterpret_cast<const char*>(packet->GetDataPtr()), packet->GetDataSize()); });
        return true;
    }
    void OnError(ITcpSock*, ErrInfo error) override {
        Update([&] { _errors.push_back({FirstLine(error), error.GetErrorCode()}); });
        error.Silent();
    }
    void OnClose(ITcpSock*, ErrInfo error) override {
        Update([&] { _closes.push_back({FirstLine(error), error.GetErrorCode()}); });
        error.Silent();
    }

    bool WaitForConnects(int n) { return WaitUntil([&] { return _connects >= n; }); }
    bool WaitForData(size_t n) { return WaitUntil([&] { return _data.size() >= n; }); }
    bool WaitForErrors(size_t n) { return WaitUntil([&] { return _errors.size() >= n; }); }
    bool WaitForCloses(size_t n) { return WaitUntil([&] { return _closes.size() >= n; }); }
    int Connects() { return Read([&] { return _connects; }); }
    std::string Data() { return Read([&] { return _data; }); }
    std::vector<Report> Errors() { return Read([&] { return _errors; }); }
    std::vector<Report> Closes() { return Read([&] { return _closes; }); }

private:
    template <class F>
    void Update(F f) {
        std::lock_guard<std::mutex> lock(_m);
        f();
        _cv.notify_all();
    }
    template <class F>
    auto Read(F f) -> decltype(f()) {
        std::lock_guard<std::mutex> lock(_m);
        return f();
    }
    template <class F>
    bool WaitUntil(F f) {
        std::unique_lock<std::mutex> lock(_m);
        return _cv.wait_for(lock, Patience, f);
    }

    std::mutex _m;
    std::condition_variable _cv;
    int _connects = 0;            // guarded by _m
    std::string _data;            // guarded by _m
    std::vector<Report> _errors;  // guarded by _m
    std::vector<Report> _closes;  // guarded by _m
};

// Keeps every connection it is offered and answers with Answer.
class ListenRecorder : public Network::ITcpListenSockManager {
public:
    explicit ListenRecorder(ITcpSockCallback answer) : _answer(answer) {}

    // Runs on the service thread before the connection is recorded.
    std::function<void()> OnEachAccept;

    ITcpSockCallback OnAccept(ITcpListenSock*, const ITcpSockPtr& socket) override {
        if (OnEachAccept) OnEachAccept();
        std::lock_guard<std::mutex> lock(_m);
        _accepted.push_back(socket);
        _cv.notify_all();
        return _answer;
    }
    void OnError(ITcpListenSock*, ErrInfo error) override { error.Silent(); }

    ITcpSockPtr WaitForAccepted(size_t index) {
        std::unique_lock<std::mutex> lock(_m);
        if (!_cv.wait_for(lock, Patience, [&] { return _accepted.size() > index; })) return nullptr;
        return _accepted[index];
    }

private:
    const ITcpSockCallback _answer;
    std::mutex _m;
    std::condition_variable _cv;
    std::vector<ITcpSockPtr> _accepted;  // guarded by _m
};

// --- plain POSIX peers ---------------------------------------------------------------------------

class Fd {
public:
    explicit Fd(int fd = -1) : _fd(fd) {}
    ~Fd() {
        if (_fd >= 0) close(_fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return _fd; }
    void reset(int fd = -1) {
        if (_fd >= 0) close(_fd);
        _fd = fd;
    }

private:
    int _fd;
};

sockaddr_in Loopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

uint16_t LocalPort(int fd) {
    sockaddr_in a{};
    socklen_t length = sizeof(a);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
    return ntohs(a.sin_port);
}

// A TCP socket bound to 127.0.0.1 on a port the kernel chose; listening when backlog >= 0.
int PlainBound(int backlog, uint16_t& port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in a = Loopback(0);
    if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof(a)) != 0) return -1;
    if (backlog >= 0 && listen(fd, backlog) != 0) return -1;
    port = LocalPort(fd);
    return fd;
}

int PlainConnect(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in a = Loopback(port);
    if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof(a)) == 0) return fd;
    if (fd >= 0) close(fd);
    return -1;
}

bool Readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, static_cast<int>(std::chrono::milliseconds(Patience).count())) == 1;
}

int PlainAccept(int listening) { return Readable(listening) ? accept(listening, nullptr, nullptr) : -1; }

bool SendAll(int fd, const std::string& bytes) {
    for (size_t done = 0; done < bytes.size();) {
        const ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Up to n bytes; fewer when the peer closes or nothing comes in time.
std::string ReadUpTo(int fd, size_t n) {
    std::string out;
    out.reserve(n);
    std::vector<char> buf(1 << 16);
    while (out.size() < n && Readable(fd)) {
        const ssize_t got = recv(fd, buf.data(), std::min(buf.size(), n - out.size()), 0);
        if (got <= 0) break;
        out.append(buf.data(), static_cast<size_t>(got));
    }
    return out;
}

// True when the peer ended the connection (end of stream or reset).
bool SeesEnd(int fd) {
    char c;
    return Readable(fd) && recv(fd, &c, 1, 0) <= 0;
}

// --- fixture -------------------------------------------------------------------------------------

class TcpSockTest : public testing::Test {
protected:
    TcpSockInfo ClientInfo(uint16_t port, TcpRecorder& recorder) {
        TcpSockInfo info;
        info.RemoteAddr = SockAddr("127.0.0.1", port);
        info.SockManager = &recorder;
        return info;
    }
    // A listener of the manager on a port the kernel chose.
    ITcpListenSockPtr OpenListener(Network::ITcpListenSockManager* callback, uint16_t& port) {
        ITcpListenSockPtr listener = manager->CreateTcpListenSock();
        TcpListenSockInfo info;
        info.LocalAddr = SockAddr("127.0.0.1", 0);
        info.SockManager = callback;
        ErrInfo result = listener->Open(info);
        EXPECT_TRUE(result.IsOk()) << FirstLine(result);
        port = dynamic_cast<TcpListenSock&>(*listener).GetLocalAddr().GetPort();
        return listener;
    }
    static bool WaitClosed(const ITcpSockPtr& s) {
        const auto end = std::chrono::steady_clock::now() + Patience;
        while (s->IsHandleValid() && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(1ms);
        return !s->IsHandleValid();
    }

    // Declared before the manager: the service thread may call them until the manager is gone.
    TcpRecorder client;
    TcpRecorder server;
    ListenRecorder listening{&server};
    std::unique_ptr<NetManager> manager = std::make_unique<NetManager>(L"tcp-itest", false);
};

// A connect starts Connecting and refuses sends; once connected, 20000 bytes go out as three
// packets and the peer's answer and its close come back, all counted in the statistics line.
TEST_F(TcpSockTest, ConnectsSendsInPacketsReceivesAndSeesThePeerClose) {
    std::atomic<int64_t> now{1'700'000'040};
    manager->SetStatisticsClock([&] { return now.load(); });
    uint16_t port = 0;
    Fd peerListener(PlainBound(4, port));
    ASSERT_GE(peerListener.get(), 0);

    const std::string request = Pattern(20000);
    std::atomic<size_t> queuedAtConnect{0};
    client.OnConnected = [&](ITcpSock* s) {
        ASSERT_TRUE(s->Send(request.data(), request.size()).IsOk());
        queuedAtConnect = s->GetQueueSize();  // the service thread is here: nothing has been sent
    };
    ITcpSockPtr s = manager->CreateTcpSock();
    ErrInfo opened = s->Open(ClientInfo(port, client));
    ASSERT_TRUE(opened.IsOk()) << FirstLine(opened);
    EXPECT_EQ(s->GetConnectState(), SockConnectState::Connecting);
    ErrInfo early = s->Send("x", 1);
    EXPECT_EQ(FirstLine(early), L"TCP send failure : Socket is not connected yet");
    EXPECT_TRUE(early.IsSilent());
    EXPECT_EQ(s->GetQueueSize(), 0u);

    ASSERT_TRUE(manager->Start());
    Fd peer(PlainAccept(peerListener.get()));
    ASSERT_GE(peer.get(), 0);
    ASSERT_TRUE(client.WaitForConnects(1));
    EXPECT_EQ(s->GetConnectState(), SockConnectState::Connected);
    EXPECT_EQ(queuedAtConnect.load(), 3u) << "8192 + 8192 + 3616 bytes";
    EXPECT_EQ(ReadUpTo(peer.get(), request.size()), request);

    const std::string answer = Pattern(5000, 7);
    ASSERT_TRUE(SendAll(peer.get(), answer));
    ASSERT_TRUE(client.WaitForData(answer.size()));
    EXPECT_EQ(client.Data(), answer);

    peer.reset();
    ASSERT_TRUE(client.WaitForCloses(1));
    EXPECT_EQ(client.Closes()[0].Text, L"TCP socket disconnected; read shutdown detected");
    EXPECT_TRUE(WaitClosed(s));
    EXPECT_EQ(s->GetConnectState(), SockConnectState::Disconnected);
    EXPECT_TRUE(client.Errors().empty());

    manager->Stop();
    test_support::LogCapture log(Environment()->DebugLog());
    now += 60;
    manager->CheckStatisticsLine();
    ASSERT_TRUE(log.WaitForMatching(L"STATISTICS: tcp-itest: IoStat:"));
    const std::wstring line = log.Matching(L"STATISTICS: tcp-itest: IoStat:")[0];
    EXPECT_NE(line.find(L" TcpRecvBytes=5000 TcpSendBytes=20000"), std::wstring::npos) << line;
    for (const wchar_t* stat : {L"TcpSend (mks)", L"TcpRecv (mks)", L"TcpRecvCallback (mks)"})
        EXPECT_NE(line.find(stat), std::wstring::npos) << stat;
}

// A refused connect is reported once, ends Disconnected and closed, and is never passed off
// as connected afterwards.
TEST_F(TcpSockTest, RefusedConnectIsReportedOnceAndClosesTheSocket) {
    uint16_t port = 0;
    Fd notListening(PlainBound(-1, port));  // holds the port, so nobody else listens on it
    ASSERT_GE(notListening.get(), 0);
    ASSERT_TRUE(manager->Start());

    ITcpSockPtr s = manager->CreateTcpSock();
    ErrInfo opened = s->Open(ClientInfo(port, client));
    if (opened.IsOk()) {
        ASSERT_TRUE(client.WaitForErrors(1));
        EXPECT_EQ(client.Errors()[0].Text, L"NetManager: non-blocking connect() failure");
        EXPECT_EQ(client.Errors()[0].Code, static_cast<uint32_t>(ECONNREFUSED));
    } else {
        EXPECT_NE(FirstLine(opened).find(L"connect() has failed"), std::wstring::npos) << FirstLine(opened);
        EXPECT_EQ(opened.GetErrorCode(), static_cast<uint32_t>(ECONNREFUSED));
        opened.Silent();
    }
    EXPECT_TRUE(WaitClosed(s));
    EXPECT_EQ(s->GetConnectState(), SockConnectState::Disconnected);
    std::this_thread::sleep_for(200ms);  // room for a stray report to show up
    EXPECT_EQ(client.Connects(), 0);
    EXPECT_LE(client.Errors().size(), 1u);
    EXPECT_TRUE(client.Closes().empty());
}

TEST_F(TcpSockTest, OpenRefusalsCarryTheirTexts) {
    ASSERT_TRUE(manager->Start());
    uint16_t port = 0;
    Fd peerListener(PlainBound(4, port));

    ITcpSockPtr noAddress = manager->CreateTcpSock();
    ErrInfo result = noAddress->Open(TcpSockInfo());
    EXPECT_EQ(FirstLine(result), L"outgoing TCP connection: undefined address");
    result.Silent();

    ITcpSockPtr s = manager->CreateTcpSock();
    ASSERT_TRUE(s->Open(ClientInfo(port, client)).IsOk());
    result = s->Open(ClientInfo(port, client));
    EXPECT_EQ(FirstLine(result), L"outgoing TCP connection: can not open socket");
    result.Silent();
    s->Close();
    result = s->Send("x", 1);
    EXPECT_EQ(FirstLine(result), L"TCP send failure : Socket is not open");
    result = s->Open(ClientInfo(port, client));
    EXPECT_FALSE(result.IsOk()) << "a closed socket has left its manager's table for good";
    result.Silent();
}

// A listen queue that is full drops the connect's handshake, so the connect can only end by
// its timeout.
TEST_F(TcpSockTest, ConnectThatOutlivesItsTimeoutIsEndedAndReported) {
    uint16_t port = 0;
    Fd full(PlainBound(0, port));
    ASSERT_GE(full.get(), 0);
    Fd filler(PlainConnect(port));  // takes the only place in the queue; never accepted
    ASSERT_GE(filler.get(), 0);
    ASSERT_TRUE(manager->Start());

    ITcpSockPtr s = manager->CreateTcpSock();
    TcpSockInfo info = ClientInfo(port, client);
    info.ConnectTimeout = 150;
    ASSERT_TRUE(s->Open(info).IsOk());
    ASSERT_TRUE(client.WaitForErrors(1));
    EXPECT_EQ(client.Errors()[0].Text, L"outgoing TCP connection: connect timeout");
    EXPECT_EQ(client.Errors()[0].Code, static_cast<uint32_t>(ETIMEDOUT));
    EXPECT_TRUE(WaitClosed(s));
    EXPECT_EQ(s->GetConnectState(), SockConnectState::Disconnected);
    EXPECT_EQ(client.Connects(), 0);
}

// Both ends are the library's: the accepted connection echoes what it receives (sharing the
// received packets with its send queue), and the client's close reaches the server side.
TEST_F(TcpSockTest, AcceptedConnectionEchoesAndSeesTheClientClose) {
    ASSERT_TRUE(manager->Start());
    server.OnEachPacket = [](ITcpSock* s, const PacketPtr& p) { EXPECT_TRUE(s->Send(p).IsOk()); };
    uint16_t port = 0;
    ITcpListenSockPtr listener = OpenListener(&listening, port);
    ASSERT_NE(port, 0);

    const std::string request = Pattern(100000, 3);
    client.OnConnected = [&](ITcpSock* s) { EXPECT_TRUE(s->Send(request.data(), request.size()).IsOk()); };
    ITcpSockPtr s = manager->CreateTcpSock();
    ASSERT_TRUE(s->Open(ClientInfo(port, client)).IsOk());
    ITcpSockPtr accepted = listening.WaitForAccepted(0);
    ASSERT_TRUE(accepted);
    ASSERT_TRUE(client.WaitForData(request.size()));
    EXPECT_EQ(client.Data(), request);
    EXPECT_EQ(server.Data(), request);
    EXPECT_EQ(accepted->GetConnectState(), SockConnectState::Connected);
    EXPECT_EQ(accepted->GetTcpSockInfo().RemoteAddr.ToStringWithoutPort(), L"127.0.0.1");
    EXPECT_EQ(&accepted->GetNetManager(), manager.get());

    s->Close();
    ASSERT_TRUE(server.WaitForCloses(1));
    EXPECT_EQ(server.Closes()[0].Text, L"TCP socket disconnected; read shutdown detected");
    EXPECT_TRUE(WaitClosed(accepted));
    EXPECT_TRUE(client.Closes().empty()) << "a socket closed by its owner reports nothing";
}

// The peer connects, sends and hangs up before the service thread looks at the listener: the
// bytes still reach the connection's callback, before its close, also when they take more than
// one read pass (512-byte reads).
TEST_F(TcpSockTest, DataThatArrivesWithTheConnectionIsDeliveredBeforeTheClose) {
    ITcpListenSockPtr listener = manager->CreateTcpListenSock();
    TcpListenSockInfo info;
    info.LocalAddr = SockAddr("127.0.0.1", 0);
    info.RecvPacketSize = 512;
    info.SockManager = &listening;
    ASSERT_TRUE(listener->Open(info).IsOk());
    const std::string bytes = Pattern(100000, 9);
    size_t sent = 0;
    {
        Fd peer(PlainConnect(dynamic_cast<TcpListenSock&>(*listener).GetLocalAddr().GetPort()));
        ASSERT_GE(peer.get(), 0);
        // As much as the buffers take without a reader.
        for (ssize_t n = 0; sent < bytes.size() && n >= 0; sent += static_cast<size_t>(std::max<ssize_t>(n, 0)))
            n = send(peer.get(), bytes.data() + sent, bytes.size() - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
    }
    ASSERT_GT(sent, 64u * 512u) << "more than one read pass";
    ASSERT_TRUE(manager->Start());
    ASSERT_TRUE(server.WaitForCloses(1));
    EXPECT_TRUE(server.Data() == bytes.substr(0, sent));
    EXPECT_EQ(server.Closes()[0].Text, L"TCP socket disconnected; read shutdown detected");
}

// In a pool the connection is served by another member's thread than the listener's: it must
// not start reading while OnAccept, on the listener's thread, has not yet returned its callback.
TEST(TcpPoolTest, AcceptedConnectionOfAPoolMissesNothingSentWhileOnAcceptRuns) {
    TcpRecorder server;
    ListenRecorder listening(&server);
    std::unique_ptr<Network::INetManager> pool(Network::NetFactory::CreateNetManager(L"tcp-itest-pool", true, 2));
    ASSERT_TRUE(pool);
    Fd peer;
    std::atomic<int> peerFd{-1};  // the handshake, and so OnAccept, may finish before connect returns
    std::atomic<bool> sent{false};
    listening.OnEachAccept = [&] {
        const auto end = std::chrono::steady_clock::now() + Patience;
        while (peerFd.load() < 0 && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(1ms);
        sent = SendAll(peerFd.load(), "sent right after connecting");
        std::this_thread::sleep_for(100ms);  // the data is waiting at the connection meanwhile
    };
    ITcpListenSockPtr listener = pool->CreateTcpListenSock();
    TcpListenSockInfo info;
    info.LocalAddr = SockAddr("127.0.0.1", 0);
    info.SockManager = &listening;
    ASSERT_TRUE(listener->Open(info).IsOk());
    peer.reset(PlainConnect(dynamic_cast<TcpListenSock&>(*listener).GetLocalAddr().GetPort()));
    ASSERT_GE(peer.get(), 0);
    peerFd = peer.get();

    ITcpSockPtr accepted = listening.WaitForAccepted(0);
    ASSERT_TRUE(accepted);
    EXPECT_TRUE(sent.load());
    EXPECT_NE(&accepted->GetNetManager(), &listener->GetNetManager()) << "served by the other member";
    ASSERT_TRUE(server.WaitForData(27));
    EXPECT_EQ(server.Data(), "sent right after connecting");
}

TEST_F(TcpSockTest, ConnectionRefusedByOnAcceptIsClosedAtOnce) {
    ASSERT_TRUE(manager->Start());
    ListenRecorder refusing(nullptr);
    uint16_t port = 0;
    ITcpListenSockPtr listener = OpenListener(&refusing, port);
    Fd peer(PlainConnect(port));
    ASSERT_GE(peer.get(), 0);
    ITcpSockPtr accepted = refusing.WaitForAccepted(0);
    ASSERT_TRUE(accepted);
    EXPECT_TRUE(SeesEnd(peer.get()));
    // The peer sees the end at the shutdown, a moment before the handle is released.
    EXPECT_TRUE(WaitClosed(accepted));
}

// 16 MB do not fit into the loopback buffers while the peer does not read: the send blocks part
// way through a packet and resumes with the rest once the peer reads. The shared packet itself
// is left as it was.
TEST_F(TcpSockTest, PartialSendResumesWithTheUnsentRestAndLeavesThePacketIntact) {
    ASSERT_TRUE(manager->Start());
    uint16_t port = 0;
    Fd peerListener(PlainBound(4, port));
    ITcpSockPtr s = manager->CreateTcpSock();
    ASSERT_TRUE(s->Open(ClientInfo(port, client)).IsOk());
    Fd peer(PlainAccept(peerListener.get()));
    ASSERT_GE(peer.get(), 0);
    ASSERT_TRUE(client.WaitForConnects(1));

    const std::string big = Pattern(16 << 20, 5);
    auto packet = std::make_shared<Packet>();
    packet->_Data.assign(big.begin(), big.end());
    const std::string tail = "tail";
    PacketPtr packets[] = {packet, nullptr, std::make_shared<Packet>()};
    packets[2]->_Data.assign(tail.begin(), tail.end());
    ASSERT_TRUE(s->Send(packets, 3).IsOk());

    EXPECT_EQ(ReadUpTo(peer.get(), big.size() + tail.size()), big + tail);
    EXPECT_TRUE(std::string(reinterpret_cast<const char*>(packet->GetDataPtr()), packet->GetDataSize()) == big);
    EXPECT_EQ(s->GetQueueSize(), 0u);
}

// A listener that can not accept (here: no callback object) must not keep the service thread
// busy with a connection waiting in its queue: registered without accept interest it is never
// woken; registered with it, it is woken once and then taken out of the watch set.
class CountingListener : public TcpListenSock {
public:
    CountingListener(Network::INetManagerImpl& manager, bool watchFirst)
        : TcpListenSock(manager), _watchFirst(watchFirst) {}
    uint32_t GetHandlerEventMask() override {
        return _watchFirst && Events.load() == 0 ? static_cast<uint32_t>(Network::ACCEPT)
                                                 : TcpListenSock::GetHandlerEventMask();
    }
    bool HandleSocketEvents(uint32_t events) override {
        const bool handled = TcpListenSock::HandleSocketEvents(events);
        ++Events;
        return handled;
    }
    std::atomic<int> Events{0};

private:
    const bool _watchFirst;
};

TEST(TcpListenSockTest, ListenerThatCanNotAcceptDoesNotSpinTheLoop) {
    const struct {
        bool WatchFirst;
        int Events;
    } cases[] = {{false, 0}, {true, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.WatchFirst ? "registered for accepting" : "registered without accepting");
        NetManager manager(L"tcp-itest-listen", true);
        auto listener = std::make_shared<CountingListener>(manager, c.WatchFirst);
        manager.AddSocketToService(listener);
        TcpListenSockInfo info;
        info.LocalAddr = SockAddr("127.0.0.1", 0);
        ASSERT_TRUE(listener->Open(info).IsOk());
        Fd peer(PlainConnect(listener->GetLocalAddr().GetPort()));
        ASSERT_GE(peer.get(), 0);
        const auto end = std::chrono::steady_clock::now() + Patience;
        while (listener->Events.load() < c.Events && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(1ms);
        std::this_thread::sleep_for(300ms);  // a spinning loop would count thousands here
        EXPECT_EQ(listener->Events.load(), c.Events);
    }
}

} // namespace
