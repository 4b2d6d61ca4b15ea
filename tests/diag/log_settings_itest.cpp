// The log settings file beside the program (found, created, read key by key, folder rules) and
// the retention pass that keeps the log folder within its size and age limits; all in scratch
// folders, with a program folder of the test's choosing.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "diag/debug_log.h"
#include "support/temp_dir.h"
#include "util/utfconv.h"

namespace {

namespace sfs = std::filesystem;
using test_support::TempDir;

std::wstring W(const std::string& s) { return text::UTF8_UTF16(s); }
std::string N(const std::wstring& s) { return text::UTF16_UTF8(s); }

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Files of a folder by name.
std::set<std::string> Names(const std::string& folder) {
    std::set<std::string> names;
    std::error_code ec;
    for (const auto& e : sfs::directory_iterator(folder, ec)) names.insert(e.path().filename().string());
    return names;
}

template <class Done>
bool WaitUntil(Done done) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

class Sniffer : public IDebugLogSniffer {
public:
    void OnLogRecord(const std::wstring& record) override {
        std::lock_guard<std::mutex> lock(_mutex);
        _records.push_back(N(record));
        _changed.notify_all();
    }
    bool WaitForEnding(const std::string& text) {
        std::unique_lock<std::mutex> lock(_mutex);
        return _changed.wait_for(lock, std::chrono::seconds(10), [&] {
            return std::any_of(_records.begin(), _records.end(), [&](const std::string& r) { return r.ends_with(text); });
        });
    }

private:
    std::mutex _mutex;
    std::condition_variable _changed;
    std::vector<std::string> _records;
};

// Writes a record and waits until the writing thread has handled it (and so has opened its
// first file, or failed to).
void WriteAndWait(CDebugLog& log, const char* text) {
    Sniffer sniffer;
    log.SetSniffer(&sniffer);
    log.LogRecord(text);
    EXPECT_TRUE(sniffer.WaitForEnding(std::string(text) + "\r\n"));
    log.SetSniffer(nullptr);
}

// A name of this process's own, for the cases that end up under /var/log; the folder is removed
// afterwards.
class VarLogName {
public:
    VarLogName() : _name("sdk-settings-test-" + std::to_string(::getpid())) {}
    ~VarLogName() {
        std::error_code ec;
        sfs::remove_all(Folder(), ec);
    }
    const std::string& Name() const { return _name; }
    std::string Folder() const {
        std::string folder = "/var/log/";
        folder += _name;
        folder += ".logs";
        return folder;
    }

private:
    std::string _name;
};

class LogSettings : public ::testing::Test {
protected:
    void SetUp() override {
        program = dir.path("prog");
        sfs::create_directory(program);
    }
    std::string SettingsPath(const std::string& name) const {
        std::string path = program;
        path += '/';
        path += name;
        path += ".log_settings.json";
        return path;
    }
    void WriteSettings(const std::string& name, const std::string& json) const {
        std::ofstream(SettingsPath(name), std::ios::binary) << json;
    }
    // Settings text with the log folder inside the scratch folder, plus members.
    std::string InScratch(const std::string& members) const {
        std::string json = "{\"LogFolderPath\":\"";
        json += dir.dir();
        json += '"';
        if (!members.empty()) json += "," + members;
        json += '}';
        return json;
    }
    std::string ScratchFolder(const std::string& name) const { return dir.path(name + ".logs"); }
    std::unique_ptr<CDebugLog> Make(const std::string& name, const std::string& programFolder = std::string()) const {
        return std::make_unique<CDebugLog>(W(name), W(programFolder.empty() ? program : programFolder));
    }

