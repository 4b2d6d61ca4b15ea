// The running manager: kick coalescing and the send flush, stop and start cycles, stopping from
// a callback, destruction with open sockets, SIGUSR1, real-time priority granted and refused,
// and a manager whose wake-up pipe could not be made.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/capability.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "diag/IEnvironment.h"
#include "net/NetManager.h"
#include "net/UdpSock.h"
#include "support/log_capture.h"
#include "support/udp_loopback.h"

namespace {

using Network::BaseSock;
using Network::IUdpSockPtr;
using Network::NetManager;
using Network::SockAddr;
using Network::UdpSockInfo;
using test_support::FirstLine;
using test_support::LogCapture;
using test_support::RecordingReceiver;
using test_support::UdpPeer;

BaseSock* Base(const IUdpSockPtr& s) { return dynamic_cast<BaseSock*>(s.get()); }
uint16_t PortOf(const IUdpSockPtr& s) { return s->GetUdpSockInfo().RecvAddr.GetPort(); }

UdpSockInfo Settings(RecordingReceiver& r, bool sync = true) {
    UdpSockInfo s;
    s.Receiver = &r;
    s.SendModeSync = sync;
    return s;
}

// The threads of this process by id. Other components (the log's worker pool) start and end
// threads of their own at any time, so tests compare sets rather than counts.
std::set<std::string> ThreadIds() {
    std::set<std::string> ids;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task"))
        ids.insert(entry.path().filename().string());
    return ids;
}

std::set<std::string> Minus(const std::set<std::string>& a, const std::set<std::string>& b) {
    std::set<std::string> out;
    std::set_difference(a.begin(), a.end(), b.begin(), b.end(), std::inserter(out, out.end()));
    return out;
}

// Lets the process log finish starting up: its file open (a marker record written) and its
// first retention pass, which runs on a thread of its own, over. Tests that count the process's
// threads or descriptors must not meet it half-way.
void SettleLog(const wchar_t* marker) {
    LogCapture log(Environment()->DebugLog());
    Environment()->DebugLog()->LogRecord(marker);
    ASSERT_TRUE(log.WaitForMatching(marker));
    for (int i = 0; i < 1000 && Environment()->DebugLog()->IsRetentionPassActive(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_FALSE(Environment()->DebugLog()->IsRetentionPassActive());
}

// The threads of `ids` still listed. A joined thread can stay listed for a moment after the join
// returns (the kernel wakes the joiner before it removes the task), so this waits, up to a
// safety net, for the list to drop them.
std::set<std::string> StillListed(const std::set<std::string>& ids) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        const auto listed = ThreadIds();
        std::set<std::string> out;
        std::set_intersection(ids.begin(), ids.end(), listed.begin(), listed.end(), std::inserter(out, out.end()));
        if (out.empty() || std::chrono::steady_clock::now() >= end) return out;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// A one-shot flag to wait for.
class Signal {
public:
    void Set() {
        std::lock_guard<std::mutex> lock(_m);
        _set = true;
        _cv.notify_all();
    }
    bool Wait() {
        std::unique_lock<std::mutex> lock(_m);
        return _cv.wait_for(lock, std::chrono::seconds(10), [this] { return _set; });
    }

private:
    std::mutex _m;
    std::condition_variable _cv;
    bool _set = false;
};

// Sends one datagram to a fresh socket of manager and waits for it: proof that the loop runs.
void ExpectDelivery(NetManager& manager, UdpPeer& peer) {
    RecordingReceiver r;
    IUdpSockPtr s = test_support::OpenOnLoopback(manager, Settings(r));
    ASSERT_TRUE(s);
    ASSERT_TRUE(peer.SendTo(PortOf(s), "alive"));
    EXPECT_TRUE(r.WaitForDatagrams(1));
    s->Close();
}

TEST(NetManagerLoop, KicksCoalesceIntoOneWakeupAndOneFlushServesEverySocket) {
    UdpPeer peer;
    Signal entered;
    Signal release;
    unsigned bytesAfterOwnKick = 99;
    RecordingReceiver blocker;
    RecordingReceiver unused;
    NetManager manager(L"kicks", false);
    blocker.OnEach = [&](Network::IUdpSock*, const Network::Packet&) {
        manager.KickOutOfWaiting();  // from the service thread itself: nothing to wake
        bytesAfterOwnKick = manager.PendingWakeupBytes();
        entered.Set();
        release.Wait();
    };

    manager.KickOutOfWaiting();
    EXPECT_EQ(manager.PendingWakeupBytes(), 0u) << "kicks before Start write nothing";
    ASSERT_TRUE(manager.Start());

    std::vector<IUdpSockPtr> senders;
    for (int i = 0; i < 5; ++i) {
        UdpSockInfo settings = Settings(unused, false);
        settings.SendAddr = peer.Addr();
        senders.push_back(test_support::OpenOnLoopback(manager, settings));
        ASSERT_TRUE(senders.back());
    }
    IUdpSockPtr blocked = test_support::OpenOnLoopback(manager, Settings(blocker));
    ASSERT_TRUE(peer.SendTo(PortOf(blocked), "hold"));
    ASSERT_TRUE(entered.Wait());
    EXPECT_EQ(bytesAfterOwnKick, 0u);

    for (int round = 0; round < 2; ++round)
        for (size_t i = 0; i < senders.size(); ++i)
            ASSERT_TRUE(senders[i]->Send("x", 1, SockAddr()).IsOk());  // ten notifications
    manager.KickOutOfWaiting();
    EXPECT_EQ(manager.PendingWakeupBytes(), 1u);
    release.Set();

    for (int i = 0; i < 10; ++i) ASSERT_TRUE(peer.Receive()) << "datagram " << i;
    ExpectDelivery(manager, peer);
    EXPECT_EQ(manager.PendingWakeupBytes(), 0u) << "the loop drained the pipe";
}

TEST(NetManagerLoop, StopAndStartCycles) {
    UdpPeer peer;
    NetManager manager(L"cycles", false);
    SettleLog(L"cycles-marker");
    manager.Stop();  // a stopped manager ignores Stop
    for (int cycle = 0; cycle < 3; ++cycle) {
        SCOPED_TRACE(cycle);
        const auto before = ThreadIds();
        ASSERT_TRUE(manager.Start());
        const auto started = Minus(ThreadIds(), before);
        EXPECT_FALSE(started.empty()) << "Start starts the service thread";
        const auto afterFirst = ThreadIds();
        EXPECT_TRUE(manager.Start());
        EXPECT_TRUE(Minus(ThreadIds(), afterFirst).empty()) << "a second Start starts no thread";

        RecordingReceiver r;
        IUdpSockPtr s = test_support::OpenOnLoopback(manager, Settings(r));
        ASSERT_TRUE(s);
        ASSERT_TRUE(peer.SendTo(PortOf(s), "x"));
        ASSERT_TRUE(r.WaitForDatagrams(1));
        IUdpSockPtr unopened = manager.CreateUdpSock();

        manager.Stop();
        EXPECT_FALSE(manager.IsStarted());
        for (const auto& id : StillListed(started)) ADD_FAILURE() << "thread " << id << " still runs after Stop";
        EXPECT_FALSE(Base(s)->IsHandleValid()) << "Stop closes every serviced socket";
        EXPECT_EQ(manager.GetNumSockets(), 0u);
        EXPECT_EQ(manager.GetLoadFactor(), 0u);
        ErrInfo reopen = unopened->Open(Settings(r));
        EXPECT_FALSE(reopen.IsOk());
        reopen.Silent();
        manager.Stop();
    }
}

TEST(NetManagerLoop, StopFromACallbackEndsTheLoopAndStartRunsItAgain) {
    UdpPeer peer;
    Signal stopped;
    RecordingReceiver r;
    NetManager manager(L"self-stop", true);
    r.OnEach = [&](Network::IUdpSock*, const Network::Packet&) {
        manager.Stop();
        stopped.Set();
    };
    IUdpSockPtr s = test_support::OpenOnLoopback(manager, Settings(r));
    ASSERT_TRUE(s);
    ASSERT_TRUE(peer.SendTo(PortOf(s), "stop"));
    ASSERT_TRUE(stopped.Wait());
    EXPECT_FALSE(manager.IsStarted());

    ASSERT_TRUE(manager.Start());
    EXPECT_FALSE(Base(s)->IsHandleValid()) << "the ended loop closed its sockets";
    ExpectDelivery(manager, peer);
}

TEST(NetManagerLoop, DestroyingTheManagerClosesItsSockets) {
    for (const bool started : {false, true}) {
        SCOPED_TRACE(started ? "running" : "never started");
        RecordingReceiver r;
        auto manager = std::make_unique<NetManager>(L"doomed", started);
        IUdpSockPtr open = test_support::OpenOnLoopback(*manager, Settings(r));
        ASSERT_TRUE(open);
        IUdpSockPtr unopened = manager->CreateUdpSock();
        manager.reset();

        for (const IUdpSockPtr& s : {open, unopened}) {
            EXPECT_FALSE(Base(s)->IsHandleValid());
            ErrInfo send = s->Send("x", 1, SockAddr("127.0.0.1", 9));
            EXPECT_EQ(FirstLine(send), L"Invalid socket");
            ErrInfo reopen = s->Open(Settings(r));
            EXPECT_FALSE(reopen.IsOk()) << "must not reach the destroyed manager";
            s->Close();
            send.Silent();
            reopen.Silent();
        }
    }
}

std::atomic<int> foreignHandlerCalls{0};
void ForeignHandler(int) { ++foreignHandlerCalls; }

TEST(NetManagerLoop, Sigusr1IsHarmlessWhileManagersExistAndRestoredAfterTheLast) {
    struct sigaction foreign{};
    foreign.sa_handler = ForeignHandler;
    sigemptyset(&foreign.sa_mask);
    struct sigaction original{};
    ASSERT_EQ(sigaction(SIGUSR1, &foreign, &original), 0);

    UdpPeer peer;
    LogCapture log(Environment()->DebugLog());
    std::atomic<pid_t> serviceThread{0};
    RecordingReceiver r;
    r.OnEach = [&](Network::IUdpSock*, const Network::Packet&) { serviceThread = gettid(); };
    auto first = std::make_unique<NetManager>(L"sig-1", true);
    auto second = std::make_unique<NetManager>(L"sig-2", true);
    struct sigaction current{};
    sigaction(SIGUSR1, nullptr, &current);
    EXPECT_NE(current.sa_handler, ForeignHandler);
    EXPECT_EQ(current.sa_flags & SA_RESTART, 0) << "the signal must interrupt blocking calls";

    IUdpSockPtr s = test_support::OpenOnLoopback(*first, Settings(r));
    ASSERT_TRUE(s);
    ASSERT_TRUE(peer.SendTo(PortOf(s), "who"));
    ASSERT_TRUE(r.WaitForDatagrams(1));
    for (int i = 0; i < 3; ++i) ASSERT_EQ(syscall(SYS_tgkill, getpid(), serviceThread.load(), SIGUSR1), 0);
    ASSERT_TRUE(peer.SendTo(PortOf(s), "still there"));
    EXPECT_TRUE(r.WaitForDatagrams(2));
    Environment()->DebugLog()->LogRecord(L"sigusr1-marker");
    ASSERT_TRUE(log.WaitForMatching(L"sigusr1-marker"));
    EXPECT_TRUE(log.Matching(L"epoll_wait() failure").empty()) << "an interrupted wait is no failure";
    EXPECT_EQ(foreignHandlerCalls.load(), 0);

    first.reset();
    sigaction(SIGUSR1, nullptr, &current);
    EXPECT_NE(current.sa_handler, ForeignHandler) << "another manager still exists";
    second.reset();
    sigaction(SIGUSR1, nullptr, &current);
    EXPECT_EQ(current.sa_handler, ForeignHandler) << "the last manager restores the previous action";
    sigaction(SIGUSR1, &original, nullptr);
}

struct Sched {
    int Policy = -1;
    int Priority = -1;
};

Sched CurrentSched() {
    Sched s;
    sched_param param{};
    if (pthread_getschedparam(pthread_self(), &s.Policy, &param) == 0) s.Priority = param.sched_priority;
    return s;
}

int ProbeFifo() {
    int rc = -1;
    std::thread([&] {
        sched_param param{};
        param.sched_priority = sched_get_priority_min(SCHED_FIFO);
        rc = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
    }).join();
    return rc;
}

// Takes CAP_SYS_NICE out of the calling thread's effective set; threads it starts inherit that.
bool DropNicePrivilege() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    if (syscall(SYS_capget, &header, data) != 0) return false;
    auto& effective = data[CAP_TO_INDEX(CAP_SYS_NICE)].effective;
    if ((effective & CAP_TO_MASK(CAP_SYS_NICE)) == 0) return true;
    effective &= ~CAP_TO_MASK(CAP_SYS_NICE);
    return syscall(SYS_capset, &header, data) == 0;
}

Sched SchedInCallback(NetManager& manager, UdpPeer& peer) {
    Sched seen;
    RecordingReceiver r;
    r.OnEach = [&](Network::IUdpSock*, const Network::Packet&) { seen = CurrentSched(); };
    IUdpSockPtr s = test_support::OpenOnLoopback(manager, Settings(r));
    EXPECT_TRUE(s);
    if (!s) return seen;
    EXPECT_TRUE(peer.SendTo(PortOf(s), "sched"));
    EXPECT_TRUE(r.WaitForDatagrams(1));
    s->Close();
    return seen;
}

TEST(NetManagerLoop, ServiceThreadRunsAtRealtimePriorityWhenAllowed) {
    if (ProbeFifo() != 0) GTEST_SKIP() << "this system refuses real-time scheduling; the refused path is tested";
    UdpPeer peer;
    NetManager manager(L"realtime", true);
    const Sched seen = SchedInCallback(manager, peer);
    EXPECT_EQ(seen.Policy, SCHED_FIFO);
    EXPECT_EQ(seen.Priority, sched_get_priority_max(SCHED_FIFO) - 10);
}

TEST(NetManagerLoop, ServiceThreadCarriesOnWhenRealtimePriorityIsRefused) {
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_RTPRIO, &saved), 0);
    rlimit none = saved;
    none.rlim_cur = 0;
    ASSERT_EQ(setrlimit(RLIMIT_RTPRIO, &none), 0);

