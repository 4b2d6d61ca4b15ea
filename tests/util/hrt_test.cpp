// The monotonic clock and its unit conversions.
#include <gtest/gtest.h>

#include <cstdint>

#include "util/hrt.h"
#include "util/myhirestimer.h"

namespace {

constexpr uint64_t Max = UINT64_MAX;

TEST(Clock, IsReadableAndNeverGoesBack) {
    uint64_t prev = hrt::GetClock();
    EXPECT_NE(prev, 0u);
    for (int i = 0; i < 100000; ++i) {
        const uint64_t now = hrt::GetClock();
        ASSERT_GE(now, prev);
        prev = now;
    }
}

TEST(Clock, ConversionsTable) {
    struct Case {
        const char* what;
        uint64_t got, expected;
    } cases[] = {
        {"units of 1.5 s in ms", hrt::GetUnitsByClockTicks(1500000000, 1000), 1500},
        {"999999 ns in ms", hrt::GetMillisecsByClockTicks(999999), 0},
        {"1 ms in ms", hrt::GetMillisecsByClockTicks(1000000), 1},
        {"1999 ns in us", hrt::GetMicrosecsByClockTicks(1999), 1},
        {"2.9 s in s", hrt::GetSecondsByClockTicks(2999999999), 2},
        {"5 ms in ticks", hrt::GetClockTicksByResolution(5, 1000), 5000000},
        {"1 tick of 48 kHz", hrt::GetClockTicksByResolution(1, 48000), 20833},
        {"3 s", hrt::GetClockTicksBySeconds(3), 3000000000},
        {"7 ms", hrt::GetClockTicksByMillisecs(7), 7000000},
        {"7 us", hrt::GetClockTicksByMicrosecs(7), 7000},
        // The product needs more than 64 bits, the quotient does not.
        {"2^40 units of 2^-30 s", hrt::GetClockTicksByResolution(1ull << 40, 1ull << 30), 1024000000000},
        {"ticks of a huge ms count", hrt::GetClockTicksByResolution(Max / 1000, 1000000), Max / 1000 * 1000},
        // Ten days of uptime at 48 kHz: a 64-bit product would have wrapped.
        {"10 days at 48 kHz", hrt::GetUnitsByClockTicks(864000ull * 1000000000, 48000), 864000ull * 48000},
        {"max ticks in ns", hrt::GetUnitsByClockTicks(Max, 1000000000), Max},
        // Results beyond 64 bits stay at the top instead of wrapping to small values.
        {"too many seconds", hrt::GetClockTicksBySeconds(Max / 1000), Max},
        {"too many ms", hrt::GetClockTicksByMillisecs(Max), Max},
        {"too many us", hrt::GetClockTicksByMicrosecs(Max / 999), Max},
        {"too many units", hrt::GetClockTicksByResolution(Max, 1000), Max},
        {"units above ns", hrt::GetUnitsByClockTicks(Max, 1000000001), Max},
        {"resolution 0", hrt::GetClockTicksByResolution(1, 0), Max},
        {"nothing at resolution 0", hrt::GetClockTicksByResolution(0, 0), 0},
    };
    for (const Case& c : cases) EXPECT_EQ(c.got, c.expected) << c.what;
    EXPECT_EQ(hrt::GetClockFreq(), 1000000000u);
}

// Each threshold must lie its interval after the clock value read inside the call.
TEST(Clock, ThresholdsLieTheirIntervalAhead) {
    struct Case {
        uint64_t (*threshold)();
        uint64_t interval;
    } cases[] = {
        {[] { return hrt::GetClockThreshold(5, 1000); }, 5000000},
        {[] { return hrt::GetClockThreshold(1ull << 40, 1ull << 30); }, 1024000000000},
        {[] { return hrt::GetClockThresholdBySeconds(2); }, 2000000000},
        {[] { return hrt::GetClockThresholdByMillisecs(300); }, 300000000},
    };
    for (const Case& c : cases) {
        const uint64_t before = hrt::GetClock();
        const uint64_t t = c.threshold();
        const uint64_t after = hrt::GetClock();
        EXPECT_GE(t, before + c.interval);
        EXPECT_LE(t, after + c.interval);
    }
}

TEST(Clock, ThresholdBeyondTheClockRangeIsNeverReached) {
    EXPECT_EQ(hrt::GetClockThreshold(Max, 1), Max);
    EXPECT_EQ(hrt::GetClockThreshold(Max / 1000, 1000000), Max);  // exact quotient, but the sum overflows
    EXPECT_EQ(hrt::GetClockThreshold(1, 0), Max);
    EXPECT_EQ(hrt::GetClockThresholdBySeconds(Max), Max);
    EXPECT_EQ(hrt::GetClockThresholdByMillisecs(Max / 1000000), Max);
}

// The flat functions show the same clock: each lies between two readings around it.
TEST(FlatClock, ShowsTheClockInItsUnits) {
    struct Case {
        const char* what;
        int64_t (*read)();
        uint64_t (*expected)(uint64_t clock);
    } cases[] = {
        {"HRT_Get", [] { return HRT_Get(nullptr); }, [](uint64_t c) { return c; }},
        {"HRT_GetNs100", HRT_GetNs100, [](uint64_t c) { return c / 100; }},
        {"HRT_GetMillisec", HRT_GetMillisec, [](uint64_t c) { return c / 1000000; }},
        {"HRT_GetMicrosec", HRT_GetMicrosec, [](uint64_t c) { return c / 1000; }},
        {"HRT_GetInFreq(48000)", [] { return HRT_GetInFreq(48000); },
         [](uint64_t c) { return static_cast<uint64_t>(static_cast<unsigned __int128>(c) * 48000 / 1000000000); }},
        {"HRT_GetInFreq(1000000000)", [] { return HRT_GetInFreq(1000000000); }, [](uint64_t c) { return c; }},
    };
    for (const Case& c : cases) {
        const uint64_t before = hrt::GetClock();
        const int64_t v = c.read();
        const uint64_t after = hrt::GetClock();
        EXPECT_GE(static_cast<uint64_t>(v), c.expected(before)) << c.what;
        EXPECT_LE(static_cast<uint64_t>(v), c.expected(after)) << c.what;
    }

    const uint64_t before = hrt::GetClock();
    const double sec = HRT_GetSec();
    const uint64_t after = hrt::GetClock();
    EXPECT_GE(sec, static_cast<double>(before) * 1e-9);
    EXPECT_LE(sec, static_cast<double>(after) * 1e-9);
}

TEST(FlatClock, ReportsTheFrequency) {
    uint32_t freq = 0;
    EXPECT_GT(HRT_Get(&freq), 0);
    EXPECT_EQ(freq, 1000000000u);
    EXPECT_EQ(HRT_Freq(), 1000000000);
}

// A lower bound only: a sleep whose second and nanosecond parts were mixed up would either be
// refused by the system (returning at once) or be far too short.
TEST(SleepMicrosec, SleepsAtLeastAcrossWholeSeconds) {
    const uint64_t before = hrt::GetClock();
    SleepMicrosec(1000500);
    EXPECT_GE(hrt::GetClock() - before, 1000500000u);
}

} // namespace
