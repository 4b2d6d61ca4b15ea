// The debug log seen through its sniffer: record format, text forms, rate limit, stream switches,
// level filtering, backtraces and the synchronous mode. Nothing here writes a file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <map>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "diag/debug_log.h"
#include "util/mythread.h"
#include "util/utfconv.h"

namespace {

// Collects what the log writes, as UTF-8 for easy comparison.
class Sniffer : public IDebugLogSniffer {
public:
    void OnLogRecord(const std::wstring& record) override {
        std::lock_guard<std::mutex> lock(_mutex);
        _records.push_back(text::UTF16_UTF8(record));
        _threads.push_back(os::MyThread::GetCurId());
    }
    std::vector<std::string> Records() {
        std::lock_guard<std::mutex> lock(_mutex);
        return _records;
    }
    std::vector<uint32_t> Threads() {
        std::lock_guard<std::mutex> lock(_mutex);
        return _threads;
    }

private:
    std::mutex _mutex;
    std::vector<std::string> _records;
    std::vector<uint32_t> _threads;
};

IDebugLog::CreateParameters Plain(bool sync = false) {
    IDebugLog::CreateParameters p;
    p._LogName = L"t";
    p._WriteToDisk = false;
    p._TimeLogging = false;
    p._ThreadIdLogging = false;
    p._SyncLog = sync;
    return p;
}

// A log without files whose records end up in sniffer; Drain() destroys it, which delivers
// everything it accepted.
struct SniffedLog {
    explicit SniffedLog(const IDebugLog::CreateParameters& p) : Log(IDebugLog::Create(&p)) { Log->SetSniffer(&Sniff); }
    std::vector<std::string> Drain() {
        Log.reset();
        return Sniff.Records();
    }
    Sniffer Sniff;
    IDebugLogPtr Log;
};

// True when text has the shape: each '#' stands for one decimal digit, every other character
// for itself.
bool HasShape(const std::string& text, const std::string& shape) {
    if (text.size() != shape.size()) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        if (shape[i] == '#' ? !std::isdigit(static_cast<unsigned char>(text[i])) : text[i] != shape[i]) return false;
    }
    return true;
}

std::string Hex8(uint32_t v) {
    char buf[9];
    std::snprintf(buf, sizeof buf, "%08X", v);
    return buf;
}

TEST(DebugLogFormat, PrefixFollowsTheTimeAndThreadIdSwitches) {
    const std::string tid = Hex8(os::MyThread::GetCurId());
    const std::string time = "####/##/## ##:##:##.### ";
    struct Case {
        bool Time, ThreadId;
        std::string Pattern;
    } cases[] = {
        {true, true, time + tid + " hello\r\n"},
        {true, false, time + "hello\r\n"},
        {false, true, tid + " hello\r\n"},
        {false, false, "hello\r\n"},
    };
    for (const Case& c : cases) {
        auto p = Plain();
        p._TimeLogging = c.Time;
        p._ThreadIdLogging = c.ThreadId;
        SniffedLog log(p);
        log.Log->LogRecord(L"hello");
        const auto records = log.Drain();
        ASSERT_EQ(records.size(), 1u);
        EXPECT_TRUE(HasShape(records[0], c.Pattern)) << records[0] << " vs " << c.Pattern;
    }
}

TEST(DebugLogFormat, TimeIsTheLocalClock) {
    auto p = Plain();
    p._TimeLogging = true;
    SniffedLog log(p);
    const time_t before = time(nullptr);
    log.Log->LogRecord(L"x");
    const time_t after = time(nullptr);
    const auto records = log.Drain();
    ASSERT_EQ(records.size(), 1u);
    bool matches = false;
    for (time_t t = before; t <= after; ++t) {
        std::tm tm{};
        localtime_r(&t, &tm);
        char buf[32];
        std::strftime(buf, sizeof buf, "%Y/%m/%d %H:%M:%S.", &tm);
        matches = matches || records[0].rfind(buf, 0) == 0;
    }
    EXPECT_TRUE(matches) << records[0];
}

