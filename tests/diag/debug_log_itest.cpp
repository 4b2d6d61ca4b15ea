// The debug log's files in a scratch folder: header block and trailer, names, size segments,
// requested file changes, open callbacks, direct records and the drain at shutdown.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "diag/debug_log.h"
#include "support/temp_dir.h"
#include "util/buildinfo.h"
#include "util/utfconv.h"

namespace {

namespace fs = std::filesystem;

// Records as the sniffer sees them, without CR LF; lets a test wait for the writing thread.
class Sniffer : public IDebugLogSniffer {
public:
    void OnLogRecord(const std::wstring& record) override {
        std::lock_guard<std::mutex> lock(_mutex);
        std::string r = text::UTF16_UTF8(record);
        if (r.size() >= 2) r.resize(r.size() - 2);
        _records.push_back(r);
        _changed.notify_all();
    }
    bool WaitFor(const std::string& record) {
        return WaitUntil([&](const std::string& r) { return r == record; });
    }
    // For records with a prefix.
    bool WaitForEnding(const std::string& text) {
        return WaitUntil([&](const std::string& r) { return r.ends_with(text); });
    }

private:
    template <class Match>
    bool WaitUntil(Match match) {
        std::unique_lock<std::mutex> lock(_mutex);
        return _changed.wait_for(lock, std::chrono::seconds(10),
                                 [&] { return std::any_of(_records.begin(), _records.end(), match); });
    }

    std::mutex _mutex;
    std::condition_variable _changed;
    std::vector<std::string> _records;
};

IDebugLog::CreateParameters InFolder(const test_support::TempDir& dir, uint64_t segment) {
    IDebugLog::CreateParameters p;
    p._LogFolderPath = text::UTF8_UTF16(dir.dir());
    p._LogName = L"t";
    p._LogSegmentSize = segment;
    p._TimeLogging = false;
    p._ThreadIdLogging = false;
    p._EntriesPerMinute = 0;
    return p;
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Lines of a file; every line must end in CR LF.
std::vector<std::string> Lines(const std::string& content) {
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < content.size()) {
        const size_t end = content.find("\r\n", pos);
        if (end == std::string::npos) {
            ADD_FAILURE() << "line without CR LF: " << content.substr(pos);
            break;
        }
        lines.push_back(content.substr(pos, end - pos));
        pos = end + 2;
    }
    return lines;
}

// The log's files in name order, which is the order they were opened in.
std::vector<std::string> LogFiles(const test_support::TempDir& dir) {
    std::vector<std::string> files;
    for (const auto& e : fs::directory_iterator(dir.dir())) files.push_back(e.path().string());
    std::sort(files.begin(), files.end());
    return files;
}

const std::string BeginLog = "------------------------<<< BEGIN LOG >>>------------------------";
const std::string EndLog = "-------------------------<<< END LOG >>>-------------------------";
constexpr size_t HeaderLines = 12;

// True when text has the shape: each '#' stands for one decimal digit, every other character
// for itself.
bool HasShape(const std::string& text, const std::string& shape) {
    if (text.size() != shape.size()) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        if (shape[i] == '#' ? !std::isdigit(static_cast<unsigned char>(text[i])) : text[i] != shape[i]) return false;
    }
    return true;
}

std::string ExecutableDir() {
    return fs::read_symlink("/proc/self/exe").parent_path().string();
}

TEST(DebugLogFile, HeaderBlockAndTrailerFrameTheRecords) {
    test_support::TempDir dir;
    auto p = InFolder(dir, 0);
    p._EntriesPerMinute = 77;
    p._InitialRecordCb = [] { return std::wstring(L"first words"); };
    p._FinalRecordCb = [] { return std::wstring(); };  // set but empty: still a line
    IDebugLog::Create(&p)->LogRecord(L"hello");

    const std::vector<std::string> expected = {
        "------------------------<<< BUILD VER >>>------------------------",
        build::version_string,
        "----------------------<<< LOG PARAMETERS >>>---------------------",
        "App Folder Path : " + ExecutableDir(),
        "Log Folder Path : " + dir.dir(),
        "Debug Log Name  : t",
        "Logger severity level      : 2",
        "Max days to keep files     : 30",
        "Max total bytes in files   : 31457280",
        "Max bytes per log file     : 0",
        "Max log records per minute : 77",
        BeginLog,
        "first words",
        "hello",
        "",
        EndLog,
    };
    EXPECT_EQ(LogFiles(dir), std::vector<std::string>{dir.path("t.log")});
    EXPECT_EQ(Lines(ReadAll(dir.path("t.log"))), expected);
}

