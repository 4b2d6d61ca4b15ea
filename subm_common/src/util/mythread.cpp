#include "util/mythread.h"

#include <cxxabi.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <exception>
#include <utility>

namespace os {

namespace {

// A thread raised by SetDispatch stays below the highest priority so that the system's own
// highest-priority threads still preempt it; the socket service loop uses the same distance.
constexpr int DispatchDelta = -10;

int PolicyOf(DispatchClass dispatch) {
    switch (dispatch) {
    case DispatchClass::Normal: return SCHED_OTHER;
    case DispatchClass::RealTimeShared: return SCHED_RR;
    case DispatchClass::RealTime: return SCHED_FIFO;
    }
    return -1;
}

} // namespace

MyThread::~MyThread() {
    _DontAllowStart = true;
    StopThread(1);
}

bool MyThread::_IsBusy() const {
    return _StartRunRequested || _RunningInsideBody;
}

bool MyThread::StartThread(unsigned spinning_millisecs) {
    if (_DontAllowStart) return false;
    {
        std::unique_lock lock(_StateLock);
        if (_IsBusy()) {
            if (spinning_millisecs == 0) return true;
            _StateChanged.wait(lock, [this] { return !_IsBusy(); });
        }
    }
    if (_DontAllowStart) return false;
    _DoCloseHandle();

    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return false;
    const int detach = _MyThreadDetached ? PTHREAD_CREATE_DETACHED : PTHREAD_CREATE_JOINABLE;
    if (pthread_attr_setdetachstate(&attr, detach) != 0) {
        pthread_attr_destroy(&attr);
        return false;
    }
    {
        std::lock_guard lock(_StateLock);
        _StartRunRequested = true;
        // A request left from the previous run must not stop the new body at once.
        _StopAndExitRequest = false;
    }
    _StartDispatch = _MyThreadDispatch;
    pthread_t handle;
    const int rc = pthread_create(&handle, &attr, &MyThread::_ThreadEntry, this);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        std::lock_guard lock(_StateLock);
        _StartRunRequested = false;
        _StateChanged.notify_all();
        return false;
    }
    if (!_MyThreadDetached) {
        _MyThreadHandle = handle;
        _HasHandle = true;
    }
    return true;
}

void MyThread::StopThread(unsigned /*spinning_millisecs*/) {
    const uint32_t self = GetCurId();
    std::unique_lock lock(_StateLock);
    _StopAndExitRequest = true;
    _StateChanged.notify_all();
    if (_BodyThreadId == self) return;  // the body cannot wait for itself; it returns next
    _StateChanged.wait(lock, [this] { return !_IsBusy(); });
    lock.unlock();
    _DoCloseHandle();
    lock.lock();
    _StopAndExitRequest = false;
}

void MyThread::_DoCloseHandle() {
    if (!_HasHandle) return;
    pthread_join(_MyThreadHandle, nullptr);
    _HasHandle = false;
}

void MyThread::SetStartRejectMode() { _DontAllowStart = true; }
void MyThread::SetPriority(ThreadPriority priority) { _MyThreadPriority = priority; }
void MyThread::SetDispatch(DispatchClass dispatch) { _MyThreadDispatch = dispatch; }
void MyThread::SetDetached(bool detached) { _MyThreadDetached = detached; }

bool MyThread::IsStopRequested() const { return _StopAndExitRequest; }
bool MyThread::IsThreadRunning() const { return _IsBusy(); }

int MyThread::ReturnedThreadValue() const {
    std::lock_guard lock(_StateLock);
    return _ReturnedThreadValue;
}

bool MyThread::IsEndedNormally() const {
    std::lock_guard lock(_StateLock);
    return !_ThreadHasCrashed;
}

std::string MyThread::CrashMessage() const {
    std::lock_guard lock(_StateLock);
    return _CrashMessage;
}

long MyThread::DispatchResult() const {
    std::lock_guard lock(_StateLock);
    return _DispatchResult;
}

