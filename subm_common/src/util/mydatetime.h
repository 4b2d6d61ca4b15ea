// Time points shown in text streams through a strftime-style format, optionally followed by
// milliseconds, e.g. the " at %T" of statistics lines:
//     out << DateTime::PutTime<wchar_t, false, false>(maxTime, L" at %T");
#pragma once

#include <time.h>

#include <chrono>
#include <ctime>
#include <cstdint>
#include <iomanip>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>

namespace DateTime {

// A calendar time with the format that shows it.
template <class Ch>
struct PutTmTime {
    std::tm _Tm{};
    const Ch* _Fmt = nullptr;             // null: the object prints nothing
    std::optional<uint16_t> _Ms;          // appended as ".mmm" when present

    std::basic_string<Ch> ToString() const {
        std::basic_ostringstream<Ch> out;
        out << *this;
        return out.str();
    }
};

template <class Ch>
std::basic_ostream<Ch>& operator<<(std::basic_ostream<Ch>& out, const PutTmTime<Ch>& t) {
    if (!t._Fmt) return out;
    out << std::put_time(&t._Tm, t._Fmt);
    if (t._Ms) {
        const unsigned ms = *t._Ms % 1000;
        const Ch text[] = {Ch('.'), Ch('0' + ms / 100), Ch('0' + ms / 10 % 10), Ch('0' + ms % 10), Ch(0)};
        out << text;
    }
    return out;
}

// WithMs appends the milliseconds of the time point; Utc shows a system-clock time point in UTC
// instead of local time. The format must outlive the object.
template <class Ch, bool WithMs, bool Utc>
class PutTime : public PutTmTime<Ch> {
public:
    // The zero time point stands for "never set" and prints nothing.
    PutTime(std::chrono::system_clock::time_point tp, const Ch* fmt) {
        if (tp.time_since_epoch().count() == 0) return;
        Set(tp.time_since_epoch(), fmt, Utc);
    }

    // An interval of the steady clock, shown as UTC calendar time so that the format shows
    // elapsed hours, minutes and seconds.
    PutTime(std::chrono::steady_clock::time_point tp, const Ch* fmt) { Set(tp.time_since_epoch(), fmt, true); }

private:
    template <class Duration>
    void Set(Duration since, const Ch* fmt, bool utc) {
        using namespace std::chrono;
        // Floor, so that a time before the zero point still has milliseconds in 0..999.
        const auto secs = floor<seconds>(since);
        const time_t t = static_cast<time_t>(secs.count());
        if ((utc ? gmtime_r(&t, &this->_Tm) : localtime_r(&t, &this->_Tm)) == nullptr) return;
        this->_Fmt = fmt;
        if (WithMs) this->_Ms = static_cast<uint16_t>(duration_cast<milliseconds>(since - secs).count());
    }
};

} // namespace DateTime
