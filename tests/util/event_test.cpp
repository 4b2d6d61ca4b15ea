// Event objects: auto- and manual-reset semantics, waking across threads, and the races between
// a set and the waiter that closes the event.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "util/WsaEventLinux.h"

namespace {

// Long enough never to run out on a loaded machine; only hit when a wake-up is lost.
constexpr uint32_t HangGuardMs = 10000;
// For waits that are expected to run out.
constexpr uint32_t ShortMs = 20;

struct EventCloser {
    HANDLE h;
    ~EventCloser() { CloseHandle(h); }
};

TEST(Event, SetResetAndWaitFollowTheResetMode) {
    enum Op { Set, Reset, Wait0, WaitShort };
    struct Step {
        Op op;
        uint32_t expected;  // for the waits
    };
    struct Case {
        const char* name;
        bool manualReset;
        bool initialState;
        std::vector<Step> steps;
    };
    const Case cases[] = {
        {"auto: a zero wait takes the signal and clears it", false, false,
         {{Wait0, WAIT_TIMEOUT}, {Set, 0}, {Wait0, WAIT_OBJECT_0}, {Wait0, WAIT_TIMEOUT}}},
        {"auto: two sets before any wait release one wait only", false, false,
         {{Set, 0}, {Set, 0}, {WaitShort, WAIT_OBJECT_0}, {WaitShort, WAIT_TIMEOUT}}},
        {"auto: created signalled", false, true, {{Wait0, WAIT_OBJECT_0}, {Wait0, WAIT_TIMEOUT}}},
        {"auto: reset drops a set nobody waited for", false, false,
         {{Set, 0}, {Reset, 0}, {WaitShort, WAIT_TIMEOUT}}},
        {"manual: stays signalled for every wait until reset", true, false,
         {{Set, 0},
          {Wait0, WAIT_OBJECT_0},
          {WaitShort, WAIT_OBJECT_0},
          {Wait0, WAIT_OBJECT_0},
          {Reset, 0},
          {Wait0, WAIT_TIMEOUT},
          {WaitShort, WAIT_TIMEOUT}}},
        {"manual: created signalled", true, true, {{Wait0, WAIT_OBJECT_0}, {Wait0, WAIT_OBJECT_0}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EventCloser e{CreateEvent(nullptr, c.manualReset, c.initialState, nullptr)};
        ASSERT_NE(e.h, nullptr);
        for (size_t i = 0; i < c.steps.size(); ++i) {
            SCOPED_TRACE("step " + std::to_string(i));
            const Step& s = c.steps[i];
            switch (s.op) {
            case Set: EXPECT_EQ(SetEvent(e.h), 0); break;
            case Reset: EXPECT_EQ(ResetEvent(e.h), 0); break;
            case Wait0: EXPECT_EQ(WaitForSingleObject(e.h, 0), s.expected); break;
            case WaitShort: EXPECT_EQ(WaitForSingleObject(e.h, ShortMs), s.expected); break;
            }
        }
    }
}

TEST(Event, NullHandleIsRejectedWithoutCrashing) {
    EXPECT_EQ(WaitForSingleObject(nullptr, 0), WAIT_FAILED);
    EXPECT_EQ(SetEvent(nullptr), 0);
    EXPECT_EQ(ResetEvent(nullptr), 0);
    EXPECT_EQ(CloseHandle(nullptr), 0);
}

TEST(Event, SetFromAnotherThreadWakesAnUnlimitedWait) {
    for (bool manual : {false, true}) {
        EventCloser e{CreateEvent(nullptr, manual, false, nullptr)};
        uint32_t result = WAIT_FAILED;
        std::thread waiter([&] { result = WaitForSingleObject(e.h, INFINITE); });
        std::this_thread::sleep_for(std::chrono::milliseconds(5));  // usually lets it block first
        SetEvent(e.h);
        waiter.join();
        EXPECT_EQ(result, WAIT_OBJECT_0) << "manual " << manual;
    }
}

// Waiters count their release; each acknowledges it on its own event so that no two
// acknowledgements can merge into one.
struct WaiterGroup {
    HANDLE event;
    std::atomic<int> released{0};
    std::vector<HANDLE> acks;
    std::vector<std::thread> threads;

    WaiterGroup(HANDLE e, int n) : event(e) {
        for (int i = 0; i < n; ++i) acks.push_back(CreateEvent(nullptr, false, false, nullptr));
        for (int i = 0; i < n; ++i)
            threads.emplace_back([this, i] {
                if (WaitForSingleObject(event, HangGuardMs) == WAIT_OBJECT_0) ++released;
                SetEvent(acks[i]);
            });
    }
    ~WaiterGroup() {
        for (auto& t : threads) t.join();
        for (HANDLE a : acks) CloseHandle(a);
    }
    // Index of a waiter that has come through within ms, or -1.
    int NextAck(uint32_t ms) {
        for (const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);;) {
            for (size_t i = 0; i < acks.size(); ++i)
                if (WaitForSingleObject(acks[i], 0) == WAIT_OBJECT_0) return int(i);
            if (std::chrono::steady_clock::now() >= deadline) return -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
};

TEST(Event, AutoResetReleasesExactlyOneWaiterPerSet) {
    constexpr int Waiters = 4;
    EventCloser e{CreateEvent(nullptr, false, false, nullptr)};
    WaiterGroup group(e.h, Waiters);
    for (int i = 1; i <= Waiters; ++i) {
        SetEvent(e.h);
        ASSERT_GE(group.NextAck(HangGuardMs), 0) << "set " << i;
        // Nobody else may come through on the same set.
        EXPECT_EQ(group.NextAck(ShortMs), -1) << "set " << i;
        EXPECT_EQ(group.released.load(), i);
    }
}

TEST(Event, ManualResetReleasesEveryWaiter) {
    constexpr int Waiters = 4;
    EventCloser e{CreateEvent(nullptr, true, false, nullptr)};
    {
        WaiterGroup group(e.h, Waiters);
        SetEvent(e.h);
        for (int i = 0; i < Waiters; ++i) ASSERT_GE(group.NextAck(HangGuardMs), 0);
        EXPECT_EQ(group.released.load(), Waiters);
    }
    EXPECT_EQ(WaitForSingleObject(e.h, 0), WAIT_OBJECT_0);
}

// A zero-time look at a signalled event must say so even while other threads are setting it at
// the same moment (a look that gives up on a busy lock would report a time-out).
TEST(Event, ZeroWaitSeesSignalledEventDespiteConcurrentSetters) {
    EventCloser e{CreateEvent(nullptr, true, true, nullptr)};
    std::atomic<bool> stop{false};
    std::vector<std::thread> setters;
    for (int i = 0; i < 2; ++i)
        setters.emplace_back([&] {
            while (!stop.load(std::memory_order_relaxed)) SetEvent(e.h);
        });
    int timeouts = 0;
    for (int i = 0; i < 20000; ++i)
        if (WaitForSingleObject(e.h, 0) != WAIT_OBJECT_0) ++timeouts;
    stop = true;
    for (auto& t : setters) t.join();
    EXPECT_EQ(timeouts, 0);
}

// The usual completion handshake: a worker sets, the waiter returns and closes the event at once.
// The set must be finished with the event by then (the sanitizer builds catch a late touch).
TEST(Event, WaiterMayCloseTheEventAsSoonAsItIsReleased) {
    for (int i = 0; i < 500; ++i) {
        HANDLE e = CreateEvent(nullptr, false, false, nullptr);
        std::thread setter([e] { SetEvent(e); });
        ASSERT_EQ(WaitForSingleObject(e, HangGuardMs), WAIT_OBJECT_0);
        CloseHandle(e);
        setter.join();
    }
}

} // namespace
