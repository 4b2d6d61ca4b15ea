#include "diag/Statistics.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <ctime>
#include <iomanip>
#include <sstream>

#include "diag/IEnvironment.h"
#include "util/StdStringFormat.h"
#include "util/mydatetime.h"

namespace {

IDebugLogPtr LogOrProcessLog(const IDebugLogPtr& log) { return log ? log : Environment()->DebugLog(); }

// Restores a caller's stream formatting after fixed-point output.
class StreamFormatGuard {
public:
    explicit StreamFormatGuard(std::wostream& out) : _out(out), _flags(out.flags()), _precision(out.precision()) {}
    ~StreamFormatGuard() {
        _out.flags(_flags);
        _out.precision(_precision);
    }

private:
    std::wostream& _out;
    std::ios_base::fmtflags _flags;
    std::streamsize _precision;
};

using MaxTimeText = DateTime::PutTime<wchar_t, false, false>;  // nothing for an unset time

} // namespace

// ---------------------------------------------------------------- MinuteDetector

MinuteDetector::MinuteDetector(int minuteNum) { SetMinuteNum(minuteNum); }

void MinuteDetector::SetMinuteNum(int minuteNum) { _MinuteNum = minuteNum < 1 ? 1u : static_cast<uint32_t>(minuteNum); }

uint64_t MinuteDetector::_CurrentBlock() const {
    const int64_t seconds = _NowSeconds ? _NowSeconds() : static_cast<int64_t>(std::time(nullptr));
    const uint64_t minute = seconds > 0 ? static_cast<uint64_t>(seconds) / 60 : 0;
    return minute / _MinuteNum * _MinuteNum;
}

bool MinuteDetector::CheckMinue() {
    const uint64_t block = _CurrentBlock();
    if (block == _LastMinute) return false;
    const bool first = _LastMinute == 0;
    _LastMinute = block;
    return !first;
}

void MinuteDetector::ResetMinue() { _LastMinute = _CurrentBlock(); }

// ---------------------------------------------------------------- Histogram

Histogram::Histogram(const std::wstring& title) : _title(title) {}

bool Histogram::Setup(HistogramMode mode, int periodMinutes, int64_t inputUnitsPerSecond, int64_t outputUnitsPerSecond,
                      int outputMin, int outputMax) {
    // The under- and overflow bins widen the range by one on each side; that must stay an int.
    const bool valid = inputUnitsPerSecond > 0 && outputUnitsPerSecond > 0 && outputMin < outputMax &&
                       outputMin > INT_MIN && outputMax < INT_MAX;
    if (!valid) {
        _setUp = false;
        _counters.clear();
        _beginValue = 0;
        DbgLogRecord(LogOrProcessLog(_log), DbgLevel::ErrorsOnly,
                     wstring_format(L"Histogram \"%ls\": setup refused (input units per second %lld, output units per "
                                    L"second %lld, range %d..%d); the histogram records nothing",
                                    _title.c_str(), static_cast<long long>(inputUnitsPerSecond),
                                    static_cast<long long>(outputUnitsPerSecond), outputMin, outputMax));
        return false;
    }
    _mode = mode;
    _inputUnitsPerSecond = inputUnitsPerSecond;
    _outputUnitsPerSecond = outputUnitsPerSecond;
    _halfIUPS = inputUnitsPerSecond / 2;
    _outMin = outputMin - 1;
    _outMax = outputMax + 1;
    _counters.assign(static_cast<size_t>(static_cast<int64_t>(outputMax) - outputMin + 3), 0);
    MinDetector.SetMinuteNum(periodMinutes);
    _setUp = true;
    _Clear();
    _prevValues = _currentValues;
    return true;
}

void Histogram::_Clear() {
    std::fill(_counters.begin(), _counters.end(), 0);
    for (auto& entry : _generalCounters) entry.second.Value = 0;
    _beginValue = 0;
    _currentValues = Statistics();
    _currentValues._unit = static_cast<uint64_t>(_outputUnitsPerSecond);
    _currentValues._maxValTimeStamp.SetCurrentLocalTime();
}

