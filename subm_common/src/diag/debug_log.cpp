#include "diag/debug_log.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <dlfcn.h>
#include <execinfo.h>
#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cwchar>

#include "util/DateTime.h"
#include "util/buildinfo.h"
#include "util/mythread.h"
#include "util/utfconv.h"

namespace {

// Longest record prefix: "YYYY/MM/DD HH:MM:SS.mmm " and "XXXXXXXX ".
constexpr size_t MaxPrefixSize = 24 + 9;
// Records up to this size are formatted on the caller's stack, without allocating.
constexpr size_t StackRecordSize = 2048;
// After a burst the writer gives back buffers larger than this.
constexpr size_t KeepBufferCapacity = size_t{4} << 20;
constexpr size_t MaxBacktraceFrames = 256;
// How long the writer lets records gather after a write before it looks again: bounds how late a
// record reaches the file under load, and saves the callers a wake-up call per record.
constexpr std::chrono::milliseconds GatherTime{1};
constexpr size_t MaxParameterLine = 511;

constexpr std::string_view SuspendNotice =
    "*** Log writing process suspended, too many messages per minute ***";

// Per-thread prefix pieces: the local-time text changes once a second and the thread id never,
// so neither is recomputed per record. Plain data, so access needs no initialisation guard.
struct PrefixCache {
    int64_t Second;
    bool TimeValid;
    bool TidValid;
    char TimeText[20];  // "YYYY/MM/DD HH:MM:SS."
    char TidText[9];    // eight hex digits and a blank
};
thread_local PrefixCache t_prefix;

size_t WriteFully(int fd, const char* data, size_t size) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, size - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            break;
        }
    }
    return done;
}

// Puts a finished file on disk and closes it. Waiting for the disk would stall the writing thread
// for as long as the disk takes, while records pile up behind it, so a thread of its own does it;
// it needs nothing but the descriptor.
void SyncAndClose(int fd) {
    auto work = [fd] {
        ::fsync(fd);
        ::close(fd);
    };
    try {
        std::thread(work).detach();
    } catch (const std::exception&) {
        work();
    }
}

std::wstring ExecutablePath() {
    char buf[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return std::wstring();
    return text::UTF8_UTF16(std::string_view(buf, static_cast<size_t>(n)));
}

std::wstring FileNameOf(const std::wstring& path) {
    const size_t slash = path.rfind(L'/');
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

std::wstring ParentOf(const std::wstring& path) {
    const size_t slash = path.rfind(L'/');
    if (slash == std::wstring::npos) return std::wstring();
    return slash == 0 ? std::wstring(L"/") : path.substr(0, slash);
}

std::wstring LibraryFileName() {
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&LibraryFileName), &info) == 0 || info.dli_fname == nullptr) {
        return std::wstring();
    }
    return FileNameOf(text::UTF8_UTF16(info.dli_fname));
}

// Backslashes become slashes, repeated slashes and "." steps go, ".." steps remove their parent.
std::wstring NormalisePath(const std::wstring& path) {
    std::wstring in = path;
    for (auto& c : in) {
        if (c == L'\\') c = L'/';
    }
    const bool absolute = !in.empty() && in[0] == L'/';
    std::vector<std::wstring> parts;
    size_t pos = 0;
    while (pos <= in.size()) {
        size_t next = in.find(L'/', pos);
        if (next == std::wstring::npos) next = in.size();
        std::wstring part = in.substr(pos, next - pos);
        if (part == L"..") {
            if (!parts.empty() && parts.back() != L"..") {
                parts.pop_back();
            } else if (!absolute) {
                parts.push_back(part);
            }
        } else if (!part.empty() && part != L".") {
            parts.push_back(std::move(part));
        }
        pos = next + 1;
    }
    std::wstring out = absolute ? L"/" : L"";
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i) out += L'/';
        out += parts[i];
    }
    return out;
}

size_t TrimTrailingNuls(const wchar_t* text, size_t n) {
    while (n && text[n - 1] == L'\0') --n;
    return n;
}
size_t TrimTrailingNuls(const char* text, size_t n) {
    while (n && text[n - 1] == '\0') --n;
    return n;
}

// The length of the UTF-8 sequence that starts with lead, 0 for a byte that cannot start one.
size_t SequenceLength(unsigned char lead) {
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) return 2;
    if (lead >= 0xE0 && lead <= 0xEF) return 3;
    if (lead >= 0xF0 && lead <= 0xF4) return 4;
    return 0;
}

} // namespace

