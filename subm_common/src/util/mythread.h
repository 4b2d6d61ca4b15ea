// Service threads of the library: a thread object whose body a subclass (or a callback) supplies,
// with start and stop handshakes and crash capture, plus the thread helpers for sleeping, kernel
// thread ids and real-time scheduling.
//
// One controlling thread starts and stops a MyThread object; the body runs on the thread the
// object starts. A body that runs for long watches IsStopRequested() (or blocks in
// WaitForStopRequest) and returns when a stop is requested. Nothing here waits by polling.
#pragma once

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

namespace os {

enum class ThreadPriority : int32_t {
    Idle = 0,
    Lowest = 1,
    BelowNormal = 2,
    Normal = 3,
    AboveNormal = 4,
    Highest = 5,
    TimeCritical = 6,
};

enum class DispatchClass : int32_t {
    Normal = 0,          // SCHED_OTHER
    RealTimeShared = 1,  // SCHED_RR
    RealTime = 2,        // SCHED_FIFO
};

class MyThread {
protected:
    // Runs on the started thread. Its result is kept for ReturnedThreadValue(); an exception
    // ends the thread as crashed (IsEndedNormally() false, CrashMessage() tells why).
    virtual int ThreadBody() = 0;

public:
    MyThread() = default;
    // Refuses further starts and stops the thread. A subclass whose body uses its own members
    // must call StopThread in its own destructor: by the time this one runs they are gone.
    virtual ~MyThread();
    MyThread(const MyThread&) = delete;
    MyThread& operator=(const MyThread&) = delete;

    // Starts the body on a new thread; false when starts are refused or the system cannot
    // create the thread. While an earlier start or body is still under way: with
    // spinning_millisecs 0 returns true at once (that thread counts as running), otherwise
    // blocks until it has ended and starts anew. Any parameter other than 0 means the same.
    bool StartThread(unsigned spinning_millisecs = 0);
    // Requests a stop and blocks until the body has returned; joins the thread unless it is
    // detached. Called from the body itself it only requests the stop. The parameter is kept
    // for existing callers; the wait blocks on a condition instead of sleeping in steps.
    void StopThread(unsigned spinning_millisecs = 1);
    void SetStartRejectMode();

    // Stored only; there is nothing to apply it to on this platform.
    void SetPriority(ThreadPriority priority);
    // Used from the next start: the new thread raises itself to the class (10 below its highest
    // priority) and carries on at normal priority when refused, see DispatchResult().
    void SetDispatch(DispatchClass dispatch);
    // Used from the next start: a detached thread is not joined; StopThread still waits for
    // its body to return.
    void SetDetached(bool detached);

    bool IsStopRequested() const;
    bool IsThreadRunning() const;
    int ReturnedThreadValue() const;
    bool IsEndedNormally() const;
    std::string CrashMessage() const;
    // 0, or the system code with which the last started thread was refused its dispatch class.
    long DispatchResult() const;

    // For the body: blocks for up to millisecs or until a stop is requested; returns whether
    // a stop is requested.
    bool WaitForStopRequest(unsigned long millisecs);

    // Sleeps the full time, resuming after signals; false only when the system call fails.
    static bool Sleep(unsigned long millisecs);
    // The calling thread's kernel thread id (as the log prints it).
    static uint32_t GetCurId();
    // Moves the calling thread to the policy of dispatch at its highest priority plus delta,
    // clamped to the policy's range; 0 on success. When refused (typically missing privilege)
    // the thread is put at the default policy and normal priority, and the system code is
    // returned: the caller reports it and carries on.
    static long MakeCurrentThreadRealtime(DispatchClass dispatch, int delta);
    // Nothing to do on this platform; returns 0.
    static long MakeCurrentProcessRealtime(DispatchClass dispatch);

private:
    static void* _ThreadEntry(void* self);
    void _ThreadBodyWrapper();
    void _EndBody(int result, bool crashed, std::string message);
    bool _IsBusy() const;
    void _DoCloseHandle();

    // Touched by the controlling thread only.
    pthread_t _MyThreadHandle{};
    bool _HasHandle = false;
    ThreadPriority _MyThreadPriority = ThreadPriority::Normal;
    DispatchClass _MyThreadDispatch = DispatchClass::Normal;
    bool _MyThreadDetached = false;
    // Written by StartThread before the thread is created, read by that thread.
    DispatchClass _StartDispatch = DispatchClass::Normal;

    // Changed under _StateLock (the waits depend on them), readable at any time.
    std::atomic<bool> _StartRunRequested{false};
    std::atomic<bool> _RunningInsideBody{false};
    std::atomic<bool> _StopAndExitRequest{false};
    std::atomic<bool> _DontAllowStart{false};
    std::atomic<uint32_t> _BodyThreadId{0};  // kernel id while the body runs, else 0

    // Guarded by _StateLock.
    bool _ThreadHasCrashed = false;
    int _ReturnedThreadValue = 0;
    std::string _CrashMessage;
    long _DispatchResult = 0;

    mutable std::mutex _StateLock;
    std::condition_variable _StateChanged;  // a body started or ended, or a stop was requested
};

using MyThreadCallback = std::function<int()>;

// A MyThread whose body is a callable.
class MyThreadCb : public MyThread {
public:
    explicit MyThreadCb(MyThreadCallback cb);
    ~MyThreadCb() override;

protected:
    int ThreadBody() override;

private:
    MyThreadCallback _Cb;
};

} // namespace os