void Histogram::BeginTime(int64_t t) {
    if (!_setUp) return;
    if (_beginValue != 0) EndTime(t);
    _beginValue = t;
}

void Histogram::EndTime(int64_t t) {
    // Without a start there is nothing to measure; t alone would count as a huge value.
    if (!_setUp || _beginValue == 0) return;
    const int64_t d = t - _beginValue;
    _beginValue = 0;
    int64_t scaled = d;
    if (static_cast<uint64_t>(_inputUnitsPerSecond) != _currentValues._unit) {
        // 128 bits: a long gap in nanoseconds times the output rate passes 64 bits.
        const __int128 product = static_cast<__int128>(d) * static_cast<__int128>(_currentValues._unit) + _halfIUPS;
        const __int128 quotient = product / _inputUnitsPerSecond;
        scaled = quotient > INT64_MAX ? INT64_MAX : quotient < INT64_MIN ? INT64_MIN : static_cast<int64_t>(quotient);
    }
    const int x = static_cast<int>(std::clamp<int64_t>(scaled, INT_MIN, INT_MAX));
    if (x > _currentValues._max) {
        _currentValues._max = x;
        _currentValues._maxValTimeStamp.SetCurrentLocalTime();
    }
    if (x < _currentValues._min) _currentValues._min = x;
    ++_counters[static_cast<size_t>(std::clamp(x, _outMin, _outMax) - _outMin)];
    ++_currentValues._totalCounter;
    CheckPrint();
}

void Histogram::SetCounter(const std::wstring& name, int value) {
    if (_setUp) _generalCounters[name].Value = value;
}

void Histogram::IncCounter(const std::wstring& name) {
    if (_setUp) ++_generalCounters[name].Value;
}

void Histogram::CheckPrint() {
    if (_setUp && MinDetector.CheckMinue()) PrintReset();
}

void Histogram::PrintReset() {
    if (!_setUp) return;
    // Calculated whether or not the level lets the line through, so that GetStat() always
    // holds the period just closed.
    _CalculateStatistics();
    Print();
    _Clear();
}

void Histogram::_CalculateStatistics() {
    uint64_t total = 0;
    double sum = 0;
    for (size_t i = 0; i < _counters.size(); ++i) {
        total += _counters[i];
        sum += static_cast<double>(_outMin + static_cast<int>(i)) * static_cast<double>(_counters[i]);
    }
    if (total == 0) return;
    const double n = static_cast<double>(total);
    const double expect = sum / n;
    double squares = 0;
    double deviations = 0;
    for (size_t i = 0; i < _counters.size(); ++i) {
        const double delta = static_cast<double>(_outMin + static_cast<int>(i)) - expect;
        squares += delta * delta * static_cast<double>(_counters[i]);
        deviations += std::fabs(delta) * static_cast<double>(_counters[i]);
    }
    _currentValues._expect = expect;
    _currentValues._stddev = std::sqrt(squares / n);
    _currentValues._jitter = deviations / n;
    _prevValues = _currentValues;
}

