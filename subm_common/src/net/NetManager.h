// The socket service manager: one service thread waits on one epoll set for every socket made
// through the manager and for a private wake-up pipe, and hands each readiness report to its
// socket. Every receive callback, error callback and queued send of the manager's sockets runs
// on that thread, one socket at a time, in the order the kernel reported the events. The
// manager also keeps the table of serviced sockets, whose slot numbers are the epoll user data,
// flushes sockets whose queues were filled from other threads, and writes an I/O statistics
// line once a minute.
//
// Threads: any thread may create, open, send on and close sockets and kick the loop. Start and
// Stop come from a controlling thread; Stop joins the service thread, so a manager is never
// destroyed from one of its own callbacks. Locks: a socket's lock before the table lock; the
// statistics mutex is a leaf.
#pragma once

#include <pthread.h>
#include <sys/epoll.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "diag/DbgLock.h"
#include "diag/ErrInfo.h"
#include "diag/Statistics.h"
#include "diag/debug_log.h"
#include "net/BaseSock.h"
#include "net/INet.h"

namespace Network {

// The socket table grows to the next multiple of this.
constexpr size_t SERV_SOCK_ALLOC_QUANT = 128;
// Growth happens when this many free slots or fewer remain; shrinking stops at this many.
constexpr size_t SERV_SOCK_KEPT_FREE = 43;

// Adds O_NONBLOCK to the handle's status flags.
ErrInfo SetNonBlockingMode(SOCKET handle);

// One epoll_ctl request; all zeros when new.
struct EpollRequest {
    uint32_t Action = 0;  // EPOLL_CTL_ADD, EPOLL_CTL_DEL, EPOLL_CTL_MOD or 0
    epoll_event Event{};
};

class NetManager final : public INetManagerImpl {
public:
    static constexpr int MaxEventsPerWait = 512;
    static constexpr int WaitTimeoutMs = 1000;
    static constexpr uint64_t EpollPipeId = ~uint64_t{0};

    NetManager(const std::wstring& name, bool autoStart);
    // Stops, closes whatever is still serviced, and releases the epoll set and the pipe.
    ~NetManager() override;
    NetManager(const NetManager&) = delete;
    NetManager& operator=(const NetManager&) = delete;

    // INetManager
    bool Start() override;
    void Stop() override;
    bool IsStarted() override { return Started.load(); }
    IUdpSockPtr CreateUdpSock() override;
    ITcpSockPtr CreateTcpSock() override;
    // Secured sockets do not exist in this system: always empty.
    ITcpSockPtr CreateTcpSecureSock() override { return nullptr; }
    ITcpListenSockPtr CreateTcpListenSock() override;
    bool IsLogOn() override { return _LogIsOn; }
    size_t GetNumSockets() override;
    uint64_t GetLoadFactor() override;

    // INetManagerImpl
    const std::wstring& Name() override { return _Name; }
    bool LogIsOn() override { return _LogIsOn; }
    void AddSocketToService(const BaseSockPtr& socket) override;
    bool NotifySocketOpened(BaseSock* socket) override;
    void NotifySocketClosed(BaseSock* socket) override;
    void NotifySocketConnected(BaseSock*) override {}
    void NotifyPacketsReadyToSend(BaseSock* socket) override;
    void NotifySendBlock(BaseSock* socket) override;
    void SetParentMultiManager(INetManagerMulti* parent) override { ParentMultiMan.store(parent); }
    INetManagerMulti* GetParentMultiManager() override { return ParentMultiMan.load(); }
    void KickOutOfWaiting() override;
    void NotifyStatistics(NetStats stat, uint64_t begin, uint64_t end) override;
    void NotifyStatCounter(NetStatCounters counter, uint64_t n) override;
    void NotifyHandshakeCompleted(BaseSock*) override {}

    // The socket table. Sockets enter it when created, leave it when closed.
    void RemoveSocketFromService(BaseSock* socket);
    BaseSockPtr GetServicedSocket(size_t index);
    void GetAllServicedSockets(std::vector<BaseSockPtr>& out);
    // Closes every serviced socket and empties the table; the closed sockets are left out of
    // any table for good, so they can never be reopened under a stale slot number.
    void ClearAll();
    // One entry per event: the socket of its slot, or empty (pipe, out of range, freed slot).
    // Drains the wake-up pipe when its event is among them.
    void GetServicedSocketsByEpollEvents(const epoll_event* events, size_t n, std::vector<BaseSockPtr>& out);
    struct TableSize {
        size_t Slots = 0;
        size_t Free = 0;
    };
    TableSize GetTableSize();

