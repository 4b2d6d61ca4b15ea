#include "diag/debug_log.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <dlfcn.h>
#include <execinfo.h>
#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cwchar>

#include "fs/binary_files.h"
#include "fs/dirlist.h"
#include "fs/filenamehelpers.h"
#include "fs/fsapi.h"
#include "fs/getrunningmodule.h"
#include "json/json_object.h"
#include "util/DateTime.h"
#include "util/buildinfo.h"
#include "util/mythread.h"
#include "util/threadpool.h"
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
// The retention pass pauses this long after each deletion.
constexpr std::chrono::milliseconds DeletePause{100};
// Steps in which shutdown and the pass's pauses look at the flags they share.
constexpr std::chrono::milliseconds CleanerPollStep{10};

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

std::wstring LibraryFileName() {
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&LibraryFileName), &info) == 0 || info.dli_fname == nullptr) {
        return std::wstring();
    }
    return fs::GetLastName(text::UTF8_UTF16(info.dli_fname));
}

// Backslashes become slashes, repeated slashes one, then the path is simplified.
std::wstring NormalisePath(std::wstring path) {
    for (auto& c : path) {
        if (c == L'\\') c = L'/';
    }
    path.erase(std::unique(path.begin(), path.end(), [](wchar_t a, wchar_t b) { return a == L'/' && b == L'/'; }),
               path.end());
    return fs::EnsureNormalizedFilePath(path);
}