void Histogram::Print() {
    if (!_setUp || !EnablePrint) return;
    const IDebugLogPtr log = LogOrProcessLog(_log);
    if (!log || log->GetLogLevel() < static_cast<int>(DbgLevel::Statistics)) return;
    const uint64_t n = _currentValues._totalCounter;
    if (n == 0 && _generalCounters.empty()) return;

    std::wostringstream out;
    out << L"STATISTICS: " << _title << L":";
    for (const auto& [name, counter] : _generalCounters) out << L" " << name << L"=" << counter.Value;
    if (n != 0) {
        _CalculateStatistics();
        const Statistics& s = _currentValues;
        out << L" N=" << n << L", E=" << s._expect;
        if (_mode == HistogramMode::Frequency) out << L", J=" << s._jitter << L", S=" << s._stddev;
        wchar_t maxTime[DateTime::TimeTextSize];
        s._maxValTimeStamp.FormatTime(maxTime, L':');
        out << L", Min=" << s._min << L", Max=" << s._max << L"(" << maxTime << L")" << L", Unit=1/" << s._unit;
        if (EnablePrintHistogram) {
            out << L" Histogram: ";
            for (size_t i = 0; i < _counters.size(); ++i) {
                if (_counters[i] == 0) continue;
                const int bin = _outMin + static_cast<int>(i);
                if (bin == _outMin)
                    out << L" least:";
                else if (bin == _outMax)
                    out << L" greatest:";
                else
                    out << L" [" << bin << L"]:";
                out << 100.0 * static_cast<double>(_counters[i]) / static_cast<double>(n);
            }
        }
    }
    log->LogRecord(out.str());
}

// ---------------------------------------------------------------- DurStatData / DurStatistic

void DurStatData::ToStream(std::wostream& out) const {
    out << (Id ? *Id : std::wstring()) << L": steps=" << Steps;
    if (Steps == 0) return;
    StreamFormatGuard guard(out);
    out << L" max=" << MaxDur << MaxTimeText(MaxDurTime, L" at %T") << L" avg=" << AvgDur << L" min=" << MinDur
        << L" ratio=" << std::fixed << std::setprecision(6) << Ratio;
}

std::wstring DurStatData::ToString() const {
    std::wostringstream out;
    ToStream(out);
    return out.str();
}

void DurStatData::ToLog(const IDebugLogPtr& log) const {
    if (const IDebugLogPtr target = LogOrProcessLog(log)) target->LogRecord(ToString());
}

std::wostream& operator<<(std::wostream& out, const DurStatData& data) {
    data.ToStream(out);
    return out;
}

DurStatistic::DurStatistic(const std::wstring& id) {
    Id = std::make_shared<std::wstring>(id);
    Clear();
}

void DurStatistic::Init(int32_t logScale, double logScale2) {
    Clear();
    BeginTime = 0;
    LogScale = logScale;
    LogScale2 = logScale2;
}

void DurStatistic::Clear() {
    Steps = 0;
    MinDur = -1;
    MaxDur = 0;
    AvgDur = 0;
    Ratio = 0;
    MaxDurTime = std::chrono::system_clock::now();
    TotalDur = 0;
    EndTimeLast = 0;
    BeginTime1st = 0;
}

void DurStatistic::Begin(int64_t t) {
    BeginTime = t;
    if (BeginTime1st == 0) BeginTime1st = t;
}

void DurStatistic::End(int64_t t) {
    if (BeginTime != 0) {
        // After a Clear the start is kept but the observed span begins anew: it begins where
        // this step began, or the busy ratio would be taken over the time since the epoch.
        if (BeginTime1st == 0) BeginTime1st = BeginTime;
        ++Steps;
        const int64_t d = t - BeginTime;
        TotalDur += d;
        if (d > MaxDur) {
            MaxDur = d;
            MaxDurTime = std::chrono::system_clock::now();
            MaxDurTimeStamp.SetCurrentLocalTime();
        }
        if (MinDur < 0 || d < MinDur) MinDur = d;
    } else if (BeginTime1st == 0) {
        BeginTime1st = t;
    }
    BeginTime = t;
    EndTimeLast = t;
}

