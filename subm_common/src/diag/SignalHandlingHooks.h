// Crash-signal handling sits above the diagnostics layer. It hands the process environment its
// start and end functions from a static initialiser when the library loads, so that the
// environment runs them without depending on it.
#pragma once

#include "diag/IEnvironment.h"

struct SignalHandlingHooks {
    // Starts the signal handler registry and returns the stack-trace logger for log, armed when
    // log asks for stack dumps.
    IStackTraceLoggerPtr (*Start)(const IDebugLogPtr& log) = nullptr;
    // Ends the registry; called after the environment has released the logger.
    void (*End)() = nullptr;
};

// Called once, at library load; an environment made before that has no crash-signal handling.
void SetSignalHandlingHooks(const SignalHandlingHooks& hooks);
