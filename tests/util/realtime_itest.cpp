// Real-time scheduling of threads. The granted path runs where the system allows real-time
// scheduling (and is skipped, saying so, where it does not); the refused path is made
// deterministic everywhere: the test's own thread gives up CAP_SYS_NICE (capabilities belong
// to a thread) while the process's RLIMIT_RTPRIO soft limit is 0, which is exactly the state of
// an unprivileged process.
#include <gtest/gtest.h>

#include <linux/capability.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <functional>
#include <thread>

#include "util/WsaEventLinux.h"
#include "util/mythread.h"
#include "util/threadpool.h"

namespace {

using os::DispatchClass;
using os::MyThread;

struct Sched {
    int Policy = -1;
    int Priority = -1;
    bool operator==(const Sched&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Sched& s) {
    return os << "policy " << s.Policy << " priority " << s.Priority;
}

Sched CurrentSched() {
    Sched s;
    sched_param param{};
    if (pthread_getschedparam(pthread_self(), &s.Policy, &param) == 0) s.Priority = param.sched_priority;
    return s;
}

// Runs fn on a fresh thread, so that whatever it does to its scheduling or privileges stays there.
void OnFreshThread(const std::function<void()>& fn) {
    std::thread t(fn);
    t.join();
}

// What the system itself says, independent of the code under test.
int ProbeFifo() {
    int rc = -1;
    OnFreshThread([&] {
        sched_param param{};
        param.sched_priority = sched_get_priority_min(SCHED_FIFO);
        rc = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
    });
    return rc;
}

int PolicyOf(DispatchClass d) {
    return d == DispatchClass::RealTime ? SCHED_FIFO : d == DispatchClass::RealTimeShared ? SCHED_RR : SCHED_OTHER;
}

Sched DefaultSched() {
    return {SCHED_OTHER, sched_get_priority_max(SCHED_OTHER)};
}

class RealtimeGranted : public testing::Test {
protected:
    void SetUp() override {
        if (const int rc = ProbeFifo(); rc != 0)
            GTEST_SKIP() << "this system refuses real-time scheduling to the test (code " << rc
                         << "); only the refused path can be checked here";
    }
};

TEST_F(RealtimeGranted, ThreadGetsThePolicyAtItsClampedPriority) {
    struct Case {
        DispatchClass dispatch;
        int delta;
        int expectedFromTop;  // priority below the policy's highest, or INT_MIN for its lowest
    };
    const Case cases[] = {
        {DispatchClass::RealTime, -10, 10},        {DispatchClass::RealTimeShared, -10, 10},
        {DispatchClass::RealTime, 0, 0},           {DispatchClass::RealTime, 5, 0},
        {DispatchClass::RealTime, -1000, INT_MIN}, {DispatchClass::RealTime, INT_MIN, INT_MIN},
        {DispatchClass::Normal, -10, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "dispatch " << int(c.dispatch) << " delta " << c.delta);
        const int policy = PolicyOf(c.dispatch);
        const Sched expected{policy, c.expectedFromTop == INT_MIN ? sched_get_priority_min(policy)
                                                                  : sched_get_priority_max(policy) - c.expectedFromTop};
        long rc = -1;
        Sched after;
        OnFreshThread([&] {
            rc = MyThread::MakeCurrentThreadRealtime(c.dispatch, c.delta);
            after = CurrentSched();
        });
        EXPECT_EQ(rc, 0);
        EXPECT_EQ(after, expected);
    }
}

TEST_F(RealtimeGranted, DispatchClassIsAppliedByTheStartedThread) {
    Sched inBody;
    os::MyThreadCb t([&] {
        inBody = CurrentSched();
        return 0;
    });
    t.SetDispatch(DispatchClass::RealTime);
    ASSERT_TRUE(t.StartThread());
    t.StopThread();
    EXPECT_EQ(t.DispatchResult(), 0);
    EXPECT_EQ(inBody, (Sched{SCHED_FIFO, sched_get_priority_max(SCHED_FIFO) - 10}));
}

struct PoolProbe {
    void Run() {
        Seen = CurrentSched();
        SetEvent(Done);
    }
    Sched Seen;
    HANDLE Done = CreateEvent(nullptr, false, false, nullptr);
    ~PoolProbe() { CloseHandle(Done); }
};

// A real-time loop that starts helper threads must not hand them its priority.
TEST_F(RealtimeGranted, ThreadsStartedFromARealtimeThreadRunAtDefaultScheduling) {
    Sched inBody, inWorkItem;
    OnFreshThread([&] {
        ASSERT_EQ(MyThread::MakeCurrentThreadRealtime(DispatchClass::RealTime, -10), 0);
        os::MyThreadCb t([&] {
            inBody = CurrentSched();
            return 0;
        });
        ASSERT_TRUE(t.StartThread());
        t.StopThread();

        PoolProbe probe;
        ASSERT_TRUE(os::CThreadPool::QueueUserWorkItem(&PoolProbe::Run, &probe));
        ASSERT_EQ(WaitForSingleObject(probe.Done, 10000), WAIT_OBJECT_0);
        inWorkItem = probe.Seen;
    });
    EXPECT_EQ(inBody, DefaultSched());
    EXPECT_EQ(inWorkItem, DefaultSched());
}

// Takes CAP_SYS_NICE out of the calling thread's effective set; threads it starts inherit that.
bool DropNicePrivilege() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    if (syscall(SYS_capget, &header, data) != 0) return false;
    auto& effective = data[CAP_TO_INDEX(CAP_SYS_NICE)].effective;
    if ((effective & CAP_TO_MASK(CAP_SYS_NICE)) == 0) return true;  // an unprivileged process already
    effective &= ~CAP_TO_MASK(CAP_SYS_NICE);
    return syscall(SYS_capset, &header, data) == 0;
}

class RealtimeRefused : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(getrlimit(RLIMIT_RTPRIO, &_saved), 0);
        rlimit none = _saved;
        none.rlim_cur = 0;
        ASSERT_EQ(setrlimit(RLIMIT_RTPRIO, &none), 0);
    }
    void TearDown() override { setrlimit(RLIMIT_RTPRIO, &_saved); }

    // Runs fn on a fresh unprivileged thread, after checking the system really refuses there.
    void Unprivileged(const std::function<void()>& fn) {
        OnFreshThread([&] {
            ASSERT_TRUE(DropNicePrivilege());
            sched_param param{};
            param.sched_priority = sched_get_priority_min(SCHED_FIFO);
            ASSERT_NE(pthread_setschedparam(pthread_self(), SCHED_FIFO, &param), 0) << "setup did not take the privilege";
            fn();
        });
    }

