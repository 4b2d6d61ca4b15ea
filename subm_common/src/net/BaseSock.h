// The base of every socket a NetManager services: the system handle, the socket's own traced
// lock, its slot in the manager's table and the hooks through which the manager's service
// thread hands it events.
//
// Lock order: the socket's lock before its manager's table lock.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "diag/DbgLock.h"
#include "diag/ErrInfo.h"
#include "diag/debug_log.h"
#include "environment/usage-counter.h"
#include "net/INet.h"

namespace Network {

class BaseSock {
public:
    static constexpr uint32_t InvalidNetManIndexValue = 0xFFFFFFFFu;
    using SockMutex = DebugMutex<std::recursive_mutex>;

    // mutexName: the type name followed by "::_SockMutex".
    BaseSock(INetManagerImpl& manager, const wchar_t* mutexName);
    virtual ~BaseSock();
    BaseSock(const BaseSock&) = delete;
    BaseSock& operator=(const BaseSock&) = delete;

    virtual BaseSockPtr SharedFromThis() = 0;
    virtual void Close() = 0;
    virtual SocketType GetType() { return SocketType::UNDEFINED; }
    // SocketEvent bits the socket wants to be registered for.
    virtual uint32_t GetHandlerEventMask() { return 0; }
    // Runs on the service thread; true when anything was handled.
    virtual bool HandleSocketEvents(uint32_t events) = 0;
    // Asked by the service thread without the socket's lock: must only read atomics.
    virtual bool IsReadyToSend() { return false; }
    virtual bool IsConnectInProgress() { return false; }
    virtual uint32_t GetLoadFactor() = 0;
    // The load this socket adds to its manager's total, so that taking it out subtracts exactly
    // what was added even when Open changed the load factor in between. Guarded by the manager's
    // socket-table mutex.
    uint32_t CountedLoad = 0;
    virtual void OnTimerEvent() {}

    // Pass an error or the closure to the socket's owner, under the socket's lock.
    void OnError(const ErrInfo& error);
    void OnClose(const ErrInfo& error);

    // When the log switch is on: "<manager>: socket <handle> (<id>): <text>" at level 2.
    void LogRecord(const std::wstring& text);

    bool IsHandleValid() const noexcept { return _Sock.load() != INVALID_SOCKET; }
    SOCKET GetSystemHandle() const noexcept { return _Sock.load(); }
    // Hands the handle over and leaves the socket without one.
    SOCKET ExtractSystemHandle() noexcept { return _Sock.exchange(INVALID_SOCKET); }
    // Clears (blocking) or sets O_NONBLOCK; false when closed or the system refuses.
    bool SetSocketBlockingMode(bool blocking);

    // Slot in the manager's table; written under this socket's lock (and the table lock).
    uint32_t GetSocketNetManIndex() const noexcept { return _NetManIndex.load(); }
    void SetSocketNetManIndex(uint32_t index) noexcept { _NetManIndex.store(index); }

    // True while the registration includes write readiness; changed by the manager under this
    // socket's lock.
    bool IsWriteWatching() const noexcept { return _WriteWatchingFlag.load(std::memory_order_relaxed); }
    void SetWriteWatching(bool on) noexcept { _WriteWatchingFlag.store(on, std::memory_order_relaxed); }

    // The low 32 bits of the object's address, printed as %08X in log lines.
    uint32_t GetSockLogId() const noexcept { return _LogId; }
    bool LogIsOn() const noexcept { return _LogIsOn; }
    SockMutex& GetSockMutex() noexcept { return _SockMutex; }

    std::chrono::steady_clock::duration GetConnectTime() const { return _ConnectEndTime - _ConnectStartTime; }
    std::chrono::milliseconds GetConnectTimeout() const { return _ConnectTimeout; }
    std::chrono::steady_clock::time_point GetConnectStartTime() const { return _ConnectStartTime; }
    std::chrono::steady_clock::time_point GetConnectEndTime() const { return _ConnectEndTime; }

protected:
    virtual void implOnError(const ErrInfo& error) = 0;
    virtual void implOnClose(const ErrInfo& error) = 0;

    // Unregisters and closes the handle, and takes the socket out of its manager's table; the
    // latter also for a socket that was never opened, so that a closed socket is never kept
    // alive by its manager. Returns whether a handle was open.
    bool doClose();
    // When the log switch is on: the events as text.
    void doLogSocketEvents(const wchar_t* kind, uint32_t events);

    SockMutex _SockMutex;
    IDebugLogPtr DbgLog;
    INetManagerImpl& Manager;
    const std::wstring ManagerName;
    std::atomic<SOCKET> _Sock{INVALID_SOCKET};  // read without the lock by the manager and senders
    uint32_t _ManFlags = 0;
    const bool _LogIsOn;
    std::atomic<uint32_t> _NetManIndex{InvalidNetManIndexValue};
    const uint32_t _UniqueId;
    std::chrono::steady_clock::time_point _ConnectStartTime{};
    std::chrono::steady_clock::time_point _ConnectEndTime{};
    std::chrono::milliseconds _ConnectTimeout{0};
    cmn::UsageCounter<BaseSock> _UsageCounter{"BaseSock"};
    std::atomic<bool> _WriteWatchingFlag{false};
    bool ForceConnectEvent = false;

private:
    const uint32_t _LogId;
};

} // namespace Network