DurStatData DurStatistic::GetStatData(bool clear) {
    DurStatData data;
    data.Id = Id;
    if (Steps == 0) return data;
    data = *this;
    data.AvgDur = TotalDur / Steps;
    const int64_t span = EndTimeLast - BeginTime1st;
    data.Ratio = span != 0 ? static_cast<double>(TotalDur) / static_cast<double>(span) : 0.0;
    if (LogScale2 != 1.0) {
        data.MaxDur = static_cast<int64_t>(static_cast<double>(data.MaxDur) * LogScale2);
        data.MinDur = static_cast<int64_t>(static_cast<double>(data.MinDur) * LogScale2);
        data.AvgDur = static_cast<int64_t>(static_cast<double>(data.AvgDur) * LogScale2);
    }
    if (LogScale > 1) {
        data.MaxDur /= LogScale;
        data.MinDur /= LogScale;
        data.AvgDur /= LogScale;
    }
    if (clear) Clear();
    return data;
}

std::wstring DurStatistic::StatDataToString() { return GetStatData(true).ToString(); }

void DurStatistic::StatDataToStream(std::wostream& out) { GetStatData(true).ToStream(out); }

void DurStatistic::Log(const IDebugLogPtr& log) { GetStatData(true).ToLog(log); }

std::wostream& operator<<(std::wostream& out, DurStatistic& statistic) {
    statistic.StatDataToStream(out);
    return out;
}

// ---------------------------------------------------------------- ValStatistic

template <class T>
ValStatistic<T>::ValStatistic(const std::wstring& id, double logScale, int32_t precision) : LogScale(logScale) {
    Data.Id = std::make_shared<std::wstring>(id);
    Data.Precision = precision;
}

template <class T>
void ValStatistic<T>::AddVal(T value) {
    if (Data.Steps == 0) {
        TotalVal = value;
        Data.MinVal = value;
        Data.MaxVal = value;
        Data.MaxValTime = std::chrono::system_clock::now();
    } else {
        if (value < Data.MinVal) Data.MinVal = value;
        if (value > Data.MaxVal) {
            Data.MaxVal = value;
            Data.MaxValTime = std::chrono::system_clock::now();
        }
        TotalVal += value;
    }
    ++Data.Steps;
}

template <class T>
ValStatData<T> ValStatistic<T>::GetStatData(bool clear) {
    ValStatData<T> data;
    data.Id = Data.Id;
    data.Precision = Data.Precision;
    if (Data.Steps == 0) return data;
    data = Data;
    if (LogScale != 1.0) {
        data.MinVal = static_cast<T>(static_cast<double>(data.MinVal) * LogScale);
        data.MaxVal = static_cast<T>(static_cast<double>(data.MaxVal) * LogScale);
    }
    data.AvgVal = static_cast<double>(TotalVal) * LogScale / static_cast<double>(Data.Steps);
    if (clear) Clear();
    return data;
}

template <class T>
void ValStatistic<T>::StatDataToStream(std::wostream& out) {
    const ValStatData<T> data = GetStatData(true);
    out << (data.Id ? *data.Id : std::wstring()) << L": steps=" << data.Steps;
    if (data.Steps == 0) return;
    StreamFormatGuard guard(out);
    out << std::fixed << std::setprecision(std::max(0, data.Precision)) << L" max=" << data.MaxVal
        << MaxTimeText(data.MaxValTime, L" at %T") << L" avg=" << data.AvgVal << L" min=" << data.MinVal;
}

template <class T>
std::wstring ValStatistic<T>::StatDataToString() {
    std::wostringstream out;
    StatDataToStream(out);
    return out.str();
}

template <class T>
void ValStatistic<T>::Log(const IDebugLogPtr& log) {
    if (const IDebugLogPtr target = LogOrProcessLog(log)) target->LogRecord(StatDataToString());
}

template <class T>
void ValStatistic<T>::Clear() {
    Data.Steps = 0;
    Data.AvgVal = 0;
    Data.MinVal = T{};
    Data.MaxVal = T{};
    Data.MaxValTime = {};
    TotalVal = T{};
}

template class ValStatistic<double>;
template class ValStatistic<float>;
template class ValStatistic<int>;
template class ValStatistic<long>;
template class ValStatistic<unsigned int>;
template class ValStatistic<unsigned long>;
