// The crash handler: when the process receives a fatal signal (SIGILL, SIGTRAP, SIGBUS, SIGSEGV,
// SIGFPE, SIGABRT), writes one crash record and the faulting thread's stack to the debug log,
// then lets the signal end the process as it would have without the handler.
//
// The process environment makes one logger for its log and arms it when that log asks for stack
// dumps ("StackDumpInDebug"). Everything the handler does after a fatal signal is written for
// signal context: it writes through the log's direct path only and formats into static storage.
// The one exception is the standard library's demangler, which allocates; a watchdog alarm ends
// the process should the crash have left a lock held that the handler needs (the allocator's).
#pragma once

#include <memory>

#include "diag/debug_log.h"
#include "signals/ProcessDumper.h"

class IStackTraceLogger;
using IStackTraceLoggerPtr = std::shared_ptr<IStackTraceLogger>;

class IStackTraceLogger {
public:
    virtual ~IStackTraceLogger() = default;

    // Writes the calling thread's stack to the log as one direct record.
    virtual void Backtrace() = 0;
    // Arms the crash handler for this logger: installs it for the traced signals and sets the
    // signals of os::CrashIgnoredSignals to "ignore". Arming a second logger moves the handler
    // over to it.
    virtual void Init() = 0;

    // A logger that writes to the process environment's log; empty when out of memory.
    static IStackTraceLoggerPtr Create();
    // A logger that writes to log. The environment makes its logger this way, so that the
    // crash handler never has to ask the environment (and take its lock) in signal context.
    static IStackTraceLoggerPtr Create(IDebugLogPtr log);
};

class StackTraceLogger final : public IStackTraceLogger {
public:
    explicit StackTraceLogger(IDebugLogPtr log = nullptr);
    // When armed, restores the dispositions that arming replaced.
    ~StackTraceLogger() override;
    StackTraceLogger(const StackTraceLogger&) = delete;
    StackTraceLogger& operator=(const StackTraceLogger&) = delete;

    void Backtrace() override;
    void Init() override;

private:
    friend struct CrashHandlerAccess;

    IDebugLogPtr _Log() const;  // _Debug_log, else the environment's log
    // The crash record, then the stack, both direct; runs in signal context.
    void _WriteCrash(const char* record, size_t length);

    ProcessDumper_LINUX _ProcessDumper;
    IDebugLogPtr _Debug_log;  // empty: the environment's log, looked up at each write
};

namespace os::impl {
// What the process environment does for signals when it is made: starts the signal handler
// registry, makes the stack-trace logger for log and arms it when log->StackDumpInDebugEnabled().
// Returns the logger (empty when out of memory).
IStackTraceLoggerPtr StartCrashSignalHandling(const IDebugLogPtr& log);
// The environment's counterpart at its end, after it has released the logger.
void EndCrashSignalHandling();
} // namespace os::impl