// One or more formatted records, UTF-8, back to back, with their lengths. The prefix of the first
// record is kept, so that follow-up records (the suspension notice, stack frames) carry the same
// time and thread id.
class CDebugLog::RecordBuilder {
public:
    RecordBuilder(bool timeLogging, bool threadIdLogging) {
        timespec ts{};
        ::clock_gettime(CLOCK_REALTIME, &ts);
        _epochSeconds = ts.tv_sec;
        if (timeLogging) {
            PrefixCache& c = t_prefix;
            if (!c.TimeValid || c.Second != ts.tv_sec) {
                std::tm tm{};
                const time_t t = ts.tv_sec;
                if (::localtime_r(&t, &tm) == nullptr) tm = std::tm{};
                char buf[DateTime::DateTimeTextSize];
                DateTime::UnpackedValue(tm).FormatDateTime(buf, '/', ':', ' ');
                std::memcpy(c.TimeText, buf, 19);
                c.TimeText[19] = '.';
                c.Second = ts.tv_sec;
                c.TimeValid = true;
            }
            std::memcpy(_prefix, c.TimeText, 20);
            const unsigned ms = static_cast<unsigned>(ts.tv_nsec / 1000000);
            _prefix[20] = static_cast<char>('0' + ms / 100);
            _prefix[21] = static_cast<char>('0' + ms / 10 % 10);
            _prefix[22] = static_cast<char>('0' + ms % 10);
            _prefix[23] = ' ';
            _prefixSize = 24;
        }
        if (threadIdLogging) {
            PrefixCache& c = t_prefix;
            if (!c.TidValid) {
                static const char digits[] = "0123456789ABCDEF";
                uint32_t id = os::MyThread::GetCurId();
                for (int i = 7; i >= 0; --i, id >>= 4) c.TidText[i] = digits[id & 0xF];
                c.TidText[8] = ' ';
                c.TidValid = true;
            }
            std::memcpy(_prefix + _prefixSize, c.TidText, 9);
            _prefixSize += 9;
        }
    }
    RecordBuilder(const RecordBuilder&) = delete;
    RecordBuilder& operator=(const RecordBuilder&) = delete;

    int64_t EpochSeconds() const { return _epochSeconds; }
    std::string_view Prefix() const { return std::string_view(_prefix, _prefixSize); }
    const char* Data() const { return _buf; }
    size_t Size() const { return _size; }
    size_t Count() const { return _count; }
    const uint32_t* Lengths() const { return _count <= 1 ? &_single : _many.data(); }

    void BeginRecord() {
        _recordStart = _size;
        Append(_prefix, _prefixSize);
    }
    void EndRecord() {
        Append("\r\n", 2);
        const auto length = static_cast<uint32_t>(_size - _recordStart);
        if (_count == 0) {
            _single = length;
        } else {
            if (_count == 1) _many.push_back(_single);
            _many.push_back(length);
        }
        ++_count;
    }

    // Wide text as UTF-8. Surrogate pairs combine as elsewhere in the library; a value beyond
    // U+10FFFF, which has no encoding, becomes U+FFFD rather than costing the record.
    void AppendWide(const wchar_t* s, size_t n) {
        Reserve(n * 4);
        char* out = _buf + _size;
        size_t i = 0;
#if defined(__SSE2__)
        // Log texts are mostly ASCII: narrow eight characters at a time while they are.
        const __m128i high = _mm_set1_epi32(~0x7F);
        while (i + 8 <= n) {
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i + 4));
            if (_mm_movemask_epi8(_mm_cmpeq_epi32(_mm_and_si128(_mm_or_si128(a, b), high), _mm_setzero_si128())) != 0xFFFF) {
                break;
            }
            const __m128i words = _mm_packs_epi32(a, b);
            _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(words, words));
            out += 8;
            i += 8;
        }
