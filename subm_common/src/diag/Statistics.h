// Periodic performance statistics for the debug log: a detector of wall-clock minute blocks that
// paces periodic output, a detector of elapsed intervals, an interval histogram that prints its
// moments once per period, and duration and value accumulators read as text with clearing.
// Statistics lines begin "STATISTICS: ".
//
// Threads: nothing here is synchronised; each object belongs to one thread, or to the lock of
// its owner. Output goes to the process log unless a log is given (SetLog, the log parameters).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "diag/debug_log.h"
#include "util/DateTime.h"

// Fires once per block of MinuteNum wall-clock minutes (blocks aligned to the epoch), at the
// first check inside a new block. The very first check only remembers its block, so a detector
// first fires at the first block boundary after it is first checked.
class MinuteDetector {
public:
    explicit MinuteDetector(int minuteNum = 1);

    uint32_t GetMinuteNum() const { return _MinuteNum; }
    void SetMinuteNum(int minuteNum);  // values below 1 become 1
    bool CheckMinue();
    // Takes the current block as seen, without firing.
    void ResetMinue();
    // Seconds since the epoch; null restores the system clock. For tests of periodic output.
    void SetClock(std::function<int64_t()> nowSeconds) { _NowSeconds = std::move(nowSeconds); }

private:
    uint64_t _CurrentBlock() const;

    uint64_t _LastMinute = 0;  // first minute of the block last seen, 0 = none yet
    uint32_t _MinuteNum = 1;   // block length in minutes
    std::function<int64_t()> _NowSeconds;
};

// Fires when at least Interval has passed since it last fired or was reset. Units is a
// std::chrono duration (seconds, milliseconds); times are wall-clock times since the epoch.
template <class Units>
class TimeIntervalDetector {
public:
    // Not started: never fires until reset.
    TimeIntervalDetector() = default;
    // Started now.
    explicit TimeIntervalDetector(Units interval) : Interval(interval) { Reset(); }

    bool CheckTimeInterval() {
        if (LastValue.count() == 0) return false;
        const Units now = Now();
        if (now - LastValue < Interval) return false;
        LastValue = now;
        return true;
    }
    // Restart the interval now; the forms with an argument also set its length.
    void Reset() { LastValue = Now(); }
    void Reset(typename Units::rep count) { Reset(Units(count)); }
    void Reset(Units interval) {
        Interval = interval;
        Reset();
    }
    Units Now() const {
        if (_Now) return _Now();
        return std::chrono::duration_cast<Units>(std::chrono::system_clock::now().time_since_epoch());
    }
    // Null restores the system clock. For tests.
    void SetClock(std::function<Units()> now) { _Now = std::move(now); }

    Units Interval{0};
    Units LastValue{0};  // 0 = not started

private:
    std::function<Units()> _Now;
};

enum class HistogramMode : int {
    Frequency = 0,  // measures the spacing of successive events; prints jitter and deviation too
    Duration = 1,   // measures begin-end durations
};

// The moments of one histogram period.
struct Statistics {
    uint64_t _unit = 0;       // output units per second
    double _expect = 0;       // mean of the bin values
    double _jitter = 0;       // mean absolute deviation from the mean
    double _stddev = 0;
    double _min = 2147483647.0;   // smallest and largest measured value, beyond the bins' range too
    double _max = -2147483648.0;
    DateTime::UnpackedValue _maxValTimeStamp;  // local time when _max was last raised
    uint64_t _totalCounter = 0;   // number of measurements
};

// Measures event spacing or operation durations in bins of output units and prints the
// period's moments through the log once per MinDetector block (log level 3 or more).
class Histogram {
public:
    explicit Histogram(const std::wstring& title = std::wstring());

    void SetTitle(const std::wstring& title) { _title = title; }
    // Bins outputMin..outputMax plus an underflow and an overflow bin; a measurement t1 - t0 in
    // input units is rounded to output units. Needs positive rates and outputMin < outputMax:
    // otherwise the setup is refused with one log record and the histogram records and prints
    // nothing, as before its first setup. Returns whether the setup was taken.
    bool Setup(HistogramMode mode, int periodMinutes, int64_t inputUnitsPerSecond, int64_t outputUnitsPerSecond,
               int outputMin, int outputMax);
    bool IsSetUp() const { return _setUp; }

    // Ends a measurement in progress at t and starts one at t: called at each event alone, it
    // measures the spacing of the events.
    void BeginTime(int64_t t);
    // Records t minus the start; nothing when no measurement is in progress.
    void EndTime(int64_t t);
    void CancelTime() { _beginValue = 0; }

    // Named event counters printed with the statistics; names stay when a period is cleared.
    void SetCounter(const std::wstring& name, int value);
    void IncCounter(const std::wstring& name);

    // Prints and clears when MinDetector reports a new block.
    void CheckPrint();
    void Print();
    void PrintReset();
    // The moments of the last calculation.
    Statistics GetStat() const { return _prevValues; }

    // The log statistics go to; null (the default) means the process log.
    void SetLog(IDebugLogPtr log) { _log = std::move(log); }

