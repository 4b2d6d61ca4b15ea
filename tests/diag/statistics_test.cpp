// Periodic statistics: minute and interval detectors on an injected clock, histogram binning,
// moments and printed lines, duration and value statistics texts.
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <sstream>
#include <string>
#include <string_view>

#include "diag/Statistics.h"
#include "support/log_capture.h"

namespace {

// Replaces every time text: prefix followed by layout ('d' a digit, anything else itself).
std::wstring MaskTimes(const std::wstring& text, std::wstring_view prefix, std::wstring_view layout,
                       std::wstring_view replacement) {
    std::wstring out;
    size_t i = 0;
    while (i < text.size()) {
        bool match = text.compare(i, prefix.size(), prefix) == 0 && i + prefix.size() + layout.size() <= text.size();
        for (size_t k = 0; match && k < layout.size(); ++k) {
            const wchar_t c = text[i + prefix.size() + k];
            match = layout[k] == L'd' ? (c >= L'0' && c <= L'9') : c == layout[k];
        }
        if (match) {
            out += replacement;
            i += prefix.size() + layout.size();
        } else {
            out += text[i++];
        }
    }
    return out;
}

using test_support::LogCapture;

// A wall-clock second that starts a minute, read as 10:00:00 in the cases below.
constexpr int64_t TenOClock = 1'700'000'400;
static_assert(TenOClock % 60 == 0);

int64_t At(int minute, int second) { return TenOClock + minute * 60 + second; }

TEST(MinuteDetector, FiresOnceAtEachBlockBoundaryAfterTheFirstCheck) {
    struct Check {
        int minute, second;
        bool fires;
    };
    struct Case {
        int minuteNum;
        std::vector<Check> checks;
    };
    const Case cases[] = {
        {1, {{0, 30, false}, {0, 50, false}, {1, 5, true}, {1, 40, false}, {3, 0, true}}},
        // Blocks are aligned to the epoch, not to the first check.
        {5, {{2, 0, false}, {4, 59, false}, {5, 0, true}, {9, 59, false}, {10, 0, true}}},
        // Values below 1 mean one minute.
        {0, {{0, 10, false}, {1, 0, true}}},
        {-4, {{0, 10, false}, {1, 0, true}}},
    };
    for (const Case& c : cases) {
        MinuteDetector detector(c.minuteNum);
        EXPECT_GE(detector.GetMinuteNum(), 1u);
        int64_t now = 0;
        detector.SetClock([&now] { return now; });
        for (const Check& check : c.checks) {
            now = At(check.minute, check.second);
            EXPECT_EQ(detector.CheckMinue(), check.fires)
                << "block of " << c.minuteNum << " at +" << check.minute << ":" << check.second;
        }
    }
}

TEST(MinuteDetector, ResetTakesTheCurrentBlockWithoutFiring) {
    MinuteDetector detector(1);
    int64_t now = At(0, 10);
    detector.SetClock([&now] { return now; });
    detector.ResetMinue();
    now = At(0, 20);
    EXPECT_FALSE(detector.CheckMinue());
    now = At(1, 0);
    EXPECT_TRUE(detector.CheckMinue()) << "after a reset the next boundary fires; no silent first check";
}

TEST(TimeIntervalDetector, FiresWhenTheIntervalHasPassedSinceItLastFired) {
    using std::chrono::seconds;
    seconds now{TenOClock};
    TimeIntervalDetector<seconds> detector;
    detector.SetClock([&now] { return now; });
    EXPECT_FALSE(detector.CheckTimeInterval()) << "not started";
    detector.Reset(5);
    const std::pair<int, bool> checks[] = {{4, false}, {5, true}, {9, false}, {10, true}, {30, true}, {31, false}};
    for (const auto& [offset, fires] : checks) {
        now = seconds(TenOClock + offset);
        EXPECT_EQ(detector.CheckTimeInterval(), fires) << "+" << offset << " s";
    }
    detector.Reset(std::chrono::seconds(100));
    EXPECT_EQ(detector.Interval, seconds(100));
    EXPECT_EQ(detector.LastValue, now);
}

// A histogram writing to a captured log at the statistics level, with its print period on a
// clock the test moves.
class HistogramTest : public ::testing::Test {
protected:
    HistogramTest() : capture(DbgLevel::Statistics) {
        histogram.SetLog(capture.Log());
        histogram.MinDetector.SetClock([this] { return now; });
    }

