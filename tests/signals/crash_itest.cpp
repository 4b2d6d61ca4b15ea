// The crash handler end to end, each crash in a death test child: the log file keeps the crash
// record and a stack that names the crashing test function, and the child still ends by its signal.
// This executable exports its symbols, so that the stack can name the functions below.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <regex>
#include <sstream>
#include <string>

#include "diag/debug_log.h"
#include "signals/StackTraceLogger.h"
#include "signals/signals.h"
#include "support/temp_dir.h"

// Outside any unnamed namespace: the stack names only functions with external linkage.
namespace signals_crash_test {

[[gnu::noinline]] void FaultOnProtectedPage() {
    // Not a null pointer: a write to an inaccessible page faults for real, and no sanitizer
    // reports it before the processor does.
    void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (page == MAP_FAILED) _exit(90);
    *static_cast<volatile char*>(page) = 1;
    asm volatile("");
}

[[gnu::noinline]] void AbortFromHere() {
    // Called through a pointer the compiler cannot see through, so that the return address stays
    // inside this function instead of pointing past the end of a no-return call.
    void (*volatile abortFunction)() = &std::abort;
    abortFunction();
    asm volatile("");
}

[[gnu::noinline]] void LogStackFromHere(IStackTraceLogger& logger) {
    logger.Backtrace();
    asm volatile("");
}

} // namespace signals_crash_test

namespace {

// A log in folder, written in the caller's thread, so that its file is open as soon as it exists.
IDebugLogPtr CreateLog(const std::string& folder, bool stackDump) {
    IDebugLog::CreateParameters p;
    p._LogFolderPath = std::wstring(folder.begin(), folder.end());
    p._LogName = L"crash";
    p._SyncLog = true;
    p._StackDumpInDebug = stackDump;
    return IDebugLog::Create(&p);
}

std::string ReadLogs(const std::string& folder) {
    std::string all;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        if (entry.path().extension() != ".log") continue;
        std::ifstream in(entry.path(), std::ios::binary);
        all.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return all;
}

std::string Hex(unsigned long value) {
    std::ostringstream out;
    out << std::hex << value;
    return out.str();
}

template <size_t N>
bool Contains(const int (&table)[N], int signal) {
    return std::find(std::begin(table), std::end(table), signal) != std::end(table);
}

// Each death test child is a fresh process that runs the test again from its start (the library
// has threads of its own by then, so a plain fork would not be sound under every sanitizer). The
// parent's log folder reaches the child through the environment; the child makes none.
class CrashChildTest : public ::testing::Test {
protected:
    static constexpr const char* FolderVariable = "SIGNALS_CRASH_TEST_LOG_FOLDER";

    CrashChildTest() {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        if (const char* inherited = std::getenv(FolderVariable)) {
            folder = inherited;
            return;
        }
        dir.emplace();
        folder = dir->dir();
        setenv(FolderVariable, folder.c_str(), 1);
#if defined(__SANITIZE_THREAD__)
        // The crash handler demangles symbol names, and the demangler allocates: an accepted cost
        // (see StackTraceLogger.h) that this sanitizer reports as a signal-unsafe call. Only that
        // report is switched off, and only in the children.
        const char* options = std::getenv("TSAN_OPTIONS");
        savedTsanOptions = options ? std::optional<std::string>(options) : std::nullopt;
        setenv("TSAN_OPTIONS", (savedTsanOptions.value_or("") + " report_signal_unsafe=0").c_str(), 1);
#endif
    }
    ~CrashChildTest() override {
        if (!dir) return;
        unsetenv(FolderVariable);
#if defined(__SANITIZE_THREAD__)
        if (savedTsanOptions)
            setenv("TSAN_OPTIONS", savedTsanOptions->c_str(), 1);
        else
            unsetenv("TSAN_OPTIONS");
#endif
    }

    // In the child: no core file for a crash that is expected.
    static void NoCoreFile() {
        const rlimit none{0, 0};
        setrlimit(RLIMIT_CORE, &none);
    }

    std::optional<test_support::TempDir> dir;
    std::string folder;
    std::optional<std::string> savedTsanOptions;  // restored after the test
};

struct CrashCase {
    const char* Name;
    int Signal;
    void (*Crash)();
    const char* FunctionInStack;
    bool SentBySelf;  // abort sends the signal to its own process; a fault has no sender

