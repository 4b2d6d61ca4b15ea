// The process environment's implementation: makes the process-wide services in dependency order
// and takes them down in reverse.
#pragma once

#include "diag/IEnvironment.h"
#include "environment/usage-counter-manager.h"

class EnvironmentCommon final : public IEnvironment {
public:
    EnvironmentCommon();
    ~EnvironmentCommon() override;
    EnvironmentCommon(const EnvironmentCommon&) = delete;
    EnvironmentCommon& operator=(const EnvironmentCommon&) = delete;

    // Copies; set once by the constructor, so any thread may take them.
    IDebugLogPtr DebugLog() override { return _DebugLog; }
    IStackTraceLoggerPtr StackTraceLogger() override { return _StackTraceLogger; }
    cmn::IUsageCounterManagerPtr UsageCounterManager() override { return _UsageCounterManager; }

private:
    IDebugLogPtr _DebugLog;
    IStackTraceLoggerPtr _StackTraceLogger;  // empty until crash-signal handling exists
    cmn::IUsageCounterManagerPtr _UsageCounterManager;
};