TEST(DebugLogFile, UnsegmentedFileIsAppendedToByTheNextLog) {
    test_support::TempDir dir;
    auto p = InFolder(dir, 0);
    IDebugLog::Create(&p)->LogRecord(L"one");
    IDebugLog::Create(&p)->LogRecord(L"two");
    const auto lines = Lines(ReadAll(dir.path("t.log")));
    ASSERT_EQ(lines.size(), 2 * (HeaderLines + 2));
    EXPECT_EQ(lines[HeaderLines], "one");
    EXPECT_EQ(lines[HeaderLines + 1], EndLog);
    EXPECT_EQ(lines[2 * HeaderLines + 2], "two");
}

TEST(DebugLogFile, ParameterLinesAreCutAt511Characters) {
    test_support::TempDir dir;
    std::string folder = dir.dir();
    for (char c : {'a', 'b', 'c'}) {
        folder += "/" + std::string(200, c);
        fs::create_directory(folder);
    }
    auto p = InFolder(dir, 0);
    p._LogFolderPath = text::UTF8_UTF16(folder);
    IDebugLog::Create(&p)->LogRecord(L"x");
    const auto lines = Lines(ReadAll(folder + "/t.log"));
    ASSERT_GT(lines.size(), 4u);
    EXPECT_EQ(lines[4], ("Log Folder Path : " + folder).substr(0, 511));
}

TEST(DebugLogFile, FolderIsNormalisedAndSegmentNamesCarryTheOpeningMoment) {
    test_support::TempDir dir;
    auto p = InFolder(dir, 1000000);
    p._LogFolderPath = text::UTF8_UTF16(dir.dir() + "//sub/..//./");
    Sniffer sniffer;
    auto log = IDebugLog::Create(&p);
    log->SetSniffer(&sniffer);
    log->LogRecord(L"x");
    ASSERT_TRUE(sniffer.WaitFor("x"));
    const std::string path = text::UTF16_UTF8(log->GetCurrentLogFilePath());
    EXPECT_TRUE(HasShape(path, dir.dir() + "/t-####-##-## ##_##_##.###.log")) << path;
    log.reset();
    EXPECT_EQ(LogFiles(dir), std::vector<std::string>{path});
}

TEST(DebugLogFile, WithoutAFolderRecordsStillReachTheSniffer) {
    test_support::TempDir dir;
    auto p = InFolder(dir, 1000);
    p._LogFolderPath = text::UTF8_UTF16(dir.path("missing"));
    Sniffer sniffer;
    auto log = IDebugLog::Create(&p);
    log->SetSniffer(&sniffer);
    log->LogRecord(L"still here");
    ASSERT_TRUE(sniffer.WaitFor("still here"));
    EXPECT_EQ(log->GetCurrentLogFilePath(), L"");
    EXPECT_EQ(log->ProceedToWriteNextLogFile(), L"");
    log.reset();
    EXPECT_TRUE(LogFiles(dir).empty());
}

// Checks that the files hold records in order and that each closed file ends with the first record
// that took it past the segment size; returns the records.
std::vector<std::string> CheckSegments(const test_support::TempDir& dir, uint64_t segment) {
    std::vector<std::string> records;
    const auto files = LogFiles(dir);
    for (size_t f = 0; f < files.size(); ++f) {
        SCOPED_TRACE(files[f]);
        const auto lines = Lines(ReadAll(files[f]));
        EXPECT_GE(lines.size(), HeaderLines + 1);
        if (lines.size() < HeaderLines + 1) continue;
        EXPECT_EQ(lines[HeaderLines - 1], BeginLog);
        EXPECT_EQ(lines.back(), EndLog);
        uint64_t before = 0, upto = 0;  // bytes before the last record, and through it
        for (size_t i = 0; i + 1 < lines.size(); ++i) {
            before = upto;
            upto += lines[i].size() + 2;
            if (i >= HeaderLines) records.push_back(lines[i]);
        }
        if (f + 1 < files.size()) {
            // A header alone may pass the size; then its first record closes the file.
            if (lines.size() > HeaderLines + 2) {
                EXPECT_LE(before, segment);
            }
            EXPECT_GT(upto, segment);
        }
    }
    return records;
}