#endif
        while (i < n) {
            const uint32_t c = static_cast<uint32_t>(s[i]);
            if (c < 0x80) {
                *out++ = static_cast<char>(c);
                ++i;
                continue;
            }
            uint32_t cp = c;
            ++i;
            if (c >= 0xD800 && c <= 0xDBFF && i < n) {
                const uint32_t low = static_cast<uint32_t>(s[i]);
                if (low >= 0xDC00 && low <= 0xDFFF) {
                    cp = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                    ++i;
                }
            } else if (c > 0x10FFFF) {
                cp = 0xFFFD;
            }
            out += text::EncodeUTF8(cp, out);
        }
        _size = static_cast<size_t>(out - _buf);
    }
    void AppendWide(std::wstring_view s) { AppendWide(s.data(), s.size()); }

    // UTF-8 text as it is; a byte that does not belong to a valid sequence becomes U+FFFD, so a
    // damaged text still leaves its readable part in the log.
    void AppendUtf8(const char* s, size_t n) {
        if (text::IsValidUTF8(std::string_view(s, n))) {
            Append(s, n);
            return;
        }
        Reserve(n * 3);
        size_t i = 0;
        while (i < n) {
            const size_t len = SequenceLength(static_cast<unsigned char>(s[i]));
            if (len != 0 && i + len <= n && text::IsValidUTF8(std::string_view(s + i, len))) {
                std::memcpy(_buf + _size, s + i, len);
                _size += len;
                i += len;
            } else {
                std::memcpy(_buf + _size, "\xEF\xBF\xBD", 3);
                _size += 3;
                ++i;
            }
        }
    }

    void Append(const char* s, size_t n) {
        Reserve(n);
        std::memcpy(_buf + _size, s, n);
        _size += n;
    }

private:
    void Reserve(size_t extra) {
        // Room for the record end and a following record's prefix is kept as well.
        const size_t need = _size + extra + MaxPrefixSize + 2;
        if (need <= _capacity) return;
        size_t capacity = _capacity * 2;
        if (capacity < need) capacity = need;
        std::string grown(capacity, '\0');
        std::memcpy(grown.data(), _buf, _size);
        _heap.swap(grown);
        _buf = _heap.data();
        _capacity = capacity;
    }

    int64_t _epochSeconds = 0;
    char _prefix[MaxPrefixSize];
    size_t _prefixSize = 0;
    size_t _recordStart = 0;
    // Lengths of the records: one needs no allocation, only backtraces have more.
    size_t _count = 0;
    uint32_t _single = 0;
    std::vector<uint32_t> _many;
    char _stack[StackRecordSize];
    std::string _heap;
    char* _buf = _stack;
    size_t _size = 0;
    size_t _capacity = StackRecordSize;
};

// --- construction and destruction -------------------------------------------------------------

IDebugLogPtr IDebugLog::Create(const std::wstring& name) { return std::make_shared<CDebugLog>(name); }

IDebugLogPtr IDebugLog::Create(const CreateParameters* parameters) {
    if (parameters == nullptr) return std::make_shared<CDebugLog>(std::wstring());
    return std::make_shared<CDebugLog>(*parameters);
}

CDebugLog::CDebugLog(const std::wstring& name) {
    _InitDefaults();
    _logname = name.empty() ? FileNameOf(ExecutablePath()) : name;
    _ReadLogSettings();
    _Start();
}

CDebugLog::CDebugLog(const CreateParameters& p) {
    _InitDefaults();
    _folder = p._LogFolderPath;
    _logname = p._LogName.empty() ? LibraryFileName() : p._LogName;
    _segmentBytes = p._LogSegmentSize;
    _segmented = p._LogSegmentSize != 0;
    _maxStoredBytes = p._TotalBytesLimit;
    _maxDaysToStore = p._MaxDaysKeepFile;
    _logLevel = p._LoggingLevel;
    _timeLogging = p._TimeLogging;
    _threadIdLogging = p._ThreadIdLogging;
    _useFilesFilter = p._UseFilesFilter;
    _entriesPerMin = p._EntriesPerMinute;
    _writeToDisk = p._WriteToDisk;
    _stackDumpInDebug = p._StackDumpInDebug;
    if (p._OnLogFileOpenCb) _onLogOpenCallbacks.push_back(p._OnLogFileOpenCb);
    _initialLogRecordCb = p._InitialRecordCb;
    _finalLogRecordCb = p._FinalRecordCb;
    _syncLog = p._SyncLog;
    _postLogFileReopen = !p._SyncLog || p._PostLogFileReopen;
    _CheckAndMakeFolderName();
    _Start();
}

void CDebugLog::_InitDefaults() {
    NewLineString = L"\r\n" + std::wstring(37, L' ');
    _WorkingPath = ParentOf(ExecutablePath());
    _nextTimeToCancelLim = _CurrentMinute(static_cast<int64_t>(std::time(nullptr))) + 1;
}

