// The process debug log. Any thread hands in a text record; the log stamps it with the local time
// and the calling thread's id, applies a per-minute rate limit and queues it; one writing thread
// appends the records to the current log file as UTF-8 lines ending in CR LF, cutting the file
// into size segments that each start with a header block. Besides records, the log answers
// per-topic stream switches ("log streams") and carries the verbosity level that DbgLogRecord
// filters against.
//
// Threads: every operation may be called from any thread. Callers only format and enqueue; the
// writing thread does the file I/O (in synchronous mode the caller writes, under the log's lock).
#pragma once

#include <atomic>
#include <condition_variable>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

// Named verbosity levels: a record of level n is written when the log's level is at least n.
namespace DbgLevel {
constexpr unsigned ErrorsOnly = 0;
constexpr unsigned ObjsThreads = 1;
constexpr unsigned ConnStatus = 2;
constexpr unsigned Statistics = 3;
constexpr unsigned ProcDetails = 4;
constexpr unsigned Everything = 5;
} // namespace DbgLevel

// Observer of written records: receives each record exactly as written (prefix and CR LF
// included), on the thread that writes it.
class IDebugLogSniffer {
public:
    virtual ~IDebugLogSniffer() = default;
    virtual void OnLogRecord(const std::wstring& record) = 0;
};

class IDebugLog;
using IDebugLogPtr = std::shared_ptr<IDebugLog>;

class IDebugLog {
public:
    enum LogStreamState : uint32_t { NotSet = 0, Disabled = 1, Enabled = 2 };

    // One entry of the settings file's stream list.
    struct LogStatesData {
        std::wstring Id;
        bool Enabled = false;
    };

    // Defaults, used when the settings file lacks a key and before settings are read.
    static constexpr uint64_t _DefLogSegmentSize = 1048576;
    static constexpr uint64_t _DefTotalBytesLimit = 31457280;
    static constexpr uint32_t _DefMaxDaysAlive = 30;
    static constexpr int32_t _DefLogLevel = 2;
    static constexpr bool _DefTimeLogging = true;
    static constexpr bool _DefThreadIdLogging = true;
    static constexpr bool _DefUseFilesFilter = true;
    static constexpr uint32_t _DefEntriesPerMin = 10000;
    static constexpr bool _DefWriteToDisk = true;
    static constexpr bool _DefStackDumpInDebug = false;
    static constexpr bool _DefSyncLog = false;
    static constexpr bool _DefPostLogFileReopen = true;

    // Explicit configuration for Create(parameters): no settings file is read.
    struct CreateParameters {
        std::wstring _LogFolderPath;
        std::wstring _LogName;
        uint64_t _LogSegmentSize = _DefLogSegmentSize;
        uint64_t _TotalBytesLimit = _DefTotalBytesLimit;
        uint32_t _MaxDaysKeepFile = _DefMaxDaysAlive;
        int32_t _LoggingLevel = _DefLogLevel;
        bool _TimeLogging = _DefTimeLogging;
        bool _ThreadIdLogging = _DefThreadIdLogging;
        bool _UseFilesFilter = _DefUseFilesFilter;
        uint32_t _EntriesPerMinute = _DefEntriesPerMin;
        bool _WriteToDisk = _DefWriteToDisk;
        bool _StackDumpInDebug = _DefStackDumpInDebug;
        std::function<void()> _OnLogFileOpenCb;
        std::function<std::wstring()> _InitialRecordCb;
        std::function<std::wstring()> _FinalRecordCb;
        bool _SyncLog = _DefSyncLog;
        bool _PostLogFileReopen = _DefPostLogFileReopen;
    };

    // The log configured from the settings file beside the running program; name is the log's
    // base name, empty for the program's file name.
    static IDebugLogPtr Create(const std::wstring& name);
    // The log configured from parameters, without a settings file; null parameters mean the
    // settings-file form with the program's file name (what the process environment uses).
    static IDebugLogPtr Create(const CreateParameters* parameters = nullptr);

    virtual ~IDebugLog() = default;

    // Line break to embed in one record; the text after it continues indented under the record.
    const std::wstring& GetNl() const { return NewLineString; }

    virtual int SetLogLevel(int level) = 0;  // returns the previous level
    virtual int GetLogLevel() = 0;
    virtual unsigned SetEntriesPerMinLimit(unsigned limit) = 0;  // 0 = no limit; returns the previous
    virtual unsigned GetEntriesPerMinLimit() = 0;

