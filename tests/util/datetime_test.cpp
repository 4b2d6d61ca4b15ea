// Calendar values: texts, parsing, day and millisecond counts, clock readings and PutTime.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <sstream>
#include <string>

#include "util/DateTime.h"
#include "util/mydatetime.h"

namespace {

using DateTime::UnpackedValue;

// Local time in a test follows the zone it sets, not the machine's.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* tz) {
        if (const char* old = std::getenv("TZ")) _Old = old;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~ScopedTimeZone() {
        if (_Old)
            setenv("TZ", _Old->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    std::optional<std::string> _Old;
};

std::string Fields(const UnpackedValue& v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%u-%u-%u %u:%u:%u.%u dow %u", v.Year(), v.Month(), v.Day(), v.Hour(),
                  v.Minute(), v.Second(), v.Milliseconds(), v.DayOfWeek());
    return buf;
}

const UnpackedValue Sample(2024, 1, 25, 14, 3, 9, 45);

TEST(UnpackedValue, FormatsFixedWidthNarrowAndWide) {
    struct Case {
        char dd, td, sep;
        const char* expected;
    } cases[] = {
        {'/', ':', ' ', "2024/01/25 14:03:09.045"},
        {'-', '_', ' ', "2024-01-25 14_03_09.045"},
        {0, 0, '-', "20240125-140309"},
        {'.', ':', 0, "2024.01.2514:03:09.045"},
    };
    for (const Case& c : cases) {
        char buf[DateTime::DateTimeTextSize];
        const char* end = Sample.FormatDateTime(buf, c.dd, c.td, c.sep);
        EXPECT_EQ(std::string(buf), c.expected);
        EXPECT_EQ(end, buf + std::string(c.expected).size());

        wchar_t wbuf[DateTime::DateTimeTextSize];
        Sample.FormatDateTime(wbuf, c.dd, c.td, c.sep);
        EXPECT_EQ(std::wstring(wbuf), std::wstring(c.expected, c.expected + std::string(c.expected).size()));
    }

    char buf[DateTime::CompactDateTimeTextSize];
    EXPECT_EQ(Sample.FormatDateTimeCompact(buf), buf + 15);
    EXPECT_STREQ(buf, "20240125-140309");
    wchar_t wbuf[DateTime::DateTimeTextSize];
    Sample.FormatDateTimeCompact(wbuf);
    EXPECT_STREQ(wbuf, L"20240125-140309");
    Sample.FormatDate(wbuf, 0);
    EXPECT_STREQ(wbuf, L"20240125");
    Sample.FormatTime(wbuf, L':');
    EXPECT_STREQ(wbuf, L"14:03:09.045");
}

// Fields too large for their width keep their low digits, so a text never outgrows its buffer.
TEST(UnpackedValue, OversizedFieldsKeepTheTextLength) {
    const UnpackedValue v(12345, 123, 99, 100, 61, 255, 1999);
    char buf[DateTime::DateTimeTextSize + 8];
    std::fill(std::begin(buf), std::end(buf), 'x');
    EXPECT_EQ(v.FormatDateTime(buf, '/', ':', ' '), buf + 23);
    EXPECT_STREQ(buf, "2345/23/99 00:61:55.999");
    EXPECT_EQ(buf[24], 'x');
}

TEST(UnpackedValue, ParsesExactLayoutsOnly) {
    struct Case {
        const char* text;
        bool ok;
        const char* fields;  // after parsing into a value that held Sample
    } dateCases[] = {
        {"2023-12-31", true, "2023-12-31 14:3:9.45 dow 4"},
        {"2024-13-45", true, "2024-13-45 14:3:9.45 dow 4"},  // no range check
        {"2023-12-31 and more", true, "2023-12-31 14:3:9.45 dow 4"},
        {"2023/12/31", false, nullptr},
        {"2023-12-3", false, nullptr},
        {"2023-1a-31", false, nullptr},
        {"", false, nullptr},
        {"20231231", false, nullptr},
    };
    for (const Case& c : dateCases) {
        UnpackedValue v = Sample;
        const std::string text(c.text);  // exact size, so a read beyond it is caught by ASan
        EXPECT_EQ(v.SetDateFromString(text, '-'), c.ok) << c.text;
        EXPECT_EQ(Fields(v), c.ok ? c.fields : Fields(Sample)) << c.text;
    }

    Case timeCases[] = {
        {"23:59:58.007", true, "2024-1-25 23:59:58.7 dow 4"},
        {"14:03:09,045", false, nullptr},
        {"14:03:09.04", false, nullptr},
        {"14-03-09.045", false, nullptr},
        {"99:99:99.999", true, "2024-1-25 99:99:99.999 dow 4"},
    };
    for (const Case& c : timeCases) {
        UnpackedValue v = Sample;
        const std::string text(c.text);
        EXPECT_EQ(v.SetTimeFromString(text, ':'), c.ok) << c.text;
        EXPECT_EQ(Fields(v), c.ok ? c.fields : Fields(Sample)) << c.text;
    }

    Case dateTimeCases[] = {
        {"2023/05/17 08:03:09.045", true, "2023-5-17 8:3:9.45 dow 4"},  // the day of the week stays
        {"2023/05/17T08:03:09.045", false, nullptr},
        {"2023/05/17 08:03:09.04x", false, nullptr},  // a bad time keeps the date unchanged too
        {"2023/05/17 08:03:09", false, nullptr},
    };
    for (const Case& c : dateTimeCases) {
        UnpackedValue v = Sample;
        const std::string text(c.text);
        EXPECT_EQ(v.SetDateTimeFromString(text, '/', ':'), c.ok) << c.text;
        EXPECT_EQ(Fields(v), c.ok ? c.fields : Fields(Sample)) << c.text;
    }

    UnpackedValue v;
    EXPECT_TRUE(v.SetDateFromCompactString(L"19991231"));
    EXPECT_FALSE(v.SetDateFromCompactString(L"1999-12-31"));
    EXPECT_TRUE(v.SetTimeFromString(L"235958", L'\0'));
    EXPECT_TRUE(v.SetDateTimeFromString(L"2000-02-29 12.30.00.500", L'-', L'.'));
    EXPECT_EQ(Fields(v), "2000-2-29 12:30:0.500 dow 0");
}

TEST(UnpackedValue, TextsReadBack) {
    UnpackedValue v;
    char buf[DateTime::DateTimeTextSize];
    Sample.FormatDateTime(buf, '/', ':', ' ');
    ASSERT_TRUE(v.SetDateTimeFromString(buf, '/', ':'));
    EXPECT_EQ(v, Sample);
    Sample.FormatDateTimeCompact(buf);
    ASSERT_TRUE(v.SetDateFromCompactString(buf));
    EXPECT_EQ(v.GetDateAsInteger(), Sample.GetDateAsInteger());
}

TEST(UnpackedValue, DayNumbersTable) {
    struct Case {
        uint16_t y, m, d;
        int64_t days;
    } cases[] = {
        {1972, 1, 1, 0},     {1972, 2, 29, 59},  {1972, 3, 1, 60},    {1972, 12, 31, 365},
        {1973, 1, 1, 366},   {1976, 1, 1, 1461}, {2024, 1, 25, 19017}, {2024, 2, 29, 19052},
        {1971, 12, 31, -1},  {1901, 1, 1, -25932}, {2099, 12, 31, 46751},
        // Out-of-range fields roll over instead of reading outside the month tables.
        {2024, 13, 1, 19359}, {2025, 1, 1, 19359}, {2024, 0, 31, 18992}, {2023, 12, 31, 18992},
        {2024, 1, 32, 19024}, {2024, 2, 1, 19024},  {2024, 3, 0, 19052},
    };
    for (const Case& c : cases) {
        const UnpackedValue v(c.y, c.m, c.d);
        EXPECT_EQ(v.GetDateAsInteger(), c.days) << c.y << "-" << c.m << "-" << c.d;
    }
    UnpackedValue v = Sample;
    v.SetDateFromInteger(59);
    EXPECT_EQ(Fields(v), "1972-2-29 14:3:9.45 dow 4");  // only the date changes
    // The default value (month 0, day 0) is the 0th of December of the year before year 0.
    EXPECT_EQ(UnpackedValue().GetDateAsInteger(), UnpackedValue(0, 1, 1).GetDateAsInteger() - 32);
}

// Every day of the range the count is meant for, against the C library's own calendar.
TEST(UnpackedValue, DayNumbersFollowTheCalendarFrom1901To2099) {
    constexpr int64_t Day0 = 63072000;  // 1972-01-01 in seconds since 1970
    for (int64_t n = -25932; n <= 46751; ++n) {  // 1901-01-01 .. 2099-12-31
        const time_t t = static_cast<time_t>(Day0 + n * 86400);
        std::tm tm;
        ASSERT_NE(gmtime_r(&t, &tm), nullptr);
        const UnpackedValue expected(tm);
        UnpackedValue v;
        v.SetDateFromInteger(n);
        ASSERT_EQ(v, expected) << n;
        ASSERT_EQ(v.GetDateAsInteger(), n);
        const UnpackedValue built(expected.Year(), expected.Month(), expected.Day());
        ASSERT_EQ(built.DayOfWeek(), tm.tm_wday) << n;
        ASSERT_EQ(built.GetAsStdTm().tm_yday, tm.tm_yday) << n;
    }
}

TEST(UnpackedValue, MillisecondCountsReadBack) {
    struct Case {
        int64_t ms;
        const char* fields;
    } cases[] = {
        {0, "1972-1-1 0:0:0.0"},
        {59LL * 86400000 + 86399999, "1972-2-29 23:59:59.999"},
        {126230400000, "1976-1-1 0:0:0.0"},
        {-1, "1971-12-31 23:59:59.999"},
        {(19017LL * 86400 + 14 * 3600 + 3 * 60 + 9) * 1000 + 45, "2024-1-25 14:3:9.45"},
    };
    for (const Case& c : cases) {
        UnpackedValue v;
        v.SetTotalMillisecondsFromInteger(c.ms);
        EXPECT_EQ(Fields(v), std::string(c.fields) + " dow 0") << c.ms;
        EXPECT_EQ(v.GetTotalMillisecondsAsInteger(), c.ms);
        EXPECT_EQ(v.GetTotalSecondsAsInteger(), c.ms >= 0 ? c.ms / 1000 : -1);
    }
    EXPECT_EQ(Sample.GetTotalHoursAsInteger(), 19017 * 24 + 14);
    EXPECT_EQ(Sample.GetTotalMinutesAsInteger(), (19017 * 24 + 14) * 60 + 3);
}

TEST(UnpackedValue, OrdersChronologicallyIgnoringTheWeekday) {
    const UnpackedValue later[] = {
        {2025, 1, 1}, {2024, 2, 1}, {2024, 1, 26}, {2024, 1, 25, 15}, {2024, 1, 25, 14, 4},
        {2024, 1, 25, 14, 3, 10}, {2024, 1, 25, 14, 3, 9, 46},
    };
    for (const UnpackedValue& l : later) {
        EXPECT_LT(Sample, l) << Fields(l);
        EXPECT_GT(l, Sample);
        EXPECT_NE(l, Sample);
        EXPECT_FALSE(l <= Sample);
    }
    std::tm tm = Sample.GetAsStdTm();
    tm.tm_wday = 0;
    UnpackedValue sunday(tm);
    sunday.SetTimeFromString("14:03:09.045", ':');
    EXPECT_EQ(sunday, Sample);
    EXPECT_LE(sunday, Sample);
    EXPECT_GE(sunday, Sample);
}

TEST(UnpackedValue, SetFromTimeValAsUtc) {
    struct Case {
        DateTime::TimeVal tv;
        const char* fields;
    } cases[] = {
        {{0, 0}, "1970-1-1 0:0:0.0 dow 4"},
        {{1706191389, 45999999}, "2024-1-25 14:3:9.45 dow 4"},
        {{4102444800, 0}, "2100-1-1 0:0:0.0 dow 5"},  // past 2038
        {{-1, 999000000}, "1969-12-31 23:59:59.999 dow 3"},
    };
    ScopedTimeZone tz("XST-5");  // must not matter
    for (const Case& c : cases) {
        UnpackedValue v;
        v.SetFromTimeVal(c.tv);
        EXPECT_EQ(Fields(v), c.fields) << c.tv.Seconds;
    }
}

TEST(UnpackedValue, StdTmReadsBack) {
    std::tm tm = Sample.GetAsStdTm();
    EXPECT_EQ(tm.tm_year, 124);
    EXPECT_EQ(tm.tm_mon, 0);
    EXPECT_EQ(tm.tm_yday, 24);
    EXPECT_EQ(timegm(&tm), 1706191389);
    UnpackedValue v(tm);
    EXPECT_EQ(Fields(v), "2024-1-25 14:3:9.0 dow 4");
}

// Local time is UTC shifted by the zone: two readings across a second boundary differ by one.
TEST(UnpackedValue, CurrentLocalTimeFollowsTheZone) {
    ScopedTimeZone tz("XST-5:30");
    UnpackedValue utc, local;
    utc.SetCurrentUtcTime();
    local.SetCurrentLocalTime();
    const int64_t diff = local.GetTotalSecondsAsInteger() - utc.GetTotalSecondsAsInteger();
    EXPECT_GE(diff, 5 * 3600 + 30 * 60);
    EXPECT_LE(diff, 5 * 3600 + 30 * 60 + 1);
    EXPECT_GE(utc.Year(), 2024);
    EXPECT_LT(utc.Milliseconds(), 1000);
    EXPECT_LT(local.Milliseconds(), 1000);
}

using namespace std::chrono;

TEST(PutTime, ZeroTimePointPrintsNothing) {
    const DateTime::PutTime<wchar_t, false, false> p(system_clock::time_point{}, L" at %T");
    EXPECT_EQ(p.ToString(), L"");
    std::wostringstream out;
    out << L"max 5 ms" << p << L".";
    EXPECT_EQ(out.str(), L"max 5 ms.");
}

TEST(PutTime, ShowsSystemTimeInUtcOrLocalTime) {
    ScopedTimeZone tz("XST-5");
    const system_clock::time_point tp = system_clock::time_point(seconds(1706191389)) + milliseconds(45);
    EXPECT_EQ((DateTime::PutTime<char, true, true>(tp, "%Y-%m-%d %H:%M:%S").ToString()), "2024-01-25 14:03:09.045");
    EXPECT_EQ((DateTime::PutTime<char, false, true>(tp, "%T").ToString()), "14:03:09");
    EXPECT_EQ((DateTime::PutTime<wchar_t, false, false>(tp, L" at %T").ToString()), L" at 19:03:09");
    EXPECT_EQ((DateTime::PutTime<wchar_t, true, false>(tp, L"%T").ToString()), L"19:03:09.045");
    const system_clock::time_point before = system_clock::time_point(-milliseconds(1));
    EXPECT_EQ((DateTime::PutTime<char, true, true>(before, "%F %T").ToString()), "1969-12-31 23:59:59.999");
}

TEST(PutTime, ShowsSteadyTimeAsElapsedTime) {
    ScopedTimeZone tz("XST-5");  // elapsed time takes no zone
    const steady_clock::time_point tp = steady_clock::time_point(hours(1) + minutes(2) + seconds(3) + milliseconds(4));
    EXPECT_EQ((DateTime::PutTime<char, true, false>(tp, "%T").ToString()), "01:02:03.004");
    std::ostringstream out;
    out << DateTime::PutTime<char, false, false>(steady_clock::time_point{}, "up %H:%M");
    EXPECT_EQ(out.str(), "up 00:00");
}

} // namespace
