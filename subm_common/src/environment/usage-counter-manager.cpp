#include "environment/usage-counter-manager.h"

#include <ctime>
#include <new>
#include <system_error>

#include "diag/IEnvironment.h"
#include "util/StdStringFormat.h"
#include "util/utfconv.h"

namespace cmn {

namespace {

using Count = std::atomic<int64_t>;
static_assert(sizeof(Count) <= UsageCounterMemorySize && alignof(Count) <= UsageCounterMemorySize,
              "a count must fit the memory a counted class provides");

constexpr int64_t ReportPeriodSeconds = 10;
const wchar_t* const StatStream = L"UsageCounters-Stat";

} // namespace

UsageCounterManager::UsageCounterManager(Options options)
    : _Log(std::move(options.Log)),
      _NowSeconds(std::move(options.NowSeconds)),
      _WakeInterval(options.WakeInterval) {
    _LastPeriod = _Now() / ReportPeriodSeconds;
    _RunningFlag = true;
    if (!options.StartThread) return;
    try {
        _Thread = std::thread([this] { _ReportingLoop(); });
    } catch (const std::system_error&) {
        // Counting works without reports; there is nothing better to do without a thread.
        _RunningFlag = false;
    }
}

UsageCounterManager::~UsageCounterManager() {
    {
        std::lock_guard<std::mutex> lock(_Mutex);
        _RunningFlag = false;
    }
    _ExitCondition.notify_all();
    // Joined even when the thread has already ended on its own, or has not yet begun.
    if (_Thread.joinable()) _Thread.join();
}

int64_t UsageCounterManager::_Now() const {
    return _NowSeconds ? _NowSeconds() : static_cast<int64_t>(std::time(nullptr));
}

IDebugLogPtr UsageCounterManager::_GetLog() const {
    if (_Log) return _Log;
    return Environment()->DebugLog();
}

void UsageCounterManager::_ReportingLoop() {
    std::unique_lock<std::mutex> lock(_Mutex);
    while (_RunningFlag) {
        if (_ExitCondition.wait_for(lock, _WakeInterval, [this] { return !_RunningFlag; })) break;
        if (!_ReportLocked(_Now())) _RunningFlag = false;
    }
}

bool UsageCounterManager::ReportStep(int64_t nowSeconds) {
    std::lock_guard<std::mutex> lock(_Mutex);
    if (!_RunningFlag) return false;
    if (!_ReportLocked(nowSeconds)) _RunningFlag = false;
    return _RunningFlag;
}

bool UsageCounterManager::_ReportLocked(int64_t nowSeconds) {
    const int64_t period = nowSeconds / ReportPeriodSeconds;
    if (period == _LastPeriod) return true;
    _LastPeriod = period;

    std::vector<std::string> lines;
    for (const CounterDescriptor& counter : _Counters) {
        const int64_t value = counter.Ptr->load();
        if (value != 0)
            lines.push_back(string_format("STATISTICS: <> -- counter \"%s\" = %ld", counter.Name.c_str(),
                                          static_cast<long>(value)));
    }
    if (lines.empty()) return true;

    if (!_ReportLog) _ReportLog = _GetLog();
    if (!_ReportLog) return true;
    if (_ReportLog->GetLogStreamState(StatStream) == IDebugLog::Disabled) return false;
    _ReportLog->LogRecord("<> Usage counter statistics <> ");
    for (const std::string& line : lines) _ReportLog->LogRecord(line);
    return true;
}

bool UsageCounterManager::IsReporting() const {
    std::lock_guard<std::mutex> lock(_Mutex);
    return _RunningFlag;
}

void UsageCounterManager::RegisterCounter(const char* counter_name, void* counter_memory,
                                          std::atomic<size_t>& counter_index) {
    const std::string name = counter_name ? counter_name : "";
    const IDebugLogPtr log = _GetLog();
    if (!counter_memory ||
        (log && (log->GetLogStreamState(StatStream) == IDebugLog::Disabled ||
                 log->GetLogStreamState(L"counter." + text::UTF8_UTF16(name)) == IDebugLog::Disabled))) {
        counter_index = UsageCounterDisabled;
        return;
    }
    auto write = [&log](const std::string& line) {
        if (log) log->LogRecord(line);
    };

    std::lock_guard<std::mutex> lock(_Mutex);
    const size_t current = counter_index.load();
    if (current != UsageCounterNotRegistered) {
        if (current != UsageCounterDisabled && current - 1 < _Counters.size() && _Counters[current - 1].Name == name) {
            write(string_format("<> RegisterCounter: Usage counter exists \"%s\" [%zu] = %ld", name.c_str(), current,
                                static_cast<long>(_Counters[current - 1].Ptr->load())));
            return;
        }
        write(string_format("<> RegisterCounter: Invalid usage counter index or name mismatch \"%s\" [%zu]; reassign",
                            name.c_str(), current));
    }
    for (size_t i = 0; i < _Counters.size(); ++i) {
        if (_Counters[i].Name != name) continue;
        counter_index = i + 1;
        write(string_format("<> RegisterCounter: Duplicate usage counter \"%s\" [%zu] = %ld", name.c_str(), i + 1,
                            static_cast<long>(_Counters[i].Ptr->load())));
        return;
    }
    _Counters.push_back({name, new (counter_memory) Count(0)});
    counter_index = _Counters.size();
    write(string_format("<> RegisterCounter: Create usage counter \"%s\" [%zu] = %ld", name.c_str(), _Counters.size(),
                        0L));
}

void UsageCounterManager::_ChangeCounter(size_t counter_index, int64_t delta, const char* operation) {
    if (counter_index == UsageCounterNotRegistered || counter_index == UsageCounterDisabled) return;
    std::lock_guard<std::mutex> lock(_Mutex);
    if (counter_index - 1 < _Counters.size()) {
        _Counters[counter_index - 1].Ptr->fetch_add(delta);
        return;
    }
    if (const IDebugLogPtr log = _GetLog())
        log->LogRecord(string_format("<> %sCounter: Invalid usage counter index [%zu]; %s ignored", operation,
                                     counter_index - 1, delta > 0 ? "increment" : "decrement"));
}

void UsageCounterManager::IncrementCounter(size_t counter_index) { _ChangeCounter(counter_index, 1, "Increment"); }

void UsageCounterManager::DecrementCounter(size_t counter_index) { _ChangeCounter(counter_index, -1, "Decrement"); }

int64_t UsageCounterManager::GetCount(size_t counter_index) const {
    std::lock_guard<std::mutex> lock(_Mutex);
    if (counter_index == UsageCounterNotRegistered || counter_index - 1 >= _Counters.size()) return 0;
    return _Counters[counter_index - 1].Ptr->load();
}

IUsageCounterManagerPtr CreateUsageCounterManager(IDebugLogPtr log) {
    UsageCounterManager::Options options;
    options.Log = std::move(log);
    return std::make_shared<UsageCounterManager>(std::move(options));
}

} // namespace cmn