void CDebugLog::_Start() {
    if (!_syncLog) {
        try {
            _writingThread = std::thread(&CDebugLog::_WritingThreadBody, this);
            return;
        } catch (const std::exception&) {
            // No thread to write for the callers: they write themselves.
            _syncLog = true;
        }
    }
    if (_writeToDisk) {
        std::lock_guard<std::recursive_mutex> sync(_syncMutex);
        _OpenLog();
        _StartCleaner();
    }
}

CDebugLog::~CDebugLog() {
    _blockCleaner = true;
    if (_writingThread.joinable()) {
        {
            std::lock_guard<std::mutex> lock(_mutex);
            _reqStopWrtThre = true;
        }
        _cvQueueEmpty.notify_one();
        _writingThread.join();
    } else if (_writeToDisk) {
        std::lock_guard<std::recursive_mutex> sync(_syncMutex);
        _CloseLog();
    }
}

void CDebugLog::_ReadLogSettings() {}

void CDebugLog::_StartCleaner() {}

void CDebugLog::_CheckAndMakeFolderName() {
    std::wstring folder = _folder;
    while (folder.size() > 1 && (folder.back() == L'/' || folder.back() == L'\\')) folder.pop_back();
    if (folder.empty() || folder == L".") {
        folder = _WorkingPath;
    } else if (folder[0] != L'/' && folder[0] != L'\\') {
        folder = _WorkingPath + L"/" + folder;
    }
    folder = NormalisePath(folder);
    if (folder.size() > 1 && folder.back() == L'/') folder.pop_back();
    _folder = folder;
}

// --- settings and stream switches -------------------------------------------------------------

int CDebugLog::SetLogLevel(int level) { return _logLevel.exchange(level); }

int CDebugLog::GetLogLevel() { return _logLevel.load(std::memory_order_relaxed); }

unsigned CDebugLog::SetEntriesPerMinLimit(unsigned limit) {
    const uint64_t minute = _CurrentMinute(static_cast<int64_t>(std::time(nullptr)));
    std::lock_guard<std::mutex> lock(_mutex);
    const unsigned previous = _entriesPerMin;
    _entriesPerMin = limit;
    if (limit != 0) {
        _nextTimeToCancelLim = minute + 1;
        _countTimLimLogEntries = 0;
    }
    return previous;
}

unsigned CDebugLog::GetEntriesPerMinLimit() {
    std::lock_guard<std::mutex> lock(_mutex);
    return _entriesPerMin;
}

void CDebugLog::SetMinuteClock(MinuteClock clock) {
    _minuteClock = clock;
    const uint64_t minute = _CurrentMinute(static_cast<int64_t>(std::time(nullptr)));
    std::lock_guard<std::mutex> lock(_mutex);
    _nextTimeToCancelLim = minute + 1;
    _countTimLimLogEntries = 0;
}

uint64_t CDebugLog::_CurrentMinute(int64_t epochSeconds) const {
    if (const MinuteClock clock = _minuteClock.load(std::memory_order_relaxed)) return clock();
    return static_cast<uint64_t>(epochSeconds) / 60;
}

bool CDebugLog::_FirstQuery(const std::wstring& id) { return _initializedIds.insert(id).second; }

bool CDebugLog::IsLogEnabled(const std::wstring& id) {
    bool enabled = false;
    bool first = false;
    {
        std::lock_guard<std::mutex> lock(_streamsMtx);
        const auto it = _logStates.find(id);
        enabled = it != _logStates.end() && it->second;
        first = _FirstQuery(id);
    }
    if (first) {
        LogRecord(L"IsLogEnabled() check for log-id = \"" + id + L"\"; logging is " + (enabled ? L"ON" : L"OFF"));
    }
    return enabled;
}

IDebugLog::LogStreamState CDebugLog::GetLogStreamState(const std::wstring& id) {
    LogStreamState state = NotSet;
    bool first = false;
    {
        std::lock_guard<std::mutex> lock(_streamsMtx);
        const auto it = _logStates.find(id);
        if (it != _logStates.end()) state = it->second ? Enabled : Disabled;
        first = _FirstQuery(id);
    }
    if (first) {
        std::wstring text = L"GetLogStreamState() check for log-id = \"" + id + L"\"";
        if (state == NotSet) {
            text += L"; not found in log_settings; logging is not set";
        } else {
            text += L"; found in log_settings; logging is ";
            text += state == Enabled ? L"ON" : L"OFF";
        }
        LogRecord(text);
    }
    return state;
}

