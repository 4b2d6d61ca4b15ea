#include "util/hrt.h"

#include <time.h>

#include "util/MulDiv64.h"
#include "util/myhirestimer.h"

int64_t HRT_Get(uint32_t* hrt_freq) noexcept {
    if (hrt_freq) *hrt_freq = static_cast<uint32_t>(hrt::GetClockFreq());
    return static_cast<int64_t>(hrt::GetClock());
}

int64_t HRT_Freq() noexcept { return static_cast<int64_t>(hrt::GetClockFreq()); }

int64_t HRT_GetInFreq(int freq) noexcept {
    return MulDiv64(static_cast<int64_t>(hrt::GetClock()), freq, static_cast<int64_t>(hrt::GetClockFreq()));
}

int64_t HRT_GetNs100() noexcept { return static_cast<int64_t>(hrt::GetClock() / 100); }

double HRT_GetSec() noexcept { return static_cast<double>(hrt::GetClock()) * 1e-9; }

int64_t HRT_GetMillisec() noexcept { return static_cast<int64_t>(hrt::GetMillisecsByClockTicks(hrt::GetClock())); }

int64_t HRT_GetMicrosec() noexcept { return static_cast<int64_t>(hrt::GetMicrosecsByClockTicks(hrt::GetClock())); }

void SleepMicrosec(uint64_t microsec) noexcept {
    timespec ts;
    ts.tv_sec = static_cast<time_t>(microsec / 1000000);
    ts.tv_nsec = static_cast<long>(microsec % 1000000 * 1000);
    nanosleep(&ts, nullptr);
}