    TempDir dir;
    std::string program;
};

TEST_F(LogSettings, WithoutAFileTheDefaultFileIsWrittenAndTheFolderIsUnderVarLog) {
    VarLogName name;
    auto log = Make(name.Name());
    EXPECT_EQ(N(log->GetLogFolder()), name.Folder());
    EXPECT_EQ(log->GetLogLevel(), 2);
    EXPECT_EQ(log->GetEntriesPerMinLimit(), 10000u);
    EXPECT_EQ(ReadAll(SettingsPath(name.Name())),
              "{\"EntriesPerMinute\":10000,\"LogFolderPath\":\"\\/var\\/log\\/\",\"LogSegmentSize\":1048576,"
              "\"LogStates\":[{\"TestLogStreamId\":false}],\"LoggingLevel\":2,\"MaxDaysKeepAlive\":30,"
              "\"ThreadIdLogging\":true,\"TimeLogging\":true,\"TotalBytesLimit\":31457280,\"UseFilesFilter\":true,"
              "\"WriteToDisk\":true}");
    // Nothing else is left beside the program.
    EXPECT_EQ(Names(program), std::set<std::string>{name.Name() + ".log_settings.json"});
    log.reset();
    // A second start reads the file it wrote.
    EXPECT_EQ(N(Make(name.Name())->GetLogFolder()), name.Folder());
}

TEST_F(LogSettings, UnreadableContentMeansDefaultsWithTheDefaultFolder) {
    VarLogName name;
    const char* cases[] = {"{", "[1,2]", "{\"LogFolderPath\":5,\"WriteToDisk\":false}", "\xEF\xBB\xBF{}"};
    for (const char* settings : cases) {
        WriteSettings(name.Name(), settings);
        auto log = Make(name.Name());
        EXPECT_EQ(N(log->GetLogFolder()), name.Folder()) << settings;
        EXPECT_EQ(log->GetLogLevel(), 2) << settings;
    }
}

TEST_F(LogSettings, WithoutSettingsTheLogWritesIntoTheCurrentDirectory) {
    struct Case {
        const char* what;
        bool programFolderIsAFile;  // nothing can be created there, as in a read-only folder
    };
    for (const Case c : {Case{"program folder cannot hold files", true}, Case{"empty settings file", false}}) {
        TempDir cwd;
        const std::string programFolder = c.programFolderIsAFile ? dir.write("file", "") : program;
        if (!c.programFolderIsAFile) WriteSettings("named", "");
        const sfs::path previous = sfs::current_path();
        sfs::current_path(cwd.dir());
        std::string path;
        {
            auto log = Make("named", programFolder);
            EXPECT_TRUE(log->GetLogFolder().empty()) << c.what;
            WriteAndWait(*log, "here");
            path = N(log->GetCurrentLogFilePath());
        }
        sfs::current_path(previous);
        EXPECT_TRUE(path.starts_with("named-") && path.ends_with(".log")) << c.what << ": " << path;
        EXPECT_EQ(Names(cwd.dir()), std::set<std::string>{path}) << c.what;
        if (!c.programFolderIsAFile) {
            EXPECT_EQ(ReadAll(SettingsPath("named")), "") << c.what;
        }
    }
}

TEST_F(LogSettings, EveryKeyIsApplied) {
    WriteSettings("k", InScratch("\"LogSegmentSize\":5000,\"TotalBytesLimit\":7000,\"MaxDaysKeepAlive\":9,"
                                 "\"LoggingLevel\":4,\"TimeLogging\":false,\"ThreadIdLogging\":false,"
                                 "\"UseFilesFilter\":false,\"EntriesPerMinute\":77,\"WriteToDisk\":true,"
                                 "\"StackDumpInDebug\":true,\"LogStates\":[{\"RtpStreams\":true}]"));
    // Without the name filter the retention pass counts every file of the folder: this one alone
    // is over the total limit, and it is the oldest by name.
    sfs::create_directory(ScratchFolder("k"));
    const std::string foreign = ScratchFolder("k") + "/aaa.bin";
    std::ofstream(foreign) << std::string(8000, 'x');

    auto log = Make("k");
    EXPECT_EQ(N(log->GetLogFolder()), ScratchFolder("k"));
    EXPECT_EQ(log->GetLogLevel(), 4);
    EXPECT_EQ(log->GetEntriesPerMinLimit(), 77u);
    EXPECT_TRUE(log->StackDumpInDebugEnabled());
    EXPECT_EQ(log->GetLogStreamState(L"RtpStreams"), IDebugLog::Enabled);
    WriteAndWait(*log, "x");
    EXPECT_TRUE(WaitUntil([&] { return !sfs::exists(foreign); }));
    const std::string file = N(log->GetCurrentLogFilePath());
    log.reset();

    const std::string content = ReadAll(file);
    for (const char* line : {"\r\nLogger severity level      : 4\r\n", "\r\nMax days to keep files     : 9\r\n",
                             "\r\nMax total bytes in files   : 7000\r\n", "\r\nMax bytes per log file     : 5000\r\n",
                             "\r\nMax log records per minute : 77\r\n", "\r\nx\r\n"}) {
        EXPECT_NE(content.find(line), std::string::npos) << line << content;
    }
}

TEST_F(LogSettings, AKeyOfTheWrongTypeTakesItsDefault) {
    WriteSettings("w", InScratch("\"LogSegmentSize\":\"5000\",\"TotalBytesLimit\":1.5,\"MaxDaysKeepAlive\":-1,"
                                 "\"LoggingLevel\":\"4\",\"TimeLogging\":\"false\",\"ThreadIdLogging\":[],"
                                 "\"UseFilesFilter\":{},\"EntriesPerMinute\":1e20,\"WriteToDisk\":\"no\","
                                 "\"StackDumpInDebug\":\"yes\",\"LogStates\":{\"RtpStreams\":true}"));
    auto log = Make("w");
    EXPECT_EQ(log->GetLogLevel(), 2);
    EXPECT_EQ(log->GetEntriesPerMinLimit(), 10000u);
    EXPECT_FALSE(log->StackDumpInDebugEnabled());
    EXPECT_EQ(log->GetLogStreamState(L"RtpStreams"), IDebugLog::NotSet);
    WriteAndWait(*log, "x");
    const std::string file = N(log->GetCurrentLogFilePath());
    ASSERT_FALSE(file.empty());  // written to disk
    log.reset();
    const std::string content = ReadAll(file);
    for (const char* text : {" Max days to keep files     : 30\r\n", " Max total bytes in files   : 31457280\r\n",
                             " Max bytes per log file     : 1048576\r\n"}) {
        EXPECT_NE(content.find(text), std::string::npos) << text;
    }
    // Time and thread id prefix the record.
    const size_t x = content.find(" x\r\n");
    ASSERT_NE(x, std::string::npos);
    EXPECT_EQ(content[x - 9], ' ');  // "YYYY/MM/DD HH:MM:SS.mmm XXXXXXXX x"
    EXPECT_EQ(content[x - 13], '.');
}

TEST_F(LogSettings, SegmentSizeZeroKeepsOneFileThatIsAppendedTo) {
    WriteSettings("one", InScratch("\"LogSegmentSize\":0,\"TimeLogging\":false,\"ThreadIdLogging\":false"));
    for (const char* text : {"first", "second"}) {
        auto log = Make("one");
        WriteAndWait(*log, text);
        EXPECT_EQ(N(log->GetCurrentLogFilePath()), ScratchFolder("one") + "/one.log");
    }
    EXPECT_EQ(Names(ScratchFolder("one")), std::set<std::string>{"one.log"});
    const std::string content = ReadAll(ScratchFolder("one") + "/one.log");
    const size_t first = content.find("\r\nfirst\r\n");
    const size_t second = content.find("\r\nsecond\r\n");
    ASSERT_NE(first, std::string::npos);
    ASSERT_NE(second, std::string::npos);
    EXPECT_LT(first, second);
    EXPECT_NE(content.find("<<< BEGIN LOG >>>", first), std::string::npos);  // the second start's header
}

TEST_F(LogSettings, ARelativeFolderLiesBelowTheProgramFolderAndOnlyItsLastLevelIsCreated) {
    for (const bool parentExists : {false, true}) {
        TempDir scratch;
        const std::string prog = scratch.path("prog");
        sfs::create_directory(prog);
        std::ofstream(prog + "/r.log_settings.json") << "{\"LogFolderPath\":\"logs\"}";
        if (parentExists) sfs::create_directory(prog + "/logs");
        auto log = Make("r", prog);
        EXPECT_EQ(N(log->GetLogFolder()), prog + "/logs/r.logs");
        WriteAndWait(*log, "x");
        const std::string file = N(log->GetCurrentLogFilePath());
        if (parentExists) {
            EXPECT_TRUE(file.starts_with(prog + "/logs/r.logs/r-")) << file;
        } else {
            EXPECT_TRUE(file.empty()) << file;
            EXPECT_FALSE(sfs::exists(prog + "/logs"));
        }
    }
}

TEST_F(LogSettings, LogStatesElementsOfEveryShape) {
    WriteSettings("s", InScratch("\"WriteToDisk\":false,\"LogStates\":[{\"RtpStreams\":false},{\"A\":1,\"B\":2},"
                                 "{\"On\":true},{\"Int\":2},{\"Str\":\"yes\"},{\"Dbl\":1.0},{\"Null\":null},"
                                 "{\"Later\":true},{\"Later\":false},{\"\":true},5]"));
    auto log = Make("s");
    const std::pair<const wchar_t*, IDebugLog::LogStreamState> expected[] = {
        {L"RtpStreams", IDebugLog::Disabled}, {L"TestLogStreamId", IDebugLog::Disabled},
        {L"A", IDebugLog::NotSet},            {L"B", IDebugLog::NotSet},
        {L"On", IDebugLog::Enabled},          {L"Int", IDebugLog::Enabled},
        {L"Str", IDebugLog::Disabled},        {L"Dbl", IDebugLog::Disabled},
        {L"Null", IDebugLog::Disabled},       {L"Later", IDebugLog::Disabled},
        {L"", IDebugLog::NotSet},
    };
    for (const auto& [id, state] : expected) EXPECT_EQ(log->GetLogStreamState(id), state) << N(id);
    WriteAndWait(*log, "x");
    EXPECT_TRUE(log->GetCurrentLogFilePath().empty());  // WriteToDisk false
}

// --- retention ----------------------------------------------------------------------------------

// "YYYY-MM-DD" of the local date daysAgo days before today.
std::string DateDaysAgo(int daysAgo) {
    const time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    tm.tm_mday -= daysAgo;
    tm.tm_hour = 12;  // clear of daylight-saving steps
    std::mktime(&tm);
    char buf[16];
    std::strftime(buf, sizeof buf, "%Y-%m-%d", &tm);
    return buf;
}

class Retention : public ::testing::Test {
protected:
    // A segment name of the log's shape, dated daysAgo days before today.
    static std::string Segment(const std::string& name, int daysAgo, int second = 0) {
        std::string file = name;
        file += '-';
        file += DateDaysAgo(daysAgo);
        file += " 10_00_";
        file += static_cast<char>('0' + second / 10);
        file += static_cast<char>('0' + second % 10);
        file += ".000.log";
        return file;
    }
    void Put(const std::string& file, size_t size) const { std::ofstream(dir.path(file)) << std::string(size, 'x'); }

