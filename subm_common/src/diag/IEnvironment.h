// The process environment: the services every object of the library shares (the debug log, the
// usage-counter manager, the crash-signal handling with its stack-trace logger), made on the
// first request anywhere in the process and kept until the process ends.
//
// Typical use: Environment()->DebugLog() (which may be empty), then write to that log.
#pragma once

#include <memory>

#include "diag/debug_log.h"
#include "util/singleton2.h"

class IStackTraceLogger;
using IStackTraceLoggerPtr = std::shared_ptr<IStackTraceLogger>;

namespace cmn {
class IUsageCounterManager;  // environment/usage-counter-manager.h
using IUsageCounterManagerPtr = std::shared_ptr<IUsageCounterManager>;
} // namespace cmn

class IEnvironment {
public:
    virtual ~IEnvironment() = default;

    virtual IDebugLogPtr DebugLog() = 0;
    virtual IStackTraceLoggerPtr StackTraceLogger() = 0;
    virtual cmn::IUsageCounterManagerPtr UsageCounterManager() = 0;

    // A new EnvironmentCommon: the process log from its settings file, the usage-counter
    // manager with its reporting thread, the crash-signal handling.
    static std::unique_ptr<IEnvironment> Create();
};

// The holder through which the process environment is reached. A temporary holder is the usual
// way in; it has no state of its own.
class Environment {
public:
    Environment() noexcept;
    ~Environment();
    Environment(const Environment&) = delete;
    Environment& operator=(const Environment&) = delete;

    // The process environment, created on the first call in the process; never null. Safe from
    // any thread; concurrent first calls create it once.
    IEnvironment* Get();
    IEnvironment* operator->() { return Get(); }

private:
    // Drops this holder's reference to the environment mutex; destroys the environment only if
    // that freed the mutex, which cannot happen while the mutex keeps its own reference: once
    // made, the environment stays until the process ends.
    void Finalize();

    // Plain pointer and constant-initialised allocator: neither has a destructor that could run
    // while a late static object still reaches for the environment at process exit.
    static IEnvironment* _ShPtEnvironment;                  // guarded by _EnvironmentMutex
    static SingletonMutexAllocator _EnvironmentMutex;
};