    LogCapture log(Environment()->DebugLog());
    std::unique_ptr<NetManager> manager;
    bool privilegeDropped = false;
    std::thread([&] {
        privilegeDropped = DropNicePrivilege();
        manager = std::make_unique<NetManager>(L"unprivileged", true);  // its thread inherits this one's rights
    }).join();
    // The service thread asks for its priority when it starts running, maybe only now: the
    // limit is restored once it has been refused.
    EXPECT_TRUE(log.WaitForMatching(L"Can not set realtime priority"));
    setrlimit(RLIMIT_RTPRIO, &saved);
    ASSERT_TRUE(privilegeDropped);

    const auto lines = log.Matching(L"Can not set realtime priority");
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(lines[0].find(L"ErrCode=1/"), std::wstring::npos) << "EPERM: " << lines[0];
    UdpPeer peer;
    const Sched seen = SchedInCallback(*manager, peer);
    EXPECT_EQ(seen.Policy, SCHED_OTHER);
}

// Descriptors of the process are exhausted but for one: the epoll set gets it, the pipe cannot
// be made. Such a manager must never touch a descriptor it does not own (0, say), and still
// serve its sockets; without a pipe, queued sends wait for the loop's timeout.
TEST(NetManagerLoop, ManagerWithoutAPipeTouchesNoForeignDescriptor) {
    if (fcntl(0, F_GETFD) < 0) {
        const int null = open("/dev/null", O_RDONLY);
        ASSERT_GE(null, 0);
        if (null != 0) {
            dup2(null, 0);
            close(null);
        }
    }
    const int stdinFlags = fcntl(0, F_GETFL);
    ASSERT_GE(stdinFlags, 0);

    RecordingReceiver unused;
    // The log's file is open before descriptors run short, so that it cannot take the last one;
    // and a manager has been made once, so that a sanitizer's type checks on the way are already
    // cached (a check that misses its cache needs a pipe of its own).
    NetManager(L"no-pipe-warm-up", false);
    SettleLog(L"no-pipe-marker");
    LogCapture log(Environment()->DebugLog());  // after the settling: one capture at a time

    std::unique_ptr<NetManager> manager;
    // Another thread of the process may still take the one free descriptor first: then the
    // epoll set is missing too, and the squeeze is tried again.
    for (int attempt = 0; attempt < 5 && !(manager && manager->IsOsSetupOk()); ++attempt) {
        manager.reset();
        rlimit saved{};
        ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
        std::vector<int> fillers;
        const int probe = open("/dev/null", O_RDONLY);
        ASSERT_GE(probe, 0);
        fillers.push_back(probe);
        rlimit tight = saved;
        tight.rlim_cur = static_cast<rlim_t>(probe) + 32;
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
        for (int fd; (fd = open("/dev/null", O_RDONLY)) >= 0;) fillers.push_back(fd);
        close(fillers.back());
        fillers.pop_back();

        manager = std::make_unique<NetManager>(L"no-pipe", false);

        for (int fd : fillers) close(fd);
        setrlimit(RLIMIT_NOFILE, &saved);
    }
    ASSERT_TRUE(manager && manager->IsOsSetupOk());
    EXPECT_TRUE(log.WaitForMatching(L"no-pipe Can not create pipe"));
    EXPECT_EQ(manager->PendingWakeupBytes(), 0u);

    ASSERT_TRUE(manager->Start());
    manager->KickOutOfWaiting();
    UdpPeer peer;
    ExpectDelivery(*manager, peer);
    UdpSockInfo settings = Settings(unused, false);
    settings.SendAddr = peer.Addr();
    IUdpSockPtr async = test_support::OpenOnLoopback(*manager, settings);
    ASSERT_TRUE(async);
    ASSERT_TRUE(async->Send("late", 4, SockAddr()).IsOk());
    auto d = peer.Receive();
    ASSERT_TRUE(d) << "flushed at the loop's timeout";
    EXPECT_EQ(d->Bytes, "late");
    manager.reset();

    EXPECT_EQ(fcntl(0, F_GETFL), stdinFlags) << "descriptor 0 was left alone";
    EXPECT_GE(fcntl(0, F_GETFD), 0);
}

} // namespace