bool CDebugLog::SetLogEnabled(const std::wstring& id, bool enabled) {
    std::lock_guard<std::mutex> lock(_streamsMtx);
    auto [it, inserted] = _logStates.try_emplace(id, enabled);
    if (inserted) return false;
    const bool previous = it->second;
    it->second = enabled;
    return previous;
}

bool CDebugLog::StackDumpInDebugEnabled() { return _stackDumpInDebug; }

// --- accepting records ------------------------------------------------------------------------

void CDebugLog::LogRecord(const wchar_t* text) {
    if (text) LogRecord(text, std::wcslen(text));
}

void CDebugLog::LogRecord(const wchar_t* text, size_t length) {
    if (!text) return;
    length = TrimTrailingNuls(text, length);
    if (length == 0) return;
    RecordBuilder r(_timeLogging, _threadIdLogging);
    r.BeginRecord();
    r.AppendWide(text, length);
    r.EndRecord();
    _Accept(r, true);
}

void CDebugLog::LogRecord(const std::wstring& text) { LogRecord(text.data(), text.size()); }

void CDebugLog::LogRecord(const char* utf8) {
    if (utf8) LogRecord(utf8, std::strlen(utf8));
}

void CDebugLog::LogRecord(const char* utf8, size_t length) {
    if (!utf8) return;
    length = TrimTrailingNuls(utf8, length);
    if (length == 0) return;
    RecordBuilder r(_timeLogging, _threadIdLogging);
    r.BeginRecord();
    r.AppendUtf8(utf8, length);
    r.EndRecord();
    _Accept(r, true);
}

void CDebugLog::LogRecord(const std::string& utf8) { LogRecord(utf8.data(), utf8.size()); }

void CDebugLog::LogRecord(const wchar_t* id, const wchar_t* subId, const wchar_t* msg) {
    RecordBuilder r(_timeLogging, _threadIdLogging);
    r.BeginRecord();
    r.Append("ID=", 3);
    if (id) r.AppendWide(id, std::wcslen(id));
    r.Append(" SUB_ID=", 8);
    if (subId) r.AppendWide(subId, std::wcslen(subId));
    r.Append(" MSG=", 5);
    if (msg) r.AppendWide(msg, std::wcslen(msg));
    r.EndRecord();
    _Accept(r, true);
}

void CDebugLog::_Accept(const RecordBuilder& r, bool rateLimited) {
    if (_syncLog) {
        std::lock_guard<std::recursive_mutex> sync(_syncMutex);
        _WriteRecords(r.Data(), r.Lengths(), r.Count());
        return;
    }
    const uint64_t minute = rateLimited ? _CurrentMinute(r.EpochSeconds()) : 0;
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        bool notice = false;
        if (rateLimited && _entriesPerMin != 0) {
            if (minute >= _nextTimeToCancelLim) {
                _nextTimeToCancelLim = minute + 1;
                _countTimLimLogEntries = 0;
            }
            if (_countTimLimLogEntries >= _entriesPerMin) return;
            notice = ++_countTimLimLogEntries == _entriesPerMin;
        }
        _queueBytes.append(r.Data(), r.Size());
        _queueLengths.insert(_queueLengths.end(), r.Lengths(), r.Lengths() + r.Count());
        if (notice) {
            const std::string_view prefix = r.Prefix();
            _queueBytes.append(prefix);
            _queueBytes.append(SuspendNotice);
            _queueBytes.append("\r\n", 2);
            _queueLengths.push_back(static_cast<uint32_t>(prefix.size() + SuspendNotice.size() + 2));
        }
        ++_acceptedBatches;
        if (_writerWaiting) {
            _writerWaiting = false;
            wake = true;
        }
    }
    if (wake) _cvQueueEmpty.notify_one();
}

bool CDebugLog::Flush(std::chrono::milliseconds timeout) {
    if (_syncLog || !_writingThread.joinable()) return true;  // written by the callers themselves
    std::unique_lock<std::mutex> lock(_mutex);
    const uint64_t target = _acceptedBatches;
    return _cvWritten.wait_for(lock, timeout, [&] { return _writtenBatches >= target; });
}

// --- backtraces and direct records ------------------------------------------------------------

void CDebugLog::LogBacktrace(const wchar_t* text) {
    if (text) LogBacktrace(text, std::wcslen(text));
}

