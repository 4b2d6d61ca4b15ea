#include "util/DateTime.h"

#include <time.h>

#include <optional>
#include <tuple>
#include <utility>

namespace DateTime {

namespace {

constexpr int DaysBeforeMonth[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
constexpr int DaysInMonth[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
constexpr int64_t DaysPerBlock = 4 * 365 + 1;  // four years from a leap year on
constexpr int64_t MsPerDay = 24 * 60 * 60 * 1000;
constexpr int64_t Day0Weekday = 6;             // 1972-01-01 was a Saturday

// Floor division and its remainder, so that dates before 1972 count down consecutively.
int64_t FloorDiv(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }
int64_t FloorMod(int64_t a, int64_t b) { return a - FloorDiv(a, b) * b; }

int64_t DayNumber(int64_t year, int64_t month, int64_t day) {
    // Months outside 1..12 roll into neighbouring years rather than read outside the tables.
    const int64_t m0 = FloorMod(month - 1, 12);
    const int64_t y = year + FloorDiv(month - 1, 12) - 1972;
    int64_t days = FloorDiv(y, 4) * DaysPerBlock + FloorMod(y, 4) * 365 + DaysBeforeMonth[m0] + day;
    if (FloorMod(y, 4) == 0 && m0 < 2) --days;  // a leap year's 29 February comes later
    return days;
}

bool ToCalendar(int64_t seconds, bool utc, std::tm& out) {
    const time_t t = static_cast<time_t>(seconds);
    return (utc ? gmtime_r(&t, &out) : localtime_r(&t, &out)) != nullptr;
}

template <class Ch>
Ch* PutDigits(Ch* p, unsigned value, int width) {
    for (int i = width - 1; i >= 0; --i, value /= 10) p[i] = static_cast<Ch>('0' + value % 10);
    return p + width;
}

template <class Ch>
Ch* PutDate(Ch* p, const UnpackedValue& v, Ch d) {
    p = PutDigits(p, v.Year(), 4);
    if (d) *p++ = d;
    p = PutDigits(p, v.Month(), 2);
    if (d) *p++ = d;
    p = PutDigits(p, v.Day(), 2);
    *p = 0;
    return p;
}

template <class Ch>
Ch* PutTime(Ch* p, const UnpackedValue& v, Ch d) {
    p = PutDigits(p, v.Hour(), 2);
    if (d) *p++ = d;
    p = PutDigits(p, v.Minute(), 2);
    if (d) *p++ = d;
    p = PutDigits(p, v.Second(), 2);
    if (d) {
        *p++ = '.';
        p = PutDigits(p, v.Milliseconds(), 3);
    }
    *p = 0;
    return p;
}

template <class Ch>
Ch* PutDateTime(Ch* p, const UnpackedValue& v, Ch dd, Ch td, Ch sep) {
    p = PutDate(p, v, dd);
    if (sep) *p++ = sep;
    return PutTime(p, v, td);
}

// Reads a fixed layout from the front of a text; after the first mismatch it reads nothing more.
template <class Ch>
class Reader {
public:
    explicit Reader(std::basic_string_view<Ch> text, size_t pos = 0) : _Text(text), _Pos(pos) {}

    uint16_t Number(int width) {
        unsigned value = 0;
        for (int i = 0; i < width && _Ok; ++i, ++_Pos) {
            if (_Pos >= _Text.size() || _Text[_Pos] < Ch('0') || _Text[_Pos] > Ch('9'))
                _Ok = false;
            else
                value = value * 10 + static_cast<unsigned>(_Text[_Pos] - Ch('0'));
        }
        return static_cast<uint16_t>(value);
    }

    // A separator 0 stands for none.
    void Separator(Ch c) {
        if (c == 0 || !_Ok) return;
        if (_Pos >= _Text.size() || _Text[_Pos] != c)
            _Ok = false;
        else
            ++_Pos;
    }

    bool Ok() const { return _Ok; }

private:
    std::basic_string_view<Ch> _Text;
    size_t _Pos;
    bool _Ok = true;
};

struct DateFields {
    uint16_t Year, Month, Day;
};
struct TimeFields {
    uint16_t Hour, Minute, Second, Milliseconds;
};

template <class Ch>
DateFields ReadDate(Reader<Ch>& r, Ch d) {
    DateFields f;
    f.Year = r.Number(4);
    r.Separator(d);
    f.Month = r.Number(2);
    r.Separator(d);
    f.Day = r.Number(2);
    return f;
}

template <class Ch>
TimeFields ReadTime(Reader<Ch>& r, Ch d) {
    TimeFields f;
    f.Hour = r.Number(2);
    r.Separator(d);
    f.Minute = r.Number(2);
    r.Separator(d);
    f.Second = r.Number(2);
    f.Milliseconds = 0;
    if (d) {
        r.Separator(Ch('.'));
        f.Milliseconds = r.Number(3);
    }
    return f;
}

} // namespace

UnpackedValue::UnpackedValue(const std::tm& tm)
    : _Year(static_cast<uint16_t>(tm.tm_year + 1900)),
      _Month(static_cast<uint16_t>(tm.tm_mon + 1)),
      _DayOfWeek(static_cast<uint16_t>(tm.tm_wday)),
      _Day(static_cast<uint16_t>(tm.tm_mday)),
      _Hour(static_cast<uint16_t>(tm.tm_hour)),
      _Minute(static_cast<uint16_t>(tm.tm_min)),
      _Second(static_cast<uint16_t>(tm.tm_sec)) {}

UnpackedValue::UnpackedValue(uint16_t year, uint16_t month, uint16_t day, uint16_t hour, uint16_t minute,
                             uint16_t second, uint16_t milliseconds)
    : _Year(year), _Month(month), _Day(day), _Hour(hour), _Minute(minute), _Second(second),
      _Milliseconds(milliseconds) {
    _DayOfWeek = static_cast<uint16_t>(FloorMod(GetDateAsInteger() + Day0Weekday, 7));
}

std::tm UnpackedValue::GetAsStdTm() const {
    std::tm tm{};
    tm.tm_year = _Year - 1900;
    tm.tm_mon = _Month - 1;
    tm.tm_wday = _DayOfWeek;
    tm.tm_mday = _Day;
    tm.tm_hour = _Hour;
    tm.tm_min = _Minute;
    tm.tm_sec = _Second;
    tm.tm_yday = static_cast<int>(GetDateAsInteger() - DayNumber(_Year, 1, 1));
    tm.tm_isdst = -1;
    return tm;
}

void UnpackedValue::SetCurrentLocalTime() {
    timespec ts;
    std::tm tm;
    if (clock_gettime(CLOCK_REALTIME, &ts) != 0 || !ToCalendar(ts.tv_sec, false, tm)) {
        *this = UnpackedValue();
        return;
    }
    *this = UnpackedValue(tm);
    _Milliseconds = static_cast<uint16_t>(ts.tv_nsec / 1000000);
}

void UnpackedValue::SetCurrentUtcTime() {
    timespec ts;
    if (clock_gettime(CLOCK_REALTIME, &ts) != 0) {
        *this = UnpackedValue();
        return;
    }
    SetFromTimeVal(TimeVal{ts.tv_sec, static_cast<uint32_t>(ts.tv_nsec)});
}

void UnpackedValue::SetFromTimeVal(const TimeVal& tv) {
    std::tm tm;
    if (!ToCalendar(tv.Seconds, true, tm)) {
        *this = UnpackedValue();
        return;
    }
    *this = UnpackedValue(tm);
    _Milliseconds = static_cast<uint16_t>(tv.Nanoseconds / 1000000);
}

char* UnpackedValue::FormatDate(char* buf, char d) const { return PutDate(buf, *this, d); }
wchar_t* UnpackedValue::FormatDate(wchar_t* buf, wchar_t d) const { return PutDate(buf, *this, d); }
char* UnpackedValue::FormatTime(char* buf, char d) const { return PutTime(buf, *this, d); }
wchar_t* UnpackedValue::FormatTime(wchar_t* buf, wchar_t d) const { return PutTime(buf, *this, d); }

char* UnpackedValue::FormatDateTime(char* buf, char dd, char td, char sep) const {
    return PutDateTime(buf, *this, dd, td, sep);
}
wchar_t* UnpackedValue::FormatDateTime(wchar_t* buf, wchar_t dd, wchar_t td, wchar_t sep) const {
    return PutDateTime(buf, *this, dd, td, sep);
}
char* UnpackedValue::FormatDateTimeCompact(char* buf) const { return PutDateTime<char>(buf, *this, 0, 0, '-'); }
wchar_t* UnpackedValue::FormatDateTimeCompact(wchar_t* buf) const {
    return PutDateTime<wchar_t>(buf, *this, 0, 0, L'-');
}

namespace {

template <class Ch>
std::optional<DateFields> ParseDate(std::basic_string_view<Ch> text, Ch d) {
    Reader<Ch> r(text);
    const DateFields f = ReadDate(r, d);
    return r.Ok() ? std::optional(f) : std::nullopt;
}

template <class Ch>
std::optional<TimeFields> ParseTime(std::basic_string_view<Ch> text, Ch d) {
    Reader<Ch> r(text);
    const TimeFields f = ReadTime(r, d);
    return r.Ok() ? std::optional(f) : std::nullopt;
}

template <class Ch>
std::optional<std::pair<DateFields, TimeFields>> ParseDateTime(std::basic_string_view<Ch> text, Ch dd, Ch td) {
    Reader<Ch> r(text);
    const DateFields date = ReadDate(r, dd);
    r.Separator(Ch(' '));
    const TimeFields time = ReadTime(r, td);
    return r.Ok() ? std::optional(std::pair(date, time)) : std::nullopt;
}

void Assign(const DateFields& f, uint16_t& year, uint16_t& month, uint16_t& day) {
    std::tie(year, month, day) = std::tie(f.Year, f.Month, f.Day);
}

void Assign(const TimeFields& f, uint16_t& hour, uint16_t& minute, uint16_t& second, uint16_t& ms) {
    std::tie(hour, minute, second, ms) = std::tie(f.Hour, f.Minute, f.Second, f.Milliseconds);
}

} // namespace

bool UnpackedValue::SetDateFromString(std::string_view text, char d) {
    const auto f = ParseDate(text, d);
    if (f) Assign(*f, _Year, _Month, _Day);
    return f.has_value();
}

bool UnpackedValue::SetDateFromString(std::wstring_view text, wchar_t d) {
    const auto f = ParseDate(text, d);
    if (f) Assign(*f, _Year, _Month, _Day);
    return f.has_value();
}

bool UnpackedValue::SetDateFromCompactString(std::string_view text) { return SetDateFromString(text, '\0'); }
bool UnpackedValue::SetDateFromCompactString(std::wstring_view text) { return SetDateFromString(text, L'\0'); }

bool UnpackedValue::SetTimeFromString(std::string_view text, char d) {
    const auto f = ParseTime(text, d);
    if (f) Assign(*f, _Hour, _Minute, _Second, _Milliseconds);
    return f.has_value();
}

bool UnpackedValue::SetTimeFromString(std::wstring_view text, wchar_t d) {
    const auto f = ParseTime(text, d);
    if (f) Assign(*f, _Hour, _Minute, _Second, _Milliseconds);
    return f.has_value();
}

bool UnpackedValue::SetDateTimeFromString(std::string_view text, char dd, char td) {
    const auto f = ParseDateTime(text, dd, td);
    if (f) {
        Assign(f->first, _Year, _Month, _Day);
        Assign(f->second, _Hour, _Minute, _Second, _Milliseconds);
    }
    return f.has_value();
}

bool UnpackedValue::SetDateTimeFromString(std::wstring_view text, wchar_t dd, wchar_t td) {
    const auto f = ParseDateTime(text, dd, td);
    if (f) {
        Assign(f->first, _Year, _Month, _Day);
        Assign(f->second, _Hour, _Minute, _Second, _Milliseconds);
    }
    return f.has_value();
}

int64_t UnpackedValue::GetDateAsInteger() const { return DayNumber(_Year, _Month, _Day); }

void UnpackedValue::SetDateFromInteger(int64_t days) {
    const int64_t block = FloorDiv(days, DaysPerBlock);
    int64_t r = FloorMod(days, DaysPerBlock);
    if (r == 59) {  // 29 February of the block's leap year
        _Year = static_cast<uint16_t>(1972 + 4 * block);
        _Month = 2;
        _Day = 29;
        return;
    }
    if (r > 59) --r;
    _Year = static_cast<uint16_t>(1972 + 4 * block + r / 365);
    r %= 365;
    int month = 0;
    while (r >= DaysInMonth[month]) r -= DaysInMonth[month++];
    _Month = static_cast<uint16_t>(month + 1);
    _Day = static_cast<uint16_t>(r + 1);
}

int64_t UnpackedValue::GetTotalHoursAsInteger() const { return GetDateAsInteger() * 24 + _Hour; }
int64_t UnpackedValue::GetTotalMinutesAsInteger() const { return GetTotalHoursAsInteger() * 60 + _Minute; }
int64_t UnpackedValue::GetTotalSecondsAsInteger() const { return GetTotalMinutesAsInteger() * 60 + _Second; }
int64_t UnpackedValue::GetTotalMillisecondsAsInteger() const {
    return GetTotalSecondsAsInteger() * 1000 + _Milliseconds;
}

void UnpackedValue::SetTotalMillisecondsFromInteger(int64_t ms) {
    int64_t t = FloorMod(ms, MsPerDay);
    _Milliseconds = static_cast<uint16_t>(t % 1000);
    t /= 1000;
    _Second = static_cast<uint16_t>(t % 60);
    t /= 60;
    _Minute = static_cast<uint16_t>(t % 60);
    _Hour = static_cast<uint16_t>(t / 60);
    SetDateFromInteger(FloorDiv(ms, MsPerDay));
}

bool UnpackedValue::operator==(const UnpackedValue& other) const { return (*this <=> other) == 0; }

std::strong_ordering UnpackedValue::operator<=>(const UnpackedValue& other) const {
    return std::tie(_Year, _Month, _Day, _Hour, _Minute, _Second, _Milliseconds) <=>
           std::tie(other._Year, other._Month, other._Day, other._Hour, other._Minute, other._Second,
                    other._Milliseconds);
}

} // namespace DateTime
