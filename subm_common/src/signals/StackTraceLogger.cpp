#include "signals/StackTraceLogger.h"

#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <iterator>
#include <new>

#include "diag/IEnvironment.h"
#include "diag/SignalHandlingHooks.h"
#include "signals/signals.h"

struct CrashHandlerAccess {
    static void WriteCrash(StackTraceLogger& logger, const char* record, size_t length) {
        logger._WriteCrash(record, length);
    }
};

namespace {

// Long enough for the slowest symbolisation (sanitizer builds included), short enough that a
// process whose crash left a needed lock held still ends on its own.
constexpr unsigned WatchdogSeconds = 10;

// Armed state. The handler reads it in signal context, so it is lock-free and constant-initialised.
constinit std::atomic<StackTraceLogger*> ArmedLogger{nullptr};
// The kernel id of the thread that writes the crash; 0 while there is none.
constinit std::atomic<pid_t> CrashingThread{0};

// What arming replaced, restored when the armed logger goes. Written only while disarmed.
struct SavedDispositions {
    struct sigaction Traced[std::size(os::TracedSignals)];
    struct sigaction Ignored[std::size(os::CrashIgnoredSignals)];
};
SavedDispositions Saved;

// The stack text of the crash: static, so that the handler allocates nothing for it. Only the
// thread in CrashingThread uses it.
char CrashText[ProcessDumper_LINUX::MaxDumpSize];

pid_t CurrentThreadId() { return static_cast<pid_t>(syscall(SYS_gettid)); }

// Just enough formatting for the crash record, without stdio.
class RecordText {
public:
    void Append(const char* text) {
        while (*text && _size + 1 < sizeof(_buf)) _buf[_size++] = *text++;
    }
    void AppendNumber(int64_t value, unsigned base) {
        char reversed[24];
        size_t n = 0;
        uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
        do {
            reversed[n++] = "0123456789abcdef"[magnitude % base];
            magnitude /= base;
        } while (magnitude != 0);
        if (value < 0) Append("-");
        char digits[24];
        size_t size = 0;
        while (n > 0) digits[size++] = reversed[--n];
        digits[size] = '\0';
        Append(digits);
    }
    const char* Data() const { return _buf; }
    size_t Size() const { return _size; }

private:
    char _buf[256];
    size_t _size = 0;
};

// Ends the process by signal, as if no handler had been installed.
[[noreturn]] void EndBySignal(int signal) {
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    for (int traced : os::TracedSignals) sigaction(traced, &fallback, nullptr);
    sigaction(signal, &fallback, nullptr);
    sigset_t unblock;
    sigemptyset(&unblock);
    sigaddset(&unblock, signal);
    raise(signal);  // pending while the handler blocks it; delivered by the unblock
    pthread_sigmask(SIG_UNBLOCK, &unblock, nullptr);
    // Only reached when the signal's default action does not end the process.
    _exit(128 + signal);
}

void CrashHandler(int signal, siginfo_t* info, void*) {
    const pid_t thread = CurrentThreadId();
    pid_t writer = 0;
    if (!CrashingThread.compare_exchange_strong(writer, thread)) {
        // A crash on another thread is already being written and ends the process; do not
        // interleave with it. A second fault on the writing thread itself ends at once.
        if (writer != thread) {
            timespec wait{static_cast<time_t>(WatchdogSeconds), 0};
            while (nanosleep(&wait, &wait) != 0) {
            }
        }
        EndBySignal(signal);
    }
    // If the crash left a lock held that writing needs (the allocator's, say), this still ends
    // the process rather than leaving it hanging.
    ::signal(SIGALRM, SIG_DFL);
    alarm(WatchdogSeconds);

    // Sender and its user exist only for signals sent by a process (si_code <= 0); for faults
    // those fields overlay the fault address.
    const bool sent = info && info->si_code <= 0;
    RecordText text;
    text.Append("Have been received terminating SIGNAL:");
    text.Append(os::GetSignalName(signal));
    text.Append(", PID:");
    text.AppendNumber(sent ? info->si_pid : 0, 10);
    text.Append(", SELF PID:");
    text.AppendNumber(getpid(), 10);
    text.Append(", UID:");
    text.AppendNumber(sent ? info->si_uid : 0, 10);
    text.Append(", ERROR:");
    text.AppendNumber(info ? info->si_errno : 0, 10);
    text.Append(", CODE:");
    text.AppendNumber(info ? info->si_code : 0, 10);
    text.Append(", on thread:");
    text.AppendNumber(thread, 16);

    if (StackTraceLogger* logger = ArmedLogger.load()) CrashHandlerAccess::WriteCrash(*logger, text.Data(), text.Size());
    EndBySignal(signal);
}

} // namespace