    // Epoll registration.
    bool IsOsSetupOk() const { return EpollHandle >= 0; }
    bool InstallSocketEventHandling(BaseSock* socket);
    void UninstallSocketEventHandling(BaseSock* socket);
    void SetupSocketWriteWatching(BaseSock* socket);
    void ClearSocketWriteWatching(BaseSock* socket);
    bool SetSocketNonBlockingMode(BaseSock* socket);
    bool InvokeEpollCtl(BaseSock* socket, bool modify, bool write);
    bool InvokeEpollRequest(BaseSock* socket, EpollRequest& request, uint32_t mask);

    // The per-cycle statistics step: writes the statistics line when a new minute has begun.
    void CheckStatisticsLine();
    // Seconds since the epoch for the minute detector of the statistics line; null restores
    // the system clock. Lets a test step through minutes.
    void SetStatisticsClock(std::function<int64_t()> nowSeconds);
    // Bytes waiting in the wake-up pipe (for tests of kick coalescing).
    unsigned PendingWakeupBytes() const;

private:
    using TableMutex = DebugMutex<std::recursive_mutex>;

    void InitOs();
    void TermOs();
    void InitSocketEventWatching();
    void TermSocketEventWatching();
    void ServiceLoop();  // the service thread
    void DispatchEvent(unsigned index, const epoll_event& event, const BaseSockPtr& socket, unsigned& readRun);
    void FlushSends(std::vector<BaseSockPtr>& sockets);
    // Ends the connects that have outlived their timeout; returns how long the next wait may
    // last so that the next one ends in time.
    int ServiceConnectTimeouts();
    void DrainPipe();
    void Log(unsigned level, const std::wstring& text);
    void LogDirect(const std::wstring& text);
    size_t SlotCount();

    IDebugLogPtr DbgLog;
    bool _StatIsOn = true;   // fixed at construction
    bool _LogIsOn = false;   // fixed at construction
    std::thread Thread;      // touched under _StartStopMtx
    const std::wstring _Name;
    std::atomic<bool> Started{false};
    std::atomic<bool> _ThreadLaunched{false};  // a service thread exists that is not yet joined
    std::mutex _StartStopMtx;

    std::vector<std::unique_ptr<DurStatistic>> _NetStats;  // guarded by _NetStatsMtx
    std::vector<uint64_t> _NetStatCounters;                // guarded by _NetStatsMtx
    std::mutex _NetStatsMtx;
    MinuteDetector _NetStatsMinDetector{1};                // guarded by _NetStatsMtx
    const std::wstring _StatLinePrefix;

    std::atomic<uint32_t> ReadyToSendFlag{0};
    int PipeFd[2] = {-1, -1};  // -1: no pipe; kicks then cannot wake the loop before its timeout
    static constexpr int PipeRd = 0;
    static constexpr int PipeWr = 1;
    std::atomic<uint32_t> PipeCounter{0};
    int EpollHandle = -1;
    std::atomic<uint32_t> _MyThreadId{0};    // kernel id of the service thread, for the log
    std::atomic<pthread_t> _LoopThread{};    // valid while _ThreadLaunched

    TableMutex ServicedSocketsMutex{L"NetManager::ServicedSocketsMutex"};
    std::vector<BaseSockPtr> ServicedSockets;  // guarded by ServicedSocketsMutex
    size_t ServSocLastAllocIndx = 0;           // guarded by ServicedSocketsMutex
    size_t ServSocFreeCounter = 0;             // guarded by ServicedSocketsMutex
    uint64_t TotalLoadFactor = 0;              // guarded by ServicedSocketsMutex
    std::atomic<INetManagerMulti*> ParentMultiMan{nullptr};
    // Set when a socket opened with a connect deadline; cleared by the loop once none is pending.
    std::atomic<bool> _ConnectTimeoutsArmed{false};
};

} // namespace Network