    // Stream switches: enabled only when listed and switched on.
    virtual bool IsLogEnabled(const std::wstring& id) { (void)id; return false; }
    virtual LogStreamState GetLogStreamState(const std::wstring& id) { (void)id; return NotSet; }
    // Returns the previous value (false when the id was not listed). Use before concurrent
    // lookups of the same log begin.
    virtual bool SetLogEnabled(const std::wstring& id, bool enabled) { (void)id; (void)enabled; return false; }
    virtual bool StackDumpInDebugEnabled() { return false; }

    virtual void LogRecord(const wchar_t* text) = 0;
    virtual void LogRecord(const wchar_t* text, size_t length) = 0;
    virtual void LogRecord(const std::wstring& text) = 0;
    virtual void LogRecord(const char* utf8) = 0;
    virtual void LogRecord(const char* utf8, size_t length) = 0;
    virtual void LogRecord(const std::string& utf8) = 0;
    // "ID=<id> SUB_ID=<subId> MSG=<msg>"
    virtual void LogRecord(const wchar_t* id, const wchar_t* subId, const wchar_t* msg) = 0;

    // The record followed by one record per frame of the calling thread's stack.
    virtual void LogBacktrace(const wchar_t* text) = 0;
    virtual void LogBacktrace(const wchar_t* text, size_t length) = 0;
    virtual void LogBacktrace(const std::wstring& text) = 0;
    virtual void LogBacktrace(const char* utf8) = 0;
    virtual void LogBacktrace(const char* utf8, size_t length) = 0;
    virtual void LogBacktrace(const std::string& utf8) = 0;

    // Written at once from the calling thread, bypassing queue, locks, rate limit and sniffer:
    // for signal handlers and crash paths.
    virtual void LogRecordDirect(const char* utf8) = 0;
    virtual void LogRecordDirect(const char* utf8, size_t length) = 0;

    // Installs (null removes) the observer of written records; not owned.
    virtual void SetSniffer(IDebugLogSniffer* sniffer) = 0;
    // Called each time a log file has been opened, in registration order.
    virtual void AddLogOpenCallback(std::function<void()> callback) { (void)callback; }
    // Requests a new file; returns the path of the current one.
    virtual std::wstring ProceedToWriteNextLogFile() { return std::wstring(); }
    // Path of the open file, empty when none.
    virtual std::wstring GetCurrentLogFilePath() { return std::wstring(); }
    // Blocks until every record accepted before the call has been written, or timeout passes;
    // true when written. The process log is flushed this way when the process exits.
    virtual bool Flush(std::chrono::milliseconds timeout) { (void)timeout; return true; }
    // True while a retention pass over the log folder is queued or running on the worker pool.
    virtual bool IsRetentionPassActive() { return false; }

protected:
    std::wstring NewLineString = L"\r\n";
};

// Writes text when log is set and its level is at least level. Text is any LogRecord form.
template <class Text>
inline void DbgLogRecord(const IDebugLogPtr& log, unsigned level, const Text& text) {
    if (log && log->GetLogLevel() >= static_cast<int>(level)) log->LogRecord(text);
}

// A log pointer with an id and sub-id, for components that tag every record.
struct DebugLogHelper {
    IDebugLogPtr DbgLog;
    std::wstring Id;
    std::wstring SubId;

    DebugLogHelper(IDebugLogPtr log, const wchar_t* id, const wchar_t* subId = nullptr)
        : DbgLog(std::move(log)), Id(id ? id : L""), SubId(subId ? subId : L"") {}

    void LogRecord(const wchar_t* msg) const {
        if (DbgLog) DbgLog->LogRecord(Id.c_str(), SubId.c_str(), msg);
    }
    void LogSubId(const wchar_t* subId, const wchar_t* msg) const {
        if (DbgLog) DbgLog->LogRecord(Id.c_str(), subId, msg);
    }
    const IDebugLogPtr& GetLog() const { return DbgLog; }
    void Release() { DbgLog.reset(); }
};

