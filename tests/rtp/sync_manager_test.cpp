// The sync clock stepped by hand on a clock the test moves: every notification time is exact, so
// periods, catch-up, the late restart, speed and locking to an input are checked to the
// millisecond without waiting for real time.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "rtp/SyncManager.h"
#include "support/log_capture.h"

namespace {

using namespace Network;

constexpr int64_t Ms = 1000000;  // nanoseconds
constexpr int Freq = 48000;
constexpr int Period = 480;

struct Call {
    int64_t Pos;
    int Freq;
    int64_t AtMs;  // since Start
    ISyncSource* Source;
};

class Recorder : public ISyncTarget {
public:
    explicit Recorder(std::function<int64_t()> atMs) : AtMs(std::move(atMs)) {}
    void OnSync(ISyncSource* source, int64_t pos, int freq) override { Calls.push_back({pos, freq, AtMs(), source}); }
    std::vector<Call> Calls;

private:
    std::function<int64_t()> AtMs;
};

// A stand-in for an RTP manager: only its address matters to the clock.
class NoSource : public ISyncSource {
public:
    ErrInfo AddTarget(ISyncTarget*) override { return ErrInfo(); }
    ErrInfo DelTarget(ISyncTarget*) override { return ErrInfo(); }
};

class SyncClock : public ::testing::Test {
protected:
    explicit SyncClock(bool isLogOn = false)
        : Target([this] { return (Now - Start0) / Ms; }),
          Sync(ComponentInfo(L"Clock"), isLogOn,
               SyncManagerSeams{Log.Log(), [this] { return Now; }, [this] { return WallSeconds; }}) {
        EXPECT_TRUE(Sync.SetSyncType(ISyncManager::Manual).IsOk());
        EXPECT_TRUE(Sync.Init(SyncManagerInfo{Freq, Period}).IsOk());
        Sync.AddTarget(&Target);
    }

    void StartClock() {
        Start0 = Now;
        ASSERT_TRUE(Sync.Start().IsOk());
        Sync.ManualSyncTact();
    }
    // Moves the clock on in 1 ms steps, stepping the sync clock after each; each(ms since Start)
    // runs before the step.
    void RunMs(int64_t ms, const std::function<void(int64_t)>& each = {}) {
        for (int64_t i = 0; i < ms; ++i) {
            Now += Ms;
            if (each) each((Now - Start0) / Ms);
            Sync.ManualSyncTact();
        }
    }
    // An input whose position runs 0.1 % ahead of local time, one update every 10 ms.
    void FeedFastInput(int64_t atMs) {
        if (atMs % 10 == 0) Sync.OnSync(&Source, 100000 + atMs * 48048 / 1000, Freq);
    }
    void ExpectContinuous(size_t from = 0) {
        for (size_t i = from + 1; i < Target.Calls.size(); ++i) {
            ASSERT_EQ(Target.Calls[i].Pos, Target.Calls[i - 1].Pos + Period) << "call " << i;
            const int64_t gap = Target.Calls[i].AtMs - Target.Calls[i - 1].AtMs;
            ASSERT_TRUE(gap >= 9 && gap <= 11) << "call " << i << " after " << gap << " ms";
        }
    }
    size_t Logged(const std::wstring& text) const {
        size_t n = 0;
        for (const std::wstring& record : Log.Records()) n += record == text;
        return n;
    }

