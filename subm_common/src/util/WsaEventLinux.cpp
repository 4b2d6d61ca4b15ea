#include "util/WsaEventLinux.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>

static_assert(WAIT_TIMEOUT == ETIMEDOUT);

namespace {

struct EventObject {
    std::mutex Mutex;
    std::condition_variable Cv;
    bool AutoReset = true;  // fixed at creation
    bool State = false;     // signalled; guarded by Mutex
};

EventObject* FromHandle(HANDLE handle) {
    return static_cast<EventObject*>(handle);
}

} // namespace

HANDLE CreateEvent(const void* /*attributes*/, bool bManualReset, bool bInitialState, const void* /*name*/) {
    auto* event = new (std::nothrow) EventObject;
    if (event == nullptr) return nullptr;
    event->AutoReset = !bManualReset;
    event->State = bInitialState;
    return event;
}

int SetEvent(HANDLE handle) {
    EventObject* event = FromHandle(handle);
    if (event == nullptr) return 0;
    // Notified under the mutex: a waiter released by this set may close the event as soon as
    // it returns, which it cannot do before the mutex is free, so the set never touches a
    // destroyed event.
    std::lock_guard lock(event->Mutex);
    event->State = true;
    if (event->AutoReset)
        event->Cv.notify_one();
    else
        event->Cv.notify_all();
    return 0;
}

int ResetEvent(HANDLE handle) {
    EventObject* event = FromHandle(handle);
    if (event == nullptr) return 0;
    std::lock_guard lock(event->Mutex);
    event->State = false;
    return 0;
}

uint32_t WaitForSingleObject(HANDLE handle, uint32_t dwMilliseconds) {
    EventObject* event = FromHandle(handle);
    if (event == nullptr) return WAIT_FAILED;
    // The mutex is only ever held for a few instructions, so even a 0 ms look takes it rather
    // than report a signalled event as timed out because a setter held it at that moment.
    std::unique_lock lock(event->Mutex);
    auto signalled = [event] { return event->State; };
    if (dwMilliseconds == INFINITE) {
        event->Cv.wait(lock, signalled);
    } else if (!signalled()) {
        if (dwMilliseconds == 0) return WAIT_TIMEOUT;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(dwMilliseconds);
        if (!event->Cv.wait_until(lock, deadline, signalled)) return WAIT_TIMEOUT;
    }
    if (event->AutoReset) event->State = false;
    return WAIT_OBJECT_0;
}

int CloseHandle(HANDLE handle) {
    delete FromHandle(handle);
    return 0;
}