TEST(DebugLogFormat, EveryTextFormEndsAsTheSameUtf8Line) {
    auto p = Plain();
    SniffedLog log(p);
    const IDebugLogPtr& l = log.Log;
    l->LogRecord(L"Gr\u00fc\u00dfe \u20ac \U0001F600");
    l->LogRecord(std::wstring(L"Gr\u00fc\u00dfe \u20ac \U0001F600"));
    l->LogRecord("Gr\xc3\xbc\xc3\x9f" "e \xe2\x82\xac \xf0\x9f\x98\x80");
    l->LogRecord(std::string("Gr\xc3\xbc\xc3\x9f" "e \xe2\x82\xac \xf0\x9f\x98\x80"));
    l->LogRecord(L"abc\0\0", 5);                 // trailing NULs go
    l->LogRecord("abc\0\0", 5);
    l->LogRecord(L"\0\0", 2);                    // nothing left: no record
    l->LogRecord("", 0);
    l->LogRecord(static_cast<const wchar_t*>(nullptr));
    l->LogRecord(L"A", L"B", L"x");
    l->LogRecord(L"A", nullptr, L"x");
    l->LogRecord((L"one" + l->GetNl() + L"two").c_str());
    l->LogRecord("bad \xff byte");               // a broken byte costs only itself
    l->LogRecord(L"\xD83D\xDE00 pair");          // a surrogate pair is one character
    l->LogRecord(std::wstring(1, static_cast<wchar_t>(0x110000)) + L" beyond");
    const std::string grusse = "Gr\xc3\xbc\xc3\x9f" "e \xe2\x82\xac \xf0\x9f\x98\x80\r\n";
    const std::vector<std::string> expected = {
        grusse, grusse, grusse, grusse, "abc\r\n", "abc\r\n", "ID=A SUB_ID=B MSG=x\r\n", "ID=A SUB_ID= MSG=x\r\n",
        "one\r\n" + std::string(37, ' ') + "two\r\n", "bad \xef\xbf\xbd byte\r\n", "\xf0\x9f\x98\x80 pair\r\n",
        "\xef\xbf\xbd beyond\r\n",
    };
    EXPECT_EQ(log.Drain(), expected);
}

TEST(DebugLogHelperAndLevels, RecordsAreFilteredByTheLogLevel) {
    auto p = Plain();
    p._LoggingLevel = 2;
    SniffedLog log(p);
    for (unsigned level = DbgLevel::ErrorsOnly; level <= DbgLevel::Everything; ++level) {
        DbgLogRecord(log.Log, level, L"w" + std::to_wstring(level));
        const std::string narrow = std::string(1, 'n').append(std::to_string(level));
        DbgLogRecord(log.Log, level, narrow);
    }
    EXPECT_EQ(log.Log->SetLogLevel(5), 2);
    DbgLogRecord(log.Log, DbgLevel::Everything, L"now");
    DbgLogRecord(IDebugLogPtr(), DbgLevel::ErrorsOnly, L"nowhere");

    DebugLogHelper helper(log.Log, L"Net", L"sock1");
    helper.LogRecord(L"up");
    helper.LogSubId(L"sock2", L"down");
    helper.Release();
    helper.LogRecord(L"gone");
    EXPECT_EQ(helper.GetLog(), nullptr);

    const std::vector<std::string> expected = {
        "w0\r\n", "n0\r\n", "w1\r\n", "n1\r\n", "w2\r\n", "n2\r\n", "now\r\n",
        "ID=Net SUB_ID=sock1 MSG=up\r\n", "ID=Net SUB_ID=sock2 MSG=down\r\n",
    };
    EXPECT_EQ(log.Drain(), expected);
}

uint64_t g_minute = 1000;
uint64_t TestMinute() { return g_minute; }

TEST(DebugLogRateLimit, AtMostTheLimitPerMinuteThenOneNotice) {
    auto p = Plain();
    p._EntriesPerMinute = 3;
    SniffedLog log(p);
    auto& cdl = dynamic_cast<CDebugLog&>(*log.Log);
    g_minute = 1000;
    cdl.SetMinuteClock(&TestMinute);
    for (const wchar_t* t : {L"1", L"2", L"3", L"4", L"5"}) log.Log->LogRecord(t);
    log.Log->LogBacktrace(L"trace");  // backtraces are not counted
    g_minute = 1001;
    log.Log->LogRecord(L"next minute");
    // A new limit starts a fresh count at once.
    EXPECT_EQ(log.Log->SetEntriesPerMinLimit(1), 3u);
    EXPECT_EQ(log.Log->GetEntriesPerMinLimit(), 1u);
    log.Log->LogRecord(L"fresh");
    log.Log->LogRecord(L"over");
    // No limit: everything passes.
    EXPECT_EQ(log.Log->SetEntriesPerMinLimit(0), 1u);
    for (int i = 0; i < 5; ++i) log.Log->LogRecord(L"free");

    auto records = log.Drain();
    const std::string notice = "*** Log writing process suspended, too many messages per minute ***\r\n";
    // Drop the stack frames that follow the backtrace record.
    const auto trace = std::find(records.begin(), records.end(), "trace\r\n");
    ASSERT_NE(trace, records.end());
    const auto afterFrames = std::find(trace, records.end(), "next minute\r\n");
    ASSERT_GT(afterFrames - trace, 1) << "no stack frames";
    records.erase(trace + 1, afterFrames);
    const std::vector<std::string> expected = {
        "1\r\n", "2\r\n", "3\r\n", notice, "trace\r\n", "next minute\r\n", "fresh\r\n", notice,
        "free\r\n", "free\r\n", "free\r\n", "free\r\n", "free\r\n",
    };
    EXPECT_EQ(records, expected);
}

TEST(DebugLogRateLimit, NoticeCarriesThePrefixOfTheLastRecord) {
    auto p = Plain();
    p._EntriesPerMinute = 1;
    p._ThreadIdLogging = true;
    SniffedLog log(p);
    log.Log->LogRecord(L"only");
    const auto records = log.Drain();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1].substr(0, 9), records[0].substr(0, 9));
}

