#include "diag/IEnvironment.h"

#include <mutex>

#include "diag/EnvironmentCommon.h"

IEnvironment* Environment::_ShPtEnvironment = nullptr;
constinit SingletonMutexAllocator Environment::_EnvironmentMutex;

std::unique_ptr<IEnvironment> IEnvironment::Create() { return std::make_unique<EnvironmentCommon>(); }

Environment::Environment() noexcept { _EnvironmentMutex.EnsureAllocatedMutex(); }

Environment::~Environment() { Finalize(); }

IEnvironment* Environment::Get() {
    // A reference of its own for the call, so that the mutex is there even when this holder's
    // reference has already been dropped.
    _EnvironmentMutex.EnsureAllocatedMutex();
    IEnvironment* environment;
    {
        std::lock_guard<std::mutex> lock(*_EnvironmentMutex.Get());
        if (!_ShPtEnvironment) _ShPtEnvironment = IEnvironment::Create().release();
        environment = _ShPtEnvironment;
    }
    _EnvironmentMutex.ReleaseMutex();
    return environment;
}

void Environment::Finalize() {
    if (!_EnvironmentMutex.ReleaseMutex()) return;
    // Only reached when every reference, the mutex's own included, is gone: nobody else can be
    // inside Get() now.
    delete _ShPtEnvironment;
    _ShPtEnvironment = nullptr;
}
