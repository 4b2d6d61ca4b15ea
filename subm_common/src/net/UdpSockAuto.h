// A UDP socket that survives a failed Open: it reports the failure, then a process-wide opener
// thread retries the open every 5 seconds until it succeeds, the socket is closed, or the socket
// is destroyed. Until an inner socket is open, sends fail softly with an error that is reported
// about once a minute. The work is done by an ordinary UdpSock of the same manager, the inner
// socket, whose callbacks reach the receiver of the settings directly.
//
// Threads: Open, Close, SetSendAddr and sends may come from any thread. Two locks:
// - Mtx serializes opening and closing: Open and each re-open attempt hold it while they open a
//   new inner socket, and Close waits on it, so that no attempt completes after Close returned.
//   The opener thread takes its own mutex before it.
// - _DataMtx, a leaf, guards the inner-socket pointer and the settings. Every call works on its
//   own copy of the pointer, so an inner socket lives at least as long as a call that uses it.
// No inner socket that may be delivering is closed or sent on under either lock: a receiver
// callback, which holds its inner socket's lock, may call back into the wrapper.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "diag/ErrInfo.h"
#include "diag/debug_log.h"
#include "net/INet.h"

namespace Network {

class UdpSockAuto final : public IUdpSock, public std::enable_shared_from_this<UdpSockAuto> {
    struct Token {
        explicit Token() = default;
    };

public:
    using Ptr = std::shared_ptr<UdpSockAuto>;

    static Ptr Create(INetManager& manager);
    // Only through Create: the opener needs the object owned by a shared pointer.
    UdpSockAuto(Token, INetManager& manager);
    ~UdpSockAuto() override;
    UdpSockAuto(const UdpSockAuto&) = delete;
    UdpSockAuto& operator=(const UdpSockAuto&) = delete;

    // IUdpSock
    // The inner socket's manager while one is open (a pool member, when created on a pool).
    INetManager& GetNetManager() override;
    // A failure is returned, and the socket keeps trying in the background.
    ErrInfo Open(const UdpSockInfo& settings) override;
    // Also withdraws a pending re-open: once Close returns, no callback of this socket starts.
    void Close() override;
    ErrInfo SetSendAddr(const SockAddr& addr) override;
    ErrInfo Send(const void* bytes, size_t length, const SockAddr& addr) override;
    ErrInfo Send(const PacketPtr& packet, const SockAddr& addr) override;
    ErrInfo Send(PacketUniqPtr packet, const SockAddr& addr) override;
    UdpSockInfo GetUdpSockInfo() override;
    // The inner socket, or null while none is open.
    IUdpSockPtr GetUdpSockPtr() override;

    // One re-open attempt; runs on the opener thread. True when nothing is left to do (open, or
    // the re-open was withdrawn by Close).
    bool TryOpen();

private:
    std::wstring Prefix();
    IUdpSockPtr Inner();
    // The inner socket for a send, or the condensed "not opened" error in error.
    IUdpSockPtr InnerForSend(ErrInfo& error);

    IDebugLogPtr _DbgLog;
    std::wstring _DbgLogStr;  // guarded by _DataMtx
    INetManager& _NetManager;
    bool _LogIsOn = false;    // fixed at construction
    IUdpSockPtr _UdpSockPtr;  // guarded by _DataMtx
    UdpSockInfo _UdpSockInfo; // guarded by _DataMtx
    bool _ReopenRequested = false;  // guarded by Mtx
    std::unique_ptr<ErrorState> SendErrState;
    std::unique_ptr<ErrorState> OpenErrState;
    std::mutex Mtx;
    std::mutex _DataMtx;
};

// The background opener: one thread for the process. It sleeps without a timeout while no socket
// waits for a re-open, so an application that never uses these sockets pays nothing for it.
class UdpSockAutoOpener {
public:
    static constexpr std::chrono::milliseconds DefaultRetryPeriod{5000};

    UdpSockAutoOpener();
    // Stops and joins the thread; pending sockets are forgotten.
    ~UdpSockAutoOpener();
    UdpSockAutoOpener(const UdpSockAutoOpener&) = delete;
    UdpSockAutoOpener& operator=(const UdpSockAutoOpener&) = delete;

    // The first attempt follows one retry period later. Holds only a weak reference: destroying
    // the socket ends its retries.
    void TakeCareOfOpeningFor(const UdpSockAuto::Ptr& socket);

    // Lets tests run passes quickly; applies from the next wait on.
    void SetRetryPeriod(std::chrono::milliseconds period);
    std::chrono::milliseconds GetRetryPeriod();
    // Sockets registered and not yet dropped by a pass (destroyed ones included until then).
    size_t GetNumPending();

private:
    void ThreadBody();
    // One pass over the registered sockets, under _SocketsMutex; the sockets it tried are kept
    // in held, so that none is destroyed under the mutex.
    void Pass(std::vector<UdpSockAuto::Ptr>& held);

    std::vector<std::weak_ptr<UdpSockAuto>> _Sockets;  // guarded by _SocketsMutex
    std::mutex _SocketsMutex;
    bool _StopFlag = false;                            // guarded by _SocketsMutex
    std::condition_variable _ThreadCv;
    std::chrono::milliseconds _RetryPeriod{DefaultRetryPeriod};  // guarded by _SocketsMutex
    std::thread _Thread;
};

// Constructed when the library is loaded.
extern UdpSockAutoOpener UDP_sock_auto_opener;

} // namespace Network
