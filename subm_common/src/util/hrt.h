// The monotonic clock as flat functions with signed results, for code that counts time in its
// own units (100 ns, milliseconds, an audio sample rate); and a microsecond sleep.
#pragma once

#include <cstdint>

// The clock in nanoseconds; *hrt_freq, when given, receives the ticks per second (1000000000).
int64_t HRT_Get(uint32_t* hrt_freq = nullptr) noexcept;
int64_t HRT_Freq() noexcept;
// The clock in ticks of freq per second, exact (see MulDiv64).
int64_t HRT_GetInFreq(int freq) noexcept;
int64_t HRT_GetNs100() noexcept;
double HRT_GetSec() noexcept;
int64_t HRT_GetMillisec() noexcept;
int64_t HRT_GetMicrosec() noexcept;

// Sleeps microsec microseconds at nanosecond resolution. A signal ends the sleep early and it is
// not resumed: threads are woken that way on purpose.
void SleepMicrosec(uint64_t microsec) noexcept;