private:
    rlimit _saved{};
};

TEST_F(RealtimeRefused, SystemCodeComesBackAndTheThreadCarriesOnAtDefaultScheduling) {
    const std::pair<DispatchClass, int> requests[] = {
        {DispatchClass::RealTime, -10}, {DispatchClass::RealTimeShared, -10}, {DispatchClass::RealTime, 0}};
    for (const auto& [dispatch, delta] : requests) {
        SCOPED_TRACE(testing::Message() << "dispatch " << int(dispatch) << " delta " << delta);
        long rc = 0;
        Sched after;
        bool carriedOn = false;
        Unprivileged([&] {
            rc = MyThread::MakeCurrentThreadRealtime(dispatch, delta);
            after = CurrentSched();
            carriedOn = MyThread::Sleep(1);
        });
        EXPECT_EQ(rc, EPERM);
        EXPECT_EQ(after, DefaultSched());
        EXPECT_TRUE(carriedOn);
    }
}

// A thread already at real-time priority that is refused another class must not stay where it
// was: it drops to default scheduling like any refused thread.
TEST_F(RealtimeRefused, RealtimeThreadRefusedAnotherClassFallsBackToDefaultScheduling) {
    if (ProbeFifo() != 0) GTEST_SKIP() << "needs a real-time thread to begin with, which this system refuses";
    long rc = 0;
    Sched before, after;
    OnFreshThread([&] {
        ASSERT_EQ(MyThread::MakeCurrentThreadRealtime(DispatchClass::RealTime, -10), 0);
        before = CurrentSched();
        ASSERT_TRUE(DropNicePrivilege());
        rc = MyThread::MakeCurrentThreadRealtime(DispatchClass::RealTimeShared, -10);
        after = CurrentSched();
    });
    EXPECT_EQ(before.Policy, SCHED_FIFO);
    EXPECT_EQ(rc, EPERM);
    EXPECT_EQ(after, DefaultSched());
}

TEST_F(RealtimeRefused, NormalDispatchNeedsNoPrivilege) {
    long rc = -1;
    Unprivileged([&] { rc = MyThread::MakeCurrentThreadRealtime(DispatchClass::Normal, -10); });
    EXPECT_EQ(rc, 0);
}

TEST_F(RealtimeRefused, ThreadWithRealtimeDispatchStillRunsItsBody) {
    Sched inBody;
    bool ran = false;
    long dispatchResult = 0;
    Unprivileged([&] {
        os::MyThreadCb t([&] {
            inBody = CurrentSched();
            ran = true;
            return 0;
        });
        t.SetDispatch(DispatchClass::RealTime);
        ASSERT_TRUE(t.StartThread());
        t.StopThread();
        dispatchResult = t.DispatchResult();
    });
    EXPECT_TRUE(ran);
    EXPECT_EQ(dispatchResult, EPERM);
    EXPECT_EQ(inBody, DefaultSched());
}

} // namespace