    friend void PrintTo(const CrashCase& c, std::ostream* out) { *out << c.Name; }
};

class CrashHandler : public CrashChildTest, public ::testing::WithParamInterface<CrashCase> {};

TEST_P(CrashHandler, LogsRecordAndStackThenEndsBySignal) {
    const CrashCase& c = GetParam();
    EXPECT_EXIT(
        {
            NoCoreFile();
            IDebugLogPtr log = CreateLog(folder, true);
            IStackTraceLoggerPtr logger = os::impl::StartCrashSignalHandling(log);
            // Armed: the ignore list holds, so this must not end the child.
            os::SendSignalToSelf(SIGTERM);
            c.Crash();
        },
        ::testing::KilledBySignal(c.Signal), "");

    const std::string text = ReadLogs(folder);
    const std::regex recordPattern(std::string("Have been received terminating SIGNAL:") + os::GetSignalName(c.Signal) +
                                   ", PID:([0-9]+), SELF PID:([0-9]+), UID:([0-9]+), ERROR:0, CODE:-?[0-9]+, "
                                   "on thread:([0-9a-f]+)\r\n");
    std::smatch record;
    ASSERT_TRUE(std::regex_search(text, record, recordPattern)) << text;
    const std::string self = record[2];
    EXPECT_EQ(record[1], c.SentBySelf ? self : "0") << "the sender";
    EXPECT_EQ(record[3], c.SentBySelf ? std::to_string(getuid()) : "0") << "the sender's user";
    EXPECT_EQ(record[4], Hex(std::stoul(self))) << "the crashing thread is the child's main thread";
    EXPECT_NE(text.find(c.FunctionInStack, static_cast<size_t>(record.position(0))), std::string::npos)
        << "the stack names the crashing function:\n"
        << text;
}

INSTANTIATE_TEST_SUITE_P(
    Signals, CrashHandler,
    ::testing::Values(CrashCase{"Segv", SIGSEGV, &signals_crash_test::FaultOnProtectedPage,
                                "signals_crash_test::FaultOnProtectedPage() + ", false},
                      CrashCase{"Abort", SIGABRT, &signals_crash_test::AbortFromHere,
                                "signals_crash_test::AbortFromHere() + ", true}),
    [](const auto& info) { return std::string(info.param.Name); });

// Arming follows the log's "StackDumpInDebug" switch; disarming gives back what arming replaced.
// The child compares the dispositions of signals 1 to 31 before and after.
void CheckArming(const std::string& folder, bool stackDump) {
    struct sigaction before[32];
    for (int s = 1; s < 32; ++s) sigaction(s, nullptr, &before[s]);
    IStackTraceLoggerPtr logger = os::impl::StartCrashSignalHandling(CreateLog(folder, stackDump));
    if (!logger || !os::SignalHandlerCollection::Get()) {
        std::fprintf(stderr, "no logger or no registry\n");
        _exit(1);
    }
    for (int s = 1; s < 32; ++s) {
        struct sigaction now {};
        sigaction(s, nullptr, &now);
        const bool unchanged = now.sa_handler == before[s].sa_handler && now.sa_flags == before[s].sa_flags;
        const bool ok = stackDump && Contains(os::CrashIgnoredSignals, s) ? now.sa_handler == SIG_IGN
                                                                            : unchanged != (stackDump && Contains(os::TracedSignals, s));
        if (!ok) {
            std::fprintf(stderr, "armed: signal %d not as expected\n", s);
            _exit(1);
        }
    }
    logger.reset();
    for (int s = 1; s < 32; ++s) {
        struct sigaction now {};
        sigaction(s, nullptr, &now);
        if (now.sa_handler != before[s].sa_handler) {
            std::fprintf(stderr, "disarmed: signal %d not given back\n", s);
            _exit(1);
        }
    }
    _exit(0);
}

TEST_F(CrashChildTest, ArmingFollowsTheLogSetting) {
    EXPECT_EXIT(CheckArming(folder, false), ::testing::ExitedWithCode(0), "") << "StackDumpInDebug false";
    EXPECT_EXIT(CheckArming(folder, true), ::testing::ExitedWithCode(0), "") << "StackDumpInDebug true";
}

TEST(StackTraceLogger, BacktraceNamesTheCaller) {
    test_support::TempDir dir;
    IStackTraceLoggerPtr logger = IStackTraceLogger::Create(CreateLog(dir.dir(), false));
    ASSERT_NE(logger, nullptr);
    signals_crash_test::LogStackFromHere(*logger);
    const std::string text = ReadLogs(dir.dir());
    // Frame 1 is the logger itself, frame 2 its caller.
    EXPECT_NE(text.find("StackTraceLogger::Backtrace() + "), std::string::npos) << text;
    EXPECT_NE(text.find("\n2   "), std::string::npos) << text;
    EXPECT_NE(text.find("signals_crash_test::LogStackFromHere(IStackTraceLogger&) + "), std::string::npos) << text;
}

} // namespace
