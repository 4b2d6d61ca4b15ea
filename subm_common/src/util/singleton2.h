// A process-wide mutex made on first use and counted by reference, for guarding process
// singletons (the process environment). A static SingletonMutexAllocator is constant-initialised,
// so any thread may use it at any time, also before or after the static constructors run.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

class SingletonMutexAllocator {
public:
    constexpr SingletonMutexAllocator() noexcept = default;
    SingletonMutexAllocator(const SingletonMutexAllocator&) = delete;
    SingletonMutexAllocator& operator=(const SingletonMutexAllocator&) = delete;

    // Takes one reference and makes sure the mutex exists. The first allocation keeps a
    // reference of its own, so matched Ensure/Release pairs never free the mutex: once made it
    // stays until the process ends.
    void EnsureAllocatedMutex() noexcept;
    // Drops one reference; true when this call freed the mutex, which takes one release more
    // than ensures and must not overlap any other use of the allocator.
    bool ReleaseMutex() noexcept;
    // The mutex, or null before the first EnsureAllocatedMutex.
    std::mutex* Get() const noexcept { return _mutexPointer.load(std::memory_order_acquire); }

private:
    enum : int32_t { SpinnerFree = 0, SpinnerAllocating = 1, SpinnerReleasing = 2 };
    void _TakeSpinner(int32_t mode) noexcept;
    void _FreeSpinner() noexcept;

    // No destructor on purpose: a static allocator outlives every other static object that may
    // still lock its mutex while the process ends.
    std::atomic<std::mutex*> _mutexPointer{nullptr};
    std::atomic<int64_t> _referenceCounter{0};
    std::atomic<int32_t> _blockingSpinner{SpinnerFree};  // who is making or freeing the mutex
};

// Holds one reference of an allocator and a lock on its mutex for its lifetime.
class AutoGrabSingletonMutex {
public:
    explicit AutoGrabSingletonMutex(SingletonMutexAllocator& allocator) noexcept;
    ~AutoGrabSingletonMutex();
    AutoGrabSingletonMutex(const AutoGrabSingletonMutex&) = delete;
    AutoGrabSingletonMutex& operator=(const AutoGrabSingletonMutex&) = delete;

    std::mutex* Get() const noexcept { return _mutex; }

private:
    SingletonMutexAllocator& _allocator;
    std::mutex* _mutex;
};