std::wstring WithoutTrailingSlash(std::wstring path) {
    if (path.size() > 1 && path.back() == L'/') path.pop_back();
    return path;
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

CDebugLog::CDebugLog(const std::wstring& name) : CDebugLog(name, fs::GetFileParentPath(fs::GetRunningModuleNameW())) {}

CDebugLog::CDebugLog(const std::wstring& name, const std::wstring& programFolder) {
    _InitDefaults();
    _WorkingPath = programFolder;
    _logname = name;
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
    _WorkingPath = fs::GetFileParentPath(fs::GetRunningModuleNameW());
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
    // No pass can be queued any more (the file side is gone); a queued or running one still
    // reads this object until it clears the flag.
    while (_cleanerActive.load(std::memory_order_acquire)) std::this_thread::sleep_for(CleanerPollStep);
}

// --- settings file ----------------------------------------------------------------------------

namespace {

// A settings file is a few hundred bytes; anything far larger is not one, and reading it whole
// would only cost memory.
constexpr uint64_t MaxSettingsFileBytes = uint64_t{1} << 20;

// Opens and reads the file whole; false when it cannot be opened. Content that cannot be read
// in full, or is too large, comes back empty.
bool ReadSettingsBytes(const std::wstring& path, std::string& content) {
    content.clear();
    fs::FsPointer fs;
    fs::FilePtr file(fs->OpenFile(path, fs::openRead));
    if (!file) return false;
    const uint64_t size = file->GetSize();
    if (size == ~uint64_t{0} || size > MaxSettingsFileBytes) return true;
    content.resize(static_cast<size_t>(size));
    size_t read = 0;
    if (!file->Read(content.data(), content.size(), read) || read != content.size()) content.clear();
    return true;
}

// The switch of one "LogStates" element: {"id": value}, where a literal or an integer gives the
// value as a boolean and anything else false. Any other shape gives the placeholder id, off.
IDebugLog::LogStatesData LogStateOf(const JSON::Value& element) {
    if (element.Type() == JSON::typeObject && element.ObjectSize() == 1) {
        const JSON::MyObject_t members = element.GetMap();
        const auto& [id, value] = *members.begin();
        bool enabled = false;
        if (value.Type() == JSON::typeLiteral || value.Type() == JSON::typeIntNumber) enabled = static_cast<bool>(value);
        return {id, enabled};
    }
    return {L"TestLogStreamId", false};
}

} // namespace

std::wstring CDebugLog::_GetDefaultLogFolderLocation() { return L"/var/log/"; }

void CDebugLog::_ReadLogSettings() {
    if (_logname.empty()) _logname = fs::GetRunningModuleNameExtW();
    std::wstring path = _WorkingPath;
    path += L'/';
    path += _logname;
    path += L".log_settings.json";
    fs::EnsureNormalizedFilePath(path);

    std::string content;
    if (!ReadSettingsBytes(path, content)) {
        _CreateDefaultSettingsFile(path);
        ReadSettingsBytes(path, content);
    }
    // No settings at all: the log keeps its defaults and writes into the current directory.
    if (content.empty()) return;

    JSON::Value root;
    try {
        if (!JSON::Value::Parse(std::string_view(content), root)) root = JSON::Value();
    } catch (const std::exception&) {
        root = JSON::Value();
    }

    std::wstring folder = root.TryGet<JSON::MyString_t>(L"LogFolderPath", _GetDefaultLogFolderLocation());
    fs::EnsureTrailingSlash(folder);
    folder += _logname;
    folder += L".logs";
    _folder = folder;
    _CheckAndMakeFolderName();
    // One level only; an existing folder is fine, and a missing parent leaves the log without
    // files rather than creating a tree the user did not ask for.
    fs::FsPointer()->CreateDir(_folder);
    _folder = WithoutTrailingSlash(NormalisePath(_folder));

    _segmentBytes = root.TryGet<uint64_t>(L"LogSegmentSize", _DefLogSegmentSize);
    _segmented = _segmentBytes != 0;
    _maxStoredBytes = root.TryGet<uint64_t>(L"TotalBytesLimit", _DefTotalBytesLimit);
    _maxDaysToStore = root.TryGet<uint32_t>(L"MaxDaysKeepAlive", _DefMaxDaysAlive);
    _logLevel = root.TryGet<int32_t>(L"LoggingLevel", _DefLogLevel);
    _timeLogging = root.TryGet<bool>(L"TimeLogging", _DefTimeLogging);
    _threadIdLogging = root.TryGet<bool>(L"ThreadIdLogging", _DefThreadIdLogging);
    _useFilesFilter = root.TryGet<bool>(L"UseFilesFilter", _DefUseFilesFilter);
    _entriesPerMin = root.TryGet<uint32_t>(L"EntriesPerMinute", _DefEntriesPerMin);
    _writeToDisk = root.TryGet<bool>(L"WriteToDisk", _DefWriteToDisk);
    _stackDumpInDebug = root.TryGet<bool>(L"StackDumpInDebug", _DefStackDumpInDebug);

    const JSON::Value* states = root.Type() == JSON::typeObject ? root.Find(L"LogStates") : nullptr;
    if (states != nullptr && states->Type() == JSON::typeArray) {
        std::lock_guard<std::mutex> lock(_streamsMtx);
        for (size_t i = 0; i < states->ArraySize(); ++i) {
            const LogStatesData state = LogStateOf((*states)[static_cast<uint64_t>(i)]);
            if (!state.Id.empty()) _logStates[state.Id] = state.Enabled;
        }
    }
}

void CDebugLog::_CreateDefaultSettingsFile(const std::wstring& path) {
    std::string text;
    try {
        JSON::Value root;
        root[L"LogFolderPath"] = _GetDefaultLogFolderLocation();
        root[L"LogSegmentSize"] = _DefLogSegmentSize;
        root[L"TotalBytesLimit"] = _DefTotalBytesLimit;
        root[L"MaxDaysKeepAlive"] = _DefMaxDaysAlive;
        root[L"LoggingLevel"] = _DefLogLevel;
        root[L"TimeLogging"] = _DefTimeLogging;
        root[L"ThreadIdLogging"] = _DefThreadIdLogging;
        root[L"UseFilesFilter"] = _DefUseFilesFilter;
        root[L"EntriesPerMinute"] = _DefEntriesPerMin;
        root[L"WriteToDisk"] = _DefWriteToDisk;
        JSON::Value& states = root[L"LogStates"];
        states.SetTypeArray();
        {
            std::lock_guard<std::mutex> lock(_streamsMtx);
            uint64_t i = 0;
            for (const auto& [id, enabled] : _logStates) states[i++][id] = enabled;
            if (i == 0) states[i][L"TestLogStreamId"] = false;
        }
        root.GetStringUTF8(text);
    } catch (const std::exception&) {
        return;
    }
    // Written under a name of its own and then renamed into place, so that a process reading the
    // file meanwhile (another instance of the same program) sees all of it or none, and a failure
    // leaves no file behind.
    std::wstring temporary = path;
    temporary += L'.';
    temporary += std::to_wstring(::getpid());
    temporary += L".tmp";
    fs::FsPointer fs;
    if (!fs::WriteWholeFile(temporary, text.data(), text.size()).Silent().IsOk() || !fs->MovFile(temporary, path)) {
        fs->DelFile(temporary);
    }
}

void CDebugLog::_CheckAndMakeFolderName() {
    std::wstring folder = _folder;
    for (auto& c : folder) {
        if (c == L'\\') c = L'/';
    }
    while (folder.size() > 1 && folder.back() == L'/') folder.pop_back();
    if (folder.empty() || folder == L".") {
        folder = _WorkingPath;
    } else if (folder[0] != L'/') {
        folder = _WorkingPath + L"/" + folder;
    }
    _folder = WithoutTrailingSlash(NormalisePath(folder));
}

// --- retention ----------------------------------------------------------------------------------

void CDebugLog::_StartCleaner() {
    if (!_writeToDisk || _blockCleaner.load()) return;
    _cleanerRequests.fetch_add(1, std::memory_order_acq_rel);
    // One queued or running already: it looks again before it ends, so this open is covered.
    if (_cleanerActive.exchange(true, std::memory_order_acq_rel)) return;
    if (!os::CThreadPool::QueueUserWorkItem(&CDebugLog::_FileCleanupPass, this)) {
        _cleanerActive.store(false, std::memory_order_release);
    }
}

void CDebugLog::_FileCleanupPass() {
    uint64_t handled;
    do {
        handled = _cleanerRequests.load(std::memory_order_acquire);
        _DeleteOldFiles();
    } while (!_blockCleaner.load() && _cleanerRequests.load(std::memory_order_acquire) != handled);
    // The last touch of this object: destruction may go ahead from here on.
    _cleanerActive.store(false, std::memory_order_release);
}

void CDebugLog::RunRetentionPass() {
    if (_cleanerActive.exchange(true, std::memory_order_acq_rel)) return;
    _FileCleanupPass();
}

namespace {

// The log name as a pattern that matches exactly that text: a name like "app(1" must not make
// the whole pattern invalid (and so end retention), and its dots must stand for dots.
std::wstring EscapeForPattern(const std::wstring& text) {
    static const std::wstring special = L"\\^$.|?*+()[]{}";
    std::wstring out;
    for (const wchar_t c : text) {
        if (special.find(c) != std::wstring::npos) out += L'\\';
        out += c;
    }
    return out;
}

// Consecutive day numbers of the proleptic Gregorian calendar (days since 1970-01-01); any day
// of the month, even an impossible one, counts on from the month's first day.
int64_t DayNumber(int64_t year, unsigned month, unsigned day) {
    year -= month <= 2;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(year - era * 400);
    const unsigned doy = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

bool IsDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

// The day number of the date YYYY-MM-DD that a segment name carries 27 characters before its
// end; false when there is none there.
bool SegmentDay(const std::wstring& path, int64_t& dayNumber) {
    if (path.size() < 27) return false;
    const wchar_t* d = path.c_str() + path.size() - 27;
    for (int i : {0, 1, 2, 3, 5, 6, 8, 9}) {
        if (!IsDigit(d[i])) return false;
    }
    if (d[4] != L'-' || d[7] != L'-') return false;
    const int year = (d[0] - L'0') * 1000 + (d[1] - L'0') * 100 + (d[2] - L'0') * 10 + (d[3] - L'0');
    const unsigned month = static_cast<unsigned>((d[5] - L'0') * 10 + (d[6] - L'0'));
    const unsigned day = static_cast<unsigned>((d[8] - L'0') * 10 + (d[9] - L'0'));
    if (month < 1 || month > 12) return false;
    dayNumber = DayNumber(year, month, day);
    return true;
}

int64_t Today() {
    const time_t now = std::time(nullptr);
    std::tm tm{};
    if (::localtime_r(&now, &tm) == nullptr) return 0;
    return DayNumber(tm.tm_year + 1900, static_cast<unsigned>(tm.tm_mon + 1), static_cast<unsigned>(tm.tm_mday));
}

} // namespace

void CDebugLog::_DeleteOldFiles() {
    if (_blockCleaner.load()) return;
    std::map<std::wstring, fs::FileDescription> found;
    fs::Dir::MapContainerWrapper container(found);
    const fs::Dir::AddAllNamesFilter all;
    const fs::Dir::AddByRegexFilter ours(L"^" + EscapeForPattern(_logname) +
                                         L"(-[0-9]+)+ ([0-9]{2}_)+[0-9]{2}\\.[0-9]{3}\\.log$");
    const fs::Dir::INameFilter& filter = _useFilesFilter ? static_cast<const fs::Dir::INameFilter&>(ours) : all;
    // A listing that stops early still names files that exist; a missing folder names none.
    fs::Dir::List(_folder, filter, container, fs::Dir::listFiles).Silent();

    std::vector<std::pair<std::wstring, uint64_t>> files;  // oldest first
    uint64_t total = 0;
    for (const auto& [path, entry] : found) {
        files.emplace_back(path, entry.FileSize);
        total += entry.FileSize;
    }
    fs::FsPointer fs;
    size_t first = 0;
    auto removeFirst = [&] {
        fs->DelFile(files[first].first);  // a file that will not go is still counted as gone
        total -= files[first].second;
        ++first;
        // Spread a large backlog out, so the writer's disk is not kept busy by deleting.
        for (auto waited = std::chrono::milliseconds(0); waited < DeletePause && !_blockCleaner.load();
             waited += CleanerPollStep) {
            std::this_thread::sleep_for(CleanerPollStep);
        }
    };

    if (_maxStoredBytes != 0) {
        while (!_blockCleaner.load() && files.size() - first > 1 && total > _maxStoredBytes) removeFirst();
    }
    if (_maxDaysToStore != 0) {
        const int64_t threshold = Today() - static_cast<int64_t>(_maxDaysToStore);
        while (!_blockCleaner.load() && files.size() - first > 1) {
            int64_t day = 0;
            if (!SegmentDay(files[first].first, day) || day >= threshold) break;
            removeFirst();
        }
    }
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
    // A segment is a new file: another process of the same program may have opened one of the
    // same name in the same millisecond, and neither may write over the other. A name that is
    // taken is passed over for the next millisecond's.
    const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (_segmented ? O_EXCL : O_APPEND);
    std::wstring path;
    int fd = -1;
    for (int attempt = 0; attempt < 100; ++attempt) {
        path = _ComposeFileName();
        const std::string narrow = text::UTF16_UTF8(path);
        do {
            fd = ::open(narrow.c_str(), flags, 0644);
        } while (fd < 0 && errno == EINTR);
        if (fd >= 0 || errno != EEXIST || !_segmented) break;
    }
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