TEST(DebugLogStreams, FirstQueryOfEachIdIsLoggedOnce) {
    auto p = Plain();
    SniffedLog log(p);
    IDebugLog& l = *log.Log;
    EXPECT_EQ(l.GetLogStreamState(L"RtpStreams"), IDebugLog::NotSet);
    EXPECT_EQ(l.GetLogStreamState(L"RtpStreams"), IDebugLog::NotSet);
    EXPECT_FALSE(l.IsLogEnabled(L"RtpStreams"));  // already queried once

    EXPECT_FALSE(l.SetLogEnabled(L"NetManager", true));  // was not listed
    EXPECT_TRUE(l.SetLogEnabled(L"NetManager", true));
    EXPECT_TRUE(l.IsLogEnabled(L"NetManager"));
    EXPECT_EQ(l.GetLogStreamState(L"NetManager"), IDebugLog::Enabled);

    EXPECT_FALSE(l.SetLogEnabled(L"UdpSockAuto", false));
    EXPECT_EQ(l.GetLogStreamState(L"UdpSockAuto"), IDebugLog::Disabled);
    EXPECT_FALSE(l.IsLogEnabled(L"UdpSockAuto"));
    EXPECT_FALSE(l.IsLogEnabled(L"Other"));
    EXPECT_FALSE(l.StackDumpInDebugEnabled());

    const std::vector<std::string> expected = {
        "GetLogStreamState() check for log-id = \"RtpStreams\"; not found in log_settings; logging is not set\r\n",
        "IsLogEnabled() check for log-id = \"NetManager\"; logging is ON\r\n",
        "GetLogStreamState() check for log-id = \"UdpSockAuto\"; found in log_settings; logging is OFF\r\n",
        "IsLogEnabled() check for log-id = \"Other\"; logging is OFF\r\n",
    };
    EXPECT_EQ(log.Drain(), expected);
}

TEST(DebugLogBacktrace, RecordIsFollowedByFramesWithTheSamePrefix) {
    for (bool sync : {false, true}) {
        auto p = Plain(sync);
        p._ThreadIdLogging = true;
        SniffedLog log(p);
        log.Log->LogBacktrace("where am I");
        if (sync) {
            EXPECT_GT(log.Sniff.Records().size(), 1u) << "synchronous backtraces are written at once";
        }
        const auto records = log.Drain();
        ASSERT_GT(records.size(), 1u);
        const std::string tid = Hex8(os::MyThread::GetCurId()) + " ";
        EXPECT_EQ(records[0], tid + "where am I\r\n");
        for (const auto& r : records) EXPECT_EQ(r.substr(0, tid.size()), tid);
    }
}

TEST(DebugLogSync, RecordsAreWrittenOnTheCallersThreadBeforeTheCallReturns) {
    auto p = Plain(true);
    p._EntriesPerMinute = 1;  // the synchronous mode does not count
    SniffedLog log(p);
    log.Log->LogRecord(L"a");
    EXPECT_EQ(log.Sniff.Records(), std::vector<std::string>{"a\r\n"});
    log.Log->LogRecord(L"b");
    log.Log->LogRecord(L"c");
    EXPECT_EQ(log.Sniff.Records().size(), 3u);
    EXPECT_EQ(log.Sniff.Threads(), std::vector<uint32_t>(3, os::MyThread::GetCurId()));
    log.Drain();
}

TEST(DebugLogConcurrency, EveryAcceptedRecordArrivesInPerThreadOrder) {
    auto p = Plain();
    p._EntriesPerMinute = 0;
    p._ThreadIdLogging = true;
    SniffedLog log(p);
    constexpr int Threads = 4, PerThread = 5000;
    std::vector<std::thread> threads;
    for (int t = 0; t < Threads; ++t) {
        threads.emplace_back([&log] {
            for (int i = 0; i < PerThread; ++i) log.Log->LogRecord(std::to_wstring(i));
        });
    }
    for (auto& t : threads) t.join();
    const auto records = log.Drain();
    ASSERT_EQ(records.size(), size_t{Threads} * PerThread);
    std::map<std::string, int> next;  // thread id -> next expected number
    for (const auto& r : records) {
        const std::string tid = r.substr(0, 8);
        EXPECT_EQ(r.substr(9), std::to_string(next[tid]++) + "\r\n");
    }
    EXPECT_EQ(next.size(), size_t{Threads});
}

TEST(DebugLogSniffer, RemovedSnifferSeesNothingMore) {
    auto p = Plain();
    SniffedLog log(p);
    log.Log->LogRecord(L"seen");
    Sniffer late;
    log.Log->SetSniffer(&late);
    log.Log->SetSniffer(nullptr);
    log.Log->LogRecord(L"unseen");
    log.Drain();
    EXPECT_TRUE(late.Records().size() <= 1u);
    for (const auto& r : late.Records()) EXPECT_EQ(r, "seen\r\n");
}

} // namespace
