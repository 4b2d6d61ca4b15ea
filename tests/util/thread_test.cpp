// MyThread start/stop handshakes and crash capture, the thread helpers, and CThreadPool.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "util/WsaEventLinux.h"
#include "util/mythread.h"
#include "util/threadpool.h"

namespace {

constexpr uint32_t HangGuardMs = 10000;

// An auto-reset event that closes itself.
struct Event {
    HANDLE h = CreateEvent(nullptr, false, false, nullptr);
    ~Event() { CloseHandle(h); }
    void Set() const { SetEvent(h); }
    bool Wait(uint32_t ms = HangGuardMs) const { return WaitForSingleObject(h, ms) == WAIT_OBJECT_0; }
};

// A body that announces it runs, then blocks until released or asked to stop.
class GatedThread : public os::MyThread {
public:
    ~GatedThread() override { StopThread(); }
    Event Entered, Gate;
    std::atomic<int> Runs{0};
    std::atomic<bool> SawStopRequest{false};

protected:
    int ThreadBody() override {
        ++Runs;
        Entered.Set();
        while (WaitForSingleObject(Gate.h, 2) == WAIT_TIMEOUT)
            if (IsStopRequested()) {
                SawStopRequest = true;
                break;
            }
        return Runs;
    }
};

TEST(MyThread, BodyResultIsKeptAndTheThreadCanRunAgain) {
    int calls = 0;
    os::MyThreadCb t([&] { return 40 + ++calls; });
    ASSERT_TRUE(t.StartThread());
    t.StopThread();
    EXPECT_EQ(t.ReturnedThreadValue(), 41);
    EXPECT_TRUE(t.IsEndedNormally());
    EXPECT_FALSE(t.IsThreadRunning());
    ASSERT_TRUE(t.StartThread(1));  // the previous thread is joined first
    t.StopThread();
    EXPECT_EQ(t.ReturnedThreadValue(), 42);
}

TEST(MyThread, StartWithoutWaitWhileRunningDoesNotStartASecondBody) {
    GatedThread t;
    ASSERT_TRUE(t.StartThread(0));
    ASSERT_TRUE(t.Entered.Wait());
    EXPECT_TRUE(t.IsThreadRunning());
    EXPECT_TRUE(t.StartThread(0));
    t.Gate.Set();
    t.StopThread();
    EXPECT_EQ(t.Runs.load(), 1);
}

TEST(MyThread, StartWithWaitWhileRunningStartsAnewAfterTheBodyEnds) {
    GatedThread t;
    ASSERT_TRUE(t.StartThread(0));
    ASSERT_TRUE(t.Entered.Wait());
    std::thread opener([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        t.Gate.Set();
    });
    EXPECT_TRUE(t.StartThread(1));  // blocks until the first body has returned
    opener.join();
    ASSERT_TRUE(t.Entered.Wait());
    EXPECT_EQ(t.Runs.load(), 2);
    t.Gate.Set();
    t.StopThread();
}

TEST(MyThread, RejectModeRefusesStarts) {
    GatedThread t;
    t.SetStartRejectMode();
    EXPECT_FALSE(t.StartThread(0));
    EXPECT_FALSE(t.StartThread(1));
    t.StopThread();
    EXPECT_EQ(t.Runs.load(), 0);
}

TEST(MyThread, StopRequestReachesALongBodyAndStopWaitsForIt) {
    GatedThread t;
    ASSERT_TRUE(t.StartThread());
    ASSERT_TRUE(t.Entered.Wait());
    t.StopThread();
    EXPECT_TRUE(t.SawStopRequest);
    EXPECT_FALSE(t.IsThreadRunning());
    EXPECT_FALSE(t.IsStopRequested());
}

TEST(MyThread, BodyThatThrowsEndsAsCrashedWithItsReason) {
    struct Case {
        const char* name;
        os::MyThreadCallback body;
        bool endedNormally;
        const char* message;
    };
    const Case cases[] = {
        {"standard exception", [] () -> int { throw std::runtime_error("socket table broken"); }, false,
         "socket table broken"},
        {"anything else", [] () -> int { throw 7; }, false, "Unrecognized exception"},
        {"normal return", [] { return 3; }, true, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        os::MyThreadCb t(c.body);
        ASSERT_TRUE(t.StartThread());
        t.StopThread();
        EXPECT_EQ(t.IsEndedNormally(), c.endedNormally);
        EXPECT_EQ(t.CrashMessage(), c.message);
        EXPECT_FALSE(t.IsThreadRunning());
    }
}

TEST(MyThread, CrashStateIsClearedByTheNextRun) {
    bool fail = true;
    os::MyThreadCb t([&]() -> int {
        if (fail) throw std::logic_error("first run");
        return 1;
    });
    ASSERT_TRUE(t.StartThread());
    t.StopThread();
    ASSERT_FALSE(t.IsEndedNormally());
    fail = false;
    ASSERT_TRUE(t.StartThread());
    t.StopThread();
    EXPECT_TRUE(t.IsEndedNormally());
    EXPECT_EQ(t.CrashMessage(), "");
}

TEST(MyThread, WaitForStopRequestTimesOutAndThenSeesTheStop) {
    Event firstWaitDone;
    std::atomic<bool> firstResult{true};
    class Waiter : public os::MyThread {
    public:
        Waiter(Event& done, std::atomic<bool>& first) : _done(done), _first(first) {}
        ~Waiter() override { StopThread(); }

    protected:
        int ThreadBody() override {
            _first = WaitForStopRequest(1);
            _done.Set();
            while (!WaitForStopRequest(HangGuardMs)) {
            }
            return 9;
        }

    private:
        Event& _done;
        std::atomic<bool>& _first;
    } t(firstWaitDone, firstResult);
    ASSERT_TRUE(t.StartThread());
    ASSERT_TRUE(firstWaitDone.Wait());
    EXPECT_FALSE(firstResult);
    t.StopThread();
    EXPECT_EQ(t.ReturnedThreadValue(), 9);
}

TEST(MyThread, BodyMayStopItsOwnThread) {
    os::MyThread* self = nullptr;
    os::MyThreadCb t([&] {
        self->StopThread();  // must not wait for itself
        return 5;
    });
    self = &t;
    ASSERT_TRUE(t.StartThread());
    t.StopThread();
    EXPECT_EQ(t.ReturnedThreadValue(), 5);
}

// A detached thread is not joined, yet StopThread waits for its body, after which the object may
// go at once: the thread must not touch it on its way out (the sanitizer builds check this).
TEST(MyThread, DetachedThreadCanBeDestroyedRightAfterStop) {
    for (int i = 0; i < 200; ++i) {
        auto t = std::make_unique<GatedThread>();
        t->SetDetached(true);
        ASSERT_TRUE(t->StartThread());
        if (i % 2) {  // otherwise the stop may come before the body has begun
            ASSERT_TRUE(t->Entered.Wait());
            t->Gate.Set();
        }
        t->StopThread();
        EXPECT_FALSE(t->IsThreadRunning());
        EXPECT_EQ(t->Runs.load(), 1);
    }
}

TEST(MyThread, DestructorStopsARunningBody) {
    std::atomic<bool> sawStop{false};
    {
        os::MyThread* self = nullptr;
        os::MyThreadCb t([&] {
            while (!self->WaitForStopRequest(HangGuardMs)) {
            }
            sawStop = true;
            return 0;
        });
        self = &t;
        ASSERT_TRUE(t.StartThread());
    }
    EXPECT_TRUE(sawStop);
}

TEST(MyThread, CurIdIsTheKernelThreadIdOfTheCaller) {
    EXPECT_EQ(os::MyThread::GetCurId(), static_cast<uint32_t>(syscall(SYS_gettid)));
    uint32_t inBody = 0, kernelInBody = 0;
    os::MyThreadCb t([&] {
        inBody = os::MyThread::GetCurId();
        kernelInBody = static_cast<uint32_t>(syscall(SYS_gettid));
        return 0;
    });
    ASSERT_TRUE(t.StartThread());
    t.StopThread();
    EXPECT_EQ(inBody, kernelInBody);
    EXPECT_NE(inBody, os::MyThread::GetCurId());
}

std::atomic<int> g_signalsSeen{0};
void CountSignal(int) { ++g_signalsSeen; }

TEST(MyThread, SleepRunsTheFullTimeThroughSignals) {
    struct sigaction action {}, previous{};
    action.sa_handler = CountSignal;  // no SA_RESTART: the sleep sees EINTR
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR2, &action, &previous), 0);
    g_signalsSeen = 0;

