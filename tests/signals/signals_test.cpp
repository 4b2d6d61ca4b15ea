// Signal names, the registry through which objects take over single signals, the thread mask
// helpers and the frame lines of the stack dumper in an executable that exports no symbols.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "diag/IEnvironment.h"
#include "signals/ProcessDumper.h"
#include "signals/signals.h"
#include "support/log_capture.h"

namespace {

using test_support::LogCapture;

TEST(SignalNames, NameAndNumberedForm) {
    struct Case {
        int Signal;
        const char* Name;
        const char* Numbered;
    };
    const Case cases[] = {
        {1, "SIGHUP", "1(SIGHUP)"},         {6, "SIGABRT", "6(SIGABRT)"},
        {11, "SIGSEGV", "11(SIGSEGV)"},     {16, "SIGSTKFLT", "16(SIGSTKFLT)"},
        {30, "SIGPWR", "30(SIGPWR)"},       {31, "SIGSYS", "31(SIGSYS)"},
        {256, "SIGUNUSED", "256(SIGUNUSED)"}, {0, "*UNKNOWN*", "0(*UNKNOWN*)"},
        {32, "*UNKNOWN*", "32(*UNKNOWN*)"}, {-2147483647 - 1, "*UNKNOWN*", "-2147483648(*UNKNOWN*)"},
    };
    for (const Case& c : cases) {
        char buffer[os::SignalNameBufferSize];
        EXPECT_STREQ(os::GetSignalName(c.Signal), c.Name) << c.Signal;
        EXPECT_STREQ(os::GetSignalName(c.Signal, buffer), c.Numbered) << c.Signal;
    }
}

// --- thread masks -----------------------------------------------------------------------------

std::vector<int> BlockedSignals() {
    sigset_t mask;
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    std::vector<int> blocked;
    for (int s = 1; s <= 31; ++s)
        if (sigismember(&mask, s) == 1) blocked.push_back(s);
    return blocked;
}

// Each step runs on a fresh thread, so that the test's own mask is never touched.
template <class Body>
void OnFreshThread(Body body) {
    std::thread t([&] {
        sigset_t none;
        sigemptyset(&none);
        pthread_sigmask(SIG_SETMASK, &none, nullptr);
        body();
    });
    t.join();
}

TEST(SignalMask, BlockUnblockAndList) {
    OnFreshThread([] {
        const int table[] = {SIGINT, os::SignalUnused, SIGTERM, 99};  // 99 is no signal: skipped
        os::BlockSignals(table, std::size(table));
        EXPECT_EQ(BlockedSignals(), (std::vector<int>{SIGINT, SIGTERM}));
        os::BlockSignal(SIGUSR2);
        os::UnblockSignal(SIGINT);
        EXPECT_EQ(BlockedSignals(), (std::vector<int>{SIGUSR2, SIGTERM}));
        os::UnblockSignals(table, std::size(table));
        EXPECT_EQ(BlockedSignals(), (std::vector<int>{SIGUSR2}));
        const int unusedOnly[] = {os::SignalUnused};
        os::UnblockSignals(unusedOnly, 1);
        os::BlockSignals(unusedOnly, 1);
        EXPECT_EQ(BlockedSignals(), (std::vector<int>{SIGUSR2}));
    });
}

TEST(SignalMask, BlockAllThenUnblockQuit) {
    OnFreshThread([] {
        os::BlockAllSignals();
        std::vector<int> expected(std::begin(os::BlockableSignals), std::end(os::BlockableSignals));
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(BlockedSignals(), expected);
        os::UnblockQuitSignals();
        std::erase_if(expected, [](int s) { return s == SIGINT || s == SIGQUIT || s == SIGTERM; });
        EXPECT_EQ(BlockedSignals(), expected);
    });
}

TEST(SignalMask, WriteLogSignalMaskText) {
    LogCapture capture(Environment()->DebugLog());
    OnFreshThread([] {
        os::BlockSignal(SIGTERM);
        os::BlockSignal(SIGINT);
        os::WriteLogSignalMask();
        os::UnblockQuitSignals();
        os::WriteLogSignalMask();
    });
    ASSERT_TRUE(capture.WaitForMatching(L"blocked signals: none."));
    std::vector<std::wstring> lines = capture.Matching(L"blocked signals: ");
    ASSERT_EQ(lines.size(), 2u);
    // Names in ascending order, each followed by ", " but the last by one blank.
    EXPECT_TRUE(lines[0].ends_with(L" blocked signals: SIGINT, SIGTERM ")) << lines[0];
    EXPECT_TRUE(lines[1].ends_with(L" blocked signals: none.")) << lines[1];
}

// --- registry ---------------------------------------------------------------------------------

class CountingHandler : public os::SignalHandler {
public:
    void HandleSignal(int signal) override {
        last = signal;
        ++count;
    }
    std::atomic<int> count{0};
    std::atomic<int> last{0};
};

bool WaitForCount(const CountingHandler& h, int count) {
    // Some sanitizers deliver signals a little later; the limit is only a safety net.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (h.count.load() < count && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return h.count.load() >= count;
}

bool HasDefaultDisposition(int signal) {
    struct sigaction current {};
    sigaction(signal, nullptr, &current);
    return !(current.sa_flags & SA_SIGINFO) && current.sa_handler == SIG_DFL;
}

class SignalRegistry : public ::testing::Test {
protected:
    // The registry is process-wide and lives as long as the process environment; tests share it.
    void SetUp() override {
        os::impl::signals_cpp_startup();
        ASSERT_NE(os::SignalHandlerCollection::Get(), nullptr);
    }
};

TEST_F(SignalRegistry, TakesOverOneSignalAndGivesItBack) {
    CountingHandler first;
    CountingHandler second;
    EXPECT_EQ(first.Register(SIGUSR2), nullptr);
    EXPECT_FALSE(HasDefaultDisposition(SIGUSR2));
    EXPECT_TRUE(HasDefaultDisposition(SIGURG)) << "only the registered signal is taken";

    ASSERT_EQ(os::SendSignalToSelf(SIGUSR2), 0);
    ASSERT_TRUE(WaitForCount(first, 1));
    EXPECT_EQ(first.last.load(), SIGUSR2);

    EXPECT_EQ(second.Register(SIGUSR2), &first) << "a new holder replaces the old one";
    ASSERT_EQ(os::SendSignalToSelf(SIGUSR2), 0);
    ASSERT_TRUE(WaitForCount(second, 1));
    EXPECT_EQ(first.count.load(), 1);

    EXPECT_EQ(os::SignalHandlerCollection::Get()->Register(nullptr, SIGUSR2), &second);
    EXPECT_TRUE(HasDefaultDisposition(SIGUSR2));
    EXPECT_EQ(second.Register(SIGUSR2), nullptr) << "the entry was erased";
    second.Unregister(SIGUSR2);
    EXPECT_TRUE(HasDefaultDisposition(SIGUSR2));
}

TEST_F(SignalRegistry, UnusedSlotChangesNothing) {
    CountingHandler h;
    EXPECT_EQ(os::SignalHandlerCollection::Get()->Register(&h, os::SignalUnused), nullptr);
    EXPECT_EQ(os::SignalHandlerCollection::Get()->Register(&h, os::SignalUnused), nullptr) << "nothing was stored";
    EXPECT_TRUE(os::SignalHandlerCollection::Get()->set_signal_handler(os::SignalUnused, nullptr).IsOk());
}

TEST_F(SignalRegistry, TableRegistrationAndDestructionGiveBack) {
    {
        CountingHandler h;
        const int table[] = {SIGUSR2, os::SignalUnused, SIGURG};
        EXPECT_EQ(h.Register(table, std::size(table)), 3u);
        EXPECT_FALSE(HasDefaultDisposition(SIGUSR2));
        EXPECT_FALSE(HasDefaultDisposition(SIGURG));
    }
    // A destroyed object must not stay reachable from a signal.
    EXPECT_TRUE(HasDefaultDisposition(SIGUSR2));
    EXPECT_TRUE(HasDefaultDisposition(SIGURG));
}

TEST_F(SignalRegistry, RemovingWhatIsNotHeldIsLoggedWithTheStack) {
    LogCapture capture(Environment()->DebugLog());
    CountingHandler holder;
    CountingHandler other;
    holder.Register(SIGUSR2);
    other.Unregister(SIGUSR2);
    other.Unregister(SIGURG);
    EXPECT_FALSE(HasDefaultDisposition(SIGUSR2)) << "the holder keeps its signal";

    const std::wstring text = L"SignalHandlerCollection::Unregister(): signal handler not found for remove; signal = ";
    ASSERT_TRUE(capture.WaitForMatching(text + L"23(SIGURG)"));
    EXPECT_EQ(capture.Matching(text + L"12(SIGUSR2)").size(), 1u);
    // The caller's stack follows the line: at least one frame record after it.
    const std::vector<std::wstring> records = capture.Records();
    size_t at = 0;
    while (at < records.size() && records[at].find(text) == std::wstring::npos) ++at;
    EXPECT_LT(at + 1, records.size());
    holder.Unregister();
}

TEST_F(SignalRegistry, RefusedInstallIsAnApiError) {
    LogCapture capture(Environment()->DebugLog());
    ErrInfo err = os::SignalHandlerCollection::Get()->set_signal_handler(SIGKILL, [](int) {});
    ASSERT_FALSE(err.IsOk());
    EXPECT_EQ(err.GetErrorType(), EIT_API);
    EXPECT_EQ(err.GetErrorCode(), static_cast<uint32_t>(EINVAL));
    EXPECT_NE(err.GetErrorStr().find(L"SignalHandlerCollection::set_signal_handler(): sigaction() error - handler "
                                     L"not set; signal = 9(SIGKILL)"),
              std::wstring::npos);
    EXPECT_TRUE(capture.WaitForMatching(L"signal = 9(SIGKILL)"));

    CountingHandler h;
    EXPECT_EQ(h.Register(SIGKILL), nullptr);
    EXPECT_EQ(h.Register(SIGKILL), nullptr) << "a signal that could not be taken over is not held";
}

TEST_F(SignalRegistry, WithoutRegistryNothingIsTaken) {
    os::impl::signals_cpp_cleanup();
    CountingHandler h;
    const int table[] = {SIGUSR2};
    EXPECT_EQ(h.Register(SIGUSR2), nullptr);
    EXPECT_EQ(h.Register(table, 1), 0u);
    EXPECT_TRUE(HasDefaultDisposition(SIGUSR2));
    os::impl::signals_cpp_startup();
}

// --- frame lines ------------------------------------------------------------------------------

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

[[gnu::noinline]] std::string DumpAtDepth(int depth) {
    if (depth > 0) {
        std::string text = DumpAtDepth(depth - 1);
        asm volatile("");  // keeps the recursion a real call, not a tail jump
        return text;
    }
    return ProcessDumper_LINUX().Backtrace();
}

// This executable exports no symbols, so its own frames have a module but no symbol name.
TEST(ProcessDumper, FrameWithoutSymbolNameShowsModuleAndOffset) {
    const std::vector<std::string> lines = Lines(DumpAtDepth(0));
    ASSERT_FALSE(lines.empty());
    // index left-justified in 3, address right-justified in 18, then the module and its offset
    const std::regex line(R"(1   [ 0-9a-fx]{18} (.*/signals_tests) \+ 0x[0-9a-f]+)");
    std::smatch m;
    EXPECT_TRUE(std::regex_match(lines[0], m, line)) << lines[0];
}

TEST(ProcessDumper, DeepStackIsCutAtTheFrameLimit) {
    const std::vector<std::string> lines = Lines(DumpAtDepth(ProcessDumper_LINUX::MaxFrames + 20));
    // 127 frames and the mark; a sanitizer's capture interceptor takes a frame or two of the 128.
    ASSERT_LE(lines.size(), static_cast<size_t>(ProcessDumper_LINUX::MaxFrames));
    ASSERT_GE(lines.size(), static_cast<size_t>(ProcessDumper_LINUX::MaxFrames - 3));
    EXPECT_EQ(lines.back(), "[truncated]");
    // index left-justified in 3, address right-justified in 18, then symbol (or module) and offset
    const std::regex frame(R"(([0-9 ]{3}) ( *0x[0-9a-f]+) (.+) \+ (-?[0-9]+|0x[0-9a-f]+))");
    for (size_t i = 0; i + 1 < lines.size(); ++i) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(lines[i], m, frame)) << lines[i];
        EXPECT_EQ(std::stoul(m[1]), i + 1);
        EXPECT_EQ(m[2].length(), 18) << lines[i];
    }
}

} // namespace
