// Calendar values for log prefixes, log file names and ages, statistics stamps and the time
// texts of the control protocol: a broken-down date and time with millisecond resolution, its
// fixed-width texts, and day and millisecond counts from 1972-01-01.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string_view>

namespace DateTime {

// A point of wall time as the system reports file times.
struct TimeVal {
    int64_t Seconds = 0;       // since 1970-01-01 00:00:00 UTC; 64 bits to pass 2038
    uint32_t Nanoseconds = 0;  // 0..999999999
};

// Buffer sizes, terminator included, for the longest text of each formatter.
constexpr size_t DateTextSize = 11;              // YYYY-MM-DD
constexpr size_t TimeTextSize = 13;              // HH:MM:SS.mmm
constexpr size_t DateTimeTextSize = 24;          // YYYY-MM-DD HH:MM:SS.mmm
constexpr size_t CompactDateTimeTextSize = 16;   // YYYYMMDD-HHMMSS

// Day numbers count from 1972-01-01 (day 0) with a leap day every fourth year, which is the
// Gregorian calendar for 1901..2099. Fields are taken as they stand, without range checks;
// a month outside 1..12 rolls into the neighbouring years, a day beyond its month into the
// following months, so every value has a well-defined count.
class UnpackedValue {
public:
    UnpackedValue() = default;
    explicit UnpackedValue(const std::tm& tm);
    // The day of the week is computed from the date.
    UnpackedValue(uint16_t year, uint16_t month, uint16_t day, uint16_t hour = 0, uint16_t minute = 0,
                  uint16_t second = 0, uint16_t milliseconds = 0);

    uint16_t Year() const { return _Year; }
    uint16_t Month() const { return _Month; }            // 1..12
    uint16_t DayOfWeek() const { return _DayOfWeek; }    // 0 = Sunday
    uint16_t Day() const { return _Day; }                // 1..31
    uint16_t Hour() const { return _Hour; }
    uint16_t Minute() const { return _Minute; }
    uint16_t Second() const { return _Second; }
    uint16_t Milliseconds() const { return _Milliseconds; }

    // tm_isdst is -1 (not known): the value does not say whether summer time applied.
    std::tm GetAsStdTm() const;

    // The real-time clock as local time / UTC; if the clock or its conversion fails, every field
    // becomes 0.
    void SetCurrentLocalTime();
    void SetCurrentUtcTime();
    void SetFromTimeVal(const TimeVal& tv);  // as UTC

    // Fixed-width texts: year 4 digits, milliseconds 3, the other fields 2 (a field too large
    // for its width keeps its low digits, so the text length never changes). A separator 0
    // means none: FormatDate gives YYYYMMDD and FormatTime HHMMSS without milliseconds.
    // Each writes a terminated text into buf and returns the position of the terminator.
    char* FormatDate(char* buf, char d) const;
    wchar_t* FormatDate(wchar_t* buf, wchar_t d) const;
    char* FormatTime(char* buf, char d) const;
    wchar_t* FormatTime(wchar_t* buf, wchar_t d) const;
    // Date, sep (none when 0), time.
    char* FormatDateTime(char* buf, char dd, char td, char sep) const;
    wchar_t* FormatDateTime(wchar_t* buf, wchar_t dd, wchar_t td, wchar_t sep) const;
    char* FormatDateTimeCompact(char* buf) const;
    wchar_t* FormatDateTimeCompact(wchar_t* buf) const;

    // Parsers of the layouts above: YYYY d MM d DD, YYYYMMDD, HH d MM d SS.mmm (HHMMSS with
    // d = 0, milliseconds then 0) and date, space, time. Only the exact layout is accepted:
    // every digit position a decimal digit, every separator the given one; characters after the
    // layout are not looked at. On a mismatch they return false and change nothing. Numbers are
    // taken without range checks; the day of the week is left alone.
    bool SetDateFromString(std::string_view text, char d);
    bool SetDateFromString(std::wstring_view text, wchar_t d);
    bool SetDateFromCompactString(std::string_view text);
    bool SetDateFromCompactString(std::wstring_view text);
    bool SetTimeFromString(std::string_view text, char d);
    bool SetTimeFromString(std::wstring_view text, wchar_t d);
    bool SetDateTimeFromString(std::string_view text, char dd, char td);
    bool SetDateTimeFromString(std::wstring_view text, wchar_t dd, wchar_t td);

    int64_t GetDateAsInteger() const;
    // Sets year, month and day only.
    void SetDateFromInteger(int64_t days);

    // Elapsed units since 1972-01-01 00:00:00.000.
    int64_t GetTotalHoursAsInteger() const;
    int64_t GetTotalMinutesAsInteger() const;
    int64_t GetTotalSecondsAsInteger() const;
    int64_t GetTotalMillisecondsAsInteger() const;
    // Sets date and time of day; the day of the week is left alone.
    void SetTotalMillisecondsFromInteger(int64_t ms);

    // Chronological order; the day of the week takes no part.
    bool operator==(const UnpackedValue& other) const;
    std::strong_ordering operator<=>(const UnpackedValue& other) const;

private:
    uint16_t _Year = 0;
    uint16_t _Month = 0;
    uint16_t _DayOfWeek = 0;
    uint16_t _Day = 0;
    uint16_t _Hour = 0;
    uint16_t _Minute = 0;
    uint16_t _Second = 0;
    uint16_t _Milliseconds = 0;
};

} // namespace DateTime
