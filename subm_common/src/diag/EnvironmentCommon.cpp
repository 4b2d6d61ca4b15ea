#include "diag/EnvironmentCommon.h"

#include "diag/SignalHandlingHooks.h"

#include <atomic>
#include <chrono>
#include <cstdlib>

namespace {

// The process log is never destroyed, so nothing would write what is still queued when the
// process ends: an exit handler gives the writer a moment to catch up. Set once, never reset.
std::atomic<IDebugLog*> ProcessLogAtExit{nullptr};

// Set by the signal layer at library load, before any environment is made; constant-initialised
// so that the order of static initialisers does not matter.
constinit SignalHandlingHooks SignalHooks;

void FlushProcessLogAtExit() {
    if (IDebugLog* log = ProcessLogAtExit.load()) log->Flush(std::chrono::seconds(2));
}

} // namespace

void SetSignalHandlingHooks(const SignalHandlingHooks& hooks) { SignalHooks = hooks; }

// Runs under the environment mutex: nothing made here may ask the environment for itself.
EnvironmentCommon::EnvironmentCommon() {
    // The log first: everything made after it reports through it.
    _DebugLog = IDebugLog::Create();
    if (_DebugLog && !ProcessLogAtExit.exchange(_DebugLog.get())) std::atexit(FlushProcessLogAtExit);
    // Given the log, for the reason above.
    _UsageCounterManager = cmn::CreateUsageCounterManager(_DebugLog);
    // Crash-signal handling: the registry, and the stack-trace logger for the log, armed when the
    // log's settings ask for stack dumps.
    if (SignalHooks.Start) _StackTraceLogger = SignalHooks.Start(_DebugLog);
}

EnvironmentCommon::~EnvironmentCommon() {
    if (ProcessLogAtExit.load() == _DebugLog.get()) ProcessLogAtExit.store(nullptr);
    // Reverse order of construction; the crash-signal handling, once it exists, ends first.
    _StackTraceLogger.reset();
    if (SignalHooks.End) SignalHooks.End();
    _UsageCounterManager.reset();
    _DebugLog.reset();
}
