#include "ErrorCapture.h"

#include <algorithm>
#include <chrono>

#include "diag/IEnvironment.h"
#include "Text.h"

namespace cli {

namespace {

// An error record reads "... ErrStr=<text> Method=<function> File=<file> Line=<n>"; the text may
// span lines.
std::wstring ErrorText(const std::wstring& record) {
    static const std::wstring Start = L" ErrStr=";
    static const std::wstring End = L" Method=";
    const size_t from = record.find(Start);
    if (from == std::wstring::npos) return {};
    size_t to = record.rfind(End);
    if (to == std::wstring::npos || to < from) to = record.size();
    std::wstring text = record.substr(from + Start.size(), to - from - Start.size());
    // Continuation lines of one record become one sentence.
    std::wstring out;
    bool pendingBreak = false;
    for (wchar_t c : text) {
        if (c == L'\r' || c == L'\n') {
            pendingBreak = true;
            continue;
        }
        if (pendingBreak) {
            if (c == L' ' || c == L'\t') continue;
            out += L"; ";
            pendingBreak = false;
        }
        out.push_back(c);
    }
    return out;
}

} // namespace

ErrorCapture::ErrorCapture() : _log(Environment()->DebugLog()) {
    if (_log) _log->SetSniffer(this);
}

ErrorCapture::~ErrorCapture() {
    if (_log) {
        _log->Flush(std::chrono::seconds(1));
        _log->SetSniffer(nullptr);
    }
}

void ErrorCapture::OnLogRecord(const std::wstring& record) {
    const std::wstring text = ErrorText(record);
    if (text.empty()) return;
    std::lock_guard<std::mutex> lock(_mutex);
    std::string utf8 = ToUtf8(text);
    if (std::find(_texts.begin(), _texts.end(), utf8) == _texts.end()) _texts.push_back(std::move(utf8));
}

std::vector<std::string> ErrorCapture::Take() {
    if (_log) _log->Flush(std::chrono::seconds(1));
    std::lock_guard<std::mutex> lock(_mutex);
    std::vector<std::string> out;
    out.swap(_texts);
    return out;
}

std::string ErrorCapture::TakeText(const std::string& fallback) {
    const std::vector<std::string> texts = Take();
    if (texts.empty()) return fallback;
    std::string out;
    for (const std::string& t : texts) {
        if (!out.empty()) out += "; ";
        out += t;
    }
    return out;
}

std::string ErrorCapture::LogFilePath() { return _log ? ToUtf8(_log->GetCurrentLogFilePath()) : std::string(); }

} // namespace cli
