// The library's one clock: nanoseconds of the system's monotonic clock (unaffected by changes of
// the wall time, zero point arbitrary), and integer conversions between its ticks and other units.
#pragma once

#include <cstdint>

namespace hrt {

// Ticks per second of GetClock.
constexpr uint64_t ClockFreq = 1000000000;

// The monotonic clock in nanoseconds; 0 if the system clock cannot be read.
uint64_t GetClock() noexcept;

constexpr uint64_t GetClockFreq() noexcept { return ClockFreq; }

namespace detail {

using u128 = unsigned __int128;

// A result that does not fit stays at the largest value: a huge time limit must stay huge, where
// a wrapped product would turn "practically never" into "almost at once".
constexpr uint64_t Saturate(u128 v) noexcept {
    return v > UINT64_MAX ? UINT64_MAX : static_cast<uint64_t>(v);
}

// a × b ÷ c exact for every 64-bit argument; a division by zero counts as an endless interval.
constexpr uint64_t MulDiv(uint64_t a, uint64_t b, uint64_t c) noexcept {
    if (c == 0) return (a == 0 || b == 0) ? 0 : UINT64_MAX;
    return Saturate(static_cast<u128>(a) * b / c);
}

constexpr uint64_t AddSat(uint64_t a, uint64_t b) noexcept {
    return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}

} // namespace detail

// Conversions: products are formed in 128 bits, so they are exact wherever the result fits in
// 64 bits; a result that does not fit is UINT64_MAX. Divisions truncate.

constexpr uint64_t GetClockTicksByResolution(uint64_t interv, uint64_t resolution) noexcept {
    return detail::MulDiv(interv, ClockFreq, resolution);
}
constexpr uint64_t GetClockTicksBySeconds(uint64_t interv) noexcept {
    return detail::MulDiv(interv, ClockFreq, 1);
}
constexpr uint64_t GetClockTicksByMillisecs(uint64_t interv) noexcept {
    return detail::MulDiv(interv, ClockFreq / 1000, 1);
}
constexpr uint64_t GetClockTicksByMicrosecs(uint64_t interv) noexcept {
    return detail::MulDiv(interv, ClockFreq / 1000000, 1);
}

// ticks × resolution ÷ 1000000000; with an audio rate as resolution a 64-bit product would
// already overflow after a few days of uptime.
constexpr uint64_t GetUnitsByClockTicks(uint64_t ticks, uint64_t resolution) noexcept {
    return detail::MulDiv(ticks, resolution, ClockFreq);
}
constexpr uint64_t GetSecondsByClockTicks(uint64_t ticks) noexcept { return ticks / ClockFreq; }
constexpr uint64_t GetMillisecsByClockTicks(uint64_t ticks) noexcept { return ticks / (ClockFreq / 1000); }
constexpr uint64_t GetMicrosecsByClockTicks(uint64_t ticks) noexcept { return ticks / (ClockFreq / 1000000); }

// The clock value at which a time limit of tmout units (resolution units a second) expires.
// A limit beyond the clock's range gives UINT64_MAX, which the clock never reaches.
inline uint64_t GetClockThreshold(uint64_t tmout, uint64_t resolution) noexcept {
    return detail::AddSat(GetClock(), GetClockTicksByResolution(tmout, resolution));
}
inline uint64_t GetClockThresholdBySeconds(uint64_t tmout) noexcept {
    return detail::AddSat(GetClock(), GetClockTicksBySeconds(tmout));
}
inline uint64_t GetClockThresholdByMillisecs(uint64_t tmout) noexcept {
    return detail::AddSat(GetClock(), GetClockTicksByMillisecs(tmout));
}

} // namespace hrt
