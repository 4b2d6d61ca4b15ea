// The process environment and the usage counters: one environment for all threads, counter
// registration and counting, switched-off streams, the ten-second report on an injected clock.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <latch>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "diag/IEnvironment.h"
#include "environment/usage-counter-manager.h"
#include "environment/usage-counter.h"
#include "support/log_capture.h"

namespace {

using cmn::UsageCounterDisabled;
using cmn::UsageCounterManager;
using test_support::LogCapture;

TEST(Environment, ConcurrentFirstUseCreatesOneEnvironment) {
    constexpr int Threads = 8;
    std::latch start(Threads);
    std::vector<IEnvironment*> seen(Threads, nullptr);
    std::vector<std::thread> threads;
    for (int i = 0; i < Threads; ++i)
        threads.emplace_back([&, i] {
            start.arrive_and_wait();
            seen[i] = Environment().Get();
        });
    for (auto& t : threads) t.join();
    ASSERT_NE(seen[0], nullptr);
    for (IEnvironment* e : seen) EXPECT_EQ(e, seen[0]);

    IEnvironment* environment = Environment().Get();
    EXPECT_EQ(environment, seen[0]) << "kept for the rest of the process";
    EXPECT_NE(environment->DebugLog(), nullptr);
    EXPECT_EQ(environment->DebugLog(), Environment()->DebugLog()) << "one process log";
    EXPECT_NE(environment->UsageCounterManager(), nullptr);
    EXPECT_NE(environment->StackTraceLogger(), nullptr) << "made with the environment, armed only on request";
}

// A manager without its thread, on a clock the test moves, writing to a captured log.
class UsageCounterManagerTest : public ::testing::Test {
protected:
    static constexpr int64_t Start = 1'700'000'000;  // the start of a ten-second period

    UsageCounterManagerTest() { manager.emplace(Options(capture.Log())); }

    UsageCounterManager::Options Options(IDebugLogPtr log) {
        UsageCounterManager::Options options;
        options.Log = std::move(log);
        options.NowSeconds = [this] { return now.load(); };
        options.StartThread = false;
        return options;
    }

    // Counter memory as a counted class provides it.
    struct Slot {
        alignas(8) unsigned char Memory[cmn::UsageCounterMemorySize];
        std::atomic<size_t> Index{0};
    };