void CDebugLog::LogBacktrace(const wchar_t* text, size_t length) {
    if (!text) return;
    RecordBuilder r(_timeLogging, _threadIdLogging);
    r.BeginRecord();
    r.AppendWide(text, TrimTrailingNuls(text, length));
    r.EndRecord();
    _AcceptBacktrace(r);
}

void CDebugLog::LogBacktrace(const std::wstring& text) { LogBacktrace(text.data(), text.size()); }

void CDebugLog::LogBacktrace(const char* utf8) {
    if (utf8) LogBacktrace(utf8, std::strlen(utf8));
}

void CDebugLog::LogBacktrace(const char* utf8, size_t length) {
    if (!utf8) return;
    RecordBuilder r(_timeLogging, _threadIdLogging);
    r.BeginRecord();
    r.AppendUtf8(utf8, TrimTrailingNuls(utf8, length));
    r.EndRecord();
    _AcceptBacktrace(r);
}

void CDebugLog::LogBacktrace(const std::string& utf8) { LogBacktrace(utf8.data(), utf8.size()); }

void CDebugLog::_AcceptBacktrace(RecordBuilder& r) {
    void* frames[MaxBacktraceFrames];
    const int count = ::backtrace(frames, static_cast<int>(MaxBacktraceFrames));
    if (count > 0) {
        char** symbols = ::backtrace_symbols(frames, count);
        if (symbols) {
            for (int i = 0; i < count; ++i) {
                r.BeginRecord();
                r.AppendUtf8(symbols[i], std::strlen(symbols[i]));
                r.EndRecord();
            }
            std::free(symbols);
        }
    }
    _Accept(r, false);
}

void CDebugLog::LogRecordDirect(const char* utf8) {
    if (utf8) LogRecordDirect(utf8, std::strlen(utf8));
}

void CDebugLog::LogRecordDirect(const char* utf8, size_t length) {
    if (!utf8) return;
    length = TrimTrailingNuls(utf8, length);
    if (length == 0) return;
    const int fd = _file.load();
    if (fd < 0) return;
    RecordBuilder r(_timeLogging, _threadIdLogging);
    const std::string_view prefix = r.Prefix();
    // One call, so that the line is not split by the writing thread's writes.
    iovec parts[3] = {{const_cast<char*>(prefix.data()), prefix.size()},
                      {const_cast<char*>(utf8), length},
                      {const_cast<char*>("\r\n"), 2}};
    const size_t total = prefix.size() + length + 2;
    ssize_t n;
    do {
        n = ::writev(fd, parts, 3);
    } while (n < 0 && errno == EINTR);
    size_t done = n > 0 ? static_cast<size_t>(n) : 0;
    if (n > 0 && done < total) {
        // Rare partial write: finish the pieces one by one.
        size_t skip = done;
        for (const iovec& part : parts) {
            if (skip >= part.iov_len) {
                skip -= part.iov_len;
                continue;
            }
            done += WriteFully(fd, static_cast<const char*>(part.iov_base) + skip, part.iov_len - skip);
            skip = 0;
        }
    }
    _curlogsize.fetch_add(done, std::memory_order_relaxed);
}

// --- observers and files ----------------------------------------------------------------------

void CDebugLog::SetSniffer(IDebugLogSniffer* sniffer) {
    std::lock_guard<std::mutex> lock(_snifferMutex);
    _sniffer = sniffer;
    _hasSniffer = sniffer != nullptr;
}

void CDebugLog::AddLogOpenCallback(std::function<void()> callback) {
    if (!callback) return;
    std::lock_guard<std::mutex> lock(_callbacksMtx);
    _onLogOpenCallbacks.push_back(std::move(callback));
}

std::wstring CDebugLog::ProceedToWriteNextLogFile() {
    if (_syncLog) {
        std::lock_guard<std::recursive_mutex> sync(_syncMutex);
        const std::wstring current = GetCurrentLogFilePath();
        if (_writeToDisk) _CheckSizeAndReopenLog(true);
        return current;
    }
    bool wake = false;
    std::wstring current;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        current = _path;
        if (!_nextFileRequest) {
            // Records accepted so far still go to the current file.
            _nextFileRequest = true;
            _nextFileCut = _queueLengths.size();
            wake = true;  // also while the writer lets records gather
            _writerWaiting = false;
        }
    }
    if (wake) _cvQueueEmpty.notify_one();
    return current;
}

std::wstring CDebugLog::GetCurrentLogFilePath() {
    std::lock_guard<std::mutex> lock(_mutex);
    return _path;
}