    test_support::LogCapture Log{5};
    int64_t Now = 1000 * Ms;
    int64_t Start0 = 0;
    int64_t WallSeconds = 1700000000;
    Recorder Target;
    NoSource Source;
    SyncManager Sync;
};

TEST_F(SyncClock, FreeRunningNotifiesEveryPeriodFromTheFirstStep) {
    StartClock();
    RunMs(100);
    ASSERT_EQ(Target.Calls.size(), 11u);
    for (size_t k = 0; k < Target.Calls.size(); ++k) {
        EXPECT_EQ(Target.Calls[k].Pos, static_cast<int64_t>(k) * Period);
        EXPECT_EQ(Target.Calls[k].AtMs, static_cast<int64_t>(k) * 10);
        EXPECT_EQ(Target.Calls[k].Freq, Freq);
        EXPECT_EQ(Target.Calls[k].Source, &Sync);
    }
}

TEST_F(SyncClock, StalledStepCatchesUpUpToTwentyPeriodsLateThenRestarts) {
    struct Case {
        int64_t StallMs;
        std::vector<int64_t> PositionsAtStall;  // emitted by the first step after the stall
        bool Restarted;
        int64_t NextAtMs;
        int64_t NextPos;
    };
    std::vector<int64_t> caughtUp;
    for (int64_t p = 480; p <= 10080; p += Period) caughtUp.push_back(p);
    const Case cases[] = {
        {15, {480}, false, 20, 960},
        {210, caughtUp, false, 220, 10560},  // 20 periods beyond the due time: still caught up
        {211, {0}, true, 221, 480},          // one millisecond more: restart at 0, a period apart
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.StallMs);
        SyncManager sync(ComponentInfo(L"Clock"), false, SyncManagerSeams{Log.Log(), [this] { return Now; }, {}});
        Target.Calls.clear();
        Log.Clear();
        sync.SetSyncType(ISyncManager::Manual);
        sync.Init(SyncManagerInfo{Freq, Period});
        sync.AddTarget(&Target);
        Start0 = Now;
        sync.Start();
        sync.ManualSyncTact();
        ASSERT_EQ(Target.Calls.size(), 1u);

        Now += c.StallMs * Ms;
        sync.ManualSyncTact();
        std::vector<int64_t> positions;
        for (size_t i = 1; i < Target.Calls.size(); ++i) {
            positions.push_back(Target.Calls[i].Pos);
            EXPECT_EQ(Target.Calls[i].AtMs, c.StallMs);
        }
        EXPECT_EQ(positions, c.PositionsAtStall);
        EXPECT_EQ(Logged(L"Clock: Sync FAIL. Internal sync timeout."), c.Restarted ? 1u : 0u);

        const size_t before = Target.Calls.size();
        while (Target.Calls.size() == before && (Now - Start0) / Ms < c.NextAtMs + 5) {
            Now += Ms;
            sync.ManualSyncTact();
        }
        ASSERT_EQ(Target.Calls.size(), before + 1);
        EXPECT_EQ(Target.Calls.back().AtMs, c.NextAtMs);
        EXPECT_EQ(Target.Calls.back().Pos, c.NextPos);
        sync.Stop();
    }
}

TEST_F(SyncClock, SpeedScalesThePeriodAndChangesWithoutAJump) {
    ASSERT_TRUE(Sync.SetSpeed(2.0).IsOk());
    StartClock();
    RunMs(50);
    ASSERT_EQ(Target.Calls.size(), 11u);
    for (size_t k = 0; k < Target.Calls.size(); ++k) {
        EXPECT_EQ(Target.Calls[k].Pos, static_cast<int64_t>(k) * Period);
        EXPECT_EQ(Target.Calls[k].AtMs, static_cast<int64_t>(k) * 5);
    }

    // Back to real time while running: local time must not fall back by the uptime.
    ASSERT_TRUE(Sync.SetSpeed(1.0).IsOk());
    RunMs(30);
    ASSERT_EQ(Target.Calls.size(), 14u);
    EXPECT_EQ(Target.Calls[11].AtMs, 60);
    EXPECT_EQ(Target.Calls[13].AtMs, 80);
    EXPECT_EQ(Target.Calls[13].Pos, 13 * Period);
    EXPECT_EQ(Logged(L"Clock: Sync FAIL. Internal sync timeout."), 0u);

    EXPECT_FALSE(Sync.SetSpeed(std::nan("")).IsOk());
    EXPECT_FALSE(Sync.SetSpeed(-1.0).IsOk());
    EXPECT_EQ(Sync.GetSpeed(), 1.0);
}

TEST_F(SyncClock, LocksOnceToAFasterInputAndFollowsItsRate) {
    StartClock();
    // Free running first, so that taking the lock must move the clock's base.
    RunMs(10000);
    RunMs(60000, [this](int64_t atMs) { FeedFastInput(atMs); });

    EXPECT_EQ(Logged(L"Clock: Sync LOCK"), 1u);
    EXPECT_EQ(Logged(L"Clock: Sync FAIL"), 0u);
    const InSyncInfo ratio = Sync.GetSyncInfo();
    ASSERT_TRUE(ratio.IsSyncLocked());
    EXPECT_NEAR(static_cast<double>(ratio.Mul) / static_cast<double>(ratio.Div), 1.001, 1e-5);
    ExpectContinuous();

    // Free running would give 5000 notifications in these 50 s; the input asks for 0.1 % more.
    size_t inWindow = 0;
    for (const Call& c : Target.Calls) inWindow += c.AtMs > 20000 && c.AtMs <= 70000;
    EXPECT_GE(inWindow, 5004u);
    EXPECT_LE(inWindow, 5006u);
}

