// Named mutexes whose every use is measured: how long the caller waited for the lock, held it
// and took to release it. A section longer than its limit is reported to the debug log with the
// lock's name and the place of use, to find stalls on the real-time paths.
//
//     DebugMutex<std::mutex> mtx(L"NetManager::ServicedSocketsMutex");
//     LOCK_GUARD(guard, mtx, L"Open", 5);
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "util/myhirestimer.h"

template <class M>
class DebugMutex : public M {
public:
    explicit DebugMutex(const wchar_t* logId) : LogId(logId ? logId : L"") {}
    explicit DebugMutex(const std::wstring& logId) : LogId(logId) {}
    const wchar_t* GetLogId() const noexcept { return LogId.c_str(); }

private:
    std::wstring LogId;
};

namespace DbgLockGuardImpl {
// While false no section is reported.
inline bool LoggingIsOn = true;
// Writes the "LOCK: ..." line; runs only for a section past its limit, after the unlock.
void Report(const wchar_t* lockId, const wchar_t* info, uint64_t beforeLock, uint64_t afterLock,
            uint64_t beforeUnlock, uint64_t afterUnlock, const char* function, const char* file, int line);
} // namespace DbgLockGuardImpl

template <class Mtx>
class LockGuard {
public:
    LockGuard(Mtx& mtx, const wchar_t* info, uint32_t timeLimitMs, const char* function, const char* file, int line)
        : Mutex(mtx), TimeLimitMs(timeLimitMs), Info(info), FunctionName(function), FileName(file), FileLine(line) {
        TickBeforeLock = hrt::GetClock();
        Mutex.lock();
        TickAfterLock = hrt::GetClock();
    }
    ~LockGuard() {
        const uint64_t beforeUnlock = hrt::GetClock();
        Mutex.unlock();
        const uint64_t afterUnlock = hrt::GetClock();
        if (afterUnlock - TickBeforeLock < hrt::GetClockTicksByMillisecs(TimeLimitMs) || !DbgLockGuardImpl::LoggingIsOn)
            return;
        DbgLockGuardImpl::Report(Mutex.GetLogId(), Info, TickBeforeLock, TickAfterLock, beforeUnlock, afterUnlock,
                                 FunctionName, FileName, FileLine);
    }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;

private:
    Mtx& Mutex;
    uint64_t TickBeforeLock = 0;
    uint64_t TickAfterLock = 0;
    uint32_t TimeLimitMs;
    const wchar_t* Info;       // label of this use, static text
    const char* FunctionName;  // static texts
    const char* FileName;
    int32_t FileLine;
};

// A traced lock section named after the enclosing function and place.
#define LOCK_GUARD(name, mtx, info, limitMs) \
    LockGuard<std::remove_reference_t<decltype(mtx)>> name((mtx), (info), (limitMs), __func__, __FILE__, __LINE__)
