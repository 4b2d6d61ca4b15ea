// UDP sockets of a running manager on 127.0.0.1, against a plain POSIX peer: delivery, cutting,
// empty datagrams, destinations and error texts, the asynchronous queue, closing from a callback,
// many sockets, and sockets that do not read.
#include <gtest/gtest.h>

#include <sys/ioctl.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "diag/IEnvironment.h"
#include "net/NetManager.h"
#include "net/UdpSock.h"
#include "support/log_capture.h"
#include "support/udp_loopback.h"

namespace {

using Network::BaseSock;
using Network::IUdpSockPtr;
using Network::NetManager;
using Network::PacketPtr;
using Network::SockAddr;
using Network::UdpSockInfo;
using test_support::FirstLine;
using test_support::RecordingReceiver;
using test_support::UdpPeer;

BaseSock* Base(const IUdpSockPtr& s) { return dynamic_cast<BaseSock*>(s.get()); }

// Holds the service thread inside a callback until released.
class Gate {
public:
    void EnterAndWait() {
        std::unique_lock<std::mutex> lock(_m);
        _entered = true;
        _cv.notify_all();
        _cv.wait(lock, [this] { return _released; });
    }
    bool WaitEntered() {
        std::unique_lock<std::mutex> lock(_m);
        return _cv.wait_for(lock, std::chrono::seconds(10), [this] { return _entered; });
    }
    void Release() {
        std::lock_guard<std::mutex> lock(_m);
        _released = true;
        _cv.notify_all();
    }

private:
    std::mutex _m;
    std::condition_variable _cv;
    bool _entered = false;
    bool _released = false;
};

class UdpSockTest : public testing::Test {
protected:
    ~UdpSockTest() override { gate.Release(); }

    UdpSockInfo Settings(RecordingReceiver& r) {
        UdpSockInfo s;
        s.Receiver = &r;
        return s;
    }
    IUdpSockPtr Open(const UdpSockInfo& s) {
        IUdpSockPtr socket = test_support::OpenOnLoopback(*manager, s);
        EXPECT_NE(socket, nullptr);
        return socket;
    }
    static uint16_t PortOf(const IUdpSockPtr& s) { return s->GetUdpSockInfo().RecvAddr.GetPort(); }

    // Blocks the service thread in a callback of a socket of its own; the returned socket must
    // be kept until the gate is released.
    IUdpSockPtr BlockServiceThread() {
        blocker.OnEach = [this](Network::IUdpSock*, const Network::Packet&) { gate.EnterAndWait(); };
        IUdpSockPtr s = Open(Settings(blocker));
        EXPECT_TRUE(peer.SendTo(PortOf(s), "block"));
        EXPECT_TRUE(gate.WaitEntered());
        return s;
    }

    // Declared before the manager: the service thread may call them until the manager is gone.
    Gate gate;
    RecordingReceiver receiver;
    RecordingReceiver blocker;
    UdpPeer peer;
    std::unique_ptr<NetManager> manager = std::make_unique<NetManager>(L"udp-itest", true);
};

TEST_F(UdpSockTest, DeliversEachDatagramWithItsSender) {
    IUdpSockPtr s = Open(Settings(receiver));
    ASSERT_TRUE(s);
    for (const char* text : {"one", "two", "three"}) ASSERT_TRUE(peer.SendTo(PortOf(s), text));
    ASSERT_TRUE(receiver.WaitForDatagrams(3));
    const auto got = receiver.Datagrams();
    ASSERT_EQ(got.size(), 3u);
    const char* expected[] = {"one", "two", "three"};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(got[i].Bytes, expected[i]);
        EXPECT_EQ(got[i].From, peer.Addr());
        EXPECT_EQ(got[i].Socket, s.get());
    }
}

TEST_F(UdpSockTest, CutsDatagramsLongerThanThePacketSize) {
    const struct {
        uint32_t packetSize;
        size_t sent;
        size_t delivered;
    } cases[] = {
        {1472, 2000, 1472}, {100, 100, 100}, {100, 101, 100}, {1472, 1, 1},
        {0x80000000u, 2000, 2000},  // an absurd size costs no more than the longest datagram
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.packetSize << "/" << c.sent);
        RecordingReceiver r;
        UdpSockInfo settings = Settings(r);
        settings.PacketSize = c.packetSize;
        IUdpSockPtr s = Open(settings);
        ASSERT_TRUE(s);
        std::string bytes(c.sent, '\0');
        for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>('a' + i % 26);
        ASSERT_TRUE(peer.SendTo(PortOf(s), bytes));
        ASSERT_TRUE(r.WaitForDatagrams(1));
        EXPECT_EQ(r.Datagrams()[0].Bytes, bytes.substr(0, c.delivered));
        s->Close();
    }
}

