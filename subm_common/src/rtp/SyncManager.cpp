#include "rtp/SyncManager.h"

#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "diag/IEnvironment.h"
#include "util/MulDiv64.h"
#include "util/StdStringFormat.h"
#include "util/hrt.h"
#include "util/myhirestimer.h"

namespace Network {

namespace {

// Formats only when the level lets the record through: the clock step must not pay for records
// nobody writes.
template <class... Args>
void LogAt(const IDebugLogPtr& log, unsigned level, const wchar_t* format, Args... args) {
    if (log && log->GetLogLevel() >= static_cast<int>(level)) log->LogRecord(cmn::detail::WideFormat(format, args...));
}

ComponentInfo NameOr(const ComponentInfo& compInfo, const wchar_t* fallback) {
    return compInfo.LogId.empty() ? ComponentInfo(fallback) : compInfo;
}

} // namespace

ISyncManager* RtpFactory::CreateSyncManager(const ComponentInfo& compInfo, bool isLogOn) {
    return new SyncManager(compInfo, isLogOn);
}

SyncManager::SyncManager(const ComponentInfo& compInfo, bool isLogOn, SyncManagerSeams seams)
    : CompInfo(NameOr(compInfo, L"SyncManager")),
      IsLogOn(isLogOn),
      DebugLog(seams.Log ? std::move(seams.Log) : Environment()->DebugLog()),
      Clock(std::move(seams.Clock)),
      StopEvent(CreateEvent(nullptr, true, false, nullptr)),
      Thread([this] { return ThreadBody(); }),
      OutSyncWait(L"STATISTICS: " + CompInfo.LogId + L".OutSyncWait"),
      OutSyncDur(L"STATISTICS: " + CompInfo.LogId + L".OutSyncDur") {
    if (seams.WallSeconds) MinDetector.SetClock(std::move(seams.WallSeconds));
    const double toMillisecs = 1000.0 / static_cast<double>(hrt::GetClockFreq());
    OutSyncWait.Init(1, toMillisecs);
    OutSyncDur.Init(1, toMillisecs);
    LogAt(DebugLog, DbgLevel::ObjsThreads, L"%ls: Object created", CompInfo.LogId.c_str());
}

SyncManager::~SyncManager() {
    Stop();
    Thread.StopThread();
    CloseHandle(StopEvent);
    LogAt(DebugLog, DbgLevel::ObjsThreads, L"%ls: Object destroyed", CompInfo.LogId.c_str());
}

ErrInfo SyncManager::AddTarget(ISyncTarget* t) {
    SyncTargets.Add(t);
    return MAKE_ERR_INFO();
}

ErrInfo SyncManager::DelTarget(ISyncTarget* t) {
    if (!SyncTargets.Del(t)) return MAKE_ERR_INFO().StrError(L"Sync target not found");
    return MAKE_ERR_INFO();
}

ErrInfo SyncManager::Init(const SyncManagerInfo& info) {
    // A zero period would make every step due forever: the clock thread would never sleep.
    if (info.Freq <= 0 || info.Period <= 0) return MAKE_ERR_INFO().StrError(L"Invalid sync frequency");
    {
        LOCK_GUARD(outGuard, OutMutex, L"Init", 5);
        LOCK_GUARD(inGuard, InMutex, L"Init", 5);
        OutFreq = info.Freq;
        OutPeriod = info.Period;
    }
    LogAt(DebugLog, DbgLevel::ProcDetails, L"%ls: Init; Sync freq = %u/%u", CompInfo.LogId.c_str(),
          static_cast<unsigned>(info.Period), static_cast<unsigned>(info.Freq));
    return MAKE_ERR_INFO();
}

ErrInfo SyncManager::SetSyncFreq(int freq, int period) {
    if (freq <= 0 || period <= 0) return MAKE_ERR_INFO().StrError(L"Invalid sync frequency");
    {
        LOCK_GUARD(outGuard, OutMutex, L"SetSyncFreq", 5);
        LOCK_GUARD(inGuard, InMutex, L"SetSyncFreq", 5);
        if (freq == OutFreq && period == OutPeriod) return MAKE_ERR_INFO();
        OutFreq = freq;
        OutPeriod = period;
        ClearInput();
        ClearOutput();
    }
    LogAt(DebugLog, DbgLevel::ProcDetails, L"%ls: Set; Sync freq = %u/%u", CompInfo.LogId.c_str(),
          static_cast<unsigned>(period), static_cast<unsigned>(freq));
    return MAKE_ERR_INFO();
}

int SyncManager::GetSyncFreq() {
    LOCK_GUARD(guard, OutMutex, L"GetSyncFreq", 5);
    return OutFreq;
}

ErrInfo SyncManager::SetSyncType(SyncType type) {
    if (Started.load()) return MAKE_ERR_INFO().StrError(L"Stop before changing sync type");
    SynchroType.store(type);
    return MAKE_ERR_INFO();
}

ErrInfo SyncManager::SetSpeed(double speed) {
    if (!std::isfinite(speed) || speed < 0) return MAKE_ERR_INFO().StrError(L"Invalid speed");
    const int64_t now = ClockNow();
    std::lock_guard<std::mutex> lock(SpeedMutex);
    SpeedScaledAnchor += static_cast<int64_t>(static_cast<long double>(now - SpeedRawAnchor) * Speed);
    SpeedRawAnchor = now;
    Speed = speed;
    return MAKE_ERR_INFO();
}

double SyncManager::GetSpeed() {
    std::lock_guard<std::mutex> lock(SpeedMutex);
    return Speed;
}

ErrInfo SyncManager::Start() {
    if (Started.load()) return MAKE_ERR_INFO();
    ResetEvent(StopEvent);
    {
        LOCK_GUARD(outGuard, OutMutex, L"Start", 5);
        LOCK_GUARD(inGuard, InMutex, L"Start", 5);
        ClearInput();
        ClearOutput();
    }
    Started.store(true);
    if (SynchroType.load() == Automatic && !Thread.StartThread(1)) {
        Started.store(false);
        return MAKE_ERR_INFO().StrError(L"Can not start sync thread");
    }
    return MAKE_ERR_INFO();
}

ErrInfo SyncManager::Stop() {
    if (!Started.exchange(false)) return MAKE_ERR_INFO();
    SetEvent(StopEvent);
    if (SynchroType.load() == Automatic) Thread.StopThread();
    return MAKE_ERR_INFO();
}

void SyncManager::ManualSyncTact() {
    if (SynchroType.load() == Manual) ProcessStep();
}

InSyncInfo SyncManager::GetSyncInfo() {
    LOCK_GUARD(guard, OutMutex, L"GetSyncInfo", 5);
    return SyncInfo;
}

void SyncManager::OnSync(ISyncSource*, int64_t pos, int freq) {
    // The arrival time is taken before the lock, which another source or the clock step may hold.
    const int64_t now = ScaledNow();
    LOCK_GUARD(guard, InMutex, L"OnSync", 5);
    // A negative rate is no more usable than none.
    if (freq <= 0 || pos <= 0) {
        ClearInput();
        return;
    }
    const int64_t local = ToSamples(now);
    if (InFreq != 0 && local - InLastLocalTick > 2 * static_cast<int64_t>(OutFreq)) {
        ClearInput();
        return;
    }
    if (InFreq == 0) {
        InFreq = freq;
        InFirstSrcTick = MulDiv64(pos, OutFreq, InFreq);
        InFirstLocalTick = local;
    }
    ++InPackets;
    InLastSrcTick = MulDiv64(pos, OutFreq, InFreq);
    InLastLocalTick = local;
}

InSyncInfo SyncManager::GetInSyncInfo(int64_t local) {
    LOCK_GUARD(guard, InMutex, L"GetInSyncInfo", 5);
    // A source that fell silent no longer paces the clock, even before it speaks again.
    if (InFreq != 0 && local - InLastLocalTick > 2 * static_cast<int64_t>(OutFreq)) ClearInput();
    InSyncInfo info;
    if (InFreq != 0 && InPackets > 4 && InLastSrcTick - InFirstSrcTick >= InFreq / 5) {
        info.Mul = InLastSrcTick - InFirstSrcTick;
        info.Div = InLastLocalTick - InFirstLocalTick;
    }
    return info;
}

void SyncManager::ClearInput() {
    InFreq = 0;
    InPackets = 0;
    InFirstSrcTick = InLastSrcTick = 0;
    InFirstLocalTick = InLastLocalTick = 0;
}

void SyncManager::ClearOutput() {
    SyncInfo = InSyncInfo();
    OutLastTick = -1;
    OutBaseLocalTick = -1;
}

int64_t SyncManager::ClockNow() const {
    return Clock ? Clock() : static_cast<int64_t>(hrt::GetClock());
}

int64_t SyncManager::ScaledNow() {
    const int64_t now = ClockNow();
    std::lock_guard<std::mutex> lock(SpeedMutex);
    if (Speed == 1.0) return SpeedScaledAnchor + (now - SpeedRawAnchor);
    const long double scaled = static_cast<long double>(SpeedScaledAnchor) +
                               static_cast<long double>(now - SpeedRawAnchor) * Speed;
    // Only an absurd speed gets here; the clock then stops at the end of its range.
    constexpr long double limit = static_cast<long double>(std::numeric_limits<int64_t>::max() / 2);
    return scaled < limit ? static_cast<int64_t>(scaled) : static_cast<int64_t>(limit);
}

int64_t SyncManager::ToSamples(int64_t ns) const {
    return MulDiv6432(ns, static_cast<uint32_t>(OutFreq), static_cast<uint32_t>(hrt::GetClockFreq()));
}

bool SyncManager::ProcessStep() {
    for (;;) {
        if (WaitForSingleObject(StopEvent, 0) == WAIT_OBJECT_0) return false;
        if (!Started.load()) return true;

        LOCK_GUARD(guard, OutMutex, L"ProcessStep", 5);
        if (OutFreq <= 0 || OutPeriod <= 0) return true;
        const int64_t local = ToSamples(ScaledNow());
        if (OutBaseLocalTick >= 0 && OutLastTick >= 0) {
            const InSyncInfo in = GetInSyncInfo(local);
            if (in.IsSyncLocked() != SyncInfo.IsSyncLocked()) {
                // Move the base to the last notification, so the clock goes on from there.
                if (in.IsSyncLocked())
                    OutBaseLocalTick += OutLastTick;
                else
                    OutBaseLocalTick += MulDiv64(OutLastTick, SyncInfo.Div, SyncInfo.Mul);
                OutLastTick = 0;
                LogAt(DebugLog, DbgLevel::ErrorsOnly, in.IsSyncLocked() ? L"%ls: Sync LOCK" : L"%ls: Sync FAIL",
                      CompInfo.LogId.c_str());
            }
            SyncInfo = in;
        }

        if (OutBaseLocalTick < 0) OutBaseLocalTick = local;
        int64_t t = local - OutBaseLocalTick;
        if (SyncInfo.IsSyncLocked()) t = MulDiv64(t, SyncInfo.Mul, SyncInfo.Div);

        if (OutLastTick < 0) {
            OutLastTick = t;
        } else {
            const int64_t due = OutLastTick + OutPeriod;
            if (t < due) return true;
            if (t - due > MaxLatePeriods * OutPeriod) {
                {
                    LOCK_GUARD(inGuard, InMutex, L"ProcessStep", 5);
                    ClearInput();
                }
                OutLastPos = 0;
                ClearOutput();
                LogAt(DebugLog, DbgLevel::ErrorsOnly, L"%ls: Sync FAIL. Internal sync timeout.", CompInfo.LogId.c_str());
                // The notification at 0 below starts the new time base, so the next one is a
                // full period later rather than at once.
                OutBaseLocalTick = local;
                OutLastTick = 0;
            } else {
                OutLastTick = due;
            }
        }

        if (IsLogOn) {
            const int64_t now = ClockNow();
            OutSyncWait.End(now);
            OutSyncDur.Begin(now);
        }
        const auto targets = SyncTargets.Snapshot();
        for (ISyncTarget* target : *targets) target->OnSync(this, OutLastPos, OutFreq);
        OutLastPos += OutPeriod;
        if (IsLogOn) {
            const int64_t now = ClockNow();
            OutSyncDur.End(now);
            if (MinDetector.CheckMinue()) {
                OutSyncWait.Log(DebugLog);
                OutSyncDur.Log(DebugLog);
            }
            OutSyncWait.Begin(now);
        }
    }
}

int SyncManager::ThreadBody() {
    int32_t freq = 0, period = 0;
    {
        LOCK_GUARD(guard, OutMutex, L"ThreadBody", 5);
        freq = OutFreq;
        period = OutPeriod;
    }
    LogAt(DebugLog, DbgLevel::ObjsThreads, L"%ls: Sync thread started; Sync freq = %u/%u; service thread ID=%ls",
          CompInfo.LogId.c_str(), static_cast<unsigned>(period), static_cast<unsigned>(freq),
          std::to_wstring(os::MyThread::GetCurId()).c_str());
    if (const long code = os::MyThread::MakeCurrentThreadRealtime(os::DispatchClass::RealTime, -10); code != 0)
        MAKE_ERR_INFO().ApiError(static_cast<uint32_t>(code), "Can not set realtime priority");
    do {
        SleepMicrosec(PollMicrosec);
    } while (ProcessStep());
    LogAt(DebugLog, DbgLevel::ObjsThreads, L"%ls: Sync thread ended", CompInfo.LogId.c_str());
    return 0;
}

} // namespace Network
