#include "diag/DbgDuration.h"

#include "diag/IEnvironment.h"
#include "util/StdStringFormat.h"
#include "util/myhirestimer.h"

DbgDuration::DbgDuration(const wchar_t* logId) noexcept
    : TickStart(static_cast<int64_t>(hrt::GetClock())), LogId(logId ? logId : L"") {}

DbgDuration::~DbgDuration() {
    const int64_t elapsed = static_cast<int64_t>(hrt::GetClock()) - TickStart;
    if (elapsed < static_cast<int64_t>(hrt::GetClockTicksByMillisecs(PorogMs))) return;
    try {
        const auto ms = static_cast<long long>(hrt::GetMillisecsByClockTicks(static_cast<uint64_t>(elapsed)));
        DbgLogRecord(Environment()->DebugLog(), DbgLevel::ErrorsOnly, wstring_format(L"DURATION: %lld ms : %ls", ms, LogId));
    } catch (...) {
        // Nothing may leave a destructor.
    }
}

uint32_t DbgDuration::MulDiv(uint32_t mul1, uint32_t mul2, uint32_t div) noexcept {
    if (div == 0) return UINT32_MAX;
    const uint64_t q = static_cast<uint64_t>(mul1) * mul2 / div;
    return q > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(q);
}