TEST_F(UdpSockTest, ConsumesZeroLengthDatagramsWithoutDeliveringThem) {
    IUdpSockPtr s = Open(Settings(receiver));
    ASSERT_TRUE(s);
    ASSERT_TRUE(peer.SendTo(PortOf(s), ""));
    ASSERT_TRUE(peer.SendTo(PortOf(s), ""));
    ASSERT_TRUE(peer.SendTo(PortOf(s), "after"));
    ASSERT_TRUE(receiver.WaitForDatagrams(1));
    const auto got = receiver.Datagrams();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].Bytes, "after");
    int pending = -1;
    ASSERT_EQ(ioctl(Base(s)->GetSystemHandle(), FIONREAD, &pending), 0);
    EXPECT_EQ(pending, 0);
}

// Each send form, synchronous and asynchronous: an explicit destination wins, otherwise the
// default one, which SetSendAddr changes.
TEST_F(UdpSockTest, SendsToTheGivenAddressOrElseTheDefaultOne) {
    UdpPeer other;
    for (const bool sync : {true, false}) {
        SCOPED_TRACE(sync ? "synchronous" : "asynchronous");
        UdpSockInfo settings = Settings(receiver);
        settings.SendModeSync = sync;
        settings.SendAddr = peer.Addr();
        IUdpSockPtr s = Open(settings);
        ASSERT_TRUE(s);
        const uint16_t self = PortOf(s);

        ASSERT_TRUE(s->Send("bytes", 5, SockAddr()).IsOk());
        auto d = peer.Receive();
        ASSERT_TRUE(d);
        EXPECT_EQ(d->Bytes, "bytes");
        EXPECT_EQ(d->FromPort, self);

        ASSERT_TRUE(s->Send("explicit", 8, other.Addr()).IsOk());
        d = other.Receive();
        ASSERT_TRUE(d);
        EXPECT_EQ(d->Bytes, "explicit");

        auto shared = std::make_shared<Network::Packet>();
        shared->_Data.assign({'s', 'h'});
        ASSERT_TRUE(s->Send(PacketPtr(shared), SockAddr()).IsOk());
        d = peer.Receive();
        ASSERT_TRUE(d);
        EXPECT_EQ(d->Bytes, "sh");

        ASSERT_TRUE(s->SetSendAddr(other.Addr()).IsOk());
        auto unique = Network::AllocateUdpPacket(2);
        unique->_Data.assign({'u', 'q'});
        ASSERT_TRUE(s->Send(std::move(unique), SockAddr()).IsOk());
        d = other.Receive();
        ASSERT_TRUE(d);
        EXPECT_EQ(d->Bytes, "uq");
        EXPECT_EQ(s->GetUdpSockInfo().SendAddr, other.Addr());
        s->Close();
    }
}

TEST_F(UdpSockTest, SendFailuresCarryTheirTexts) {
    for (const bool sync : {true, false}) {
        SCOPED_TRACE(sync ? "synchronous" : "asynchronous");
        UdpSockInfo settings = Settings(receiver);
        settings.SendModeSync = sync;
        IUdpSockPtr s = Open(settings);
        ASSERT_TRUE(s);
        const std::wstring self = s->GetUdpSockInfo().RecvAddr.ToString();

        ErrInfo undefined = s->Send("x", 1, SockAddr());
        EXPECT_EQ(FirstLine(undefined), L"UDP socket: send address undefined");
        EXPECT_NE(undefined.GetErrorStr().find(L"; self = '" + self + L"', dest = 'empty'"), std::wstring::npos)
            << "the first failure names both ends";
        ErrInfo again = s->Send("x", 1, SockAddr());
        EXPECT_FALSE(again.IsOk());
        EXPECT_TRUE(again.IsSilent()) << "a repeat within the minute is condensed";

        s->Close();
        ErrInfo closed = s->Send("x", 1, peer.Addr());
        EXPECT_EQ(FirstLine(closed), L"Invalid socket");
        ErrInfo setAddr = s->SetSendAddr(peer.Addr());
        EXPECT_EQ(FirstLine(setAddr), L"UDP socket: Invalid socket");
        for (ErrInfo* e : {&undefined, &again, &closed, &setAddr}) e->Silent();
    }

    // The system's refusal of a synchronous send is returned; the socket stays open.
    IUdpSockPtr s = Open(Settings(receiver));
    ErrInfo refused = s->Send("x", 1, SockAddr("127.0.0.1", 0));
    EXPECT_EQ(FirstLine(refused), L"UDP socket: sendto() failed");
    EXPECT_EQ(refused.GetErrorCode(), static_cast<uint32_t>(EINVAL));
    EXPECT_NE(refused.GetErrorStr().find(L"dest = '127.0.0.1:0'"), std::wstring::npos);
    refused.Silent();
    EXPECT_TRUE(Base(s)->IsHandleValid());
    EXPECT_TRUE(s->Send("ok", 2, peer.Addr()).IsOk());
    EXPECT_TRUE(peer.Receive());
}