// The log itself. Threading model:
// - Callers format a record (prefix and UTF-8 text) on their own thread, outside any lock, and
//   append it to the pending buffer under _mutex; nothing else happens under that lock.
// - One writing thread takes the whole pending buffer at a time and writes it outside the lock,
//   cutting segments at record boundaries; the sniffer is called per record, in order.
// - In synchronous mode (or when the writing thread cannot be started) the caller writes under
//   _syncMutex instead; the writing thread does not exist.
// - Nothing accepted is dropped: the per-minute limit is the only drop, and destruction drains the
//   pending buffer into the file before closing it.
// - After each file open a retention pass deletes this log's oldest files on a pool thread, one
//   pass at a time; destruction stops a running pass and waits for it.
class CDebugLog final : public IDebugLog {
public:
    // Configured from the settings file beside the running program (name empty: the program's
    // file name).
    explicit CDebugLog(const std::wstring& name);
    // As the name form, with programFolder in place of the running program's folder: the
    // settings file is looked for (and created) there. Lets tests use a scratch folder.
    CDebugLog(const std::wstring& name, const std::wstring& programFolder);
    // Configured from parameters; no settings file is read.
    explicit CDebugLog(const CreateParameters& parameters);
    ~CDebugLog() override;
    CDebugLog(const CDebugLog&) = delete;
    CDebugLog& operator=(const CDebugLog&) = delete;

    int SetLogLevel(int level) override;
    int GetLogLevel() override;
    unsigned SetEntriesPerMinLimit(unsigned limit) override;
    unsigned GetEntriesPerMinLimit() override;

    bool IsLogEnabled(const std::wstring& id) override;
    LogStreamState GetLogStreamState(const std::wstring& id) override;
    bool SetLogEnabled(const std::wstring& id, bool enabled) override;
    bool StackDumpInDebugEnabled() override;

    void LogRecord(const wchar_t* text) override;
    void LogRecord(const wchar_t* text, size_t length) override;
    void LogRecord(const std::wstring& text) override;
    void LogRecord(const char* utf8) override;
    void LogRecord(const char* utf8, size_t length) override;
    void LogRecord(const std::string& utf8) override;
    void LogRecord(const wchar_t* id, const wchar_t* subId, const wchar_t* msg) override;

    void LogBacktrace(const wchar_t* text) override;
    void LogBacktrace(const wchar_t* text, size_t length) override;
    void LogBacktrace(const std::wstring& text) override;
    void LogBacktrace(const char* utf8) override;
    void LogBacktrace(const char* utf8, size_t length) override;
    void LogBacktrace(const std::string& utf8) override;

    void LogRecordDirect(const char* utf8) override;
    void LogRecordDirect(const char* utf8, size_t length) override;

    void SetSniffer(IDebugLogSniffer* sniffer) override;
    void AddLogOpenCallback(std::function<void()> callback) override;
    bool Flush(std::chrono::milliseconds timeout) override;
    std::wstring ProceedToWriteNextLogFile() override;
    std::wstring GetCurrentLogFilePath() override;

    // The wall-clock minute number (seconds since the epoch / 60) that paces the rate limit;
    // null restores the system clock. Lets a test step through minutes without waiting. The
    // current minute starts a fresh count.
    using MinuteClock = uint64_t (*)();
    void SetMinuteClock(MinuteClock clock);

    // The folder the log files go to (no trailing slash; empty: the current directory).
    const std::wstring& GetLogFolder() const { return _folder; }
    // Runs one retention pass on the calling thread, as the log does after each file open. For
    // tests of a log that writes no files (and so starts no passes of its own).
    void RunRetentionPass();
    bool IsRetentionPassActive() override { return _cleanerActive.load(std::memory_order_acquire); }

private:
    class RecordBuilder;

    void _InitDefaults();
    void _Start();
    // Reads the settings file beside the program (folder, limits, switches, streams), writing
    // the default file when there is none. Without a readable file every value keeps its default
    // and the folder stays empty (current directory).
    void _ReadLogSettings();
    void _CreateDefaultSettingsFile(const std::wstring& path);
    static std::wstring _GetDefaultLogFolderLocation();
    // Queues a retention pass to the worker pool unless one is queued or running.
    void _StartCleaner();
    void _FileCleanupPass();  // runs on a pool thread
    void _DeleteOldFiles();   // the pass itself; stops early when _blockCleaner is set
    // Completes _folder: empty or "." is the program's folder, a relative one lies below it.
    void _CheckAndMakeFolderName();