    constexpr unsigned long SleepMs = 60;
    std::atomic<bool> done{false};
    bool result = false;
    std::chrono::steady_clock::duration slept{};
    std::thread sleeper([&] {
        const auto start = std::chrono::steady_clock::now();
        result = os::MyThread::Sleep(SleepMs);
        slept = std::chrono::steady_clock::now() - start;
        done = true;
    });
    while (!done) {
        pthread_kill(sleeper.native_handle(), SIGUSR2);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    sleeper.join();
    sigaction(SIGUSR2, &previous, nullptr);

    EXPECT_TRUE(result);
    EXPECT_GT(g_signalsSeen.load(), 0);
    // A lower bound only: an interrupted sleep that gave up early would fall short of it.
    EXPECT_GE(slept, std::chrono::milliseconds(SleepMs));
}

class WorkItemTarget {
public:
    void Run() {
        RanOn = os::MyThread::GetCurId();
        ++Runs;
        Done.Set();
    }
    int Fail() {
        FailEntered.Set();
        throw std::runtime_error("work item fails");
    }
    std::atomic<uint32_t> RanOn{0};
    std::atomic<int> Runs{0};
    Event Done, FailEntered;
};

TEST(CThreadPool, WorkItemRunsOnceOnAThreadOfItsOwn) {
    WorkItemTarget target;
    ASSERT_TRUE(os::CThreadPool::QueueUserWorkItem(&WorkItemTarget::Run, &target));
    ASSERT_TRUE(target.Done.Wait());
    EXPECT_NE(target.RanOn.load(), os::MyThread::GetCurId());
    EXPECT_FALSE(target.Done.Wait(20)) << "ran twice";
    EXPECT_EQ(target.Runs.load(), 1);
}

TEST(CThreadPool, RejectsMissingWorkAndSurvivesAThrowingItem) {
    WorkItemTarget target;
    EXPECT_FALSE((os::CThreadPool::QueueUserWorkItem<WorkItemTarget, void>(nullptr, &target)));
    EXPECT_FALSE(os::CThreadPool::QueueUserWorkItem(&WorkItemTarget::Run, static_cast<WorkItemTarget*>(nullptr)));
    // The throwing item must not take the process down; a later item still runs.
    ASSERT_TRUE(os::CThreadPool::QueueUserWorkItem(&WorkItemTarget::Fail, &target));
    ASSERT_TRUE(target.FailEntered.Wait());
    ASSERT_TRUE(os::CThreadPool::QueueUserWorkItem(&WorkItemTarget::Run, &target));
    EXPECT_TRUE(target.Done.Wait());
}

} // namespace