    IDebugLog::CreateParameters Parameters(const std::string& name, uint64_t totalBytes, uint32_t days) const {
        IDebugLog::CreateParameters p;
        p._LogFolderPath = W(dir.dir());
        p._LogName = W(name);
        p._TotalBytesLimit = totalBytes;
        p._MaxDaysKeepFile = days;
        p._WriteToDisk = false;  // no files of its own, no passes of its own
        return p;
    }
    void RunPass(const IDebugLog::CreateParameters& p) const { CDebugLog(p).RunRetentionPass(); }

    TempDir dir;
};

TEST_F(Retention, SizeRuleDeletesTheOldestUntilTheTotalFits) {
    struct Case {
        uint64_t limit;
        size_t kept;  // of four segments of 1000 bytes
    };
    for (const Case c : {Case{3000, 3}, Case{3999, 3}, Case{4000, 4}, Case{1, 1}, Case{0, 4}}) {
        for (const auto& name : Names(dir.dir())) sfs::remove(dir.path(name));
        for (int i = 0; i < 4; ++i) Put(Segment("t", 4 - i), 1000);
        Put("notes.txt", 5000);  // not the log's: never counted, never deleted
        RunPass(Parameters("t", c.limit, 0));
        std::set<std::string> expected{"notes.txt"};
        for (size_t i = 4 - c.kept; i < 4; ++i) expected.insert(Segment("t", static_cast<int>(4 - i)));
        EXPECT_EQ(Names(dir.dir()), expected) << c.limit;
    }
}

TEST_F(Retention, AgeRuleDeletesWhatIsOlderThanTheLimitButNeverTheLastFile) {
    struct Case {
        std::vector<int> daysAgo;  // oldest first
        uint32_t maxDays;
        std::vector<int> kept;
    };
    const Case cases[] = {
        {{31, 30}, 30, {30}},
        {{45, 31, 0}, 30, {0}},
        {{100}, 30, {100}},
        {{45, 40}, 30, {40}},
        {{45, 31}, 0, {45, 31}},
    };
    for (const Case& c : cases) {
        for (const auto& name : Names(dir.dir())) sfs::remove(dir.path(name));
        for (int days : c.daysAgo) Put(Segment("t", days), 10);
        RunPass(Parameters("t", 0, c.maxDays));
        std::set<std::string> expected;
        for (int days : c.kept) expected.insert(Segment("t", days));
        EXPECT_EQ(Names(dir.dir()), expected) << c.maxDays << " " << c.daysAgo.size();
    }
}

TEST_F(Retention, WithoutTheNameFilterEveryFileCounts) {
    Put("aaa.txt", 1000);
    Put(Segment("t", 2), 1000);
    Put(Segment("t", 1), 1000);
    auto p = Parameters("t", 2000, 0);
    p._UseFilesFilter = false;
    RunPass(p);
    EXPECT_EQ(Names(dir.dir()), (std::set<std::string>{Segment("t", 2), Segment("t", 1)}));
}

TEST_F(Retention, TheLogNameIsMatchedLiterallyAndWithoutLetterCase) {
    struct Case {
        const char* name;
        std::vector<std::string> files;  // 1000 bytes each, oldest first
        std::set<std::string> kept;      // with a limit of 1000 bytes
    };
    const Case cases[] = {
        // An unbalanced parenthesis would make the pattern invalid; the name still gets retention.
        {"a(b", {Segment("a(b", 2), Segment("a(b", 1)}, {Segment("a(b", 1)}},
        {"x+", {Segment("x+", 2), Segment("x+", 1)}, {Segment("x+", 1)}},
        // A dot in the name is a dot: another log's files are not touched.
        {"a.b", {Segment("aXb", 3), Segment("a.b", 2), Segment("a.b", 1)}, {Segment("aXb", 3), Segment("a.b", 1)}},
        {"t", {Segment("T", 2), Segment("t", 1)}, {Segment("t", 1)}},
    };
    for (const Case& c : cases) {
        for (const auto& name : Names(dir.dir())) sfs::remove(dir.path(name));
        for (const auto& file : c.files) Put(file, 1000);
        RunPass(Parameters(c.name, 1000, 0));
        EXPECT_EQ(Names(dir.dir()), c.kept) << c.name;
    }
}

TEST_F(Retention, APassFollowsTheOpeningOfEachFile) {
    for (int i = 0; i < 3; ++i) Put(Segment("t", 3 - i), 1000);
    auto p = Parameters("t", 1, 0);
    p._WriteToDisk = true;
    auto log = std::make_unique<CDebugLog>(p);
    // Its own file is the newest, so it is the one that stays.
    EXPECT_TRUE(WaitUntil([&] { return Names(dir.dir()).size() == 1; }));
    const std::string own = N(log->GetCurrentLogFilePath());
    EXPECT_EQ(Names(dir.dir()), std::set<std::string>{sfs::path(own).filename().string()});

    // A new file makes the previous one old enough to go.
    log->ProceedToWriteNextLogFile();
    EXPECT_TRUE(WaitUntil([&] { return !sfs::exists(own); }));
    EXPECT_EQ(Names(dir.dir()).size(), 1u);
}

TEST_F(Retention, DestroyingTheLogStopsThePassAndWaitsForIt) {
    // Deleting this backlog takes the pass seconds (it pauses after each deletion).
    for (int i = 0; i < 40; ++i) Put(Segment("t", 2, i), 100);
    const std::string oldest = Segment("t", 2, 0);
    auto p = Parameters("t", 1, 0);
    p._WriteToDisk = true;
    auto log = std::make_unique<CDebugLog>(p);
    ASSERT_TRUE(WaitUntil([&] { return !sfs::exists(dir.path(oldest)); }));  // the pass is running
    log.reset();
    const auto afterwards = Names(dir.dir());
    EXPECT_GT(afterwards.size(), 1u);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(Names(dir.dir()), afterwards);  // nothing outlived the log

    // Logs that go at once, while their first pass is only queued.
    for (int i = 0; i < 20; ++i) CDebugLog{p};
    EXPECT_GT(Names(dir.dir()).size(), 1u);
}

} // namespace
