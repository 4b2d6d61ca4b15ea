// The sync clock on its own thread and the real clock: notifications come from that thread in
// position order, stop when Stop returns, and continue after a new Start. Timing itself is left
// to the benchmark.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "rtp/SyncManager.h"
#include "support/log_capture.h"

namespace {

using namespace Network;

class Collector : public ISyncTarget {
public:
    void OnSync(ISyncSource*, int64_t pos, int freq) override {
        {
            std::lock_guard<std::mutex> lock(Mutex);
            Positions.push_back(pos);
            Freqs.push_back(freq);
            Threads.push_back(std::this_thread::get_id());
        }
        Added.notify_all();
    }
    // The timeout is a safety net for a failing test, not a measurement.
    bool WaitFor(size_t count) {
        std::unique_lock<std::mutex> lock(Mutex);
        return Added.wait_for(lock, std::chrono::seconds(10), [&] { return Positions.size() >= count; });
    }
    size_t Count() {
        std::lock_guard<std::mutex> lock(Mutex);
        return Positions.size();
    }

    std::mutex Mutex;
    std::condition_variable Added;
    std::vector<int64_t> Positions;  // guarded by Mutex, like the two below
    std::vector<int> Freqs;
    std::vector<std::thread::id> Threads;
};

TEST(SyncManagerThread, NotifiesFromItsOwnThreadUntilStopped) {
    test_support::LogCapture log(5);
    Collector target;
    {
        SyncManager sync(ComponentInfo(L"Auto"), true, SyncManagerSeams{log.Log(), {}, {}});
        ASSERT_TRUE(sync.Init(SyncManagerInfo{48000, 480}).IsOk());
        sync.AddTarget(&target);
        ASSERT_TRUE(sync.Start().IsOk());
        ASSERT_TRUE(target.WaitFor(10));
        ASSERT_TRUE(sync.Stop().IsOk());
        const size_t stopped = target.Count();
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        EXPECT_EQ(target.Count(), stopped);

        ASSERT_TRUE(sync.Start().IsOk());
        ASSERT_TRUE(target.WaitFor(stopped + 3));
        ASSERT_TRUE(sync.Stop().IsOk());
    }

    // A thread held off for more than 20 periods (a loaded machine) restarts at 0 by design.
    const bool restarted = !log.Matching(L"Internal sync timeout").empty();
    std::lock_guard<std::mutex> lock(target.Mutex);
    for (size_t i = 0; i < target.Positions.size(); ++i) {
        if (!restarted) {
            EXPECT_EQ(target.Positions[i], static_cast<int64_t>(i) * 480);
        }
        EXPECT_EQ(target.Freqs[i], 48000);
        EXPECT_NE(target.Threads[i], std::this_thread::get_id());
    }
    EXPECT_EQ(log.Matching(L"Auto: Sync thread started; Sync freq = 480/48000; service thread ID=").size(), 2u);
    EXPECT_EQ(log.Matching(L"Auto: Sync thread ended").size(), 2u);
    EXPECT_EQ(log.Matching(L"Auto: Object destroyed").size(), 1u);
}

TEST(SyncManagerThread, FactoryMakesAStoppedAutomaticClock) {
    std::unique_ptr<ISyncManager> sync(RtpFactory::CreateSyncManager(ComponentInfo(L"Made"), false));
    ASSERT_NE(dynamic_cast<SyncManager*>(sync.get()), nullptr);
    EXPECT_FALSE(sync->IsStarted());
    EXPECT_EQ(sync->GetSpeed(), 1.0);
    EXPECT_EQ(sync->GetSyncFreq(), 0);
}

} // namespace
