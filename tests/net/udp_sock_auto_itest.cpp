// The self-reopening UDP socket on 127.0.0.1. Its Open is made to fail by a plain socket that
// holds the port; releasing the port lets the background opener succeed. Apart from the one test
// that runs at the default 5 s retry period, the opener runs passes every few milliseconds.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <iterator>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "diag/IEnvironment.h"
#include "net/NetManager.h"
#include "net/NetManagerMulti.h"
#include "net/UdpSockAuto.h"
#include "support/log_capture.h"
#include "support/udp_loopback.h"

namespace {

using namespace std::chrono_literals;
using Network::INetManager;
using Network::IUdpSockPtr;
using Network::NetManager;
using Network::SockAddr;
using Network::UDP_sock_auto_opener;
using Network::UdpSockInfo;
using test_support::FirstLine;
using test_support::LogCapture;
using test_support::RecordingReceiver;
using test_support::UdpPeer;

// Polls cond until it holds; the limit is a safety net for a failing test, not a measurement.
template <class Cond>
bool Eventually(Cond cond, std::chrono::milliseconds limit = 10s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

// After s's port was released for its opener, whether another program has taken it instead.
bool TakenByAnother(const IUdpSockPtr& s, uint16_t port) { return !s->GetUdpSockPtr() && !test_support::CanBindLoopback(port); }

// Opens s on a free port and returns it (0 on failure). The port is free when probed but may be
// taken before s binds it: such an Open is withdrawn by Close and tried again on another port.
uint16_t OpenOnFreePort(const IUdpSockPtr& s, UdpSockInfo settings) {
    for (int attempt = 0; attempt < 20; ++attempt) {
        const uint16_t port = test_support::FreeLoopbackPort();
        settings.RecvAddr = SockAddr("127.0.0.1", port);
        ErrInfo result = s->Open(settings);
        if (result.IsOk()) return port;
        const bool taken = result.GetErrorCode() == EADDRINUSE;
        result.Silent();
        s->Close();
        if (!taken) return 0;
    }
    return 0;
}

bool EndsWith(const std::wstring& text, const std::wstring& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// A manager whose CreateUdpSock can be held, so that a test can act while the opener thread is
// inside an attempt (which holds the socket's own lock).
class GatedManager final : public INetManager {
public:
    explicit GatedManager(INetManager& real) : _real(real) {}

    void Arm() {
        std::lock_guard<std::mutex> lock(_m);
        _armed = true;
    }
    bool WaitHeld() {
        std::unique_lock<std::mutex> lock(_m);
        return _cv.wait_for(lock, 10s, [this] { return _held; });
    }
    void Release() {
        std::lock_guard<std::mutex> lock(_m);
        _armed = false;
        _cv.notify_all();
    }

    bool Start() override { return _real.Start(); }
    void Stop() override { _real.Stop(); }
    bool IsStarted() override { return _real.IsStarted(); }
    IUdpSockPtr CreateUdpSock() override {
        {
            std::unique_lock<std::mutex> lock(_m);
            if (_armed) {
                _held = true;
                _cv.notify_all();
                _cv.wait(lock, [this] { return !_armed; });
            }
        }
        return _real.CreateUdpSock();
    }
    Network::ITcpSockPtr CreateTcpSock() override { return _real.CreateTcpSock(); }
    Network::ITcpSockPtr CreateTcpSecureSock() override { return _real.CreateTcpSecureSock(); }
    Network::ITcpListenSockPtr CreateTcpListenSock() override { return _real.CreateTcpListenSock(); }
    bool IsLogOn() override { return _real.IsLogOn(); }
    size_t GetNumSockets() override { return _real.GetNumSockets(); }
    uint64_t GetLoadFactor() override { return _real.GetLoadFactor(); }

private:
    INetManager& _real;
    std::mutex _m;
    std::condition_variable _cv;
    bool _armed = false;
    bool _held = false;
};

class UdpSockAutoTest : public testing::Test {
protected:
    UdpSockAutoTest() { UDP_sock_auto_opener.SetRetryPeriod(5ms); }
    ~UdpSockAutoTest() override {
        // No test leaves work behind for the next one.
        EXPECT_TRUE(Eventually([] { return UDP_sock_auto_opener.GetNumPending() == 0; }));
        UDP_sock_auto_opener.SetRetryPeriod(Network::UdpSockAutoOpener::DefaultRetryPeriod);
    }

    UdpSockInfo SettingsOn(uint16_t port) {
        UdpSockInfo s;
        s.RecvAddr = SockAddr("127.0.0.1", port);
        s.Receiver = &receiver;
        return s;
    }
    // Opens s on the port that holder occupies: the open must fail.
    void OpenOnTakenPort(const IUdpSockPtr& s, const UdpPeer& holder) {
        ErrInfo error = s->Open(SettingsOn(holder.Port()));
        EXPECT_FALSE(error.IsOk());
        EXPECT_NE(FirstLine(error).find(L"bind() has failed"), std::wstring::npos) << FirstLine(error);
        error.Silent();
    }
    // Sends from sender until the receiver has a datagram: the opener may open at any moment.
    bool DeliversTo(uint16_t port, UdpPeer& sender) {
        return Eventually([&] {
            sender.SendTo(port, "ping");
            return !receiver.Datagrams().empty();
        });
    }

    // Declared before the manager: the service thread may call it until the manager is gone.
    RecordingReceiver receiver;
    UdpPeer sender;
    std::unique_ptr<NetManager> manager = std::make_unique<NetManager>(L"auto-itest", true);
};

// The one test at the real retry period. The port is free for those 5 s: should another program
// take it meanwhile, the test cannot tell anything and is skipped.
TEST_F(UdpSockAutoTest, OpensOnceItsPortIsReleasedAndDelivers) {
    UDP_sock_auto_opener.SetRetryPeriod(Network::UdpSockAutoOpener::DefaultRetryPeriod);
    auto holder = std::make_unique<UdpPeer>();
    const uint16_t port = holder->Port();
    IUdpSockPtr s = Network::CreateUdpSockAuto(*manager);
    OpenOnTakenPort(s, *holder);
    EXPECT_EQ(s->GetUdpSockPtr(), nullptr);
    EXPECT_EQ(&s->GetNetManager(), manager.get());
    ErrInfo again = s->Open(SettingsOn(port));
    EXPECT_TRUE(EndsWith(FirstLine(again), L"Open() - Reopen already requested")) << FirstLine(again);
    again.Silent();

    holder.reset();
    if (!DeliversTo(port, sender) && !s->GetUdpSockPtr() && !test_support::CanBindLoopback(port))
        GTEST_SKIP() << "another program took port " << port << " while it was free";
    ASSERT_FALSE(receiver.Datagrams().empty());
    // The inner socket may deliver a moment before the wrapper has stored it.
    ASSERT_TRUE(Eventually([&] { return s->GetUdpSockPtr() != nullptr; }));
    const IUdpSockPtr inner = s->GetUdpSockPtr();
    EXPECT_NE(inner, s);
    EXPECT_EQ(receiver.Datagrams().front().Socket, inner.get()) << "the receiver sees the inner socket";
    EXPECT_EQ(receiver.Datagrams().front().Bytes, "ping");

    ErrInfo opened = s->Open(SettingsOn(port));
    EXPECT_TRUE(EndsWith(FirstLine(opened), L"Open() - Socket already opened")) << FirstLine(opened);
    opened.Silent();
}

TEST_F(UdpSockAutoTest, SendsWhileReopeningFailSoftlyAndAreReportedOnce) {
    LogCapture log(Environment()->DebugLog());
    auto holder = std::make_unique<UdpPeer>();
    const uint16_t port = holder->Port();
    IUdpSockPtr s = Network::CreateUdpSockAuto(*manager);
    OpenOnTakenPort(s, *holder);

    ErrInfo setAddr = s->SetSendAddr(sender.Addr());
    EXPECT_TRUE(EndsWith(FirstLine(setAddr), L"SetSendAddr() - socket not opened")) << FirstLine(setAddr);
    setAddr.Silent();
    size_t silent = 0;
    for (int i = 0; i < 10; ++i) {
        // The three forms share one tracker.
        ErrInfo error = i % 3 == 0   ? s->Send("x", 1, sender.Addr())
                        : i % 3 == 1 ? s->Send(std::make_shared<Network::Packet>(), sender.Addr())
                                     : s->Send(Network::AllocateUdpPacket(4), sender.Addr());
        EXPECT_EQ(FirstLine(error), L"Send() - socket not opened");
        if (error.IsSilent()) ++silent;
    }  // each error is dropped here and logs itself unless it was made silent
    EXPECT_EQ(silent, 9u);
    Environment()->DebugLog()->LogRecord(L"auto-send-marker");
    ASSERT_TRUE(log.WaitForMatching(L"auto-send-marker"));
    const auto reported = log.Matching(L"Send() - socket not opened");
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_NE(reported[0].find(L"ErrState: Ok->Error"), std::wstring::npos) << reported[0];

    holder.reset();
    const bool reopened = Eventually([&] { return s->GetUdpSockPtr() != nullptr; });
    if (!reopened && TakenByAnother(s, port))
        GTEST_SKIP() << "another program took port " << port << " while it was free";
    ASSERT_TRUE(reopened);
    ASSERT_TRUE(s->SetSendAddr(sender.Addr()).IsOk());
    EXPECT_EQ(s->GetUdpSockInfo().SendAddr, sender.Addr());
    ASSERT_TRUE(s->Send("back", 4, SockAddr()).IsOk());
    auto got = sender.Receive();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->Bytes, "back");
    EXPECT_EQ(got->FromPort, port);
    // The first send after the streak reports its end, with the number of failed sends.
    ASSERT_TRUE(log.WaitForMatching(L"SendErrState', ErrCount = 10"));
    const auto recovered = log.Matching(L"SendErrState', ErrCount = 10");
    EXPECT_NE(recovered[0].find(L"ErrState: Error->OK"), std::wstring::npos) << recovered[0];
}

// With the "UdpSockAuto" stream on, the log tells a socket's story, each line with its prefix.
TEST_F(UdpSockAutoTest, ItsLogStreamTellsTheSocketsLife) {
    const IDebugLogPtr process = Environment()->DebugLog();
    // Switched while no socket is being made, as the stream switches are read at construction.
    process->SetLogEnabled(L"UdpSockAuto", true);
    LogCapture log(process);
    auto holder = std::make_unique<UdpPeer>();
    const uint16_t port = holder->Port();
    IUdpSockPtr s = Network::CreateUdpSockAuto(*manager);
    OpenOnTakenPort(s, *holder);
    holder.reset();
    const bool reopened = Eventually([&] { return s->GetUdpSockPtr() != nullptr; });
    if (!reopened && TakenByAnother(s, port))
        GTEST_SKIP() << "another program took port " << port << " while it was free";
    ASSERT_TRUE(reopened);
    ASSERT_TRUE(Eventually([] { return UDP_sock_auto_opener.GetNumPending() == 0; }));
    s.reset();
    process->SetLogEnabled(L"UdpSockAuto", false);
    ASSERT_TRUE(log.WaitForMatching(L"Socket destroyed"));

    const std::wstring prefix = L"RecvAddr=\"127.0.0.1:" + std::to_wstring(port) + L"\": ";
    const std::wstring story[] = {
        L"Socket created",
        prefix + L" UDP auto socket init auto due to open fault; Error: ",
        prefix + L" UDP auto socket re-open attempt done, Result: OK",
        prefix + L"Socket closed ",
        prefix + L"Socket destroyed",
    };
    const auto records = log.Records();
    size_t next = 0;
    for (const auto& record : records)
        if (next < std::size(story) && record.find(story[next]) != std::wstring::npos) ++next;
    EXPECT_EQ(next, std::size(story))
        << "missing: " << testing::PrintToString(story[std::min(next, std::size(story) - 1)]);
}

// Destroying or closing the socket ends its retries, whatever the opener is doing at the time;
// no inner socket may be left behind in the manager.
TEST_F(UdpSockAutoTest, DestroyOrCloseWhileReopeningLeavesNothingBehind) {
    enum class Act { DestroyWhileWaiting, CloseWhileWaiting, DestroyDuringFailingAttempt,
                     DestroyDuringSucceedingAttempt, CloseDuringSucceedingAttempt };
    for (Act act : {Act::DestroyWhileWaiting, Act::CloseWhileWaiting, Act::DestroyDuringFailingAttempt,
                    Act::DestroyDuringSucceedingAttempt, Act::CloseDuringSucceedingAttempt}) {
        SCOPED_TRACE(static_cast<int>(act));
        GatedManager gated(*manager);
        auto holder = std::make_unique<UdpPeer>();
        IUdpSockPtr s = Network::CreateUdpSockAuto(gated);
        std::weak_ptr<Network::IUdpSock> watch = s;
        OpenOnTakenPort(s, *holder);

        switch (act) {
        case Act::DestroyWhileWaiting:
            s.reset();
            holder.reset();
            break;
        case Act::CloseWhileWaiting:
            s->Close();
            holder.reset();
            break;
        case Act::DestroyDuringFailingAttempt:
        case Act::DestroyDuringSucceedingAttempt:
        case Act::CloseDuringSucceedingAttempt: {
            gated.Arm();
            ASSERT_TRUE(gated.WaitHeld());
            if (act != Act::DestroyDuringFailingAttempt) holder.reset();
            std::thread closer;
            if (act == Act::CloseDuringSucceedingAttempt)
                closer = std::thread([&] { s->Close(); });  // waits for the attempt
            else
                s.reset();  // the opener holds the last reference now
            gated.Release();
            if (closer.joinable()) closer.join();
            break;
        }
        }
        ASSERT_TRUE(Eventually([] { return UDP_sock_auto_opener.GetNumPending() == 0; }));
        if (!s) {
            EXPECT_TRUE(Eventually([&] { return watch.expired(); }));
        } else {
            std::this_thread::sleep_for(20ms);  // a few passes, in which no re-open may happen
            EXPECT_EQ(s->GetUdpSockPtr(), nullptr);
        }
        EXPECT_TRUE(Eventually([&] { return manager->GetNumSockets() == 0; }));
        if (s) {
            // A closed socket opens again on request.
            EXPECT_NE(OpenOnFreePort(s, SettingsOn(0)), 0);
            s->Close();
            EXPECT_EQ(manager->GetNumSockets(), 0u);
        }
    }
}

// User threads send and read the inner socket while the opener replaces it, and sockets die at
// random moments around their attempts (for the sanitizers).
TEST_F(UdpSockAutoTest, ConcurrentUseWhileTheOpenerReplacesTheInnerSocket) {
    UDP_sock_auto_opener.SetRetryPeriod(1ms);
    for (int round = 0; round < 20; ++round) {
        auto holder = std::make_unique<UdpPeer>();
        const uint16_t port = holder->Port();
        IUdpSockPtr s = Network::CreateUdpSockAuto(*manager);
        OpenOnTakenPort(s, *holder);
        std::atomic<bool> sent{false}, stop{false};
        // Should another program take the released port, no send succeeds: the user gives up.
        const auto giveUp = std::chrono::steady_clock::now() + 10s;
        std::thread user([&] {
            while (!sent.load() && !stop.load() && std::chrono::steady_clock::now() < giveUp) {
                s->GetUdpSockPtr();
                s->GetNetManager();
                s->GetUdpSockInfo();
                ErrInfo error = s->Send("u", 1, sender.Addr());
                if (error.IsOk()) sent.store(true);
                error.Silent();
            }
        });
        std::this_thread::sleep_for(std::chrono::microseconds(200 * (round % 7)));
        holder.reset();
        if (round % 2 == 0) {
            user.join();
            if (!sent.load() && TakenByAnother(s, port))
                GTEST_SKIP() << "another program took port " << port << " while it was free";
            ASSERT_TRUE(sent.load()) << "round " << round;
            EXPECT_TRUE(sender.Receive());
        } else {
            std::this_thread::sleep_for(std::chrono::microseconds(300 * (round % 5)));
            stop.store(true);
            user.join();
        }
        s.reset();
    }
    EXPECT_TRUE(Eventually([&] { return manager->GetNumSockets() == 0; }));
}

// A receiver that answers through the wrapper from its callback while another thread closes the
// wrapper: closing waits for the callback, which must not wait for the closing thread.
TEST_F(UdpSockAutoTest, ReceiverMayAnswerThroughTheSocketWhileItCloses) {
    IUdpSockPtr s = Network::CreateUdpSockAuto(*manager);
    Network::IUdpSock* wrapper = s.get();
    std::atomic<int> answers{0};
    receiver.OnEach = [&](Network::IUdpSock*, const Network::Packet&) {
        ErrInfo error = wrapper->Send("a", 1, sender.Addr());
        error.Silent();
        ++answers;
    };
    const uint16_t port = OpenOnFreePort(s, SettingsOn(0));
    ASSERT_NE(port, 0);
    std::atomic<bool> stop{false};
    std::thread flood([&] {
        while (!stop.load()) sender.SendTo(port, "q");
    });
    ASSERT_TRUE(Eventually([&] { return answers.load() > 10; }));
    s->Close();
    stop.store(true);
    flood.join();
    EXPECT_EQ(s->GetUdpSockPtr(), nullptr);
    EXPECT_EQ(manager->GetNumSockets(), 0u);
}

TEST(UdpSockAutoPool, InnerSocketsGoToThePoolsLeastLoadedMember) {
    std::unique_ptr<Network::INetManagerMulti> pool(Network::NetFactory::CreateNetManagerMulti(L"auto-pool", true, 2));
    RecordingReceiver r;
    IUdpSockPtr plain = pool->CreateUdpSock();  // member 0 is busier now
    IUdpSockPtr s = Network::CreateUdpSockAuto(*pool);
    UdpSockInfo settings;
    settings.Receiver = &r;
    ASSERT_NE(OpenOnFreePort(s, settings), 0);
    EXPECT_EQ(&s->GetNetManager(), &s->GetUdpSockPtr()->GetNetManager());
    EXPECT_NE(&s->GetNetManager(), &plain->GetNetManager());
    s->Close();
    plain->Close();
}

} // namespace
