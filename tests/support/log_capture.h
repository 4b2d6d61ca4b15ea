// Captures the records a debug log writes, for tests that assert log texts. Either a log of its
// own (from explicit parameters: no file, no settings file, synchronous, no time or thread
// prefix, so a record is exactly the text) or an existing log (the process log, say) observed
// through its sniffer.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "diag/debug_log.h"

namespace test_support {

class LogCapture final : public IDebugLogSniffer {
public:
    // A log of its own at the given level.
    explicit LogCapture(int level = IDebugLog::_DefLogLevel);
    // Observes log (its records keep their time and thread prefixes).
    explicit LogCapture(IDebugLogPtr log);
    // Removes itself from the log.
    ~LogCapture() override;
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    const IDebugLogPtr& Log() const { return _log; }

    // The records so far, without their CR LF, in the order written.
    std::vector<std::wstring> Records() const;
    // The records that contain part.
    std::vector<std::wstring> Matching(std::wstring_view part) const;
    void Clear();
    // Blocks until at least count records contain part, or the timeout passes (the timeout is
    // a safety net for a failing test, not a measurement); true when they arrived.
    bool WaitForMatching(std::wstring_view part, size_t count = 1,
                         std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

    void OnLogRecord(const std::wstring& record) override;

private:
    IDebugLogPtr _log;
    mutable std::mutex _mutex;
    mutable std::condition_variable _added;
    std::vector<std::wstring> _records;  // guarded by _mutex
};

} // namespace test_support
