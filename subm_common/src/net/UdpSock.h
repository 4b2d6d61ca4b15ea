// The IPv4 UDP socket of a NetManager: delivers every incoming datagram to its receiver on the
// manager's service thread, and sends either synchronously on the caller's thread or through a
// bounded lock-free queue that the service thread drains.
//
// Threads: receiving, the asynchronous write pass and every receiver callback run on the
// service thread under the socket's lock. Open, Close, SetSendAddr and synchronous sends take
// the lock on the caller's thread. An asynchronous send takes no socket lock: one producer
// thread at a time.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>

#include "diag/ErrInfo.h"
#include "net/BaseSock.h"
#include "net/INet.h"
#include "util/ConcurrentQueue.h"

namespace Network {

// One queued datagram: at most one of the two pointers is set.
struct SendPacketData {
    PacketUniqPtr PacketPtrU;
    PacketPtr PacketPtrS;
    SockAddr Addr;

    void Clear() {
        PacketPtrU.reset();
        PacketPtrS.reset();
        Addr.Clear();
    }
    bool IsEmpty() const { return !PacketPtrU && !PacketPtrS; }
};

class UdpSock final : public IUdpSock, public BaseSock, public std::enable_shared_from_this<UdpSock> {
public:
    explicit UdpSock(INetManagerImpl& manager);
    ~UdpSock() override;

    // IUdpSock
    INetManager& GetNetManager() override { return Manager; }
    ErrInfo Open(const UdpSockInfo& settings) override;
    void Close() override;
    ErrInfo SetSendAddr(const SockAddr& addr) override;
    ErrInfo Send(const void* bytes, size_t length, const SockAddr& addr) override;
    ErrInfo Send(const PacketPtr& packet, const SockAddr& addr) override;
    ErrInfo Send(PacketUniqPtr packet, const SockAddr& addr) override;
    UdpSockInfo GetUdpSockInfo() override;
    IUdpSockPtr GetUdpSockPtr() override { return shared_from_this(); }

    // BaseSock
    BaseSockPtr SharedFromThis() override { return shared_from_this(); }
    bool HandleSocketEvents(uint32_t events) override;
    bool IsReadyToSend() override;
    SocketType GetType() override { return SocketType::UDP; }
    uint32_t GetHandlerEventMask() override;
    uint32_t GetLoadFactor() override { return _LoadFactor.load(std::memory_order_relaxed); }

protected:
    void implOnError(const ErrInfo& error) override;
    void implOnClose(const ErrInfo& error) override;

private:
    ErrInfo OpenUnderLock(const UdpSockInfo& settings);
    // Closes the half-opened socket and returns error.
    ErrInfo FailOpen(ErrInfo& error);
    SockAddr Destination(const SockAddr& addr);
    ErrInfo SendSync(const uint8_t* bytes, size_t length, const SockAddr& dest);
    ErrInfo SendAsync(SendPacketData&& data);
    void SetSendErrState(ErrInfo& error, const SockAddr& dest);
    // Service thread, under the lock.
    bool WritePass();
    bool ReadPass(bool handled);
    void DiscardIncoming();
    void SetPacketToSendHeld() { _PacketToSendHeld.store(!PacketToSend.IsEmpty()); }

    UdpSockInfo Info;                                 // guarded by _SockMutex; its addresses also by _AddrMtx
    SendPacketData PacketToSend;                      // service thread, under _SockMutex
    FixedLenQueueLockFree<SendPacketData> PacketsToSend;  // producer: the sending thread; consumer: service thread
    std::unique_ptr<ErrorState> SendErrState;
    bool ReadyToSend = true;                          // guarded by _SockMutex

    // Lets an asynchronous sender read the addresses without waiting for the service thread,
    // which holds the socket's lock through every receive callback.
    std::mutex _AddrMtx;
    // Mirrors of the settings and state that are read without the socket's lock.
    std::atomic<bool> _AsyncMode{false};
    std::atomic<bool> _PacketToSendHeld{false};
    std::atomic<uint32_t> _LoadFactor{1000};
};

} // namespace Network
