// Counts the live objects of selected classes and reports every nonzero count to the debug log
// at most once per ten seconds of wall time, as "STATISTICS: " lines. A class takes part through
// a UsageCounter member (usage-counter.h); the process's manager belongs to the environment.
//
// Threads: the counter operations may be called from any thread; counts change under the
// manager's lock with atomic arithmetic. One reporting thread wakes once a second and holds the
// lock while it writes a report, so a count change waits for a report in progress.
// Streams: "UsageCounters-Stat" disabled turns the whole manager off (no counter registers, the
// reporting thread ends at its first report); "counter.<name>" disabled turns off one counter.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "diag/debug_log.h"

namespace cmn {

// Counter index values: 0 = not yet registered, UsageCounterDisabled = counting switched off
// (changes are ignored), anything else = the counter's position + 1.
constexpr size_t UsageCounterNotRegistered = 0;
constexpr size_t UsageCounterDisabled = SIZE_MAX;
// The caller's memory in which the manager places a counter's count: 8 bytes, aligned to 8.
constexpr size_t UsageCounterMemorySize = 8;

class IUsageCounterManager {
public:
    virtual ~IUsageCounterManager() = default;
    // Makes counter_index designate the counter named counter_name, creating it with a zero
    // count in counter_memory when no counter of that name exists (a known name reuses the
    // existing counter and leaves counter_memory alone), or sets it to UsageCounterDisabled.
    // The index is atomic because concurrent first users of a class may register at once.
    virtual void RegisterCounter(const char* counter_name, void* counter_memory, std::atomic<size_t>& counter_index) = 0;
    virtual void IncrementCounter(size_t counter_index) = 0;
    virtual void DecrementCounter(size_t counter_index) = 0;
};
using IUsageCounterManagerPtr = std::shared_ptr<IUsageCounterManager>;

class UsageCounterManager final : public IUsageCounterManager {
public:
    struct Options {
        // Where registrations and reports go; null: the process log, taken from the
        // environment when first needed.
        IDebugLogPtr Log;
        // Wall-clock seconds since the epoch; null: the system clock.
        std::function<int64_t()> NowSeconds;
        // How often the reporting thread wakes to look at the clock.
        std::chrono::milliseconds WakeInterval{1000};
        // Without the thread, reports are made only by calling ReportStep.
        bool StartThread = true;
    };

    explicit UsageCounterManager(Options options);
    // Stops and joins the reporting thread.
    ~UsageCounterManager() override;
    UsageCounterManager(const UsageCounterManager&) = delete;
    UsageCounterManager& operator=(const UsageCounterManager&) = delete;

    void RegisterCounter(const char* counter_name, void* counter_memory, std::atomic<size_t>& counter_index) override;
    void IncrementCounter(size_t counter_index) override;
    void DecrementCounter(size_t counter_index) override;

    // One wake of the reporting loop at wall-clock second now, as the thread does it after
    // each timed-out wait: reports when a new ten-second period has begun and some count is
    // nonzero. False when reporting has ended because its stream is disabled.
    bool ReportStep(int64_t nowSeconds);
    // False once reporting has ended (stream disabled or manager stopping).
    bool IsReporting() const;
    // The count of the counter that counter_index designates; 0 for any other index.
    int64_t GetCount(size_t counter_index) const;

private:
    struct CounterDescriptor {
        std::string Name;
        std::atomic<int64_t>* Ptr;  // placed in the registering caller's memory
    };

    void _ReportingLoop();  // runs on the reporting thread
    bool _ReportLocked(int64_t nowSeconds);
    void _ChangeCounter(size_t counter_index, int64_t delta, const char* operation);
    int64_t _Now() const;
    IDebugLogPtr _GetLog() const;

    const IDebugLogPtr _Log;  // may be null, see Options::Log
    const std::function<int64_t()> _NowSeconds;
    const std::chrono::milliseconds _WakeInterval;

    mutable std::mutex _Mutex;
    bool _RunningFlag = false;             // guarded by _Mutex; reporting goes on
    std::vector<CounterDescriptor> _Counters;  // guarded by _Mutex; index = position + 1
    int64_t _LastPeriod = 0;               // guarded by _Mutex; ten-second period last seen
    IDebugLogPtr _ReportLog;               // guarded by _Mutex; the log reports go to, once found
    std::condition_variable _ExitCondition;  // wakes the reporting thread to end
    std::thread _Thread;
};

// The manager with its reporting thread; a null log means the process log.
IUsageCounterManagerPtr CreateUsageCounterManager(IDebugLogPtr log = nullptr);

} // namespace cmn