TEST_F(SyncClock, EndOfInputReturnsToFreeRunningWithoutAJump) {
    struct Case {
        const char* Name;
        bool Reset;  // otherwise the source just falls silent
    };
    for (const Case c : {Case{"position reset", true}, Case{"silent source", false}}) {
        SCOPED_TRACE(c.Name);
        Sync.Stop();
        Target.Calls.clear();
        Log.Clear();
        StartClock();
        RunMs(2000, [this](int64_t atMs) { FeedFastInput(atMs); });
        ASSERT_TRUE(Sync.GetSyncInfo().IsSyncLocked());
        if (c.Reset) Sync.OnSync(&Source, -1, Freq);
        RunMs(3000);

        EXPECT_FALSE(Sync.GetSyncInfo().IsSyncLocked());
        EXPECT_EQ(Logged(L"Clock: Sync LOCK"), 1u);
        EXPECT_EQ(Logged(L"Clock: Sync FAIL"), 1u);
        ExpectContinuous();
        // The last second runs at the local rate again.
        size_t lastSecond = 0;
        for (const Call& call : Target.Calls) lastSecond += call.AtMs > 4000;
        EXPECT_EQ(lastSecond, 100u);
    }
}

TEST_F(SyncClock, StartContinuesThePositionsOnAFreshBase) {
    StartClock();
    RunMs(30);
    ASSERT_EQ(Target.Calls.size(), 4u);
    Sync.Stop();
    Now += 5000 * Ms;
    Sync.ManualSyncTact();
    EXPECT_EQ(Target.Calls.size(), 4u);

    StartClock();
    RunMs(10);
    ASSERT_EQ(Target.Calls.size(), 6u);
    EXPECT_EQ(Target.Calls[4].Pos, 4 * Period);
    EXPECT_EQ(Target.Calls[4].AtMs, 0);
    EXPECT_EQ(Target.Calls[5].AtMs, 10);
    EXPECT_EQ(Logged(L"Clock: Sync FAIL. Internal sync timeout."), 0u);
}

TEST_F(SyncClock, NewRateRestartsTheClockAtTheNextStep) {
    StartClock();
    RunMs(25);
    ASSERT_EQ(Target.Calls.size(), 3u);
    ASSERT_TRUE(Sync.SetSyncFreq(44100, 441).IsOk());
    EXPECT_EQ(Sync.GetSyncFreq(), 44100);
    RunMs(11);
    ASSERT_EQ(Target.Calls.size(), 5u);
    EXPECT_EQ(Target.Calls[3].Pos, 3 * Period);
    EXPECT_EQ(Target.Calls[3].Freq, 44100);
    EXPECT_EQ(Target.Calls[3].AtMs, 26);
    EXPECT_EQ(Target.Calls[4].Pos, 3 * Period + 441);
    EXPECT_EQ(Target.Calls[4].AtMs, 36);
}

TEST_F(SyncClock, RefusesWhatWouldBreakTheClock) {
    EXPECT_EQ(Sync.Init(SyncManagerInfo{Freq, 0}).GetErrorStr(), L"Invalid sync frequency");
    EXPECT_EQ(Sync.SetSyncFreq(0, Period).GetErrorStr(), L"Invalid sync frequency");
    EXPECT_EQ(Sync.GetSyncFreq(), Freq);
    Recorder stranger([] { return int64_t{0}; });
    EXPECT_EQ(Sync.DelTarget(&stranger).GetErrorStr(), L"Sync target not found");

    StartClock();
    EXPECT_EQ(Sync.SetSyncType(ISyncManager::Automatic).GetErrorStr(), L"Stop before changing sync type");
    EXPECT_TRUE(Sync.Stop().IsOk());
    EXPECT_TRUE(Sync.Stop().IsOk());
    EXPECT_TRUE(Sync.DelTarget(&Target).IsOk());
}

class SyncClockStatistics : public SyncClock {
protected:
    SyncClockStatistics() : SyncClock(true) {}
};

TEST_F(SyncClockStatistics, LogsWaitAndTargetTimeOncePerMinute) {
    StartClock();
    RunMs(100);
    EXPECT_TRUE(Log.Matching(L"STATISTICS: ").empty());
    WallSeconds += 60;
    RunMs(10);
    const auto wait = Log.Matching(L"STATISTICS: Clock.OutSyncWait: steps=11 ");
    ASSERT_EQ(wait.size(), 1u);
    EXPECT_NE(wait[0].find(L" avg=10 "), std::wstring::npos);
    EXPECT_NE(wait[0].find(L" min=10 "), std::wstring::npos);
    EXPECT_EQ(Log.Matching(L"STATISTICS: Clock.OutSyncDur: steps=12 ").size(), 1u);
    RunMs(100);
    EXPECT_EQ(Log.Matching(L"STATISTICS: ").size(), 2u);
}

} // namespace