TEST(DebugLogFile, SegmentEndsWithTheFirstRecordPastTheSize) {
    struct Case {
        bool Sync, PostReopen;
    } cases[] = {{false, true}, {true, true}, {true, false}};
    constexpr uint64_t Segment = 3000;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "sync " << c.Sync << " post " << c.PostReopen);
        test_support::TempDir dir;
        auto p = InFolder(dir, Segment);
        p._SyncLog = c.Sync;
        p._PostLogFileReopen = c.PostReopen;
        std::vector<std::string> expected;
        {
            auto log = IDebugLog::Create(&p);
            for (int i = 0; i < 200; ++i) {
                expected.push_back("record " + std::to_string(i) + " " + std::string(i * 37 % 150, 'x'));
                log->LogRecord(expected.back());
            }
        }
        EXPECT_GT(LogFiles(dir).size(), 5u);
        EXPECT_EQ(CheckSegments(dir, Segment), expected);
    }
}

TEST(DebugLogFile, SegmentsOpenedWithinOneMillisecondKeepDistinctNames) {
    test_support::TempDir dir;
    auto p = InFolder(dir, 1);  // every record closes its file
    p._SyncLog = true;
    std::vector<std::string> expected;
    {
        auto log = IDebugLog::Create(&p);
        for (int i = 0; i < 30; ++i) {
            expected.push_back(std::to_string(i));
            log->LogRecord(expected.back());
        }
    }
    EXPECT_EQ(LogFiles(dir).size(), 31u);
    EXPECT_EQ(CheckSegments(dir, 1), expected);
}

