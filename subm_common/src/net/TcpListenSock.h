// The listening stream socket of a NetManager: accepts connections on its manager's service
// thread and hands each new TcpSock to its callback object, which supplies the callback object
// of the connection before the connection is serviced.
//
// Threads: accepting and OnAccept run on the service thread under the listener's lock; Open and
// Close take the lock on the caller's thread.
#pragma once

#include <atomic>
#include <memory>

#include "diag/ErrInfo.h"
#include "net/BaseSock.h"
#include "net/INet.h"

namespace Network {

class TcpListenSock : public ITcpListenSock, public BaseSock, public std::enable_shared_from_this<TcpListenSock> {
public:
    explicit TcpListenSock(INetManagerImpl& manager);
    ~TcpListenSock() override;

    // ITcpListenSock
    INetManager& GetNetManager() override { return Manager; }
    ErrInfo Open(const TcpListenSockInfo& info) override;
    void Close() override;

    // The address listened on, with the port the system chose when LocalAddr asked for port 0;
    // unset while not open.
    SockAddr GetLocalAddr();

    // BaseSock
    BaseSockPtr SharedFromThis() override { return shared_from_this(); }
    bool HandleSocketEvents(uint32_t events) override;
    SocketType GetType() override { return SocketType::TCP_SERVER; }
    // ACCEPT while the listener can accept; nothing otherwise, so that a connection it can not
    // take does not wake the service thread over and over.
    uint32_t GetHandlerEventMask() override { return _CanAccept.load() ? uint32_t{ACCEPT} : uint32_t{0}; }
    uint32_t GetLoadFactor() override { return _LoadFactor.load(std::memory_order_relaxed); }

protected:
    void implOnError(const ErrInfo& error) override;
    void implOnClose(const ErrInfo&) override {}

private:
    ErrInfo OpenUnderLock(const TcpListenSockInfo& info);
    ErrInfo FailOpen(ErrInfo& error);
    // Service thread, under the lock: one connection; false when none could be taken.
    bool Accept(SOCKET listening);
    // The least-loaded member of the pool the listener's manager belongs to, else that manager.
    INetManagerImpl& ManagerForConnection();

    TcpListenSockInfo Info;                 // guarded by _SockMutex
    std::atomic<bool> _CanAccept{false};    // open, with an address and a callback object
    std::atomic<uint32_t> _LoadFactor{1000};
};

} // namespace Network