    MinuteDetector MinDetector;        // print period
    bool EnablePrint = true;
    bool EnablePrintHistogram = false;  // add each non-empty bin's share to printed lines

private:
    struct Generalcounter {
        int Value = 0;
    };

    void _Clear();
    void _CalculateStatistics();

    std::wstring _title;
    std::vector<uint64_t> _counters;      // one per bin, _outMin.._outMax
    int64_t _inputUnitsPerSecond = 0;
    int64_t _outputUnitsPerSecond = 0;
    int _outMin = 0;                      // underflow bin: the configured minimum - 1
    int _outMax = 0;                      // overflow bin: the configured maximum + 1
    int64_t _halfIUPS = 0;                // half an input unit, for rounding
    int64_t _beginValue = 0;              // start of the measurement in progress, 0 = none
    Statistics _currentValues;
    Statistics _prevValues;
    std::map<std::wstring, Generalcounter> _generalCounters;
    HistogramMode _mode = HistogramMode::Frequency;
    bool _setUp = false;
    IDebugLogPtr _log;
};

// Snapshot of a duration statistic, in the caller's time units.
struct DurStatData {
    std::shared_ptr<std::wstring> Id;
    int32_t Steps = 0;
    int64_t MinDur = -1;
    int64_t MaxDur = 0;
    int64_t AvgDur = 0;
    double Ratio = 0;  // busy share of the observed time
    std::chrono::system_clock::time_point MaxDurTime{};  // when MaxDur was reached; zero = unset

    // "<id>: steps=N max=M at HH:MM:SS avg=A min=m ratio=0.000000", or "<id>: steps=0".
    void ToStream(std::wostream& out) const;
    std::wstring ToString() const;
    // One record of log (null: the process log), whatever its level.
    void ToLog(const IDebugLogPtr& log = nullptr) const;
};

std::wostream& operator<<(std::wostream& out, const DurStatData& data);

// Accumulates durations (Begin/End pairs, or the spacing of End calls alone) with minimum,
// maximum, average and busy ratio. A time value of 0 means unset. Reading it as text clears it.
class DurStatistic : public DurStatData {
public:
    explicit DurStatistic(const std::wstring& id = std::wstring());

    // Clears and forgets the measurement start; the scales apply to the durations of
    // snapshots: multiplied by logScale2 (when not 1), then divided by logScale (when above 1).
    void Init(int32_t logScale, double logScale2);
    void Clear();
    void Begin(int64_t t);
    void End(int64_t t);
    void AddStep(int64_t begin, int64_t end) {
        Begin(begin);
        End(end);
    }
    DurStatData GetStatData(bool clear);
    std::wstring StatDataToString();
    void StatDataToStream(std::wostream& out);
    void Log(const IDebugLogPtr& log = nullptr);
    bool IsEmpty() const { return Steps == 0; }

    int32_t LogScale = 1;
    double LogScale2 = 1.0;
    DateTime::UnpackedValue MaxDurTimeStamp;  // local time of the last new maximum
    int64_t TotalDur = 0;
    int64_t BeginTime = 0;
    int64_t BeginTime1st = 0;
    int64_t EndTimeLast = 0;
};

// Reads the statistic with clearing.
std::wostream& operator<<(std::wostream& out, DurStatistic& statistic);

// Snapshot of a value statistic.
template <class T>
struct ValStatData {
    std::shared_ptr<std::wstring> Id;
    uint64_t Steps = 0;
    double AvgVal = 0;
    T MinVal{};
    T MaxVal{};
    std::chrono::system_clock::time_point MaxValTime{};  // zero = unset
    int32_t Precision = 0;  // decimals in texts
};

// Accumulates values with minimum, maximum (and when it was reached) and average; values are
// scaled by LogScale in snapshots. Reading it as text clears it. Instantiated for double,
// float, int, long, unsigned int and unsigned long.
template <class T>
class ValStatistic {
public:
    explicit ValStatistic(const std::wstring& id = std::wstring(), double logScale = 1.0, int32_t precision = 0);

    void SetLogScale(double logScale) { LogScale = logScale; }
    double GetLogScale() const { return LogScale; }
    void SetPrecision(int32_t precision) { Data.Precision = precision; }
    int32_t GetPrecision() const { return Data.Precision; }

    void AddVal(T value);
    ValStatData<T> GetStatData(bool clear);
    // "<id>: steps=N max=M at HH:MM:SS avg=A min=m" with Precision decimals, or "<id>: steps=0".
    std::wstring StatDataToString();
    void StatDataToStream(std::wostream& out);
    std::wstring GetLogStr() { return StatDataToString(); }
    // One record of log (null: the process log), whatever its level.
    void Log(const IDebugLogPtr& log = nullptr);
    void Clear();
    bool IsEmpty() const { return Data.Steps == 0; }

    double LogScale = 1.0;
    T TotalVal{};
    ValStatData<T> Data;
};

extern template class ValStatistic<double>;
extern template class ValStatistic<float>;
extern template class ValStatistic<int>;
extern template class ValStatistic<long>;
extern template class ValStatistic<unsigned int>;
extern template class ValStatistic<unsigned long>;
