// Collects the reasons the library gives for its failures. The public interface answers only
// true or false; the reason goes to the process debug log as an error record, which this
// observer picks out of the log so that the tool can tell the user what went wrong.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "diag/debug_log.h"

namespace cli {

class ErrorCapture final : public IDebugLogSniffer {
public:
    // Observes the process log (when there is one) until destroyed.
    ErrorCapture();
    ~ErrorCapture() override;
    ErrorCapture(const ErrorCapture&) = delete;
    ErrorCapture& operator=(const ErrorCapture&) = delete;

    // The error texts written since the last call, oldest first, each once (UTF-8). Waits for
    // the log to write what it has queued.
    std::vector<std::string> Take();
    // Take() joined with "; ", or fallback when the library said nothing.
    std::string TakeText(const std::string& fallback);
    // The file the process log writes to, empty when none.
    std::string LogFilePath();

    // Runs on the log's writing thread.
    void OnLogRecord(const std::wstring& record) override;

private:
    IDebugLogPtr _log;
    std::mutex _mutex;
    std::vector<std::string> _texts;  // guarded by _mutex
};

} // namespace cli
