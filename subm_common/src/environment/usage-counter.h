// Counts the live instances of a class T: give T a UsageCounter<T> member constructed with the
// counter's name, and the usage-counter manager reports how many T exist. The first instance
// registers the counter; every instance, copies included, adds one while it lives.
#pragma once

#include <atomic>
#include <cstddef>

#include "diag/IEnvironment.h"
#include "environment/usage-counter-manager.h"

namespace cmn {

template <class T>
class UsageCounter {
public:
    // manager: the process environment's when null; every instance of T must use the same one,
    // as the counter index is kept per class.
    explicit UsageCounter(const char* counter_name, IUsageCounterManagerPtr manager = nullptr)
        : _Manager(manager ? std::move(manager) : Environment()->UsageCounterManager()) {
        if (!_Manager) return;
        if (_CounterIndex.load() == UsageCounterNotRegistered)
            _Manager->RegisterCounter(counter_name, _CounterMemory, _CounterIndex);
        _Manager->IncrementCounter(_CounterIndex.load());
    }
    // A copy of a counted object is one more live object.
    UsageCounter(const UsageCounter& other) : _Manager(other._Manager) {
        if (_Manager) _Manager->IncrementCounter(_CounterIndex.load());
    }
    // Assignment leaves the number of live objects as it is.
    UsageCounter& operator=(const UsageCounter&) { return *this; }
    ~UsageCounter() {
        if (_Manager) _Manager->DecrementCounter(_CounterIndex.load());
    }

    // The index the manager gave T's counter (see usage-counter-manager.h).
    static size_t CounterIndex() { return _CounterIndex.load(); }

private:
    IUsageCounterManagerPtr _Manager;
    static inline std::atomic<size_t> _CounterIndex{UsageCounterNotRegistered};
    alignas(UsageCounterMemorySize) static inline unsigned char _CounterMemory[UsageCounterMemorySize];
};

} // namespace cmn