// Two logs of one name in one folder (two processes of one program, say) open their segments
// at the same moments: neither may write over a file of the other.
TEST(DebugLogFile, TwoLogsOfOneNameNeverShareAFile) {
    test_support::TempDir dir;
    auto p = InFolder(dir, 1);  // every record closes its file
    p._SyncLog = true;
    std::vector<std::string> expected;
    {
        auto first = IDebugLog::Create(&p);
        auto second = IDebugLog::Create(&p);
        for (int i = 0; i < 30; ++i) {
            for (const char* which : {"a", "b"}) {
                expected.push_back(which + std::to_string(i));
                (*which == 'a' ? first : second)->LogRecord(expected.back());
            }
        }
    }
    std::vector<std::string> records;
    for (const std::string& file : LogFiles(dir))
        for (const std::string& line : Lines(ReadAll(file)))
            if (line.size() >= 2 && (line[0] == 'a' || line[0] == 'b') && std::isdigit(static_cast<unsigned char>(line[1])))
                records.push_back(line);
    std::sort(records.begin(), records.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(records, expected);
}

TEST(DebugLogFile, NextFileRequestClosesTheCurrentFileAfterEarlierRecords) {
    for (bool sync : {false, true}) {
        for (uint64_t segment : {uint64_t{0}, uint64_t{1000000}}) {
            SCOPED_TRACE(testing::Message() << "sync " << sync << " segment " << segment);
            test_support::TempDir dir;
            auto p = InFolder(dir, segment);
            p._SyncLog = sync;
            Sniffer sniffer;
            auto log = IDebugLog::Create(&p);
            log->SetSniffer(&sniffer);
            log->LogRecord(L"before");
            ASSERT_TRUE(sniffer.WaitFor("before"));
            const std::wstring first = log->GetCurrentLogFilePath();
            log->LogRecord(L"queued before");
            EXPECT_EQ(log->ProceedToWriteNextLogFile(), first);
            log->LogRecord(L"after");
            ASSERT_TRUE(sniffer.WaitFor("after"));
            const std::wstring second = log->GetCurrentLogFilePath();
            EXPECT_FALSE(second.empty());
            if (segment) {
                EXPECT_NE(second, first);
            }
            log.reset();

            if (segment) {
                const auto files = LogFiles(dir);
                ASSERT_EQ(files.size(), 2u);
                EXPECT_EQ(files[0], text::UTF16_UTF8(first));
                EXPECT_EQ(files[1], text::UTF16_UTF8(second));
                const auto a = Lines(ReadAll(files[0]));
                const auto b = Lines(ReadAll(files[1]));
                EXPECT_EQ(std::vector<std::string>(a.begin() + HeaderLines, a.end()),
                          (std::vector<std::string>{"before", "queued before", EndLog}));
                EXPECT_EQ(std::vector<std::string>(b.begin() + HeaderLines, b.end()),
                          (std::vector<std::string>{"after", EndLog}));
            } else {
                // The single file is reopened for appending and gets a second header.
                const auto lines = Lines(ReadAll(dir.path("t.log")));
                const std::vector<std::string> tail(lines.begin() + HeaderLines, lines.begin() + HeaderLines + 3);
                EXPECT_EQ(tail, (std::vector<std::string>{"before", "queued before", EndLog}));
                EXPECT_EQ(lines[2 * HeaderLines + 2], BeginLog);
                EXPECT_EQ(lines[2 * HeaderLines + 3], "after");
            }
        }
    }
}

TEST(DebugLogFile, OpenCallbacksRunAfterEachHeaderAndMayLog) {
    for (bool sync : {false, true}) {
        SCOPED_TRACE(sync ? "sync" : "async");
        test_support::TempDir dir;
        auto p = InFolder(dir, 1000000);
        p._SyncLog = sync;
        std::vector<std::string> calls;
        std::mutex callsMutex;
        p._OnLogFileOpenCb = [&] {
            std::lock_guard<std::mutex> lock(callsMutex);
            calls.push_back("param");
        };
        {
            Sniffer sniffer;
            auto log = IDebugLog::Create(&p);
            log->SetSniffer(&sniffer);
            log->LogRecord(L"one");
            ASSERT_TRUE(sniffer.WaitFor("one"));  // the first file is open
            IDebugLog* raw = log.get();
            log->AddLogOpenCallback([&calls, &callsMutex, raw] {
                {
                    std::lock_guard<std::mutex> lock(callsMutex);
                    calls.push_back("added");
                }
                raw->LogRecord(L"opened");
            });
            log->ProceedToWriteNextLogFile();
            log->LogRecord(L"two");
            ASSERT_TRUE(sniffer.WaitFor("two"));
            log->SetSniffer(nullptr);
        }
        EXPECT_EQ(calls, (std::vector<std::string>{"param", "param", "added"}));
        const auto files = LogFiles(dir);
        ASSERT_EQ(files.size(), 2u);
        const auto b = Lines(ReadAll(files[1]));
        std::vector<std::string> tail(b.begin() + HeaderLines, b.end());
        // The writing thread may take "two" before the callback's record.
        if (!sync) std::sort(tail.begin(), tail.end() - 1);
        EXPECT_EQ(tail, (std::vector<std::string>{"opened", "two", EndLog}));
    }
}

TEST(DebugLogFile, DirectRecordGoesStraightIntoTheOpenFile) {
    test_support::TempDir dir;
    auto p = InFolder(dir, 0);
    p._SyncLog = true;  // the file is open once the log exists
    {
        auto log = IDebugLog::Create(&p);
        log->LogRecord(L"queued");
        log->LogRecordDirect("crash \xc3\xa9\0", 9);
    }
    const auto lines = Lines(ReadAll(dir.path("t.log")));
    EXPECT_EQ(std::vector<std::string>(lines.begin() + HeaderLines, lines.end()),
              (std::vector<std::string>{"queued", "crash \xc3\xa9", EndLog}));
}

TEST(DebugLogFile, ShutdownWritesEveryAcceptedRecord) {
    test_support::TempDir dir;
    auto p = InFolder(dir, 1 << 20);
    p._ThreadIdLogging = true;
    constexpr int Threads = 2, PerThread = 20000;
    {
        auto log = IDebugLog::Create(&p);
        std::vector<std::thread> threads;
        for (int t = 0; t < Threads; ++t) {
            threads.emplace_back([&log] {
                for (int i = 0; i < PerThread; ++i) log->LogRecord(L"n " + std::to_wstring(i));
            });
        }
        for (auto& t : threads) t.join();
    }
    std::map<std::string, int> next;  // thread id -> next number
    size_t count = 0;
    for (const auto& file : LogFiles(dir)) {
        for (const auto& line : Lines(ReadAll(file))) {
            if (line.size() < 11 || line.compare(9, 2, "n ") != 0) continue;
            EXPECT_EQ(line.substr(11), std::to_string(next[line.substr(0, 8)]++));
            ++count;
        }
    }
    EXPECT_EQ(count, size_t{Threads} * PerThread);
}

} // namespace
