// Queues that pass work between threads.
// ConcurrentQueue: a mutex-guarded double-ended queue for any number of threads; a push reports
// whether the queue was empty, so the producer knows when the consumer must be woken.
// FixedLenQueueLockFree: a fixed-size ring for exactly one producer and one consumer thread, with
// no lock and no allocation per element, for the per-packet send path.
#pragma once

#include <atomic>
#include <cstddef>
#include <deque>
#include <mutex>
#include <utility>
#include <vector>

template <class T>
class ConcurrentQueue {
public:
    virtual ~ConcurrentQueue() = default;

    // Every push returns whether the queue was empty before the call, also while the queue is
    // locked and nothing is inserted. Several elements land contiguous and in their order.
    bool PushBack(T item) {
        std::lock_guard lock(Mutex);
        const bool wasEmpty = Queue.empty();
        if (!Locked) Queue.push_back(std::move(item));
        return wasEmpty;
    }
    bool PushFront(T item) {
        std::lock_guard lock(Mutex);
        const bool wasEmpty = Queue.empty();
        if (!Locked) Queue.push_front(std::move(item));
        return wasEmpty;
    }
    bool PushBack(const std::vector<T>& items) { return PushBack(items.data(), items.size()); }
    bool PushBack(const T* items, size_t count) {
        std::lock_guard lock(Mutex);
        const bool wasEmpty = Queue.empty();
        if (!Locked && items != nullptr) Queue.insert(Queue.end(), items, items + count);
        return wasEmpty;
    }
    // items[0] becomes the front element.
    bool PushFront(const std::vector<T>& items) {
        std::lock_guard lock(Mutex);
        const bool wasEmpty = Queue.empty();
        if (!Locked) Queue.insert(Queue.begin(), items.begin(), items.end());
        return wasEmpty;
    }

    // The removed element, or a default T when the queue is empty.
    T TryPopFront() {
        T item{};
        TryPopFront(item);
        return item;
    }
    T TryPopBack() {
        T item{};
        TryPopBack(item);
        return item;
    }
    // False, item untouched, when the queue is empty.
    bool TryPopFront(T& item) {
        std::lock_guard lock(Mutex);
        if (Queue.empty()) return false;
        item = std::move(Queue.front());
        Queue.pop_front();
        return true;
    }
    bool TryPopBack(T& item) {
        std::lock_guard lock(Mutex);
        if (Queue.empty()) return false;
        item = std::move(Queue.back());
        Queue.pop_back();
        return true;
    }

    bool Empty() const {
        std::lock_guard lock(Mutex);
        return Queue.empty();
    }
    size_t Size() const {
        std::lock_guard lock(Mutex);
        return Queue.size();
    }
    void Clear() {
        std::lock_guard lock(Mutex);
        Queue.clear();
    }
    // While locked, pushes are ignored; pops still work, so a stopping consumer can drain.
    void Lock() {
        std::lock_guard lock(Mutex);
        Locked = true;
    }
    void UnLock() {
        std::lock_guard lock(Mutex);
        Locked = false;
    }
    bool IsLocked() const {
        std::lock_guard lock(Mutex);
        return Locked;
    }

private:
    mutable std::mutex Mutex;
    std::deque<T> Queue;  // guarded by Mutex
    bool Locked = false;  // guarded by Mutex
};

// One producer thread calls TryEmplaceBack / TryPushBack, one consumer thread TryPopFront and
// Clear; Empty, Size and Capacity may be asked from either. Reset only while neither runs.
// A full ring rejects the element instead of growing.
template <class T>
class FixedLenQueueLockFree {
public:
    explicit FixedLenQueueLockFree(size_t capacity = 0) { Reset(capacity); }
    FixedLenQueueLockFree(const FixedLenQueueLockFree&) = delete;
    FixedLenQueueLockFree& operator=(const FixedLenQueueLockFree&) = delete;

    // Producer. False, item untouched, when full.
    bool TryEmplaceBack(T&& item) {
        const size_t back = _Back.load(std::memory_order_relaxed);
        const size_t next = _Next(back);
        // Acquire: the consumer has finished moving the element out of that slot.
        if (next == _Front.load(std::memory_order_acquire)) return false;
        _Buf[back] = std::move(item);
        _Back.store(next, std::memory_order_release);  // publishes the element
        return true;
    }
    bool TryPushBack(const T& item) {
        const size_t back = _Back.load(std::memory_order_relaxed);
        const size_t next = _Next(back);
        if (next == _Front.load(std::memory_order_acquire)) return false;
        _Buf[back] = item;
        _Back.store(next, std::memory_order_release);
        return true;
    }

    // Consumer. The oldest element, or a default T when empty.
    T TryPopFront() {
        T item{};
        TryPopFront(item);
        return item;
    }
    // Consumer. False, item untouched, when empty.
    bool TryPopFront(T& item) {
        const size_t front = _Front.load(std::memory_order_relaxed);
        // Acquire: the producer's write of the element is visible.
        if (front == _Back.load(std::memory_order_acquire)) return false;
        item = std::move(_Buf[front]);
        _Front.store(_Next(front), std::memory_order_release);  // hands the slot back
        return true;
    }

    bool Empty() const {
        return _Front.load(std::memory_order_acquire) == _Back.load(std::memory_order_acquire);
    }
    // Exact when asked by the producer or the consumer while the other side is idle; otherwise a
    // snapshot.
    size_t Size() const {
        const size_t front = _Front.load(std::memory_order_acquire);
        const size_t back = _Back.load(std::memory_order_acquire);
        return back >= front ? back - front : back + _Buf.size() - front;
    }
    size_t Capacity() const { return _Buf.size() - 1; }

    // Consumer. Drops every element, releasing what they hold.
    void Clear() {
        T item{};
        while (TryPopFront(item)) item = T{};
    }
    // Neither side may run. One slot stays free to tell a full ring from an empty one.
    void Reset(size_t capacity) {
        _Buf.clear();
        _Buf.resize(capacity + 1);
        _Front.store(0);
        _Back.store(0);
    }

private:
    size_t _Next(size_t index) const { return index + 1 == _Buf.size() ? 0 : index + 1; }

    std::vector<T> _Buf;  // capacity + 1 slots; resized only by Reset
    // On separate cache lines: each side writes its own index at full rate.
    alignas(64) std::atomic<size_t> _Front{0};  // oldest element; written by the consumer only
    alignas(64) std::atomic<size_t> _Back{0};   // next free slot; written by the producer only
};
