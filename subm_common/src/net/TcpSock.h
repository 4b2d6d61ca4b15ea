// The stream socket of a NetManager: connects out without blocking (or wraps a connection a
// listener accepted), queues outgoing packets for the manager's service thread and hands
// incoming bytes to its callback object.
//
// Threads: the event handling, the write and read passes and every callback run on the service
// thread under the socket's lock. Open and Close take the lock on the caller's thread; Send
// takes no socket lock (the queue has its own), so it never waits for a running callback.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>

#include "diag/ErrInfo.h"
#include "net/BaseSock.h"
#include "net/INet.h"
#include "util/ConcurrentQueue.h"

namespace Network {

class TcpSock : public ITcpSock, public BaseSock, public std::enable_shared_from_this<TcpSock> {
public:
    // An outgoing socket, Disconnected until Open.
    explicit TcpSock(INetManagerImpl& manager);
    // A connection a listener accepted: takes the handle and starts Connected.
    TcpSock(INetManagerImpl& manager, SOCKET handle, const TcpSockInfo& info);
    ~TcpSock() override;

    // ITcpSock
    INetManager& GetNetManager() override { return Manager; }
    ErrInfo Open(const TcpSockInfo& info) override;
    void Close() override;
    ErrInfo Send(const void* bytes, size_t length) override;
    ErrInfo Send(const PacketPtr* packets, size_t count) override;
    ErrInfo Send(const PacketPtr& packet) override;
    TcpSockInfo GetTcpSockInfo() override;
    SockConnectState GetConnectState() override;
    void LogRecord(const std::wstring& text) override { BaseSock::LogRecord(text); }
    size_t GetQueueSize() override { return PacketsToSend.Size(); }
    bool IsHandleValid() const override { return BaseSock::IsHandleValid(); }

    // BaseSock
    BaseSockPtr SharedFromThis() override { return shared_from_this(); }
    bool HandleSocketEvents(uint32_t events) override;
    bool IsReadyToSend() override { return !PacketsToSend.Empty(); }
    SocketType GetType() override { return SocketType::TCP; }
    uint32_t GetHandlerEventMask() override;
    bool IsConnectInProgress() override { return _ConnectState.load() == SockConnectState::Connecting; }
    uint32_t GetLoadFactor() override { return _LoadFactor.load(std::memory_order_relaxed); }
    // Service thread: ends a connect that has outlived its ConnectTimeout.
    void OnTimerEvent() override;

    // Installs the callback object of an accepted connection before it is serviced.
    void SetCallback(ITcpSockCallback callback);

protected:
    void implOnError(const ErrInfo& error) override;
    void implOnClose(const ErrInfo& error) override;

    // The stream socket's extension points; all run on the service thread under the lock.
    virtual ErrInfo OnTcpConnectCompleted();
    // Hands one received packet on; an error means the bytes were dropped.
    virtual ErrInfo ProcessInboundData(const PacketPtr& packet);
    virtual ErrInfo PreprocessOutboundData() { return MAKE_ERR_INFO(); }
    virtual bool OnAcceptEvent() { return true; }
    virtual void OnConnectEvent();
    virtual bool OnReadEvent();
    virtual bool OnWriteEvent();
    virtual void OnCloseEvent();

private:
    ErrInfo OpenUnderLock(const TcpSockInfo& info);
    // Closes the half-opened socket and returns error.
    ErrInfo FailOpen(ErrInfo& error);
    ErrInfo CheckSendable();
    bool LogsAt(unsigned level) const;
    void Log(unsigned level, const std::wstring& text) const;

    TcpSockInfo Info;                        // guarded by _SockMutex
    ConcurrentQueue<PacketPtr> PacketsToSend;  // producers: any thread; consumer: the service thread
    size_t _HeadSent = 0;                    // bytes of the front packet already sent; under _SockMutex
    bool ReadyToSend = true;                 // false while the kernel's send buffer is full; under _SockMutex
    bool ReadyToRecv = true;                 // false once a read found nothing more; under _SockMutex
    std::atomic<SockConnectState> _ConnectState{SockConnectState::Disconnected};

    // Mirrors of the settings read without the socket's lock.
    std::atomic<uint32_t> _SendPacketSize{8192};
    std::atomic<uint32_t> _LoadFactor{1000};
};

} // namespace Network