    LogCapture capture;
    std::atomic<int64_t> now{Start};
    std::optional<UsageCounterManager> manager;
};

TEST_F(UsageCounterManagerTest, RegistersOnceAndCounts) {
    Slot sock;
    manager->RegisterCounter("Sock", sock.Memory, sock.Index);
    ASSERT_EQ(sock.Index.load(), 1u);
    manager->IncrementCounter(1);
    manager->IncrementCounter(1);
    manager->IncrementCounter(1);
    manager->DecrementCounter(1);
    EXPECT_EQ(manager->GetCount(1), 2);

    // Registering again with the index it has keeps the counter.
    manager->RegisterCounter("Sock", sock.Memory, sock.Index);
    EXPECT_EQ(sock.Index.load(), 1u);

    // Another class counted under the same name shares the first counter; its memory is untouched.
    Slot twin;
    std::memset(twin.Memory, 0xAB, sizeof twin.Memory);
    manager->RegisterCounter("Sock", twin.Memory, twin.Index);
    EXPECT_EQ(twin.Index.load(), 1u);
    for (unsigned char b : twin.Memory) EXPECT_EQ(b, 0xAB);
    manager->IncrementCounter(twin.Index);
    EXPECT_EQ(manager->GetCount(1), 3);

    // A stale index (say from another manager) is replaced.
    Slot stale;
    stale.Index = 9;
    manager->RegisterCounter("Pipe", stale.Memory, stale.Index);
    EXPECT_EQ(stale.Index.load(), 2u);
    EXPECT_EQ(manager->GetCount(2), 0);

    const std::vector<std::wstring> expected = {
        L"<> RegisterCounter: Create usage counter \"Sock\" [1] = 0",
        L"<> RegisterCounter: Usage counter exists \"Sock\" [1] = 2",
        L"<> RegisterCounter: Duplicate usage counter \"Sock\" [1] = 2",
        L"<> RegisterCounter: Invalid usage counter index or name mismatch \"Pipe\" [9]; reassign",
        L"<> RegisterCounter: Create usage counter \"Pipe\" [2] = 0",
    };
    EXPECT_EQ(capture.Matching(L"<> "), expected);
}

TEST_F(UsageCounterManagerTest, ChangesThroughUnusableIndicesAreIgnored) {
    Slot sock;
    manager->RegisterCounter("Sock", sock.Memory, sock.Index);
    capture.Clear();
    for (size_t index : {size_t(0), UsageCounterDisabled}) {
        manager->IncrementCounter(index);
        manager->DecrementCounter(index);
    }
    EXPECT_TRUE(capture.Records().empty()) << "not registered and switched off are silent";
    manager->IncrementCounter(7);
    manager->DecrementCounter(7);
    const std::vector<std::wstring> expected = {
        L"<> IncrementCounter: Invalid usage counter index [6]; increment ignored",
        L"<> DecrementCounter: Invalid usage counter index [6]; decrement ignored",
    };
    EXPECT_EQ(capture.Records(), expected);
    EXPECT_EQ(manager->GetCount(1), 0);
}

TEST_F(UsageCounterManagerTest, ReportsNonzeroCountsOncePerTenSecondPeriod) {
    Slot sock, pipe;
    manager->RegisterCounter("Sock", sock.Memory, sock.Index);
    manager->RegisterCounter("Pipe", pipe.Memory, pipe.Index);
    manager->IncrementCounter(sock.Index);
    manager->IncrementCounter(sock.Index);
    capture.Clear();

    EXPECT_TRUE(manager->ReportStep(Start + 9));
    EXPECT_TRUE(capture.Records().empty()) << "still the period the manager started in";
    EXPECT_TRUE(manager->ReportStep(Start + 10));
    const std::vector<std::wstring> expected = {
        L"<> Usage counter statistics <> ",
        L"STATISTICS: <> -- counter \"Sock\" = 2",
    };
    EXPECT_EQ(capture.Records(), expected) << "zero counts are left out";
    EXPECT_TRUE(manager->ReportStep(Start + 19));
    EXPECT_EQ(capture.Records().size(), 2u) << "one report per period";

    manager->DecrementCounter(sock.Index);
    manager->DecrementCounter(sock.Index);
    EXPECT_TRUE(manager->ReportStep(Start + 25));
    EXPECT_EQ(capture.Records().size(), 2u) << "nothing to report when every count is 0";
}

TEST_F(UsageCounterManagerTest, StatisticsStreamSwitchedOffDisablesEverything) {
    capture.Log()->SetLogEnabled(L"UsageCounters-Stat", false);
    Slot sock;
    manager->RegisterCounter("Sock", sock.Memory, sock.Index);
    EXPECT_EQ(sock.Index.load(), UsageCounterDisabled);
    manager->IncrementCounter(sock.Index);
    EXPECT_EQ(manager->GetCount(1), 0);
    EXPECT_TRUE(capture.Matching(L"<> ").empty());
}

TEST_F(UsageCounterManagerTest, CounterStreamSwitchedOffDisablesOnlyThatCounter) {
    capture.Log()->SetLogEnabled(L"counter.Sock", false);
    Slot sock, pipe;
    manager->RegisterCounter("Sock", sock.Memory, sock.Index);
    manager->RegisterCounter("Pipe", pipe.Memory, pipe.Index);
    EXPECT_EQ(sock.Index.load(), UsageCounterDisabled);
    EXPECT_EQ(pipe.Index.load(), 1u);
    manager->IncrementCounter(sock.Index);
    manager->IncrementCounter(pipe.Index);
    EXPECT_EQ(manager->GetCount(1), 1);
}

TEST_F(UsageCounterManagerTest, ReportingEndsAtTheFirstReportOnceItsStreamIsOff) {
    Slot sock;
    manager->RegisterCounter("Sock", sock.Memory, sock.Index);
    manager->IncrementCounter(sock.Index);
    capture.Clear();
    // No reporting thread here, so the switch cannot race with a lookup.
    capture.Log()->SetLogEnabled(L"UsageCounters-Stat", false);
    EXPECT_TRUE(manager->IsReporting());
    EXPECT_FALSE(manager->ReportStep(Start + 10));
    EXPECT_FALSE(manager->IsReporting());
    EXPECT_FALSE(manager->ReportStep(Start + 20));
    EXPECT_TRUE(capture.Matching(L"<> ").empty());
    manager->IncrementCounter(sock.Index);
    EXPECT_EQ(manager->GetCount(sock.Index), 2) << "counting goes on without reports";
}

TEST_F(UsageCounterManagerTest, ReportingThreadReportsWhenThePeriodChanges) {
    UsageCounterManager::Options options = Options(capture.Log());
    options.StartThread = true;
    options.WakeInterval = std::chrono::milliseconds(5);
    // Every look at the clock finds a new period.
    options.NowSeconds = [this] { return now.fetch_add(10); };
    auto threaded = std::make_unique<UsageCounterManager>(std::move(options));
    Slot sock;
    threaded->RegisterCounter("Sock", sock.Memory, sock.Index);
    threaded->IncrementCounter(sock.Index);
    EXPECT_TRUE(capture.WaitForMatching(L"STATISTICS: <> -- counter \"Sock\" = 1"));
    EXPECT_TRUE(threaded->IsReporting());
    threaded.reset();  // joins the thread
}

TEST_F(UsageCounterManagerTest, DestroyingRightAfterCreationJoinsTheThread) {
    for (int i = 0; i < 20; ++i) {
        UsageCounterManager::Options options = Options(capture.Log());
        options.StartThread = true;
        UsageCounterManager quick(std::move(options));
    }
}

// Classes counted in the tests below; each test its own, as a counter index is kept per class.
struct Widget {
    explicit Widget(cmn::IUsageCounterManagerPtr m) : Counter("Widget", std::move(m)) {}
    cmn::UsageCounter<Widget> Counter;
};
struct EnvCounted {
    cmn::UsageCounter<EnvCounted> Counter{"EnvCounted"};
};
struct EnvMuted {
    cmn::UsageCounter<EnvMuted> Counter{"EnvMuted"};
};

TEST_F(UsageCounterManagerTest, UsageCounterCountsLiveInstancesCopiesIncluded) {
    auto shared = std::make_shared<UsageCounterManager>(Options(capture.Log()));
    const auto count = [&] { return shared->GetCount(cmn::UsageCounter<Widget>::CounterIndex()); };
    {
        std::vector<Widget> widgets;
        widgets.reserve(4);
        for (int i = 0; i < 3; ++i) widgets.emplace_back(shared);
        EXPECT_EQ(count(), 3);
        Widget copy = widgets[0];
        EXPECT_EQ(count(), 4);
        copy = widgets[1];
        EXPECT_EQ(count(), 4) << "assignment makes no new instance";
        widgets.pop_back();
        widgets.pop_back();
        now = Start + 10;
        shared->ReportStep(now);
        EXPECT_EQ(capture.Matching(L"STATISTICS: <> -- counter \"Widget\" = 2").size(), 1u);
    }
    EXPECT_EQ(count(), 0);
    EXPECT_EQ(capture.Matching(L"Create usage counter \"Widget\"").size(), 1u) << "registered by the first only";
    now = Start + 20;
    shared->ReportStep(now);
    EXPECT_EQ(capture.Matching(L"-- counter \"Widget\"").size(), 1u) << "no line for a count of 0";
}

TEST(UsageCounter, CountsThroughTheProcessEnvironment) {
    // Switched before any counter of this name exists, as the log requires.
    Environment()->DebugLog()->SetLogEnabled(L"counter.EnvMuted", false);
    auto manager = std::dynamic_pointer_cast<UsageCounterManager>(Environment()->UsageCounterManager());
    ASSERT_NE(manager, nullptr);
    {
        EnvCounted a, b;
        EnvMuted muted;
        EXPECT_EQ(manager->GetCount(cmn::UsageCounter<EnvCounted>::CounterIndex()), 2);
        EXPECT_EQ(cmn::UsageCounter<EnvMuted>::CounterIndex(), UsageCounterDisabled);
    }
    EXPECT_EQ(manager->GetCount(cmn::UsageCounter<EnvCounted>::CounterIndex()), 0);
}

} // namespace
