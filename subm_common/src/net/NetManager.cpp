#include "net/NetManager.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <exception>
#include <iterator>

#include "diag/IEnvironment.h"
#include "diag/SysErrors.h"
#include "net/NetManagerMulti.h"
#include "net/TcpListenSock.h"
#include "net/TcpSock.h"
#include "net/UdpSock.h"
#include "util/StdStringFormat.h"
#include "util/myhirestimer.h"
#include "util/mythread.h"

namespace Network {

namespace {

const wchar_t* const StatNames[] = {
    L"Total (mks)",        L"Wait (mks)",         L"UdpRecv (mks)",     L"UdpRecvCallback (mks)",
    L"UdpSendSleep (mks)", L"UdpSendSync (mks)",  L"UdpSendAsync (mks)", L"TcpRecv (mks)",
    L"TcpRecvCallback (mks)", L"TcpSend (mks)",   L"TlsHandshake (mks)",
};
static_assert(std::size(StatNames) == static_cast<size_t>(NetStats::NetStatCount));

const wchar_t* const CounterLabels[] = {
    L" UdpRecvBytes=",      L" UdpSentSyncBytes=",   L" UdpSentAsyncBytes=",
    L" UdpSendSyncDrops=",  L" UdpSendAsyncDrops=",  L" UdpSendSyncBlocks=",
    L" UdpSendAsyncBlocks=", L" TcpRecvBytes=",      L" TcpSendBytes=",
};
static_assert(std::size(CounterLabels) == static_cast<size_t>(NetStatCounters::NetStatCountersCount));

// SIGUSR1 gets a handler that does nothing while any manager exists, so that the signal can
// interrupt a blocking call of a thread without ending the process.
std::mutex SignalMtx;
int LiveManagers = 0;                 // guarded by SignalMtx
struct sigaction SavedSigUsr1Action;  // guarded by SignalMtx

void OnSigUsr1(int) {}

std::wstring EpollBitsText(uint32_t bits) {
    static const struct {
        uint32_t Bit;
        const wchar_t* Text;
    } names[] = {
        {EPOLLIN, L":EPOLLIN"},         {EPOLLPRI, L":EPOLLPRI"},         {EPOLLOUT, L":EPOLLOUT"},
        {EPOLLERR, L":EPOLLERR"},       {EPOLLHUP, L":EPOLLHUP"},         {EPOLLRDNORM, L":EPOLLRDNORM"},
        {EPOLLRDBAND, L":EPOLLRDBAND"}, {EPOLLWRNORM, L":EPOLLWRNORM"},   {EPOLLWRBAND, L":EPOLLWRBAND"},
        {EPOLLMSG, L":EPOLLMSG"},       {EPOLLRDHUP, L":EPOLLRDHUP"},     {EPOLLWAKEUP, L":EPOLLWAKEUP"},
        {EPOLLONESHOT, L":EPOLLONESHOT"}, {EPOLLET, L":EPOLLET"},
    };
    std::wstring text;
    for (const auto& name : names)
        if (bits & name.Bit) text += name.Text;
    return text;
}

const wchar_t* EpollActionText(uint32_t action) {
    switch (action) {
    case EPOLL_CTL_ADD: return L"EPOLL_CTL_ADD";
    case EPOLL_CTL_DEL: return L"EPOLL_CTL_DEL";
    case EPOLL_CTL_MOD: return L"EPOLL_CTL_MOD";
    default: return L"EPOLL_CTL_UNDEFINED";
    }
}

bool IsServiceThread(const std::atomic<bool>& launched, const std::atomic<pthread_t>& loopThread) {
    return launched.load() && pthread_equal(loopThread.load(), pthread_self());
}

} // namespace

ErrInfo SetNonBlockingMode(SOCKET handle) {
    const int flags = fcntl(handle, F_GETFL);
    if (flags < 0) return MAKE_ERR_INFO().ApiLastError("NetManager::SetNonBlockingMode() failure; F_GETFL operation failed");
    if (fcntl(handle, F_SETFL, flags | O_NONBLOCK) != 0)
        return MAKE_ERR_INFO().ApiLastError("NetManager::SetNonBlockingMode() failure; F_SETFL operation failed");
    return MAKE_ERR_INFO();
}

// --- construction, start and stop ---------------------------------------------------------------

NetManager::NetManager(const std::wstring& name, bool autoStart)
    : DbgLog(Environment()->DebugLog()), _Name(name), _StatLinePrefix(L"STATISTICS: " + name + L": ") {
    if (DbgLog) {
        _StatIsOn = DbgLog->GetLogStreamState(L"NetManager-Stat") != IDebugLog::Disabled &&
                    DbgLog->GetLogStreamState(L"NetManager-" + name + L"-Stat") != IDebugLog::Disabled;
        _LogIsOn = DbgLog->GetLogLevel() > 3 &&
                   (DbgLog->IsLogEnabled(L"NetManager") || DbgLog->IsLogEnabled(L"NetManager-" + name));
    }
    Log(DbgLevel::ErrorsOnly,
        wstring_format(L"NetManager \"%ls\" created; statistic is %ls; logging is %ls; watcher %ls", _Name.c_str(),
                       _StatIsOn ? L"ON" : L"OFF", _LogIsOn ? L"ON" : L"OFF", L"EPOLL"));
    const double microsecsPerTick = 1000000.0 / static_cast<double>(hrt::GetClockFreq());
    for (const wchar_t* statName : StatNames) {
        auto stat = std::make_unique<DurStatistic>(statName);
        stat->Init(1, microsecsPerTick);
        _NetStats.push_back(std::move(stat));
    }
    _NetStatCounters.assign(static_cast<size_t>(NetStatCounters::NetStatCountersCount), 0);
    InitOs();
    if (autoStart) Start();
}

NetManager::~NetManager() {
    Stop();
    // A manager that never ran (or was stopped from its own thread) may still serve sockets:
    // they must not outlive it holding a reference to it.
    if (GetNumSockets() != 0) ClearAll();
    TermOs();
    Log(DbgLevel::ErrorsOnly, wstring_format(L"NetManager \"%ls\" destroyed", _Name.c_str()));
}

void NetManager::InitOs() {
    {
        std::lock_guard<std::mutex> lock(SignalMtx);
        if (++LiveManagers == 1) {
            struct sigaction action{};
            action.sa_handler = OnSigUsr1;
            sigemptyset(&action.sa_mask);
            action.sa_flags = 0;
            sigaction(SIGUSR1, &action, &SavedSigUsr1Action);
        }
    }
    int fds[2] = {-1, -1};
    if (pipe(fds) != 0) {
        Log(DbgLevel::ErrorsOnly, wstring_format(L"%ls Can not create pipe", _Name.c_str()));
    } else if (!SetNonBlockingMode(fds[PipeWr]).IsOk() || !SetNonBlockingMode(fds[PipeRd]).IsOk()) {
        // A blocking read end would hang the loop when it drains the pipe.
        close(fds[PipeWr]);
        close(fds[PipeRd]);
        Log(DbgLevel::ErrorsOnly, wstring_format(L"%ls Can not create pipe", _Name.c_str()));
    } else {
        PipeFd[PipeRd] = fds[PipeRd];
        PipeFd[PipeWr] = fds[PipeWr];
    }
    InitSocketEventWatching();
}

void NetManager::TermOs() {
    TermSocketEventWatching();
    if (PipeFd[PipeWr] >= 0) close(PipeFd[PipeWr]);
    if (PipeFd[PipeRd] >= 0) close(PipeFd[PipeRd]);
    PipeFd[PipeWr] = PipeFd[PipeRd] = -1;
    std::lock_guard<std::mutex> lock(SignalMtx);
    if (--LiveManagers == 0) sigaction(SIGUSR1, &SavedSigUsr1Action, nullptr);
}

void NetManager::InitSocketEventWatching() {
    EpollHandle = epoll_create1(0);
    if (EpollHandle < 0) {
        MAKE_ERR_INFO().ApiLastError("Can not setup socket epoll engine");
        EpollHandle = -1;
        return;
    }
    if (PipeFd[PipeRd] < 0) return;
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = EpollPipeId;
    if (epoll_ctl(EpollHandle, EPOLL_CTL_ADD, PipeFd[PipeRd], &event) != 0) {
        MAKE_ERR_INFO().ApiLastError("EPOLL_CTL_ADD pipe handling failed");
        // Unwatched, the pipe could never wake the loop: run without it.
        close(PipeFd[PipeWr]);
        close(PipeFd[PipeRd]);
        PipeFd[PipeWr] = PipeFd[PipeRd] = -1;
    }
}

void NetManager::TermSocketEventWatching() {
    if (EpollHandle < 0) return;
    if (PipeFd[PipeRd] >= 0 && epoll_ctl(EpollHandle, EPOLL_CTL_DEL, PipeFd[PipeRd], nullptr) != 0)
        MAKE_ERR_INFO().ApiLastError("EPOLL_CTL_DEL pipe handling failed");
    close(EpollHandle);
    EpollHandle = -1;
}

bool NetManager::Start() {
    if (IsServiceThread(_ThreadLaunched, _LoopThread)) return Started.load();
    std::lock_guard<std::mutex> lock(_StartStopMtx);
    if (Started.load()) return true;
    if (!IsOsSetupOk()) return false;
    if (Thread.joinable()) {  // stopped from its own thread: that loop is on its way out
        Thread.join();
        _ThreadLaunched.store(false);
    }
    Started.store(true);
    try {
        Thread = std::thread(&NetManager::ServiceLoop, this);
        _LoopThread.store(Thread.native_handle());
        _ThreadLaunched.store(true);
    } catch (const std::exception& e) {
        Started.store(false);
        MAKE_ERR_INFO().StrError(std::string("NetManager: the service thread can not be started: ") + e.what());
    }
    return Started.load();
}

void NetManager::Stop() {
    if (IsServiceThread(_ThreadLaunched, _LoopThread)) {
        // The loop cannot join itself: it ends after this cycle and is joined by the next Start
        // or the destructor.
        Started.store(false);
        return;
    }
    std::lock_guard<std::mutex> lock(_StartStopMtx);
    if (!Thread.joinable()) return;
    Started.store(false);
    KickOutOfWaiting();
    Thread.join();
    _ThreadLaunched.store(false);
}

// --- sockets ------------------------------------------------------------------------------------

IUdpSockPtr NetManager::CreateUdpSock() {
    auto socket = std::make_shared<UdpSock>(*this);
    {
        LOCK_GUARD(guard, socket->GetSockMutex(), L"Create", 5);
        if (_LogIsOn)
            Log(DbgLevel::ConnStatus,
                wstring_format(L"%ls: Create UDP socket (%08X)", _Name.c_str(), socket->GetSockLogId()));
        AddSocketToService(socket);
    }
    return socket;
}

ITcpSockPtr NetManager::CreateTcpSock() {
    auto socket = std::make_shared<TcpSock>(*this);
    {
        LOCK_GUARD(guard, socket->GetSockMutex(), L"Create", 5);
        if (_LogIsOn)
            Log(DbgLevel::ConnStatus,
                wstring_format(L"%ls: Create TCP socket (%08X)", _Name.c_str(), socket->GetSockLogId()));
        AddSocketToService(socket);
    }
    return socket;
}

ITcpListenSockPtr NetManager::CreateTcpListenSock() {
    auto socket = std::make_shared<TcpListenSock>(*this);
    {
        LOCK_GUARD(guard, socket->GetSockMutex(), L"Create", 5);
        if (_LogIsOn)
            Log(DbgLevel::ConnStatus,
                wstring_format(L"%ls: Create server socket (%08X)", _Name.c_str(), socket->GetSockLogId()));
        AddSocketToService(socket);
    }
    return socket;
}

bool NetManager::NotifySocketOpened(BaseSock* socket) {
    if (!InstallSocketEventHandling(socket)) return false;
    {
        // Open may have set another load factor than the socket had when it joined the table.
        LOCK_GUARD(guard, ServicedSocketsMutex, L"NotifySocketOpened", 5);
        const size_t index = socket->GetSocketNetManIndex();
        if (index < ServicedSockets.size() && ServicedSockets[index].get() == socket) {
            TotalLoadFactor -= socket->CountedLoad;
            socket->CountedLoad = socket->GetLoadFactor();
            TotalLoadFactor += socket->CountedLoad;
        }
    }
    if (socket->IsConnectInProgress() && socket->GetConnectTimeout().count() > 0) {
        _ConnectTimeoutsArmed.store(true);
        KickOutOfWaiting();  // the wait in progress may last longer than the deadline
    }
    return true;
}

void NetManager::NotifySocketClosed(BaseSock* socket) {
    UninstallSocketEventHandling(socket);
    RemoveSocketFromService(socket);
}

void NetManager::NotifyPacketsReadyToSend(BaseSock*) {
    ReadyToSendFlag.fetch_add(1);
    KickOutOfWaiting();
}

void NetManager::NotifySendBlock(BaseSock* socket) { SetupSocketWriteWatching(socket); }

void NetManager::KickOutOfWaiting() {
    if (_LogIsOn) Log(DbgLevel::ErrorsOnly, wstring_format(L"%ls: KickOutOfWaiting", _Name.c_str()));
    if (!_ThreadLaunched.load() || pthread_equal(_LoopThread.load(), pthread_self())) return;
    if (PipeFd[PipeWr] < 0) return;
    // Only the first kick since the loop last drained the pipe writes: any number of kicks in
    // between cost one byte and one wake-up.
    if (PipeCounter.fetch_add(1) != 0) return;
    const uint8_t zero = 0;
    while (write(PipeFd[PipeWr], &zero, 1) < 0 && errno == EINTR) {
    }
}

// --- statistics ---------------------------------------------------------------------------------

void NetManager::NotifyStatistics(NetStats stat, uint64_t begin, uint64_t end) {
    if (!_StatIsOn) return;
    const auto index = static_cast<size_t>(stat);
    if (index >= _NetStats.size()) return;
    std::lock_guard<std::mutex> lock(_NetStatsMtx);
    _NetStats[index]->AddStep(static_cast<int64_t>(begin), static_cast<int64_t>(end));
}

void NetManager::NotifyStatCounter(NetStatCounters counter, uint64_t n) {
    if (!_StatIsOn) return;
    const auto index = static_cast<size_t>(counter);
    if (index >= _NetStatCounters.size()) return;
    std::lock_guard<std::mutex> lock(_NetStatsMtx);
    _NetStatCounters[index] += n;
}

void NetManager::SetStatisticsClock(std::function<int64_t()> nowSeconds) {
    std::lock_guard<std::mutex> lock(_NetStatsMtx);
    _NetStatsMinDetector.SetClock(std::move(nowSeconds));
}

void NetManager::CheckStatisticsLine() {
    if (!_StatIsOn) return;
    {
        std::lock_guard<std::mutex> lock(_NetStatsMtx);
        if (!_NetStatsMinDetector.CheckMinue()) return;
    }
    // Asked before taking the statistics mutex, which is never held while taking another lock.
    const size_t sockets = GetNumSockets();
    const std::wstring newLine = DbgLog ? DbgLog->GetNl() : std::wstring(L"\r\n");
    std::wstring text = _StatLinePrefix + L"IoStat: Sockets=" + std::to_wstring(sockets);
    {
        std::lock_guard<std::mutex> lock(_NetStatsMtx);
        for (size_t i = 0; i < _NetStatCounters.size(); ++i) {
            if (_NetStatCounters[i] == 0) continue;
            text += CounterLabels[i];
            text += std::to_wstring(_NetStatCounters[i]);
            _NetStatCounters[i] = 0;
        }
        for (const auto& stat : _NetStats) {
            if (stat->IsEmpty()) continue;
            text += newLine;
            text += _StatLinePrefix;
            text += stat->StatDataToString();
        }
    }
    LogDirect(text);
}

// --- the service loop ---------------------------------------------------------------------------

void NetManager::ServiceLoop() {
    // Also stored by Start, but only after the thread exists: a callback may call Stop sooner.
    _LoopThread.store(pthread_self());
    _ThreadLaunched.store(true);
    _MyThreadId.store(os::MyThread::GetCurId());
    Log(DbgLevel::ObjsThreads, wstring_format(L"NetManager \"%ls\" started; service thread ID=%u", _Name.c_str(),
                                              _MyThreadId.load()));
    if (const long code = os::MyThread::MakeCurrentThreadRealtime(os::DispatchClass::RealTime, -10); code != 0)
        MAKE_ERR_INFO().ApiError(static_cast<uint32_t>(code), "Can not set realtime priority");

    std::vector<epoll_event> events(MaxEventsPerWait);
    // Kept across cycles so that a steady-state cycle allocates nothing.
    std::vector<BaseSockPtr> eventSockets;
    std::vector<BaseSockPtr> flushSockets;
    eventSockets.reserve(MaxEventsPerWait);
    uint64_t waitEnd = hrt::GetClock();
    unsigned readRun = 0;

    while (Started.load()) {
        if (_LogIsOn)
            Log(DbgLevel::Everything, wstring_format(L"%ls: Wait for socket events: serviced == %u sockets",
                                                     _Name.c_str(), static_cast<unsigned>(SlotCount())));
        uint64_t waitBegin = 0;
        if (_StatIsOn) {
            waitBegin = hrt::GetClock();
            NotifyStatistics(NetStats::Total, waitEnd, waitBegin);
            CheckStatisticsLine();
        }
        const int waitMs = _ConnectTimeoutsArmed.load() ? ServiceConnectTimeouts() : WaitTimeoutMs;
        int n = epoll_wait(EpollHandle, events.data(), MaxEventsPerWait, waitMs);
        const int waitError = n < 0 ? errno : 0;
        if (n < 0 && waitError != EINTR) {
            MAKE_ERR_INFO().ApiError(static_cast<uint32_t>(waitError), "NetManager: epoll_wait() failure");
            // A failure that repeats must not turn the loop into a spin.
            os::MyThread::Sleep(10);
        }
        if (_StatIsOn) {
            const uint64_t previousEnd = waitEnd;
            waitEnd = hrt::GetClock();
            NotifyStatistics(NetStats::Wait, waitBegin, waitEnd);
            if (_LogIsOn)
                Log(DbgLevel::Statistics,
                    wstring_format(L"%ls: Wait for socket events: serviced == %u sockets; num events = %d; just.wait = "
                                   L"%llu mcs; prev.proc = %llu mcs",
                                   _Name.c_str(), static_cast<unsigned>(SlotCount()), n,
                                   static_cast<unsigned long long>((waitEnd - waitBegin) / 1000),
                                   static_cast<unsigned long long>((waitBegin - previousEnd) / 1000)));
        } else {
            waitEnd = hrt::GetClock();
        }
        if (!Started.load()) break;
        if (n <= 0) {
            if (_LogIsOn)
                LogDirect(wstring_format(L"%ls: epoll_wait() has returned %d -- continue (no events to handle)",
                                         _Name.c_str(), n));
            if (ReadyToSendFlag.load() == 0) continue;
            n = 0;
        }
        if (n > MaxEventsPerWait) {
            MAKE_ERR_INFO().StrError("NetManager: epoll_wait() returned more events than possible by its args");
            n = MaxEventsPerWait;
        }
        GetServicedSocketsByEpollEvents(events.data(), static_cast<size_t>(n), eventSockets);
        for (int j = 0; j < n; ++j) {
            try {
                DispatchEvent(static_cast<unsigned>(j), events[j], eventSockets[j], readRun);
            } catch (const std::exception& e) {
                // A throwing callback must not end the service thread, and with it the process.
                MAKE_ERR_INFO().StrError(std::string("NetManager: exception from a socket event handler: ") + e.what());
            } catch (...) {
                MAKE_ERR_INFO().StrError("NetManager: unknown exception from a socket event handler");
            }
        }
        // Released here, so that a socket closed during the cycle is not kept alive by the loop.
        eventSockets.clear();
        FlushSends(flushSockets);
    }

    ClearAll();
    Log(DbgLevel::ObjsThreads, wstring_format(L"NetManager \"%ls\" ended", _Name.c_str()));
}

void NetManager::DispatchEvent(unsigned index, const epoll_event& event, const BaseSockPtr& socket, unsigned& readRun) {
    if (event.data.u64 == EpollPipeId) return;
    if (!socket) {
        if (_LogIsOn)
            LogDirect(wstring_format(L"%ls: epoll_wait() has returned an event with bad socket pointer: indx = %zu",
                                     _Name.c_str(), static_cast<size_t>(event.data.u64)));
        return;
    }
    const uint32_t epollBits = event.events;
    SOCKET handle = socket->GetSystemHandle();
    if (handle == INVALID_SOCKET) {
        LogDirect(wstring_format(L"%ls: Socket %3d (%08X): Event[%u] = -- (%08X%ls) for INVALID_SOCKET handle",
                                 _Name.c_str(), handle, socket->GetSockLogId(), index, epollBits,
                                 EpollBitsText(epollBits).c_str()));
        return;
    }

    uint32_t bits = 0;
    if (epollBits & (EPOLLHUP | EPOLLRDHUP)) bits |= CLOSE;
    if (epollBits & (EPOLLIN | EPOLLRDNORM)) bits |= READ;
    if (epollBits & (EPOLLOUT | EPOLLWRNORM)) bits |= WRITE;
    if (epollBits & (EPOLLRDBAND | EPOLLWRBAND)) bits |= OOB;
    const bool errorCondition = (epollBits & EPOLLERR) != 0;
    if ((bits & READ) && socket->GetType() == SocketType::TCP_SERVER) bits |= ACCEPT;
    const bool readyToSend = socket->IsReadyToSend();
    if (readyToSend) bits |= IDLE;
    const bool connectPending = (bits & WRITE) && socket->IsConnectInProgress();

    if (connectPending || errorCondition) {
        LOCK_GUARD(guard, socket->GetSockMutex(), L"NetManager: socket error", 5);
        handle = socket->GetSystemHandle();
        if (handle == INVALID_SOCKET) return;
        int code = 0;
        socklen_t length = sizeof(code);
        if (getsockopt(handle, SOL_SOCKET, SO_ERROR, &code, &length) != 0) code = errno;
        if (_LogIsOn)
            LogDirect(wstring_format(L"%ls: Socket %3d (%08X): Events[%u] = %08X (%08X%ls)  connect completed: result = %ls",
                                     _Name.c_str(), handle, socket->GetSockLogId(), index, bits, epollBits,
                                     EpollBitsText(epollBits).c_str(), os::SystemErrCodeTextW(code).c_str()));
        if (code != 0) {
            ErrInfo error = MAKE_ERR_INFO().ApiError(static_cast<uint32_t>(code),
                                                     connectPending ? "NetManager: non-blocking connect() failure"
                                                                    : "NetManager: error on socket");
            socket->OnError(error.Silent());
            return;
        }
        if (connectPending) bits = CONNECT;
    }

    bool handled = false;
    if (bits != 0) handled = socket->HandleSocketEvents(bits);

    if (_LogIsOn) {
        // Of a run of plain reads only the first is written: a stream would flood the log.
        const bool plainRead = bits == READ;
        if (!plainRead || readRun == 0)
            Log(DbgLevel::ProcDetails,
                wstring_format(L"%ls: Socket %3d (%08X): Events[%u] = %08X (%08X%ls)  Handled = %u  RTS = %d",
                               _Name.c_str(), handle, socket->GetSockLogId(), index, bits, epollBits,
                               EpollBitsText(epollBits).c_str(), static_cast<unsigned>(handled),
                               static_cast<int>(readyToSend)));
        readRun = plainRead ? readRun + 1 : 0;
    }

    if (socket->IsWriteWatching() && !socket->IsConnectInProgress() && !socket->IsReadyToSend())
        ClearSocketWriteWatching(socket.get());

    // A socket that wants no events any more (a listener that can not accept) leaves the watch
    // set: its level-triggered readiness would otherwise wake the loop for ever.
    if (!handled && socket->GetHandlerEventMask() == 0) {
        LOCK_GUARD(guard, socket->GetSockMutex(), L"NetManager: stop watching", 5);
        if (socket->IsHandleValid()) InvokeEpollCtl(socket.get(), true, false);
    }
}

int NetManager::ServiceConnectTimeouts() {
    // Cleared before the scan: a socket that arms it meanwhile is either seen by this scan or
    // keeps it set for the next.
    _ConnectTimeoutsArmed.store(false);
    const auto now = std::chrono::steady_clock::now();
    auto next = now + std::chrono::milliseconds(WaitTimeoutMs);
    bool pending = false;
    std::vector<BaseSockPtr> expired;
    {
        LOCK_GUARD(guard, ServicedSocketsMutex, L"ServiceConnectTimeouts", 5);
        for (const BaseSockPtr& socket : ServicedSockets) {
            if (!socket || !socket->IsConnectInProgress() || socket->GetConnectTimeout().count() <= 0) continue;
            const auto deadline = socket->GetConnectStartTime() + socket->GetConnectTimeout();
            if (deadline <= now) {
                expired.push_back(socket);
            } else {
                pending = true;
                if (deadline < next) next = deadline;
            }
        }
    }
    for (const BaseSockPtr& socket : expired) {
        try {
            socket->OnTimerEvent();
        } catch (const std::exception& e) {
            MAKE_ERR_INFO().StrError(std::string("NetManager: exception from a socket timer handler: ") + e.what());
        } catch (...) {
            MAKE_ERR_INFO().StrError("NetManager: unknown exception from a socket timer handler");
        }
    }
    if (pending) _ConnectTimeoutsArmed.store(true);
    // Rounded up: a wait that ends just before the deadline would only spin once more.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(next - now).count();
    return static_cast<int>(left < WaitTimeoutMs ? left : WaitTimeoutMs);
}

void NetManager::FlushSends(std::vector<BaseSockPtr>& sockets) {
    // Cleared before collecting: a notification that arrives during the flush is served in the
    // next cycle.
    if (ReadyToSendFlag.exchange(0) == 0) return;
    {
        LOCK_GUARD(guard, ServicedSocketsMutex, L"FlushSends", 5);
        for (const BaseSockPtr& socket : ServicedSockets)
            if (socket && socket->IsReadyToSend()) sockets.push_back(socket);
    }
    for (const BaseSockPtr& socket : sockets) {
        try {
            socket->HandleSocketEvents(IDLE);
        } catch (const std::exception& e) {
            MAKE_ERR_INFO().StrError(std::string("NetManager: exception from a socket event handler: ") + e.what());
        } catch (...) {
            MAKE_ERR_INFO().StrError("NetManager: unknown exception from a socket event handler");
        }
        if (socket->IsWriteWatching() && !socket->IsConnectInProgress() && !socket->IsReadyToSend())
            ClearSocketWriteWatching(socket.get());
    }
    sockets.clear();
}

void NetManager::DrainPipe() {
    if (PipeFd[PipeRd] < 0) return;
    uint8_t buf[32];
    for (;;) {
        const ssize_t n = read(PipeFd[PipeRd], buf, sizeof(buf));
        if (n > 0) continue;
        if (n < 0 && errno == EINTR) continue;
        break;
    }
    // After the drain: a kick that found the counter non-zero meanwhile is covered by this
    // cycle, whose flush and stop check both come later.
    PipeCounter.store(0);
}

unsigned NetManager::PendingWakeupBytes() const {
    int n = 0;
    if (PipeFd[PipeRd] < 0 || ioctl(PipeFd[PipeRd], FIONREAD, &n) != 0) return 0;
    return static_cast<unsigned>(n);
}

void NetManager::Log(unsigned level, const std::wstring& text) { DbgLogRecord(DbgLog, level, text); }

void NetManager::LogDirect(const std::wstring& text) {
    if (DbgLog) DbgLog->LogRecord(text);
}

// --- the socket table ---------------------------------------------------------------------------

size_t NetManager::SlotCount() {
    LOCK_GUARD(guard, ServicedSocketsMutex, L"SlotCount", 5);
    return ServicedSockets.size();
}

NetManager::TableSize NetManager::GetTableSize() {
    LOCK_GUARD(guard, ServicedSocketsMutex, L"GetTableSize", 5);
    return {ServicedSockets.size(), ServSocFreeCounter};
}

size_t NetManager::GetNumSockets() {
    LOCK_GUARD(guard, ServicedSocketsMutex, L"GetNumSockets", 5);
    return ServicedSockets.size() - ServSocFreeCounter;
}

uint64_t NetManager::GetLoadFactor() {
    LOCK_GUARD(guard, ServicedSocketsMutex, L"GetLoadFactor", 5);
    return TotalLoadFactor;
}

void NetManager::AddSocketToService(const BaseSockPtr& socket) {
    if (!socket) {
        LogDirect(wstring_format(L"%ls: Error: Attempt to add <null> socket to service", _Name.c_str()));
        return;
    }
    if (socket->GetSocketNetManIndex() != BaseSock::InvalidNetManIndexValue) {
        LogDirect(wstring_format(L"%ls: Error: Socket %3d (%08X) alredy added to service as %zu", _Name.c_str(),
                                 socket->GetSystemHandle(), socket->GetSockLogId(),
                                 static_cast<size_t>(socket->GetSocketNetManIndex())));
        return;
    }
    LOCK_GUARD(guard, ServicedSocketsMutex, L"AddSocketToService", 5);
    if (ServSocFreeCounter <= SERV_SOCK_KEPT_FREE) {
        const size_t length = ServicedSockets.size();
        const size_t occupied = ServSocFreeCounter < length ? length - ServSocFreeCounter : 0;
        const size_t newLength = (length + SERV_SOCK_ALLOC_QUANT) / SERV_SOCK_ALLOC_QUANT * SERV_SOCK_ALLOC_QUANT;
        ServicedSockets.resize(newLength);
        ServSocFreeCounter = newLength - occupied;
        if (_LogIsOn)
            Log(DbgLevel::ConnStatus,
                wstring_format(L"%ls: Socket %d (%08X) : Socket collection expanded: size = %zu; free = %zu",
                               _Name.c_str(), socket->GetSystemHandle(), socket->GetSockLogId(), newLength,
                               ServSocFreeCounter));
    }
    const size_t length = ServicedSockets.size();
    size_t slot = (ServSocLastAllocIndx + 3) % length;
    for (size_t step = 0; step < length && ServicedSockets[slot]; ++step) slot = (slot + 1) % length;
    socket->SetSocketNetManIndex(static_cast<uint32_t>(slot));
    ServicedSockets[slot] = socket;
    ServSocLastAllocIndx = slot;
    --ServSocFreeCounter;
    socket->CountedLoad = socket->GetLoadFactor();
    TotalLoadFactor += socket->CountedLoad;
    if (_LogIsOn)
        Log(DbgLevel::ConnStatus,
            wstring_format(L"%ls: Socket %d (%08X) : Added to socket collection: index = #%zu; size = %zu; free = %zu",
                           _Name.c_str(), socket->GetSystemHandle(), socket->GetSockLogId(), slot, length,
                           ServSocFreeCounter));
}

void NetManager::RemoveSocketFromService(BaseSock* socket) {
    if (socket == nullptr) return;
    BaseSockPtr removed;  // released after the table lock, so no socket dies under it
    {
        LOCK_GUARD(guard, ServicedSocketsMutex, L"RemoveSocketFromService", 5);
        const size_t index = socket->GetSocketNetManIndex();
        if (index < ServicedSockets.size()) {
            if (ServicedSockets[index].get() == socket) {
                removed = std::move(ServicedSockets[index]);
                ServicedSockets[index].reset();
                socket->SetSocketNetManIndex(BaseSock::InvalidNetManIndexValue);
                ++ServSocFreeCounter;
                TotalLoadFactor -= socket->CountedLoad;
                socket->CountedLoad = 0;
                if (_LogIsOn)
                    Log(DbgLevel::ConnStatus,
                        wstring_format(L"%ls: Socket %d (%08X) : Removed from socket collection: index = #%zu; size = %zu",
                                       _Name.c_str(), socket->GetSystemHandle(), socket->GetSockLogId(), index,
                                       ServicedSockets.size()));
                bool shrunk = false;
                while (!ServicedSockets.empty() && !ServicedSockets.back() && ServSocFreeCounter > SERV_SOCK_KEPT_FREE) {
                    ServicedSockets.pop_back();
                    --ServSocFreeCounter;
                    shrunk = true;
                }
                if (shrunk && _LogIsOn)
                    Log(DbgLevel::ConnStatus,
                        wstring_format(L"%ls: Socket %d (%08X) : Socket collection shrinked: size = %zu; free = %zu",
                                       _Name.c_str(), socket->GetSystemHandle(), socket->GetSockLogId(),
                                       ServicedSockets.size(), ServSocFreeCounter));
            } else {
                LogDirect(wstring_format(L"%ls: Error: Socket %3d (%08X) contains invalid indx = %zu (attempt to remove)",
                                         _Name.c_str(), socket->GetSystemHandle(), socket->GetSockLogId(), index));
            }
        } else if (!ServicedSockets.empty()) {
            LogDirect(wstring_format(L"%ls: Error: Socket %3d (%08X) is not under service: indx = %zu (attempt to remove)",
                                     _Name.c_str(), socket->GetSystemHandle(), socket->GetSockLogId(), index));
        }
    }
    removed.reset();
}

BaseSockPtr NetManager::GetServicedSocket(size_t index) {
    LOCK_GUARD(guard, ServicedSocketsMutex, L"GetServicedSocket", 5);
    return index < ServicedSockets.size() ? ServicedSockets[index] : BaseSockPtr();
}

void NetManager::GetAllServicedSockets(std::vector<BaseSockPtr>& out) {
    out.clear();
    LOCK_GUARD(guard, ServicedSocketsMutex, L"GetAllServicedSockets", 5);
    for (const BaseSockPtr& socket : ServicedSockets)
        if (socket) out.push_back(socket);
}

void NetManager::ClearAll() {
    Log(DbgLevel::ObjsThreads, wstring_format(L"NetManager \"%ls\" proceed to stop and cleanup", _Name.c_str()));
    std::vector<BaseSockPtr> sockets;
    {
        LOCK_GUARD(guard, ServicedSocketsMutex, L"ClearAll", 5);
        for (BaseSockPtr& socket : ServicedSockets)
            if (socket) sockets.push_back(std::move(socket));
        ServicedSockets.clear();
        ServSocFreeCounter = 0;
        ServSocLastAllocIndx = 0;
        TotalLoadFactor = 0;  // the table is empty
    }
    for (const BaseSockPtr& socket : sockets) {
        // Under the socket's lock, so that no Open can slip in between: once out of the table a
        // socket stays closed.
        LOCK_GUARD(guard, socket->GetSockMutex(), L"ClearAll", 5);
        socket->SetSocketNetManIndex(BaseSock::InvalidNetManIndexValue);
        socket->Close();
    }
}

void NetManager::GetServicedSocketsByEpollEvents(const epoll_event* events, size_t n, std::vector<BaseSockPtr>& out) {
    out.clear();
    out.resize(n);
    bool pipeReady = false;
    {
        LOCK_GUARD(guard, ServicedSocketsMutex, L"GetServicedSocketsByEpollEvents", 5);
        for (size_t j = 0; j < n; ++j) {
            const uint64_t data = events[j].data.u64;
            if (data == EpollPipeId) {
                if (events[j].events & (EPOLLIN | EPOLLRDNORM)) pipeReady = true;
                continue;
            }
            if (data < ServicedSockets.size()) out[j] = ServicedSockets[data];
        }
    }
    if (pipeReady) DrainPipe();
}

// --- epoll registration -------------------------------------------------------------------------

bool NetManager::SetSocketNonBlockingMode(BaseSock* socket) {
    const SOCKET handle = socket->GetSystemHandle();
    if (handle == INVALID_SOCKET) {
        MAKE_ERR_INFO().StrError("NetManager::SetSocketNonBlockingMode() failure; socket invalid?");
        return false;
    }
    return SetNonBlockingMode(handle).IsOk();
}

bool NetManager::InstallSocketEventHandling(BaseSock* socket) {
    if (_LogIsOn)
        Log(DbgLevel::ConnStatus, wstring_format(L"%ls: Socket %d (%08X) : Install event handling (EPOLL/Linux)",
                                                 _Name.c_str(), socket->GetSystemHandle(), socket->GetSockLogId()));
    LOCK_GUARD(guard, socket->GetSockMutex(), L"InstallSocketEventHandling", 5);
    if (!SetSocketNonBlockingMode(socket)) return false;
    return InvokeEpollCtl(socket, false, true);
}

void NetManager::UninstallSocketEventHandling(BaseSock* socket) {
    LOCK_GUARD(guard, socket->GetSockMutex(), L"UninstallSocketEventHandling", 5);
    if (!socket->IsHandleValid()) return;
    EpollRequest request;
    request.Action = EPOLL_CTL_DEL;
    request.Event.data.u64 = socket->GetSocketNetManIndex();
    InvokeEpollRequest(socket, request, 0);
}

// Under the socket's lock: a concurrent Close could otherwise free the handle between reading
// and using it, and a reused descriptor number would get this socket's registration.
void NetManager::SetupSocketWriteWatching(BaseSock* socket) {
    LOCK_GUARD(guard, socket->GetSockMutex(), L"SetupSocketWriteWatching", 5);
    if (!socket->IsWriteWatching()) InvokeEpollCtl(socket, true, true);
}

void NetManager::ClearSocketWriteWatching(BaseSock* socket) {
    LOCK_GUARD(guard, socket->GetSockMutex(), L"ClearSocketWriteWatching", 5);
    if (socket->IsWriteWatching()) InvokeEpollCtl(socket, true, false);
}

bool NetManager::InvokeEpollCtl(BaseSock* socket, bool modify, bool write) {
    if (!socket->IsHandleValid()) return false;
    EpollRequest request;
    request.Action = modify ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
    request.Event.data.u64 = socket->GetSocketNetManIndex();
    uint32_t mask = socket->GetHandlerEventMask();
    if (!write) mask &= ~static_cast<uint32_t>(WRITE);
    // What the registration really holds: a socket that never asks for write readiness must
    // not look as if it had to be switched back after its first event.
    socket->SetWriteWatching((mask & WRITE) != 0);
    uint32_t bits = 0;
    if (mask & (ACCEPT | READ)) bits |= EPOLLIN;
    if (mask & (WRITE | CONNECT)) bits |= EPOLLOUT;
    if (mask & CLOSE) bits |= EPOLLRDHUP | EPOLLHUP;
    if (mask & OOB) bits |= EPOLLPRI;
    request.Event.events = bits;
    return InvokeEpollRequest(socket, request, mask);
}

bool NetManager::InvokeEpollRequest(BaseSock* socket, EpollRequest& request, uint32_t mask) {
    const SOCKET handle = socket->GetSystemHandle();
    if (handle == INVALID_SOCKET) return false;
    const bool ok = epoll_ctl(EpollHandle, static_cast<int>(request.Action), handle,
                              request.Action == EPOLL_CTL_DEL ? nullptr : &request.Event) == 0;
    const int code = ok ? 0 : errno;
    if (_LogIsOn || (!ok && request.Action != EPOLL_CTL_DEL)) {
        const std::wstring text =
            wstring_format(L"%ls: Socket %3d (%08X): epoll_ctl() %ls: Mask = %08X (%08X%ls) Op = %ls", _Name.c_str(),
                           handle, socket->GetSockLogId(), ok ? L"OK" : L"FAILURE", request.Event.events, mask,
                           EpollBitsText(request.Event.events).c_str(), EpollActionText(request.Action));
        if (ok)
            Log(DbgLevel::ProcDetails, text);
        else
            MAKE_ERR_INFO().ApiError(static_cast<uint32_t>(code), text);
    }
    // The caller reports the failure with this code.
    errno = code;
    return ok;
}

// --- factory ------------------------------------------------------------------------------------

INetManager* NetFactory::CreateNetManager(const std::wstring& name, bool autoStart, unsigned numThreads) {
    if (numThreads > 1) return CreateNetManagerMulti(name, autoStart, numThreads);
    return new NetManager(name, autoStart);
}

} // namespace Network
