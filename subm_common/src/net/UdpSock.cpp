#include "net/UdpSock.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <new>

#include "diag/SysErrors.h"
#include "util/StdStringFormat.h"
#include "util/hrt.h"
#include "util/myhirestimer.h"

namespace Network {

namespace {

// A readiness report is level-triggered, so whatever is left is reported again at once: the cap
// only keeps one flooded socket from holding the service thread (and the manager's other
// sockets, and Stop) for as long as its sender keeps up.
constexpr int MaxReadsPerEvent = 64;
// No IPv4 datagram is longer; a larger configured size would only waste memory per datagram.
constexpr uint32_t MaxDatagramSize = 65536;
constexpr uint64_t SendRetrySleepMicrosecs = 10;

bool WouldBlock(int code) { return code == EAGAIN || code == EWOULDBLOCK; }

std::wstring AddrText(const SockAddr& addr) { return addr.IsSet() ? addr.ToString() : std::wstring(L"empty"); }

} // namespace

UdpSock::UdpSock(INetManagerImpl& manager)
    : BaseSock(manager, L"UdpSock::_SockMutex"), SendErrState(std::make_unique<ErrorState>(L"UdpSock::Send")) {
    if (_LogIsOn)
        DbgLogRecord(DbgLog, DbgLevel::ErrorsOnly,
                     wstring_format(L"%ls: UDP socket created (%08X)", ManagerName.c_str(), GetSockLogId()));
}

UdpSock::~UdpSock() {
    Close();
    if (_LogIsOn)
        DbgLogRecord(DbgLog, DbgLevel::ErrorsOnly,
                     wstring_format(L"%ls: UDP socket destroyed (%08X)", ManagerName.c_str(), GetSockLogId()));
}

// --- open and close -----------------------------------------------------------------------------

ErrInfo UdpSock::Open(const UdpSockInfo& settings) {
    LOCK_GUARD(guard, _SockMutex, L"Open", 5);
    if (IsHandleValid()) return MAKE_ERR_INFO().StrError("UDP socket: Open refused, the socket is already open");
    if (GetSocketNetManIndex() == InvalidNetManIndexValue)
        return MAKE_ERR_INFO().StrError("UDP socket: Open refused, the socket was closed; create a new socket");
    return OpenUnderLock(settings);
}

ErrInfo UdpSock::OpenUnderLock(const UdpSockInfo& settings) {
    {
        std::lock_guard<std::mutex> lock(_AddrMtx);
        Info = settings;
    }
    _AsyncMode.store(!settings.SendModeSync);
    _LoadFactor.store(settings.LoadFactor);
    PacketToSend.Clear();
    SetPacketToSendHeld();
    ReadyToSend = true;
    try {
        PacketsToSend.Reset(settings.SendModeSync ? 0 : settings.SendQueueLen);
    } catch (const std::bad_alloc&) {
        PacketsToSend.Reset(0);
        return MAKE_ERR_INFO().StrError("UDP socket: the send queue can not be allocated");
    }

    const SOCKET handle = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (handle == INVALID_SOCKET) return MAKE_ERR_INFO().ApiLastError("UDP socket: create failed");
    _Sock.store(handle);

    const int one = 1;
    if (Info.Broadcast && setsockopt(handle, SOL_SOCKET, SO_BROADCAST, &one, sizeof(one)) != 0) {
        ErrInfo error = MAKE_ERR_INFO().ApiLastError("UDP socket: setsockopt SO_BROADCAST failed");
        return FailOpen(error);
    }
    if (Info.Multicast && setsockopt(handle, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) != 0) {
        ErrInfo error = MAKE_ERR_INFO().ApiLastError("UDP socket: setsockopt SO_MULTICAST failed");
        return FailOpen(error);
    }

    SockAddr loopback("127.0.0.1", 0);
    const SockAddr interfaceAddr = Info.InterfaceAddr.IsSet() ? Info.InterfaceAddr : loopback;
    if (Info.RecvAddr.IsSet()) {
        const std::wstring addrText = Info.RecvAddr.ToString();
        if (Info.RecvAddr.GetPort() == 0 &&
            setsockopt(handle, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof(one)) != 0) {
            const int code = errno;
            ErrInfo error = MAKE_ERR_INFO().ApiError(
                code, wstring_format(L"%ls: UDP socket %d (%08X) setsockopt(IP_BIND_ADDRESS_NO_PORT) has failed "
                                     L"(addr=\"%ls\"); Error: %ls",
                                     ManagerName.c_str(), handle, GetSockLogId(), addrText.c_str(),
                                     os::SystemErrCodeTextW(code).c_str()));
            return FailOpen(error);
        }
        SockAddr bindAddr = Info.RecvAddr;
        if (Info.Multicast) bindAddr.Set("0.0.0.0", Info.RecvAddr.GetPort());
        if (bind(handle, reinterpret_cast<const sockaddr*>(static_cast<const sockaddr_in*>(bindAddr)),
                 sizeof(sockaddr_in)) != 0) {
            const int code = errno;
            ErrInfo error = MAKE_ERR_INFO().ApiError(
                code, wstring_format(L"%ls: UDP socket %d (%08X) bind() has failed to \"%ls\"; Error: %ls",
                                     ManagerName.c_str(), handle, GetSockLogId(), addrText.c_str(),
                                     os::SystemErrCodeTextW(code).c_str()));
            return FailOpen(error);
        }
        if (Info.Multicast) {
            ip_mreq request{};
            request.imr_multiaddr.s_addr = Info.RecvAddr.GetIPasBin();
            request.imr_interface.s_addr = interfaceAddr.GetIPasBin();
            if (setsockopt(handle, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof(request)) != 0) {
                ErrInfo error = MAKE_ERR_INFO().ApiLastError("UDP socket: setsockopt SO_MULTICAST failed");
                return FailOpen(error);
            }
            // Also on the loopback interface, so that local senders reach the group; a second
            // join of the same interface fails harmlessly.
            request.imr_interface.s_addr = loopback.GetIPasBin();
            setsockopt(handle, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof(request));
        }
        if (_LogIsOn)
            DbgLogRecord(DbgLog, DbgLevel::ErrorsOnly,
                         wstring_format(L"%ls: UDP socket %d (%08X) has been opened and bound to \"%ls\"",
                                        ManagerName.c_str(), handle, GetSockLogId(), addrText.c_str()));
    } else {
        if (Info.Multicast) {
            in_addr outgoing{};
            outgoing.s_addr = interfaceAddr.GetIPasBin();
            if (setsockopt(handle, IPPROTO_IP, IP_MULTICAST_IF, &outgoing, sizeof(outgoing)) != 0) {
                ErrInfo error = MAKE_ERR_INFO().ApiLastError("UDP socket: setsockopt SO_MULTICAST failed");
                return FailOpen(error);
            }
        }
        if (_LogIsOn)
            DbgLogRecord(DbgLog, DbgLevel::ErrorsOnly,
                         wstring_format(L"%ls: UDP socket %d (%08X) has been opened (unbound)", ManagerName.c_str(),
                                        handle, GetSockLogId()));
    }

    if (!Manager.NotifySocketOpened(this)) {
        ErrInfo error = MAKE_ERR_INFO().ApiLastError("UDP socket: post-open in netmanager failed");
        return FailOpen(error);
    }
    return MAKE_ERR_INFO();
}

ErrInfo UdpSock::FailOpen(ErrInfo& error) {
    Close();
    return error;
}

void UdpSock::Close() {
    if (_LogIsOn)
        DbgLogRecord(DbgLog, DbgLevel::ErrorsOnly,
                     wstring_format(L"%ls: close UDP socket %d (%08X)", ManagerName.c_str(), GetSystemHandle(),
                                    GetSockLogId()));
    LOCK_GUARD(guard, _SockMutex, L"CloseUDP", 5);
    Info.ResetCallback();
    doClose();
}

ErrInfo UdpSock::SetSendAddr(const SockAddr& addr) {
    LOCK_GUARD(guard, _SockMutex, L"UDP socket: SetSendAddr", 5);
    if (!IsHandleValid()) return MAKE_ERR_INFO().StrError("UDP socket: Invalid socket");
    std::lock_guard<std::mutex> lock(_AddrMtx);
    Info.SendAddr = addr;
    return MAKE_ERR_INFO();
}

UdpSockInfo UdpSock::GetUdpSockInfo() {
    LOCK_GUARD(guard, _SockMutex, L"GetUdpSockInfo", 5);
    return Info;
}

uint32_t UdpSock::GetHandlerEventMask() { return _AsyncMode.load() ? (READ | WRITE) : READ; }

bool UdpSock::IsReadyToSend() {
    if (!_AsyncMode.load(std::memory_order_relaxed)) return false;
    return !PacketsToSend.Empty() || _PacketToSendHeld.load();
}

void UdpSock::implOnError(const ErrInfo& error) {
    if (IUdpReceiver* receiver = Info.GetCallback()) receiver->OnError(this, error);
}

void UdpSock::implOnClose(const ErrInfo& error) {
    if (IUdpReceiver* receiver = Info.GetCallback()) receiver->OnClose(this, error);
}

// --- sending ------------------------------------------------------------------------------------

SockAddr UdpSock::Destination(const SockAddr& addr) {
    if (addr.IsSet()) return addr;
    std::lock_guard<std::mutex> lock(_AddrMtx);
    return Info.SendAddr;
}

ErrInfo UdpSock::Send(const void* bytes, size_t length, const SockAddr& addr) {
    const SockAddr dest = Destination(addr);
    if (!_AsyncMode.load()) return SendSync(static_cast<const uint8_t*>(bytes), length, dest);
    SendPacketData data;
    if (IsHandleValid() && dest.IsSet()) {  // otherwise SendAsync refuses: no copy needed
        data.PacketPtrU = AllocateUdpPacket(length);
        data.PacketPtrU->_Data.assign(static_cast<const uint8_t*>(bytes), static_cast<const uint8_t*>(bytes) + length);
    }
    data.Addr = dest;
    return SendAsync(std::move(data));
}

ErrInfo UdpSock::Send(const PacketPtr& packet, const SockAddr& addr) {
    const SockAddr dest = Destination(addr);
    if (!_AsyncMode.load())
        return packet ? SendSync(packet->GetDataPtr(), packet->GetDataSize(), dest) : SendSync(nullptr, 0, dest);
    SendPacketData data;
    data.PacketPtrS = packet;
    data.Addr = dest;
    return SendAsync(std::move(data));
}

ErrInfo UdpSock::Send(PacketUniqPtr packet, const SockAddr& addr) {
    const SockAddr dest = Destination(addr);
    if (!_AsyncMode.load())
        return packet ? SendSync(packet->GetDataPtr(), packet->GetDataSize(), dest) : SendSync(nullptr, 0, dest);
    SendPacketData data;
    data.PacketPtrU = std::move(packet);
    data.Addr = dest;
    return SendAsync(std::move(data));
}

ErrInfo UdpSock::SendSync(const uint8_t* bytes, size_t length, const SockAddr& dest) {
    LOCK_GUARD(guard, _SockMutex, L"UDP socket: SendDirect", 20);
    const uint64_t begin = hrt::GetClock();
    ErrInfo result = MAKE_ERR_INFO();
    const SOCKET handle = GetSystemHandle();
    if (handle == INVALID_SOCKET) {
        result.StrError("Invalid socket");
    } else if (!dest.IsSet()) {
        result.StrError("UDP socket: send address undefined");
    } else {
        const auto* to = reinterpret_cast<const sockaddr*>(static_cast<const sockaddr_in*>(dest));
        for (;;) {
            if (sendto(handle, bytes, length, 0, to, sizeof(sockaddr_in)) >= 0) {
                Manager.NotifyStatCounter(NetStatCounters::UdpSendSyncBytes, length);
                break;
            }
            const int code = errno;
            if (code == EINTR) continue;
            if (!WouldBlock(code)) {
                result.ApiError(code, "UDP socket: sendto() failed");
                Manager.NotifyStatCounter(NetStatCounters::UdpSendSyncDrops, 1);
                break;
            }
            Manager.NotifyStatCounter(NetStatCounters::UdpSendSyncBlocks, 1);
            if (!Info.SendRetry) {
                Manager.NotifyStatCounter(NetStatCounters::UdpSendSyncDrops, 1);
                break;
            }
            const uint64_t sleepBegin = hrt::GetClock();
            SleepMicrosec(SendRetrySleepMicrosecs);
            Manager.NotifyStatistics(NetStats::UdpSendSleep, sleepBegin, hrt::GetClock());
        }
    }
    SetSendErrState(result, dest);
    // Only an open socket is sure to have a manager: a closed one may have outlived it.
    if (handle != INVALID_SOCKET) Manager.NotifyStatistics(NetStats::UdpSendSync, begin, hrt::GetClock());
    return result;
}

ErrInfo UdpSock::SendAsync(SendPacketData&& data) {
    ErrInfo result = MAKE_ERR_INFO();
    const SockAddr dest = data.Addr;
    if (!IsHandleValid()) {
        result.StrError("Invalid socket");
    } else if (!dest.IsSet()) {
        result.StrError("UDP socket: send address undefined");
    } else if (!PacketsToSend.TryEmplaceBack(std::move(data))) {
        Manager.NotifyStatCounter(NetStatCounters::UdpSendAsyncDrops, 1);
        result.StrError("UDP socket: Send buffer overflow");
    } else {
        Manager.NotifyPacketsReadyToSend(this);
    }
    SetSendErrState(result, dest);
    return result;
}

void UdpSock::SetSendErrState(ErrInfo& error, const SockAddr& dest) {
    SendErrState->SetState(error);
    if (error.IsOk() || error.IsSilent()) return;
    SockAddr self;
    {
        std::lock_guard<std::mutex> lock(_AddrMtx);
        self = Info.RecvAddr;
    }
    error.AddError(wstring_format(L"%ls: UDP socket %d (%08X); self = '%ls', dest = '%ls'", ManagerName.c_str(),
                                  GetSystemHandle(), GetSockLogId(), AddrText(self).c_str(), AddrText(dest).c_str()));
}

// --- service thread -----------------------------------------------------------------------------

bool UdpSock::HandleSocketEvents(uint32_t events) {
    doLogSocketEvents(L"UDP", events);
    if (events == 0) return false;
    if (events & CLOSE) {
        if (_LogIsOn)
            DbgLogRecord(DbgLog, DbgLevel::ErrorsOnly,
                         wstring_format(L"%ls: UDP socket %d (%08X): event = CLOSE", ManagerName.c_str(),
                                        GetSystemHandle(), GetSockLogId()));
        ErrInfo closed = MAKE_ERR_INFO().StrError("UDP socket closed");
        OnClose(closed.Silent());
        Close();
        return true;
    }
    bool handled = false;
    if (!_AsyncMode.load()) {
        if (!(events & READ)) {
            if (_LogIsOn)
                DbgLogRecord(DbgLog, DbgLevel::Everything,
                             wstring_format(L"%ls: UDP socket %d (%08X): event = %08X", ManagerName.c_str(),
                                            GetSystemHandle(), GetSockLogId(), events));
            return false;
        }
    } else {
        LOCK_GUARD(guard, _SockMutex, L"UDP socket: HandleSocketEvents(write)", 5);
        if (!IsHandleValid()) return false;
        if (events & WRITE) {
            ReadyToSend = true;
            if (_LogIsOn)
                DbgLogRecord(DbgLog, DbgLevel::ProcDetails,
                             wstring_format(L"%ls: UDP socket %d (%08X): event = WRITE", ManagerName.c_str(),
                                            GetSystemHandle(), GetSockLogId()));
        }
        if (ReadyToSend) handled = WritePass();
    }
    if (!(events & READ)) return handled;
    return ReadPass(handled);
}

bool UdpSock::WritePass() {
    bool done = false;
    while (ReadyToSend) {
        if (PacketToSend.IsEmpty()) PacketsToSend.TryPopFront(PacketToSend);
        SetPacketToSendHeld();
        if (PacketToSend.IsEmpty()) break;
        const Packet* packet = PacketToSend.PacketPtrU ? PacketToSend.PacketPtrU.get() : PacketToSend.PacketPtrS.get();
        const size_t length = packet->GetDataSize();
        if (length == 0 || !PacketToSend.Addr.IsSet()) {
            PacketToSend.Clear();
            continue;
        }
        const uint64_t begin = hrt::GetClock();
        const ssize_t sent = sendto(GetSystemHandle(), packet->GetDataPtr(), length, 0,
                                    reinterpret_cast<const sockaddr*>(static_cast<const sockaddr_in*>(PacketToSend.Addr)),
                                    sizeof(sockaddr_in));
        const int code = errno;
        Manager.NotifyStatistics(NetStats::UdpSendAsync, begin, hrt::GetClock());
        if (sent >= 0) {
            PacketToSend.Clear();
            Manager.NotifyStatCounter(NetStatCounters::UdpSendAsyncBytes, length);
            if (_LogIsOn)
                DbgLogRecord(DbgLog, DbgLevel::ProcDetails,
                             wstring_format(L"%ls: UDP socket %d (%08X): send %d bytes", ManagerName.c_str(),
                                            GetSystemHandle(), GetSockLogId(), static_cast<int>(length)));
            done = true;
            continue;
        }
        if (code == EINTR) continue;
        if (WouldBlock(code)) {
            if (Info.SendRetry) {
                // Kept for the next pass, which the next write-readiness report starts.
                ReadyToSend = false;
                Manager.NotifyStatCounter(NetStatCounters::UdpSendAsyncBlocks, 1);
                Manager.NotifySendBlock(this);
                return true;
            }
            Manager.NotifyStatCounter(NetStatCounters::UdpSendAsyncDrops, 1);
            PacketToSend.Clear();
            continue;
        }
        PacketToSend.Clear();
        SetPacketToSendHeld();
        OnError(MAKE_ERR_INFO().ApiError(static_cast<uint32_t>(code), "Can't send UDP data"));
        Close();
        return false;
    }
    SetPacketToSendHeld();
    return done;
}

bool UdpSock::ReadPass(bool handled) {
    LOCK_GUARD(guard, _SockMutex, L"UDP socket: HandleSocketEvents(read)", 20);
    if (!IsHandleValid()) return false;
    if (!Info.RecvAddr.IsAddressAndPortSet()) {
        DiscardIncoming();
        return handled;
    }
    const size_t bufSize = Info.PacketSize < MaxDatagramSize ? Info.PacketSize : MaxDatagramSize;
    uint64_t receivedBytes = 0;
    // One clock reading ends a step and begins the next: the clock is a good part of the cost
    // of a datagram here.
    uint64_t now = hrt::GetClock();
    for (int i = 0; i < MaxReadsPerEvent; ++i) {
        // A callback may have closed the socket.
        const SOCKET handle = GetSystemHandle();
        if (handle == INVALID_SOCKET) break;
        PacketUniqPtr packet = AllocateUdpPacket(bufSize);
        packet->SetDataSize(bufSize);
        SockAddr from;
        socklen_t fromLength = sizeof(sockaddr_in);
        const uint64_t begin = now;
        const ssize_t received = recvfrom(handle, packet->GetDataPtr(), bufSize, 0,
                                          reinterpret_cast<sockaddr*>(static_cast<sockaddr_in*>(from)), &fromLength);
        const int code = errno;
        now = hrt::GetClock();
        Manager.NotifyStatistics(NetStats::UdpRecv, begin, now);
        if (received < 0) {
            if (code == EINTR) continue;
            if (!WouldBlock(code)) OnError(MAKE_ERR_INFO().ApiError(static_cast<uint32_t>(code), "UDP socket: recv failed"));
            break;
        }
        handled = true;
        receivedBytes += static_cast<uint64_t>(received);
        if (_LogIsOn)
            DbgLogRecord(DbgLog, DbgLevel::Everything,
                         wstring_format(L"%ls: UDP socket %d (%08X): event = READ; incoming datagram %d bytes from %ls",
                                        ManagerName.c_str(), handle, GetSockLogId(), static_cast<int>(received),
                                        from.ToString().c_str()));
        packet->SetDataSize(static_cast<size_t>(received));
        IUdpReceiver* receiver = Info.GetCallback();
        if (received == 0 || receiver == nullptr) continue;
        const uint64_t callbackBegin = now;
        receiver->OnDatagramReceived(this, std::move(packet), from);
        now = hrt::GetClock();
        Manager.NotifyStatistics(NetStats::UdpRecvCallback, callbackBegin, now);
    }
    // Counted once per pass: the per-minute total is the same.
    if (receivedBytes != 0) Manager.NotifyStatCounter(NetStatCounters::UdpRecvBytes, receivedBytes);
    return handled;
}

void UdpSock::DiscardIncoming() {
    // A socket that does not read still gets level-triggered read reports; leaving the data
    // queued would make the service thread spin on them.
    uint8_t sink[1];
    for (int i = 0; i < MaxReadsPerEvent; ++i) {
        const ssize_t received = recv(GetSystemHandle(), sink, sizeof(sink), 0);
        if (received >= 0) continue;
        if (errno != EINTR) break;
    }
}

} // namespace Network