bool MyThread::WaitForStopRequest(unsigned long millisecs) {
    std::unique_lock lock(_StateLock);
    return _StateChanged.wait_for(lock, std::chrono::milliseconds(millisecs),
                                  [this] { return _StopAndExitRequest.load(); });
}

void* MyThread::_ThreadEntry(void* self) {
    static_cast<MyThread*>(self)->_ThreadBodyWrapper();
    return nullptr;
}

// Runs on the started thread.
void MyThread::_ThreadBodyWrapper() {
    // A thread inherits its creator's policy: one started from a real-time loop would otherwise
    // run at real-time priority whatever its dispatch class says.
    long dispatchResult = 0;
    if (_StartDispatch == DispatchClass::Normal)
        MakeCurrentThreadRealtime(DispatchClass::Normal, 0);
    else
        dispatchResult = MakeCurrentThreadRealtime(_StartDispatch, DispatchDelta);
    {
        std::lock_guard lock(_StateLock);
        _ThreadHasCrashed = false;
        _CrashMessage.clear();
        _DispatchResult = dispatchResult;
        _BodyThreadId = GetCurId();
        _RunningInsideBody = true;
        _StartRunRequested = false;
        _StateChanged.notify_all();
    }
    int result = 0;
    try {
        result = ThreadBody();
    } catch (abi::__forced_unwind&) {
        // Thread cancellation or pthread_exit: must unwind on, but the body has ended.
        _EndBody(0, true, "Thread cancelled");
        throw;
    } catch (const std::exception& e) {
        _EndBody(0, true, e.what());
        return;
    } catch (...) {
        _EndBody(0, true, "Unrecognized exception");
        return;
    }
    _EndBody(result, false, std::string());
}

// Last touch of the object by the started thread: once the lock is released, a detached
// thread's object may already be destroyed by the controller that waited for this.
void MyThread::_EndBody(int result, bool crashed, std::string message) {
    std::lock_guard lock(_StateLock);
    _ReturnedThreadValue = result;
    _ThreadHasCrashed = crashed;
    _CrashMessage = std::move(message);
    _BodyThreadId = 0;
    _RunningInsideBody = false;
    _StateChanged.notify_all();
}

bool MyThread::Sleep(unsigned long millisecs) {
    timespec request{static_cast<time_t>(millisecs / 1000), static_cast<long>(millisecs % 1000) * 1000000L};
    timespec remaining{};
    while (nanosleep(&request, &remaining) != 0) {
        if (errno != EINTR) return false;
        request = remaining;
    }
    return true;
}

uint32_t MyThread::GetCurId() {
    return static_cast<uint32_t>(gettid());
}

long MyThread::MakeCurrentThreadRealtime(DispatchClass dispatch, int delta) {
    const int policy = PolicyOf(dispatch);
    if (policy < 0) return EINVAL;
    const int lowest = sched_get_priority_min(policy);
    const int highest = sched_get_priority_max(policy);
    if (lowest < 0 || highest < 0) return errno;
    long priority = static_cast<long>(highest) + delta;
    if (priority > highest) priority = highest;
    if (priority < lowest) priority = lowest;

    sched_param param{};
    param.sched_priority = static_cast<int>(priority);
    const int rc = pthread_setschedparam(pthread_self(), policy, &param);
    if (rc == 0) return 0;

    // Refused: go on at the scheduling a fresh thread would get.
    int defaultPolicy = SCHED_OTHER;
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) == 0) {
        pthread_attr_getschedpolicy(&attr, &defaultPolicy);
        pthread_attr_destroy(&attr);
    }
    sched_param fallback{};
    fallback.sched_priority = sched_get_priority_max(defaultPolicy);
    pthread_setschedparam(pthread_self(), defaultPolicy, &fallback);
    return rc;
}

long MyThread::MakeCurrentProcessRealtime(DispatchClass /*dispatch*/) {
    return 0;
}

MyThreadCb::MyThreadCb(MyThreadCallback cb) : _Cb(std::move(cb)) {}

MyThreadCb::~MyThreadCb() {
    SetStartRejectMode();
    StopThread(1);
}

int MyThreadCb::ThreadBody() {
    return _Cb();
}

} // namespace os
