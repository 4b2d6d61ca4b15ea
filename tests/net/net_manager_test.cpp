// The manager without its loop: statistics and logging switches from the log streams, the
// per-minute statistics line on an injected clock, and the factory.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>

#include "diag/IEnvironment.h"
#include "net/NetManager.h"
#include "support/log_capture.h"

namespace {

using Network::NetManager;
using Network::NetStatCounters;
using Network::NetStats;
using test_support::LogCapture;

// Restores the process log's level and the streams a test switched.
class LogSwitches {
public:
    LogSwitches() : _log(Environment()->DebugLog()), _level(_log->GetLogLevel()) {}
    ~LogSwitches() { _log->SetLogLevel(_level); }
    const IDebugLogPtr& Log() const { return _log; }

private:
    IDebugLogPtr _log;
    int _level;
};

TEST(NetManagerSwitches, StatisticsAreOnUnlessAStatStreamIsDisabled) {
    enum State { Unset, Off, On };
    const struct {
        State general;
        State own;
        bool statistics;
    } cases[] = {
        // A stream cannot be unlisted once listed: the cases with the general one unset come first.
        {Unset, Unset, true}, {Unset, On, true}, {Unset, Off, false}, {On, Unset, true},
        {On, On, true},       {On, Off, false},  {Off, Unset, false}, {Off, On, false},
    };
    LogSwitches switches;
    LogCapture log(switches.Log());
    int n = 0;
    for (const auto& c : cases) {
        const std::wstring name = L"stat" + std::to_wstring(n++);
        SCOPED_TRACE(testing::Message() << "case " << n);
        if (c.general != Unset) switches.Log()->SetLogEnabled(L"NetManager-Stat", c.general == On);
        if (c.own != Unset) switches.Log()->SetLogEnabled(L"NetManager-" + name + L"-Stat", c.own == On);
        {
            NetManager manager(name, false);
        }
        const std::wstring expected = L"NetManager \"" + name + L"\" created; statistic is " +
                                      (c.statistics ? L"ON" : L"OFF") + L"; logging is OFF; watcher EPOLL";
        EXPECT_TRUE(log.WaitForMatching(expected));
    }
    switches.Log()->SetLogEnabled(L"NetManager-Stat", true);
}

TEST(NetManagerSwitches, DetailedLoggingNeedsLevelAboveThreeAndAStream) {
    LogSwitches switches;
    switches.Log()->SetLogEnabled(L"NetManager-verbose", true);
    switches.Log()->SetLogLevel(3);
    EXPECT_FALSE(NetManager(L"verbose", false).IsLogOn());
    switches.Log()->SetLogLevel(4);
    EXPECT_TRUE(NetManager(L"verbose", false).IsLogOn());
    EXPECT_FALSE(NetManager(L"quiet", false).IsLogOn());
    switches.Log()->SetLogEnabled(L"NetManager", true);
    EXPECT_TRUE(NetManager(L"quiet", false).IsLogOn()) << "the general stream covers every manager";
    switches.Log()->SetLogEnabled(L"NetManager", false);
    switches.Log()->SetLogEnabled(L"NetManager-verbose", false);
}

class StatisticsLine : public testing::Test {
protected:
    static constexpr int64_t Minute0 = 1'700'000'040;  // a minute boundary

    StatisticsLine() { manager.SetStatisticsClock([this] { return now.load(); }); }

    void NextMinute() {
        now += 60;
        manager.CheckStatisticsLine();
    }

    std::atomic<int64_t> now{Minute0};
    NetManager manager{L"stats", false};
    LogCapture log{Environment()->DebugLog()};
};

TEST_F(StatisticsLine, ListsNonZeroCountersOncePerMinuteAndResetsThem) {
    manager.CheckStatisticsLine();  // remembers the current minute
    manager.NotifyStatCounter(NetStatCounters::UdpRecvBytes, 1200);
    manager.NotifyStatCounter(NetStatCounters::UdpRecvBytes, 300);
    manager.NotifyStatCounter(NetStatCounters::UdpSendAsyncDrops, 2);
    manager.NotifyStatistics(NetStats::UdpRecv, 1000, 4000);
    manager.CheckStatisticsLine();  // same minute: nothing
    NextMinute();
    ASSERT_TRUE(log.WaitForMatching(L"STATISTICS: stats: IoStat: Sockets=0"));
    auto lines = log.Matching(L"STATISTICS: stats: IoStat:");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(L"IoStat: Sockets=0 UdpRecvBytes=1500 UdpSendAsyncDrops=2"), std::wstring::npos) << lines[0];
    EXPECT_EQ(lines[0].find(L"UdpSentSyncBytes"), std::wstring::npos) << "zero counters are left out";
    EXPECT_NE(lines[0].find(L"STATISTICS: stats: UdpRecv (mks): steps=1"), std::wstring::npos) << lines[0];
    EXPECT_EQ(lines[0].find(L"UdpRecvCallback (mks)"), std::wstring::npos) << "empty statistics are left out";

    NextMinute();
    ASSERT_TRUE(log.WaitForMatching(L"STATISTICS: stats: IoStat:", 2));
    lines = log.Matching(L"STATISTICS: stats: IoStat:");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1].find(L"Udp"), std::wstring::npos) << "counters and statistics were reset: " << lines[1];
}

TEST(NetFactory, GivesASingleManagerStartedOnRequest) {
    std::unique_ptr<Network::INetManager> idle(Network::NetFactory::CreateNetManager(L"factory-idle", false, 1));
    ASSERT_NE(idle, nullptr);
    EXPECT_FALSE(idle->IsStarted());
    EXPECT_NE(dynamic_cast<NetManager*>(idle.get()), nullptr);

    std::unique_ptr<Network::INetManager> running(Network::NetFactory::CreateNetManager(L"factory-run", true, 0));
    EXPECT_TRUE(running->IsStarted());
    EXPECT_TRUE(running->Start()) << "a second start is a no-op";
    running->Stop();
    EXPECT_FALSE(running->IsStarted());
    running->Stop();
    EXPECT_TRUE(running->Start());
    EXPECT_TRUE(running->IsStarted());

    EXPECT_NE(running->CreateTcpSock(), nullptr);
    EXPECT_EQ(running->CreateTcpSecureSock(), nullptr) << "no secure sockets in this build";
    EXPECT_NE(running->CreateTcpListenSock(), nullptr);
}

} // namespace
