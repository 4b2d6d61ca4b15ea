#include "diag/EnvironmentCommon.h"

#include <atomic>
#include <chrono>
#include <cstdlib>

namespace {

// The process log is never destroyed, so nothing would write what is still queued when the
// process ends: an exit handler gives the writer a moment to catch up. Set once, never reset.
std::atomic<IDebugLog*> ProcessLogAtExit{nullptr};

void FlushProcessLogAtExit() {
    if (IDebugLog* log = ProcessLogAtExit.load()) log->Flush(std::chrono::seconds(2));
}

} // namespace

// Runs under the environment mutex: nothing made here may ask the environment for itself.
EnvironmentCommon::EnvironmentCommon() {
    // The log first: everything made after it reports through it.
    _DebugLog = IDebugLog::Create();
    if (_DebugLog && !ProcessLogAtExit.exchange(_DebugLog.get())) std::atexit(FlushProcessLogAtExit);
    // Given the log, for the reason above.
    _UsageCounterManager = cmn::CreateUsageCounterManager(_DebugLog);
    // Crash-signal handling comes here: start the process's signal handler collection, create
    // the stack-trace logger, and arm its crash handlers when the log's settings ask for stack
    // dumps (StackDumpInDebugEnabled).
}

EnvironmentCommon::~EnvironmentCommon() {
    if (ProcessLogAtExit.load() == _DebugLog.get()) ProcessLogAtExit.store(nullptr);
    // Reverse order of construction; the crash-signal handling, once it exists, ends first.
    _StackTraceLogger.reset();
    _UsageCounterManager.reset();
    _DebugLog.reset();
}