    // The one statistics line written so far, with the time of the maximum replaced by "T".
    std::wstring OnlyLine() {
        const auto lines = capture.Matching(L"STATISTICS: ");
        if (lines.size() != 1) return L"<" + std::to_wstring(lines.size()) + L" lines>";
        return MaskTimes(lines[0], L"(", L"dd:dd:dd.ddd)", L"(T)");
    }

    LogCapture capture;
    int64_t now = At(0, 0);
    Histogram histogram{L"rx"};
};

TEST_F(HistogramTest, CountsEventSpacingInRoundedBinsWithOverflow) {
    ASSERT_TRUE(histogram.Setup(HistogramMode::Frequency, 1, 1000000, 1000, 0, 50));
    histogram.EnablePrintHistogram = true;
    histogram.BeginTime(1000000);  // the first event only starts
    histogram.Print();
    EXPECT_TRUE(capture.Records().empty()) << "nothing measured yet";
    histogram.BeginTime(1002500);  // 2.5 ms rounds to 3
    histogram.BeginTime(1072500);  // 70 ms lands in the overflow bin 51
    histogram.Print();
    EXPECT_EQ(OnlyLine(),
              L"STATISTICS: rx: N=2, E=27, J=24, S=24, Min=3, Max=70(T), Unit=1/1000 Histogram:  [3]:50 greatest:50");
    const Statistics stat = histogram.GetStat();
    EXPECT_EQ(stat._totalCounter, 2u);
    EXPECT_DOUBLE_EQ(stat._expect, 27.0);
}

TEST_F(HistogramTest, DurationModeCountsUnderflowAndPrintsCountersByName) {
    ASSERT_TRUE(histogram.Setup(HistogramMode::Duration, 1, 1000, 1000, 5, 50));
    histogram.EnablePrintHistogram = true;
    histogram.SetCounter(L"lost", 2);
    histogram.IncCounter(L"late");
    histogram.BeginTime(100);
    histogram.EndTime(102);  // below the range: the underflow bin 4
    histogram.BeginTime(200);
    histogram.EndTime(210);
    EXPECT_TRUE(capture.Records().empty()) << "nothing until printed";
    histogram.Print();
    EXPECT_EQ(OnlyLine(), L"STATISTICS: rx: late=1 lost=2 N=2, E=7, Min=2, Max=10(T), Unit=1/1000 Histogram:  "
                          L"least:50 [10]:50");
}

TEST_F(HistogramTest, ScalesInputUnitsToOutputUnitsRoundingToNearest) {
    struct Case {
        int64_t in, out, duration;
        int expected;
    };
    const Case cases[] = {
        {1000000, 1000, 2499, 2},
        {1000000, 1000, 2500, 3},
        {1000, 1000, 17, 17},                      // equal units: taken as they are
        {1000000000, 1000, 5'000'000'000'000, 5'000'000},  // a long gap in nanoseconds
        {1000000000, 1000, 4'000'000'000'000'000, INT_MAX},  // beyond int: clamped, no overflow
    };
    for (const Case& c : cases) {
        Histogram h(L"scale");
        h.SetLog(capture.Log());
        ASSERT_TRUE(h.Setup(HistogramMode::Duration, 1, c.in, c.out, 0, 10));
        h.BeginTime(1);
        h.EndTime(1 + c.duration);
        h.PrintReset();
        EXPECT_EQ(h.GetStat()._max, c.expected) << c.duration << " at " << c.in << " -> " << c.out;
        EXPECT_EQ(h.GetStat()._min, c.expected);
    }
}

TEST_F(HistogramTest, PrintsOnlyAtStatisticsLevel) {
    ASSERT_TRUE(histogram.Setup(HistogramMode::Duration, 1, 1000, 1000, 0, 10));
    histogram.BeginTime(10);
    histogram.EndTime(13);
    capture.Log()->SetLogLevel(2);
    histogram.Print();
    EXPECT_TRUE(capture.Records().empty());
    capture.Log()->SetLogLevel(3);
    histogram.Print();
    EXPECT_EQ(OnlyLine(), L"STATISTICS: rx: N=1, E=3, Min=3, Max=3(T), Unit=1/1000");
    histogram.EnablePrint = false;
    histogram.Print();
    EXPECT_EQ(capture.Matching(L"STATISTICS: ").size(), 1u);
}

TEST_F(HistogramTest, PrintsAndClearsOncePerMinuteBlock) {
    ASSERT_TRUE(histogram.Setup(HistogramMode::Duration, 1, 1000, 1000, 0, 100));
    const auto measure = [this](int second, int64_t duration) {
        now = At(0, 0) + second;
        histogram.BeginTime(1000);
        histogram.EndTime(1000 + duration);
    };
    measure(10, 4);   // first check of the detector: only starts its block
    measure(50, 6);
    EXPECT_TRUE(capture.Records().empty());
    measure(65, 8);   // new minute: prints the period, this measurement included, and clears
    EXPECT_EQ(OnlyLine(), L"STATISTICS: rx: N=3, E=6, Min=4, Max=8(T), Unit=1/1000");
    EXPECT_EQ(histogram.GetStat()._totalCounter, 3u);
    measure(100, 1);
    EXPECT_EQ(capture.Matching(L"STATISTICS: ").size(), 1u);
    capture.Clear();
    measure(125, 2);
    EXPECT_EQ(OnlyLine(), L"STATISTICS: rx: N=2, E=1.5, Min=1, Max=2(T), Unit=1/1000") << "a fresh period";
}

TEST_F(HistogramTest, ClosedPeriodIsKeptEvenWhenTheLevelHidesIt) {
    capture.Log()->SetLogLevel(2);
    ASSERT_TRUE(histogram.Setup(HistogramMode::Duration, 1, 1000, 1000, 0, 10));
    histogram.BeginTime(1);
    histogram.EndTime(5);
    histogram.PrintReset();
    EXPECT_TRUE(capture.Records().empty());
    EXPECT_EQ(histogram.GetStat()._totalCounter, 1u);
    EXPECT_DOUBLE_EQ(histogram.GetStat()._expect, 4.0);
}

TEST_F(HistogramTest, EndWithoutStartRecordsNothing) {
    ASSERT_TRUE(histogram.Setup(HistogramMode::Duration, 1, 1000, 1000, 0, 10));
    histogram.EndTime(5000);  // never started
    histogram.BeginTime(10);
    histogram.CancelTime();
    histogram.EndTime(5000);  // cancelled
    histogram.BeginTime(10);
    histogram.EndTime(12);
    histogram.EndTime(5000);  // already ended
    histogram.Print();
    EXPECT_EQ(OnlyLine(), L"STATISTICS: rx: N=1, E=2, Min=2, Max=2(T), Unit=1/1000");
}

TEST_F(HistogramTest, InvalidSetupIsRefusedOnceAndLeavesItDisabled) {
    struct Case {
        int64_t in, out;
        int min, max;
    };
    const Case cases[] = {
        {0, 1000, 0, 50}, {-5, 1000, 0, 50}, {1000, 0, 0, 50}, {1000, -1, 0, 50},
        {1000, 1000, 7, 7}, {1000, 1000, 9, 3}, {1000, 1000, INT_MIN, 0}, {1000, 1000, 0, INT_MAX},
    };
    for (const Case& c : cases) {
        capture.Clear();
        Histogram h(L"bad");
        h.SetLog(capture.Log());
        // A good setup first: a refused one must not leave it half working.
        ASSERT_TRUE(h.Setup(HistogramMode::Duration, 1, 1000, 1000, 0, 10));
        EXPECT_FALSE(h.Setup(HistogramMode::Duration, 1, c.in, c.out, c.min, c.max));
        EXPECT_FALSE(h.IsSetUp());
        const auto refused = capture.Matching(L"Histogram \"bad\": setup refused");
        EXPECT_EQ(refused.size(), 1u) << c.in << " " << c.out << " " << c.min << ".." << c.max;
        h.IncCounter(L"x");
        h.BeginTime(1);
        h.EndTime(3);
        h.PrintReset();
        EXPECT_EQ(capture.Records().size(), 1u) << "records and prints nothing";
        EXPECT_EQ(h.GetStat()._totalCounter, 0u);
    }
    // Never set up: the same.
    capture.Clear();
    Histogram fresh(L"fresh");
    fresh.SetLog(capture.Log());
    fresh.BeginTime(1);
    fresh.EndTime(3);
    fresh.Print();
    EXPECT_TRUE(capture.Records().empty());
}

// ---------------------------------------------------------------- duration and value statistics

std::wstring WithoutTime(const std::wstring& text) {
    return MaskTimes(text, L" at ", L"dd:dd:dd", L" at T");
}

TEST(DurStatistic, BeginEndPairsGiveMinMaxAverageAndBusyRatio) {
    DurStatistic stat(L"send");
    stat.AddStep(100, 110);
    stat.AddStep(120, 150);
    const DurStatData data = stat.GetStatData(false);
    EXPECT_EQ(data.Steps, 2);
    EXPECT_EQ(data.MinDur, 10);
    EXPECT_EQ(data.MaxDur, 30);
    EXPECT_EQ(data.AvgDur, 20);
    EXPECT_DOUBLE_EQ(data.Ratio, 0.8);
    EXPECT_EQ(WithoutTime(stat.StatDataToString()), L"send: steps=2 max=30 at T avg=20 min=10 ratio=0.800000");
    EXPECT_EQ(stat.StatDataToString(), L"send: steps=0") << "reading as text starts a new period";
    EXPECT_TRUE(stat.IsEmpty());
}

TEST(DurStatistic, ZeroIsAnUnsetTime) {
    DurStatistic stat(L"z");
    stat.Begin(0);
    stat.End(10);
    EXPECT_TRUE(stat.IsEmpty());
    EXPECT_EQ(stat.GetStatData(false).MinDur, -1) << "a fresh snapshot";
}

TEST(DurStatistic, EndCallsAloneMeasureSpacingAcrossPeriods) {
    DurStatistic stat(L"tick");
    stat.End(100);  // only starts
    stat.End(110);
    stat.End(130);
    DurStatData data = stat.GetStatData(true);
    EXPECT_EQ(data.Steps, 2);
    EXPECT_EQ(data.MinDur, 10);
    EXPECT_EQ(data.MaxDur, 20);
    EXPECT_DOUBLE_EQ(data.Ratio, 1.0);
    // The next period goes on from the last End; its observed span starts there too, not at
    // the time origin.
    stat.End(150);
    stat.End(160);
    data = stat.GetStatData(true);
    EXPECT_EQ(data.Steps, 2);
    EXPECT_EQ(data.AvgDur, 15);
    EXPECT_DOUBLE_EQ(data.Ratio, 1.0);
}

TEST(DurStatistic, ScalesApplyToDurationsNotToTheRatio) {
    DurStatistic stat(L"scaled");
    stat.Init(10, 2.0);
    stat.AddStep(100, 110);
    stat.AddStep(120, 150);
    const DurStatData data = stat.GetStatData(false);
    EXPECT_EQ(data.MaxDur, 6);
    EXPECT_EQ(data.MinDur, 2);
    EXPECT_EQ(data.AvgDur, 4);
    EXPECT_DOUBLE_EQ(data.Ratio, 0.8);
}

TEST(DurStatistic, StreamAndLogOutputReadWithClearing) {
    DurStatistic stat(L"op");
    stat.AddStep(1, 4);
    std::wostringstream out;
    out << stat << L" " << 0.5;
    EXPECT_EQ(WithoutTime(out.str()), L"op: steps=1 max=3 at T avg=3 min=3 ratio=1.000000 0.5")
        << "the caller's stream formatting is left as it was";
    EXPECT_TRUE(stat.IsEmpty());

    LogCapture capture(DbgLevel::ErrorsOnly);  // written whatever the level
    stat.AddStep(10, 12);
    stat.Log(capture.Log());
    stat.Log(capture.Log());
    const auto records = capture.Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(WithoutTime(records[0]), L"op: steps=1 max=2 at T avg=2 min=2 ratio=1.000000");
    EXPECT_EQ(records[1], L"op: steps=0");
}

TEST(ValStatistic, TextUsesThePrecisionForEveryNumber) {
    ValStatistic<double> stat(L"level", 1.0, 2);
    stat.AddVal(1.5);
    stat.AddVal(2.25);
    EXPECT_EQ(WithoutTime(stat.StatDataToString()), L"level: steps=2 max=2.25 at T avg=1.88 min=1.50");
    EXPECT_EQ(stat.GetLogStr(), L"level: steps=0");
}

TEST(ValStatistic, LogScaleMultipliesMinMaxAndAverage) {
    ValStatistic<int> stat(L"bytes", 10.0, 0);
    for (int v : {7, 3, 5}) stat.AddVal(v);
    const ValStatData<int> data = stat.GetStatData(true);
    EXPECT_EQ(data.Steps, 3u);
    EXPECT_EQ(data.MinVal, 30);
    EXPECT_EQ(data.MaxVal, 70);
    EXPECT_DOUBLE_EQ(data.AvgVal, 50.0);
    EXPECT_TRUE(stat.IsEmpty());
    stat.AddVal(-2);
    EXPECT_EQ(stat.GetStatData(false).MinVal, -20) << "a new period starts from its first value";

    LogCapture capture(DbgLevel::ErrorsOnly);
    ValStatistic<unsigned long> count(L"n", 1.0, 0);
    count.AddVal(4);
    count.Log(capture.Log());
    ASSERT_EQ(capture.Records().size(), 1u);
    EXPECT_EQ(WithoutTime(capture.Records()[0]), L"n: steps=1 max=4 at T avg=4 min=4");
}

} // namespace