TEST_F(UdpSockTest, BroadcastNeedsTheBroadcastOption) {
    const SockAddr loopbackBroadcast("127.255.255.255", peer.Port());
    for (const bool broadcast : {false, true}) {
        UdpSockInfo settings = Settings(receiver);
        settings.Broadcast = broadcast;
        IUdpSockPtr s = Open(settings);
        ASSERT_TRUE(s);
        ErrInfo result = s->Send("b", 1, loopbackBroadcast);
        if (broadcast) {
            EXPECT_TRUE(result.IsOk());
        } else {
            EXPECT_EQ(FirstLine(result), L"UDP socket: sendto() failed");
            EXPECT_EQ(result.GetErrorCode(), static_cast<uint32_t>(EACCES));
        }
        result.Silent();
        s->Close();
    }
}

// With the service thread held, nothing drains the queue: the third datagram of a two-slot
// queue is refused and counted; the queued ones go out once the thread is free.
TEST_F(UdpSockTest, FullAsyncQueueRefusesTheDatagramAndCountsADrop) {
    std::atomic<int64_t> now{1'700'000'040};
    manager->SetStatisticsClock([&] { return now.load(); });
    test_support::LogCapture log(Environment()->DebugLog());

    UdpSockInfo settings = Settings(receiver);
    settings.SendModeSync = false;
    settings.SendQueueLen = 2;
    settings.SendAddr = peer.Addr();
    IUdpSockPtr s = Open(settings);
    ASSERT_TRUE(s);
    IUdpSockPtr blocked = BlockServiceThread();

    EXPECT_TRUE(s->Send("1", 1, SockAddr()).IsOk());
    EXPECT_TRUE(s->Send("2", 1, SockAddr()).IsOk());
    ErrInfo overflow = s->Send("3", 1, SockAddr());
    EXPECT_EQ(FirstLine(overflow), L"UDP socket: Send buffer overflow");
    overflow.Silent();
    now += 60;
    gate.Release();

    for (const char* expected : {"1", "2"}) {
        auto d = peer.Receive();
        ASSERT_TRUE(d);
        EXPECT_EQ(d->Bytes, expected);
    }
    ASSERT_TRUE(s->Send("4", 1, SockAddr()).IsOk());
    auto d = peer.Receive();
    ASSERT_TRUE(d);
    EXPECT_EQ(d->Bytes, "4") << "the refused datagram was never queued";

    // The minute turned while the drop was counted: the next line reports it.
    EXPECT_TRUE(log.WaitForMatching(L"STATISTICS: udp-itest: IoStat: Sockets="));
    EXPECT_TRUE(log.WaitForMatching(L" UdpSendAsyncDrops=1"));
}

TEST_F(UdpSockTest, AsyncSendFailureIsReportedAndClosesTheSocket) {
    UdpSockInfo settings = Settings(receiver);
    settings.SendModeSync = false;
    IUdpSockPtr s = Open(settings);
    ASSERT_TRUE(s);
    const size_t before = manager->GetNumSockets();
    ASSERT_TRUE(s->Send("x", 1, SockAddr("127.0.0.1", 0)).IsOk()) << "queued; the system refuses it later";
    ASSERT_TRUE(receiver.WaitForErrors(1));
    const auto errors = receiver.Errors();
    EXPECT_EQ(errors[0].Text, L"Can't send UDP data");
    EXPECT_EQ(errors[0].Code, static_cast<uint32_t>(EINVAL));
    EXPECT_EQ(errors[0].Socket, s.get());
    s->GetUdpSockInfo();  // takes the socket's lock: the service thread has finished closing
    EXPECT_FALSE(Base(s)->IsHandleValid());
    EXPECT_EQ(manager->GetNumSockets(), before - 1);
}

TEST_F(UdpSockTest, CloseFromInsideACallbackStopsDelivery) {
    receiver.OnEach = [](Network::IUdpSock* socket, const Network::Packet&) {
        socket->Close();
        socket->Close();  // a repeat is harmless
    };
    IUdpSockPtr s = Open(Settings(receiver));
    ASSERT_TRUE(s);
    const uint16_t port = PortOf(s);
    for (const char* text : {"1", "2", "3"}) ASSERT_TRUE(peer.SendTo(port, text));
    ASSERT_TRUE(receiver.WaitForDatagrams(1));

    // Anything the closed socket could still deliver would come before a datagram that another
    // socket of the same manager receives afterwards.
    RecordingReceiver marker;
    IUdpSockPtr m = Open(Settings(marker));
    ASSERT_TRUE(peer.SendTo(PortOf(m), "marker"));
    ASSERT_TRUE(marker.WaitForDatagrams(1));
    EXPECT_EQ(receiver.Datagrams().size(), 1u);
    EXPECT_FALSE(Base(s)->IsHandleValid());
    EXPECT_EQ(Base(s)->GetSocketNetManIndex(), BaseSock::InvalidNetManIndexValue);
}

TEST_F(UdpSockTest, ManySocketsShareOneManager) {
    constexpr size_t Count = 100;
    std::vector<IUdpSockPtr> sockets;
    for (size_t i = 0; i < Count; ++i) {
        sockets.push_back(Open(Settings(receiver)));
        ASSERT_TRUE(sockets.back());
    }
    EXPECT_EQ(manager->GetNumSockets(), Count);
    for (size_t i = 0; i < Count; ++i) ASSERT_TRUE(peer.SendTo(PortOf(sockets[i]), std::to_string(i)));
    ASSERT_TRUE(receiver.WaitForDatagrams(Count));
    for (const auto& d : receiver.Datagrams()) {
        const size_t i = std::stoul(d.Bytes);
        ASSERT_LT(i, Count);
        EXPECT_EQ(d.Socket, sockets[i].get()) << "datagram " << i << " reached its own socket";
    }
    for (auto& s : sockets) s->Close();
    EXPECT_EQ(manager->GetNumSockets(), 0u);
}

// A socket without a receive port does not deliver, but must not leave datagrams queued: the
// level-triggered readiness would keep the service thread spinning.
TEST_F(UdpSockTest, SocketsThatDoNotReadDiscardWhatReachesThem) {
    for (const bool bound : {false, true}) {
        SCOPED_TRACE(bound ? "bound to 127.0.0.1 port 0" : "unbound");
        RecordingReceiver quiet;
        UdpSockInfo settings = Settings(quiet);
        if (bound) settings.RecvAddr = SockAddr("127.0.0.1", 0);
        IUdpSockPtr s = manager->CreateUdpSock();
        ASSERT_TRUE(s->Open(settings).IsOk());
        ASSERT_TRUE(s->Send("hello", 5, peer.Addr()).IsOk());  // the port is chosen here
        auto d = peer.Receive();
        ASSERT_TRUE(d);
        for (int i = 0; i < 3; ++i) ASSERT_TRUE(peer.SendTo(d->FromPort, "ignored"));

        RecordingReceiver marker;
        IUdpSockPtr m = Open(Settings(marker));
        ASSERT_TRUE(peer.SendTo(PortOf(m), "marker"));
        ASSERT_TRUE(marker.WaitForDatagrams(1));
        int pending = -1;
        ASSERT_EQ(ioctl(Base(s)->GetSystemHandle(), FIONREAD, &pending), 0);
        EXPECT_EQ(pending, 0);
        EXPECT_TRUE(quiet.Datagrams().empty());
        s->Close();
        m->Close();
    }
}

TEST_F(UdpSockTest, OpenIsRefusedOnOpenClosedAndFailedSockets) {
    IUdpSockPtr s = Open(Settings(receiver));
    ASSERT_TRUE(s);
    const UdpSockInfo settings = s->GetUdpSockInfo();

    ErrInfo twice = s->Open(settings);
    EXPECT_EQ(FirstLine(twice), L"UDP socket: Open refused, the socket is already open");
    EXPECT_TRUE(Base(s)->IsHandleValid()) << "the open socket is left as it was";

    // A second socket on the same address fails to bind, closes itself and leaves the table.
    const size_t before = manager->GetNumSockets();
    IUdpSockPtr clash = manager->CreateUdpSock();
    ErrInfo bindFailure = clash->Open(settings);
    EXPECT_EQ(bindFailure.GetErrorCode(), static_cast<uint32_t>(EADDRINUSE));
    const std::wstring expected = L"udp-itest: UDP socket ";
    EXPECT_EQ(FirstLine(bindFailure).rfind(expected, 0), 0u) << FirstLine(bindFailure);
    EXPECT_NE(FirstLine(bindFailure).find(L" bind() has failed to \"" + settings.RecvAddr.ToString() + L"\"; Error: "),
              std::wstring::npos);
    EXPECT_FALSE(Base(clash)->IsHandleValid());
    EXPECT_EQ(manager->GetNumSockets(), before);
    ErrInfo retry = clash->Open(settings);
    EXPECT_EQ(FirstLine(retry), L"UDP socket: Open refused, the socket was closed; create a new socket");

    s->Close();
    ErrInfo reopen = s->Open(settings);
    EXPECT_EQ(FirstLine(reopen), L"UDP socket: Open refused, the socket was closed; create a new socket");
    for (ErrInfo* e : {&twice, &bindFailure, &retry, &reopen}) e->Silent();
}

} // namespace