void CDebugLog::_WritingThreadBody() {
    if (_writeToDisk) {
        _OpenLog();
        _StartCleaner();
    }
    std::string bytes;
    std::vector<uint32_t> lengths;
    bool wrote = false;
    uint64_t taken = 0;  // _acceptedBatches when the queue was last taken
    for (;;) {
        bool requested = false;
        size_t cut = 0;
        {
            std::unique_lock<std::mutex> lock(_mutex);
            // What was taken last time has been written by now.
            if (_writtenBatches != taken) {
                _writtenBatches = taken;
                _cvWritten.notify_all();
            }
            if (wrote) {
                // Records come in runs. Rather than have every caller of a run wake this thread,
                // let the run gather for a moment; callers see no waiting writer meanwhile.
                _cvQueueEmpty.wait_for(lock, GatherTime, [this] { return _reqStopWrtThre || _nextFileRequest; });
            }
            while (_queueLengths.empty() && !_reqStopWrtThre && !_nextFileRequest) {
                _writerWaiting = true;
                _cvQueueEmpty.wait(lock);
            }
            _writerWaiting = false;
            taken = _acceptedBatches;
            bytes.swap(_queueBytes);
            lengths.swap(_queueLengths);
            requested = _nextFileRequest;
            cut = _nextFileCut;
            _nextFileRequest = false;
            if (lengths.empty() && !requested && _reqStopWrtThre) break;
        }
        wrote = !lengths.empty();
        if (requested) {
            size_t cutBytes = 0;
            for (size_t i = 0; i < cut; ++i) cutBytes += lengths[i];
            _WriteRecords(bytes.data(), lengths.data(), cut);
            if (_writeToDisk) _CheckSizeAndReopenLog(true);
            _WriteRecords(bytes.data() + cutBytes, lengths.data() + cut, lengths.size() - cut);
        } else {
            _WriteRecords(bytes.data(), lengths.data(), lengths.size());
        }
        bytes.clear();
        lengths.clear();
        if (bytes.capacity() > KeepBufferCapacity) {
            std::string().swap(bytes);
            std::vector<uint32_t>().swap(lengths);
        }
    }
    if (_writeToDisk) _CloseLog();
}

// Writes runs of records with one write each. A run ends with the first record that takes the
// file past its segment size, so the segments come out as if every record were checked alone.
void CDebugLog::_WriteRecords(const char* data, const uint32_t* lengths, size_t count) {
    if (!_writeToDisk) {
        _Sniff(data, lengths, count);
        return;
    }
    size_t i = 0;
    while (i < count) {
        if (!_postLogFileReopen) _CheckSizeAndReopenLog(false);
        const uint64_t size = _curlogsize.load(std::memory_order_relaxed);
        size_t bytes = 0;
        size_t j = i;
        do {
            bytes += lengths[j++];
        } while (j < count && !(_segmented && size + bytes > _segmentBytes));
        _WriteBytes(data, bytes);
        _Sniff(data, lengths + i, j - i);
        data += bytes;
        i = j;
        if (_postLogFileReopen) _CheckSizeAndReopenLog(false);
    }
}

void CDebugLog::_WriteBytes(const char* data, size_t size) {
    const int fd = _file.load(std::memory_order_relaxed);
    if (fd < 0) return;
    _curlogsize.fetch_add(WriteFully(fd, data, size), std::memory_order_relaxed);
}

void CDebugLog::_Sniff(const char* data, const uint32_t* lengths, size_t count) {
    if (!_hasSniffer.load(std::memory_order_acquire)) return;
    std::lock_guard<std::mutex> lock(_snifferMutex);
    for (size_t i = 0; i < count && _sniffer; ++i) {
        _sniffer->OnLogRecord(text::UTF8_UTF16(std::string_view(data, lengths[i])));
        data += lengths[i];
    }
}

void CDebugLog::_WriteInternalRecord(std::wstring_view text) {
    RecordBuilder r(_timeLogging, _threadIdLogging);
    r.BeginRecord();
    r.AppendWide(text);
    r.EndRecord();
    _WriteBytes(r.Data(), r.Size());
    const uint32_t length = static_cast<uint32_t>(r.Size());
    _Sniff(r.Data(), &length, 1);
}