    uint64_t _CurrentMinute(int64_t epochSeconds) const;
    void _Accept(const RecordBuilder& record, bool rateLimited);
    void _AcceptBacktrace(RecordBuilder& record);  // appends the frames, then accepts
    bool _FirstQuery(const std::wstring& id);

    void _WritingThreadBody();  // runs on the writing thread
    // The file side; on the writing thread, or under _syncMutex in synchronous mode.
    void _WriteRecords(const char* data, const uint32_t* lengths, size_t count);
    void _WriteInternalRecord(std::wstring_view text);
    void _WriteBytes(const char* data, size_t size);
    void _Sniff(const char* data, const uint32_t* lengths, size_t count);
    void _CheckSizeAndReopenLog(bool requested);
    void _OpenLog();
    void _CloseLog();
    std::wstring _ComposeFileName();

    std::mutex _snifferMutex;
    IDebugLogSniffer* _sniffer = nullptr;         // guarded by _snifferMutex; not owned
    std::atomic<bool> _hasSniffer{false};         // lets the writer skip the lock when none is set

    std::mutex _mutex;
    std::condition_variable _cvQueueEmpty;        // wakes the writing thread
    // Guarded by _mutex: records waiting to be written, back to back, and their byte lengths.
    std::string _queueBytes;
    std::vector<uint32_t> _queueLengths;
    bool _writerWaiting = false;                  // guarded by _mutex: notify only when set
    uint64_t _acceptedBatches = 0;                // guarded by _mutex: queue appends so far
    uint64_t _writtenBatches = 0;                 // guarded by _mutex: appends written so far
    std::condition_variable _cvWritten;           // signalled when _writtenBatches grows
    bool _reqStopWrtThre = false;                 // guarded by _mutex
    bool _nextFileRequest = false;                // guarded by _mutex
    size_t _nextFileCut = 0;                      // guarded by _mutex: records before the request
    std::wstring _path;                           // guarded by _mutex
    uint64_t _nextTimeToCancelLim = 0;            // guarded by _mutex
    uint32_t _countTimLimLogEntries = 0;          // guarded by _mutex
    uint32_t _entriesPerMin = _DefEntriesPerMin;  // guarded by _mutex
    std::atomic<MinuteClock> _minuteClock{nullptr};

    std::thread _writingThread;
    std::recursive_mutex _syncMutex;              // synchronous mode: serialises the file side

    // The file side (see _WriteRecords). _file and _curlogsize are atomic for LogRecordDirect.
    std::atomic<int> _file{-1};
    std::atomic<uint64_t> _curlogsize{0};
    bool _withinreop = false;
    int64_t _lastOpenMs = 0;                      // opening moment of the last file, ms since the epoch

    // Set from the moment a pass is queued until it has finished with this object; destruction
    // waits for it, so a queued pass never runs on a destroyed log.
    std::atomic<bool> _cleanerActive{false};
    std::atomic<bool> _blockCleaner{false};       // shutting down: no new passes, running ones stop
    std::atomic<uint64_t> _cleanerRequests{0};    // file opens so far; a pass repeats when it grew

    // Configuration: set before the writing thread starts, constant afterwards unless noted.
    std::wstring _WorkingPath;
    std::wstring _folder;
    std::wstring _logname;
    bool _segmented = true;
    uint64_t _segmentBytes = _DefLogSegmentSize;
    uint64_t _maxStoredBytes = _DefTotalBytesLimit;
    uint32_t _maxDaysToStore = _DefMaxDaysAlive;
    std::atomic<int> _logLevel{_DefLogLevel};
    bool _timeLogging = _DefTimeLogging;
    bool _threadIdLogging = _DefThreadIdLogging;
    bool _useFilesFilter = _DefUseFilesFilter;
    bool _writeToDisk = _DefWriteToDisk;
    bool _stackDumpInDebug = _DefStackDumpInDebug;
    bool _syncLog = _DefSyncLog;
    bool _postLogFileReopen = _DefPostLogFileReopen;

    std::mutex _streamsMtx;                       // guards _logStates and _initializedIds
    std::map<std::wstring, bool> _logStates;
    std::set<std::wstring> _initializedIds;

    // Appended to by AddLogOpenCallback, called on the file side: guarded by _callbacksMtx.
    std::mutex _callbacksMtx;
    std::vector<std::function<void()>> _onLogOpenCallbacks;
    std::function<std::wstring()> _initialLogRecordCb;
    std::function<std::wstring()> _finalLogRecordCb;
};
