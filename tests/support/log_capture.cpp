#include "support/log_capture.h"

namespace test_support {

namespace {

IDebugLogPtr MakeQuietLog(int level) {
    IDebugLog::CreateParameters parameters;
    parameters._LogName = L"log_capture";
    parameters._LoggingLevel = level;
    parameters._TimeLogging = false;
    parameters._ThreadIdLogging = false;
    parameters._WriteToDisk = false;
    parameters._EntriesPerMinute = 0;
    parameters._SyncLog = true;
    return IDebugLog::Create(&parameters);
}

size_t CountMatching(const std::vector<std::wstring>& records, std::wstring_view part) {
    size_t n = 0;
    for (const std::wstring& record : records)
        if (record.find(part) != std::wstring::npos) ++n;
    return n;
}

} // namespace

LogCapture::LogCapture(int level) : LogCapture(MakeQuietLog(level)) {}

LogCapture::LogCapture(IDebugLogPtr log) : _log(std::move(log)) {
    if (_log) _log->SetSniffer(this);
}

LogCapture::~LogCapture() {
    if (_log) _log->SetSniffer(nullptr);
}

void LogCapture::OnLogRecord(const std::wstring& record) {
    std::wstring text = record;
    if (text.size() >= 2 && text.compare(text.size() - 2, 2, L"\r\n") == 0) text.resize(text.size() - 2);
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _records.push_back(std::move(text));
    }
    _added.notify_all();
}

std::vector<std::wstring> LogCapture::Records() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _records;
}

std::vector<std::wstring> LogCapture::Matching(std::wstring_view part) const {
    std::vector<std::wstring> found;
    std::lock_guard<std::mutex> lock(_mutex);
    for (const std::wstring& record : _records)
        if (record.find(part) != std::wstring::npos) found.push_back(record);
    return found;
}

void LogCapture::Clear() {
    std::lock_guard<std::mutex> lock(_mutex);
    _records.clear();
}

bool LogCapture::WaitForMatching(std::wstring_view part, size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(_mutex);
    return _added.wait_for(lock, timeout, [&] { return CountMatching(_records, part) >= count; });
}

} // namespace test_support
