#include "util/singleton2.h"

void SingletonMutexAllocator::_TakeSpinner(int32_t mode) noexcept {
    int32_t expected = SpinnerFree;
    while (!_blockingSpinner.compare_exchange_weak(expected, mode, std::memory_order_acquire)) {
        if (expected != SpinnerFree) _blockingSpinner.wait(expected, std::memory_order_relaxed);
        expected = SpinnerFree;
    }
}

void SingletonMutexAllocator::_FreeSpinner() noexcept {
    _blockingSpinner.store(SpinnerFree, std::memory_order_release);
    _blockingSpinner.notify_all();
}

void SingletonMutexAllocator::EnsureAllocatedMutex() noexcept {
    _referenceCounter.fetch_add(1, std::memory_order_acq_rel);
    if (_mutexPointer.load(std::memory_order_acquire) != nullptr) return;
    // Whoever takes the spinner first makes the mutex; the others find it made.
    _TakeSpinner(SpinnerAllocating);
    if (_mutexPointer.load(std::memory_order_relaxed) == nullptr) {
        _mutexPointer.store(new std::mutex, std::memory_order_release);
        _referenceCounter.fetch_add(1, std::memory_order_acq_rel);
    }
    _FreeSpinner();
}

bool SingletonMutexAllocator::ReleaseMutex() noexcept {
    if (_referenceCounter.fetch_sub(1, std::memory_order_acq_rel) != 1) return false;
    _TakeSpinner(SpinnerReleasing);
    std::mutex* mutex = _mutexPointer.exchange(nullptr, std::memory_order_acq_rel);
    _FreeSpinner();
    delete mutex;
    return true;
}

AutoGrabSingletonMutex::AutoGrabSingletonMutex(SingletonMutexAllocator& allocator) noexcept
    : _allocator(allocator) {
    _allocator.EnsureAllocatedMutex();
    _mutex = _allocator.Get();
    _mutex->lock();
}

AutoGrabSingletonMutex::~AutoGrabSingletonMutex() {
    _mutex->unlock();
    _allocator.ReleaseMutex();
}
