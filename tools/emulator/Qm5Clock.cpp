#include "Qm5Clock.h"

#include <string>

#include "ControlWire.h"

namespace emu::qm5 {

namespace {

constexpr std::string_view Layout = "dddd/dd/dd dd:dd:dd.ddd";

int Digits(std::string_view text, size_t at, size_t count) {
    int n = 0;
    for (size_t i = at; i < at + count; ++i) n = n * 10 + (text[i] - '0');
    return n;
}

std::optional<std::string> TextOf(const JSON::Value& object, const wchar_t* key) {
    const JSON::Value* v = object.Find(key);
    if (v == nullptr || v->Type() != JSON::typeString) return std::nullopt;
    return wire::Utf8(static_cast<std::wstring_view>(*v));
}

} // namespace

std::optional<std::chrono::sys_time<std::chrono::milliseconds>> ParseTimeText(std::string_view text) {
    using namespace std::chrono;
    if (text.size() != Layout.size()) return std::nullopt;
    for (size_t i = 0; i < Layout.size(); ++i) {
        const bool digit = text[i] >= '0' && text[i] <= '9';
        if (Layout[i] == 'd' ? !digit : text[i] != Layout[i]) return std::nullopt;
    }
    const year_month_day date{year{Digits(text, 0, 4)}, month{static_cast<unsigned>(Digits(text, 5, 2))},
                              day{static_cast<unsigned>(Digits(text, 8, 2))}};
    const int h = Digits(text, 11, 2), m = Digits(text, 14, 2), s = Digits(text, 17, 2);
    if (!date.ok() || h > 23 || m > 59 || s > 59) return std::nullopt;
    return sys_days(date) + hours(h) + minutes(m) + seconds(s) + milliseconds(Digits(text, 20, 3));
}

void CheckAnswer(const JSON::Value& curTime, std::chrono::system_clock::time_point now, EmulatorCounters::TimeCheck& check) {
    using namespace std::chrono;
    ++check.AnswersReceived;
    if (check.Waiting > 0) {
        --check.Waiting;
        ++check.AnsweredOnce;
    } else {
        ++check.ExtraAnswers;
    }
    const std::optional<std::string> td = TextOf(curTime, L"td"), utc = TextOf(curTime, L"utc");
    check.LastTd = td.value_or(std::string());
    check.LastUtc = utc.value_or(std::string());
    check.LastReceivedAt = now;
    const auto local = td ? ParseTimeText(*td) : std::nullopt;
    const auto universal = utc ? ParseTimeText(*utc) : std::nullopt;
    if (!local || !universal) {
        ++check.Malformed;
        return;
    }
    // Local time differs from UTC by whole quarter hours in every zone in use, so two texts of
    // one reading differ by exactly such a step and share seconds and milliseconds.
    const auto offset = *local - *universal;
    if (offset % minutes(15) != milliseconds(0) || abs(offset) > hours(14)) ++check.Inconsistent;
}

} // namespace emu::qm5