void CDebugLog::_CheckSizeAndReopenLog(bool requested) {
    if (_withinreop) return;
    if (!requested && !(_segmented && _curlogsize.load(std::memory_order_relaxed) > _segmentBytes)) return;
    _withinreop = true;
    _CloseLog();
    _OpenLog();
    _StartCleaner();
    _withinreop = false;
}

std::wstring CDebugLog::_ComposeFileName() {
    std::wstring name = _folder.empty() ? _logname : _folder + L"/" + _logname;
    if (_segmented) {
        // Each file gets a later moment than the one before, so two segments opened within one
        // millisecond do not share (and truncate) one name.
        timespec ts{};
        ::clock_gettime(CLOCK_REALTIME, &ts);
        int64_t ms = static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
        if (ms <= _lastOpenMs) ms = _lastOpenMs + 1;
        _lastOpenMs = ms;
        const time_t t = static_cast<time_t>(ms / 1000);
        std::tm tm{};
        if (::localtime_r(&t, &tm) == nullptr) tm = std::tm{};
        DateTime::UnpackedValue moment(tm);
        moment = DateTime::UnpackedValue(moment.Year(), moment.Month(), moment.Day(), moment.Hour(), moment.Minute(),
                                         moment.Second(), static_cast<uint16_t>(ms % 1000));
        wchar_t buf[DateTime::DateTimeTextSize];
        moment.FormatDateTime(buf, L'-', L'_', L' ');
        name += L'-';
        name += buf;
    }
    name += L".log";
    return name;
}

void CDebugLog::_OpenLog() {
    const std::wstring path = _ComposeFileName();
    const std::string narrow = text::UTF16_UTF8(path);
    const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (_segmented ? O_TRUNC : O_APPEND);
    int fd;
    do {
        fd = ::open(narrow.c_str(), flags, 0644);
    } while (fd < 0 && errno == EINTR);
    uint64_t size = 0;
    if (fd >= 0) {
        const off_t end = ::lseek(fd, 0, SEEK_END);
        size = end > 0 ? static_cast<uint64_t>(end) : 0;
    }
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _path = fd >= 0 ? path : std::wstring();
    }
    _curlogsize = size;
    _file = fd;
    if (fd < 0) return;

    auto parameter = [](std::wstring line) {
        if (line.size() > MaxParameterLine) line.resize(MaxParameterLine);
        return line;
    };
    _WriteInternalRecord(L"------------------------<<< BUILD VER >>>------------------------");
    _WriteInternalRecord(build::wversion_string);
    _WriteInternalRecord(L"----------------------<<< LOG PARAMETERS >>>---------------------");
    _WriteInternalRecord(parameter(L"App Folder Path : " + _WorkingPath));
    _WriteInternalRecord(parameter(L"Log Folder Path : " + _folder));
    _WriteInternalRecord(parameter(L"Debug Log Name  : " + _logname));
    _WriteInternalRecord(parameter(L"Logger severity level      : " +
                                   std::to_wstring(static_cast<uint32_t>(_logLevel.load()))));
    _WriteInternalRecord(parameter(L"Max days to keep files     : " + std::to_wstring(_maxDaysToStore)));
    _WriteInternalRecord(parameter(L"Max total bytes in files   : " + std::to_wstring(_maxStoredBytes)));
    _WriteInternalRecord(parameter(L"Max bytes per log file     : " + std::to_wstring(_segmentBytes)));
    unsigned perMinute;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        perMinute = _entriesPerMin;
    }
    _WriteInternalRecord(parameter(L"Max log records per minute : " + std::to_wstring(perMinute)));
    _WriteInternalRecord(L"------------------------<<< BEGIN LOG >>>------------------------");
    if (_initialLogRecordCb) {
        const std::wstring first = _initialLogRecordCb();
        if (!first.empty()) _WriteInternalRecord(first);
    }

    std::vector<std::function<void()>> callbacks;
    {
        std::lock_guard<std::mutex> lock(_callbacksMtx);
        callbacks = _onLogOpenCallbacks;
    }
    for (const auto& callback : callbacks) callback();
}

void CDebugLog::_CloseLog() {
    const int fd = _file.load();
    if (fd < 0) return;
    if (_finalLogRecordCb) _WriteInternalRecord(_finalLogRecordCb());
    _WriteInternalRecord(L"-------------------------<<< END LOG >>>-------------------------");
    _file = -1;
    _curlogsize = 0;
    SyncAndClose(fd);
    std::lock_guard<std::mutex> lock(_mutex);
    _path.clear();
}