IStackTraceLoggerPtr IStackTraceLogger::Create() { return Create(nullptr); }

IStackTraceLoggerPtr IStackTraceLogger::Create(IDebugLogPtr log) {
    try {
        return std::make_shared<StackTraceLogger>(std::move(log));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

StackTraceLogger::StackTraceLogger(IDebugLogPtr log) : _Debug_log(std::move(log)) {}

StackTraceLogger::~StackTraceLogger() {
    StackTraceLogger* self = this;
    if (!ArmedLogger.compare_exchange_strong(self, nullptr)) return;
    for (size_t i = 0; i < std::size(os::TracedSignals); ++i) sigaction(os::TracedSignals[i], &Saved.Traced[i], nullptr);
    for (size_t i = 0; i < std::size(os::CrashIgnoredSignals); ++i)
        sigaction(os::CrashIgnoredSignals[i], &Saved.Ignored[i], nullptr);
}

IDebugLogPtr StackTraceLogger::_Log() const {
    if (_Debug_log) return _Debug_log;
    return Environment()->DebugLog();
}

void StackTraceLogger::Backtrace() {
    const IDebugLogPtr log = _Log();
    if (!log) return;
    const std::string text = _ProcessDumper.Backtrace();
    log->LogRecordDirect(text.data(), text.size());
}

void StackTraceLogger::Init() {
    // Already armed: the handler only changes hands, and the saved dispositions stay those from
    // before the first arming.
    if (ArmedLogger.exchange(this) != nullptr) return;

    struct sigaction crash {};
    crash.sa_sigaction = &CrashHandler;
    crash.sa_flags = SA_SIGINFO;
    sigemptyset(&crash.sa_mask);
    for (size_t i = 0; i < std::size(os::TracedSignals); ++i) sigaction(os::TracedSignals[i], &crash, &Saved.Traced[i]);

    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    for (size_t i = 0; i < std::size(os::CrashIgnoredSignals); ++i)
        sigaction(os::CrashIgnoredSignals[i], &ignore, &Saved.Ignored[i]);
}

void StackTraceLogger::_WriteCrash(const char* record, size_t length) {
    // Only a logger made without a log asks the environment here, under the environment's lock;
    // the environment's own logger is made with its log and takes no lock.
    IDebugLog* log = _Debug_log ? _Debug_log.get() : nullptr;
    IDebugLogPtr fromEnvironment;
    if (!log) {
        fromEnvironment = Environment()->DebugLog();
        log = fromEnvironment.get();
    }
    if (!log) return;
    log->LogRecordDirect(record, length);
    const size_t size = _ProcessDumper.Backtrace(CrashText, sizeof(CrashText));
    log->LogRecordDirect(CrashText, size);
}

namespace os::impl {

IStackTraceLoggerPtr StartCrashSignalHandling(const IDebugLogPtr& log) {
    signals_cpp_startup();
    IStackTraceLoggerPtr logger = IStackTraceLogger::Create(log);
    if (logger && log && log->StackDumpInDebugEnabled()) logger->Init();
    return logger;
}

void EndCrashSignalHandling() { signals_cpp_cleanup(); }

} // namespace os::impl

namespace {
// The environment sits below this layer: it learns at library load what to run for signals.
[[maybe_unused]] const bool HooksSet = (SetSignalHandlingHooks({&os::impl::StartCrashSignalHandling,
                                                                &os::impl::EndCrashSignalHandling}),
                                        true);
} // namespace
