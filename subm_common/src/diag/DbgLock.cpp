#include "diag/DbgLock.h"

#include "diag/IEnvironment.h"
#include "util/StdStringFormat.h"
#include "util/utfconv.h"

namespace DbgLockGuardImpl {

void Report(const wchar_t* lockId, const wchar_t* info, uint64_t beforeLock, uint64_t afterLock,
            uint64_t beforeUnlock, uint64_t afterUnlock, const char* function, const char* file, int line) {
    try {
        const IDebugLogPtr log = Environment()->DebugLog();
        if (!log) return;
        const auto ms = [](uint64_t ticks) { return static_cast<int>(hrt::GetMillisecsByClockTicks(ticks)); };
        std::wstring text = wstring_format(L"LOCK: %ls %ls: Total=%d Waiting=%d Owning=%d Release=%d", lockId,
                                           info ? info : L"", ms(afterUnlock - beforeLock), ms(afterLock - beforeLock),
                                           ms(beforeUnlock - afterLock), ms(afterUnlock - beforeUnlock));
        if (function && *function && file && *file && line > 0)
            text += wstring_format(L" Method=%ls File=%ls Line=%d", text::UTF8_UTF16(function).c_str(),
                                   text::UTF8_UTF16(file).c_str(), line);
        log->LogRecord(text);
    } catch (...) {
        // Called from a destructor: a failed report must not end the process.
    }
}

} // namespace DbgLockGuardImpl
