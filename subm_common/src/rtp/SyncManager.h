// A local audio clock (ISyncManager): notifies its targets every OutPeriod samples of OutFreq,
// free running on the monotonic clock or, while a source feeds its OnSync, scaled by the ratio of
// the source's position to local time so that it keeps pace with the source.
//
// Threads: in automatic mode the manager's own real-time thread polls every 250 microseconds and
// calls the targets, holding OutMutex; in manual mode the owner's ManualSyncTact does the same.
// Sources call OnSync from any thread and take only InMutex. Lock order: OutMutex, InMutex, then
// SpeedMutex (a leaf). Time is kept in whole output samples with exact 64-bit scaling, so
// rounding never accumulates into drift.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "diag/ComponentInfo.h"
#include "diag/DbgLock.h"
#include "diag/Statistics.h"
#include "diag/debug_log.h"
#include "rtp/IRtp.h"
#include "rtp/RtpManager.h"
#include "util/WsaEventLinux.h"
#include "util/mythread.h"

namespace Network {

// The clock ratio source time / local time; locked when both parts are positive.
struct InSyncInfo {
    int64_t Mul = 0;
    int64_t Div = 0;
    bool IsSyncLocked() const noexcept { return Mul > 0 && Div > 0; }
};

// What tests put in place of the system: a log, the monotonic clock (nanoseconds) and the wall
// clock in seconds that paces the statistics. Empty members keep the real ones.
struct SyncManagerSeams {
    IDebugLogPtr Log;
    std::function<int64_t()> Clock;
    std::function<int64_t()> WallSeconds;
};

class SyncManager final : public ISyncManager {
public:
    // A notification later than this many periods is not caught up: the clock restarts at 0.
    static constexpr int64_t MaxLatePeriods = 20;
    static constexpr uint64_t PollMicrosec = 250;

    SyncManager(const ComponentInfo& compInfo, bool isLogOn, SyncManagerSeams seams = {});
    ~SyncManager() override;
    SyncManager(const SyncManager&) = delete;
    SyncManager& operator=(const SyncManager&) = delete;

    // ISyncSource
    ErrInfo AddTarget(ISyncTarget* t) override;
    ErrInfo DelTarget(ISyncTarget* t) override;

    // ISyncManager
    ErrInfo Init(const SyncManagerInfo& info) override;
    ErrInfo SetSyncFreq(int freq, int period) override;
    ErrInfo SetSyncType(SyncType type) override;
    int GetSyncFreq() override;
    ErrInfo SetSpeed(double speed) override;
    double GetSpeed() override;
    ErrInfo Start() override;
    ErrInfo Stop() override;
    bool IsStarted() override { return Started.load(); }
    void ManualSyncTact() override;

    // ISyncTarget: input from a source clock; a position of 0 or less, or a zero rate, ends it.
    void OnSync(ISyncSource* source, int64_t pos, int freq) override;

    // The ratio the clock runs at (0/0: free running).
    InSyncInfo GetSyncInfo();

private:
    // Emits every due notification; false once a stop is requested.
    bool ProcessStep();
    int ThreadBody();
    int64_t ClockNow() const;
    // The monotonic clock in nanoseconds scaled by Speed, continuous across speed changes.
    int64_t ScaledNow();
    // Caller holds OutMutex or InMutex.
    int64_t ToSamples(int64_t ns) const;
    // Caller holds OutMutex; local is the current local time in output samples.
    InSyncInfo GetInSyncInfo(int64_t local);
    // Caller holds InMutex.
    void ClearInput();
    // Caller holds OutMutex.
    void ClearOutput();

    const ComponentInfo CompInfo;
    const bool IsLogOn;
    IDebugLogPtr DebugLog;
    const std::function<int64_t()> Clock;  // empty: the monotonic clock
    SyncTargetSet SyncTargets;             // not owned
    std::atomic<SyncType> SynchroType{Automatic};
    std::atomic<bool> Started{false};
    HANDLE StopEvent = nullptr;  // manual reset: stop request to the thread
    os::MyThreadCb Thread;

    DebugMutex<std::mutex> InMutex{L"SyncManager::InMutex"};
    int InFreq = 0;  // guarded by InMutex; 0 = no input
    int InPackets = 0;
    int64_t InFirstSrcTick = 0;  // source positions and local times in output samples
    int64_t InLastSrcTick = 0;
    int64_t InFirstLocalTick = 0;
    int64_t InLastLocalTick = 0;

    DebugMutex<std::mutex> OutMutex{L"SyncManager::OutMutex"};
    // Written under OutMutex and InMutex together, so either lock is enough to read them.
    int32_t OutFreq = 0;
    int32_t OutPeriod = 0;
    InSyncInfo SyncInfo;          // guarded by OutMutex, like the rest of this block
    int64_t OutLastPos = 0;       // position of the next notification
    int64_t OutLastTick = -1;     // clock time of the last notification since the base; -1 none
    int64_t OutBaseLocalTick = -1;  // local time taken as clock zero; -1 not set
    MinuteDetector MinDetector{1};
    DurStatistic OutSyncWait;  // between notification rounds
    DurStatistic OutSyncDur;   // inside the targets

    // A speed change re-anchors the scaled time at the current instant, so that the clock does
    // not jump by the whole uptime times the change.
    mutable std::mutex SpeedMutex;  // guards the three below
    double Speed = 1.0;
    int64_t SpeedRawAnchor = 0;     // clock reading at the last change
    int64_t SpeedScaledAnchor = 0;  // scaled time at that reading
};

} // namespace Network
