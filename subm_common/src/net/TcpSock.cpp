#include "net/TcpSock.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "diag/SysErrors.h"
#include "util/StdStringFormat.h"
#include "util/myhirestimer.h"

namespace Network {

namespace {

// A readiness report is level-triggered, so whatever is left is reported again at once: the cap
// only keeps one busy connection from holding the service thread and the manager's other sockets.
constexpr int MaxReadsPerEvent = 64;
constexpr uint32_t DefaultPacketSize = 8192;

bool WouldBlock(int code) { return code == EAGAIN || code == EWOULDBLOCK; }

const wchar_t* ConnectPhaseText(SockConnectState state) {
    return state == SockConnectState::Connected ? L"has been connected" : L"connection in progress";
}

} // namespace

TcpSock::TcpSock(INetManagerImpl& manager) : BaseSock(manager, L"TcpSock::_SockMutex") {
    if (_LogIsOn)
        Log(DbgLevel::ConnStatus,
            wstring_format(L"%ls: TCP socket created (%08X) (outgoing)", ManagerName.c_str(), GetSockLogId()));
}

TcpSock::TcpSock(INetManagerImpl& manager, SOCKET handle, const TcpSockInfo& info)
    : BaseSock(manager, L"TcpSock::_SockMutex"), Info(info) {
    _Sock.store(handle);
    _SendPacketSize.store(info.SendPacketSize);
    _LoadFactor.store(info.LoadFactor);
    _ConnectStartTime = _ConnectEndTime = std::chrono::steady_clock::now();
    _ConnectState.store(SockConnectState::Connected);
    Log(DbgLevel::ConnStatus, wstring_format(L"%ls: TCP socket created %d (%08X) (incoming); state = Connected",
                                             ManagerName.c_str(), handle, GetSockLogId()));
}

TcpSock::~TcpSock() {
    Close();
    if (_LogIsOn)
        Log(DbgLevel::ConnStatus,
            wstring_format(L"%ls: TCP socket destroyed (%08X)", ManagerName.c_str(), GetSockLogId()));
}

bool TcpSock::LogsAt(unsigned level) const { return DbgLog && DbgLog->GetLogLevel() >= static_cast<int>(level); }

void TcpSock::Log(unsigned level, const std::wstring& text) const { DbgLogRecord(DbgLog, level, text); }

// --- open and close -----------------------------------------------------------------------------

ErrInfo TcpSock::Open(const TcpSockInfo& info) {
    LOCK_GUARD(guard, _SockMutex, L"outgoing TCP connection: Open", 5);
    // Checked before the settings are taken, so that a refused Open leaves an open socket as it was.
    if (IsHandleValid()) return MAKE_ERR_INFO().StrError("outgoing TCP connection: can not open socket");
    if (GetSocketNetManIndex() == InvalidNetManIndexValue)
        return MAKE_ERR_INFO().StrError("outgoing TCP connection: Open refused, the socket was closed; create a new socket");
    return OpenUnderLock(info);
}

ErrInfo TcpSock::OpenUnderLock(const TcpSockInfo& info) {
    Info = info;
    _SendPacketSize.store(Info.SendPacketSize);
    _LoadFactor.store(Info.LoadFactor);
    PacketsToSend.Clear();
    _HeadSent = 0;
    ReadyToSend = true;
    ReadyToRecv = true;
    if (!Info.RemoteAddr.IsSet()) return MAKE_ERR_INFO().ApiLastError("outgoing TCP connection: undefined address");

    const SOCKET handle = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (handle == INVALID_SOCKET) {
        _ConnectState.store(SockConnectState::Disconnected);
        return MAKE_ERR_INFO().ApiLastError("outgoing TCP connection: create socket failed (INVALID_SOCKET)");
    }
    _Sock.store(handle);
    _ConnectStartTime = _ConnectEndTime = std::chrono::steady_clock::now();
    _ConnectTimeout = std::chrono::milliseconds(Info.ConnectTimeout);
    // Stored after the time points: the service loop reads them once it sees the connect pending.
    _ConnectState.store(SockConnectState::Connecting);
    Log(DbgLevel::ConnStatus, wstring_format(L"%ls: TCP socket %d (%08X) : non-blocking connect; state = Connecting",
                                             ManagerName.c_str(), handle, GetSockLogId()));
    if (!SetSocketBlockingMode(false)) {
        ErrInfo error = MAKE_ERR_INFO().ApiLastError("outgoing TCP connection: non-blocking mode failed");
        return FailOpen(error);
    }

    if (Info.LocalAddr.IsSet()) {
        const int one = 1;
        if (Info.LocalAddr.GetPort() == 0 &&
            setsockopt(handle, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof(one)) != 0) {
            ErrInfo error = MAKE_ERR_INFO().ApiLastError("TCP socket: setsockopt IP_BIND_ADDRESS_NO_PORT failed");
            return FailOpen(error);
        }
        const std::wstring local = Info.LocalAddr.ToString();
        if (bind(handle, reinterpret_cast<const sockaddr*>(static_cast<const sockaddr_in*>(Info.LocalAddr)),
                 sizeof(sockaddr_in)) != 0) {
            const int code = errno;
            ErrInfo error = MAKE_ERR_INFO().ApiError(
                code, wstring_format(L"%ls: TCP socket %d (%08X) bind() has failed : host = \"%ls\"; Error: %ls",
                                     ManagerName.c_str(), handle, GetSockLogId(), local.c_str(),
                                     os::SystemErrCodeTextW(code).c_str()));
            return FailOpen(error);
        }
        Log(DbgLevel::ConnStatus, wstring_format(L"%ls: TCP socket %d (%08X) has been bound : host = \"%ls\"",
                                                 ManagerName.c_str(), handle, GetSockLogId(), local.c_str()));
    }

    const std::wstring remote = Info.RemoteAddr.ToString();
    Log(DbgLevel::ProcDetails, wstring_format(L"%ls: TCP socket %d (%08X) : host = \"%ls\" : Invoke CONNECT",
                                              ManagerName.c_str(), handle, GetSockLogId(), remote.c_str()));
    const int rc = connect(handle, reinterpret_cast<const sockaddr*>(static_cast<const sockaddr_in*>(Info.RemoteAddr)),
                           sizeof(sockaddr_in));
    const int code = rc == 0 ? 0 : errno;
    // An interrupted non-blocking connect goes on in the background, as one in progress does.
    if (rc != 0 && (isConnectInProgress(code) || code == EINTR)) {
        Log(DbgLevel::ProcDetails,
            wstring_format(L"%ls: TCP socket %d (%08X) : host = \"%ls\" : connect() not completed; errno = "
                           L"EINPROGRESS; state = Connecting",
                           ManagerName.c_str(), handle, GetSockLogId(), remote.c_str()));
    } else if (rc != 0 && code != 0) {
        _ConnectState.store(SockConnectState::Disconnected);
        const std::wstring codeText = os::SystemErrCodeTextW(code);
        Log(DbgLevel::ProcDetails,
            wstring_format(L"%ls: TCP socket %d (%08X) : host = \"%ls\" : connect() returned = %d ; errno = %d (%ls); "
                           L"state = Disconnected",
                           ManagerName.c_str(), handle, GetSockLogId(), remote.c_str(), rc, code, codeText.c_str()));
        ErrInfo error = MAKE_ERR_INFO().ApiError(
            code, wstring_format(L"%ls: TCP socket %d (%08X) connect() has failed : host = \"%ls\"; Error: %ls",
                                 ManagerName.c_str(), handle, GetSockLogId(), remote.c_str(), codeText.c_str()));
        return FailOpen(error);
    } else {
        // Even a connect that completed at once is reported by the service thread, which sees the
        // socket writable: OnConnect always comes from there.
        Manager.NotifySocketConnected(this);
        Log(DbgLevel::ProcDetails,
            wstring_format(rc == 0 ? L"%ls: TCP socket %d (%08X) : host = \"%ls\" : connect() returned OK; state = "
                                     L"Connecting. OnConnect will come from NetManager thread later"
                                   : L"%ls: TCP socket %d (%08X) : host = \"%ls\" : connect() completed; errno = "
                                     L"NOERROR; state = Connected; OnConnect will come from NetManager thread later",
                           ManagerName.c_str(), handle, GetSockLogId(), remote.c_str()));
    }

    if (!Manager.NotifySocketOpened(this)) {
        const int installCode = errno;
        ErrInfo error = MAKE_ERR_INFO().ApiError(
            installCode, wstring_format(L"%ls: TCP socket %d (%08X) netmanager handling has failed : host = \"%ls\"; "
                                        L"Error: %ls",
                                        ManagerName.c_str(), handle, GetSockLogId(), remote.c_str(),
                                        os::SystemErrCodeTextW(installCode).c_str()));
        return FailOpen(error);
    }
    Log(DbgLevel::ConnStatus, wstring_format(L"%ls: TCP socket %d (%08X) %ls: peer = \"%ls\"", ManagerName.c_str(),
                                             handle, GetSockLogId(), ConnectPhaseText(_ConnectState.load()),
                                             remote.c_str()));
    return MAKE_ERR_INFO();
}

ErrInfo TcpSock::FailOpen(ErrInfo& error) {
    Close();
    return error;
}

void TcpSock::Close() {
    if (IsHandleValid())
        Log(DbgLevel::ConnStatus, wstring_format(L"%ls: TCP socket %d (%08X): Close() invoked; state = Disconnected",
                                                 ManagerName.c_str(), GetSystemHandle(), GetSockLogId()));
    LOCK_GUARD(guard, _SockMutex, L"CloseTCP", 5);
    _ConnectState.store(SockConnectState::Disconnected);
    PacketsToSend.Clear();
    _HeadSent = 0;
    Info.ResetCallback();
    doClose();
}

void TcpSock::SetCallback(ITcpSockCallback callback) {
    LOCK_GUARD(guard, _SockMutex, L"SetCallback", 5);
    Info.SockManager = callback;
}

TcpSockInfo TcpSock::GetTcpSockInfo() {
    LOCK_GUARD(guard, _SockMutex, L"GetTcpSockInfo", 5);
    return Info;
}

SockConnectState TcpSock::GetConnectState() {
    return IsHandleValid() ? _ConnectState.load() : SockConnectState::Disconnected;
}

uint32_t TcpSock::GetHandlerEventMask() {
    const uint32_t mask = READ | WRITE | OOB | CLOSE;
    return IsConnectInProgress() ? (mask | CONNECT) : mask;
}

void TcpSock::implOnError(const ErrInfo& error) {
    // A connect that failed (or ran out of time) is over: left registered, the socket would keep
    // reporting itself writable, and a later reading of the then-cleared error would pass it off
    // as connected.
    const bool connectFailed = IsConnectInProgress();
    if (connectFailed) {
        _ConnectState.store(SockConnectState::Disconnected);
        _ConnectEndTime = std::chrono::steady_clock::now();
    }
    if (ITcpSockManager* callback = Info.GetCallback()) callback->OnError(this, error);
    if (connectFailed) Close();
}

void TcpSock::implOnClose(const ErrInfo& error) {
    if (ITcpSockManager* callback = Info.GetCallback()) callback->OnClose(this, error);
}

void TcpSock::OnTimerEvent() {
    LOCK_GUARD(guard, _SockMutex, L"TCP socket: connect timeout", 5);
    if (!IsConnectInProgress() || !IsHandleValid() || _ConnectTimeout.count() <= 0) return;
    if (std::chrono::steady_clock::now() < _ConnectStartTime + _ConnectTimeout) return;
    Log(DbgLevel::ConnStatus,
        wstring_format(L"%ls: TCP socket %d (%08X): connect not completed in %lld ms; state = Disconnected",
                       ManagerName.c_str(), GetSystemHandle(), GetSockLogId(),
                       static_cast<long long>(_ConnectTimeout.count())));
    ErrInfo error = MAKE_ERR_INFO().ApiError(ETIMEDOUT, "outgoing TCP connection: connect timeout");
    OnError(error.Silent());
}

// --- sending ------------------------------------------------------------------------------------

ErrInfo TcpSock::CheckSendable() {
    if (!IsHandleValid()) {
        if (_LogIsOn)
            Log(DbgLevel::ErrorsOnly, wstring_format(L"%ls: TCP socket: %d (%08X) : send failure; socket is not open",
                                                     ManagerName.c_str(), GetSystemHandle(), GetSockLogId()));
        ErrInfo error = MAKE_ERR_INFO().StrError("TCP send failure : Socket is not open");
        return error.Silent();
    }
    if (_ConnectState.load() != SockConnectState::Connected) {
        if (_LogIsOn)
            Log(DbgLevel::ErrorsOnly,
                wstring_format(L"%ls: TCP socket: %d (%08X) : send failure; socket is not connected yet",
                               ManagerName.c_str(), GetSystemHandle(), GetSockLogId()));
        ErrInfo error = MAKE_ERR_INFO().StrError("TCP send failure : Socket is not connected yet");
        return error.Silent();
    }
    return MAKE_ERR_INFO();
}

ErrInfo TcpSock::Send(const PacketPtr& packet) {
    ErrInfo result = CheckSendable();
    if (!result.IsOk()) return result;
    PacketsToSend.PushBack(packet);
    Manager.NotifyPacketsReadyToSend(this);
    return result;
}

ErrInfo TcpSock::Send(const PacketPtr* packets, size_t count) {
    ErrInfo result = CheckSendable();
    if (!result.IsOk()) return result;
    PacketsToSend.PushBack(packets, count);
    Manager.NotifyPacketsReadyToSend(this);
    return result;
}

ErrInfo TcpSock::Send(const void* bytes, size_t length) {
    const auto* data = static_cast<const uint8_t*>(bytes);
    // Zero would never get through the bytes: it means one packet for all of them.
    const size_t packetSize = _SendPacketSize.load() != 0 ? _SendPacketSize.load() : std::max<size_t>(length, 1);
    for (size_t offset = 0; offset < length; offset += packetSize) {
        const size_t n = std::min(packetSize, length - offset);
        PacketPtr packet = AllocateUdpPacket(n);
        packet->_Data.assign(data + offset, data + offset + n);
        ErrInfo result = Send(packet);
        if (!result.IsOk()) return result;
    }
    return MAKE_ERR_INFO();
}

// --- service thread -----------------------------------------------------------------------------

bool TcpSock::HandleSocketEvents(uint32_t events) {
    doLogSocketEvents(L"TCP", events);
    if (events == 0 || !IsHandleValid()) return false;
    if (events & CLOSE) {
        Log(DbgLevel::ConnStatus, wstring_format(L"%ls: TCP socket %d (%08X): event = CLOSE", ManagerName.c_str(),
                                                 GetSystemHandle(), GetSockLogId()));
        {
            // What the peer sent before it hung up is still in the receive buffer: delivered
            // first, it also ends in the orderly-shutdown report when nothing else went wrong.
            LOCK_GUARD(guard, _SockMutex, L"TCP socket: read before close", 20);
            if (_ConnectState.load() == SockConnectState::Connected && IsHandleValid()) {
                ReadyToRecv = true;
                OnReadEvent();
                // Cut short with more to read: the report comes again at once (level-triggered)
                // and reading goes on then.
                if (IsHandleValid() && ReadyToRecv) return true;
            }
        }
        if (IsHandleValid()) OnCloseEvent();
        return false;
    }
    if (events & SOCK_ERR) {
        Log(DbgLevel::ErrorsOnly, wstring_format(L"%ls: TCP socket %d (%08X): event = SOCK_ERR", ManagerName.c_str(),
                                                 GetSystemHandle(), GetSockLogId()));
        ErrInfo error = MAKE_ERR_INFO().StrError("TCP connection broken");
        OnError(error.Silent());
        Close();
        return false;
    }

    LOCK_GUARD(guard, _SockMutex, L"OnConnect", 20);
    if (events & CONNECT) {
        _ConnectState.store(SockConnectState::Connected);
        OnConnectEvent();
    }
    if (!IsHandleValid()) return false;
    // Nothing can be sent or read before the connection is there.
    if (IsConnectInProgress()) return true;
    bool result = false;
    if ((events & WRITE) && _ConnectState.load() == SockConnectState::Connected) {
        ReadyToSend = true;
        if (_LogIsOn)
            Log(DbgLevel::ProcDetails, wstring_format(L"%ls: TCP socket %d (%08X): event = WRITE", ManagerName.c_str(),
                                                      GetSystemHandle(), GetSockLogId()));
    }
    if (ErrInfo error = PreprocessOutboundData(); !error.IsOk()) {
        Log(DbgLevel::ErrorsOnly,
            wstring_format(L"%ls: TCP socket %d (%08X): event = READ; error of preprocessing application data [%ls]",
                           ManagerName.c_str(), GetSystemHandle(), GetSockLogId(), error.GetErrorStr().c_str()));
        error.Silent();
    }
    if (ReadyToSend) result = OnWriteEvent();
    if (IsHandleValid()) {
        if (events & READ) {
            ReadyToRecv = true;
            if (_LogIsOn)
                Log(DbgLevel::ProcDetails, wstring_format(L"%ls: TCP socket %d (%08X): event = READ",
                                                          ManagerName.c_str(), GetSystemHandle(), GetSockLogId()));
        }
        if (ReadyToRecv) result = OnReadEvent();
    }
    return result;
}

void TcpSock::OnConnectEvent() {
    if (_LogIsOn)
        Log(DbgLevel::ProcDetails, wstring_format(L"%ls: TCP socket %d (%08X): CONNECT event; state = Connected",
                                                  ManagerName.c_str(), GetSystemHandle(), GetSockLogId()));
    ErrInfo error = OnTcpConnectCompleted();
    if (error.IsOk()) return;
    Log(DbgLevel::ErrorsOnly, wstring_format(L"%ls: TCP socket %d (%08X): Error %ls", ManagerName.c_str(),
                                             GetSystemHandle(), GetSockLogId(), error.GetErrorStr().c_str()));
    error.Silent();
    Close();
}

ErrInfo TcpSock::OnTcpConnectCompleted() {
    _ConnectEndTime = std::chrono::steady_clock::now();
    if (ITcpSockManager* callback = Info.GetCallback()) callback->OnConnect(this);
    return MAKE_ERR_INFO();
}

bool TcpSock::OnWriteEvent() {
    if (!ReadyToSend) return false;
    bool sent = false;
    PacketPtr packet;
    while (IsHandleValid() && PacketsToSend.TryPopFront(packet)) {
        // Shared packets are never modified: the part already sent is counted here instead.
        if (!packet || packet->GetDataSize() <= _HeadSent) {
            _HeadSent = 0;
            continue;
        }
        const size_t length = packet->GetDataSize() - _HeadSent;
        const uint64_t begin = hrt::GetClock();
        const ssize_t n = send(GetSystemHandle(), packet->GetDataPtr() + _HeadSent, length, MSG_NOSIGNAL);
        const int code = errno;
        Manager.NotifyStatistics(NetStats::TcpSend, begin, hrt::GetClock());
        if (n >= 0) {
            Manager.NotifyStatCounter(NetStatCounters::TcpSendBytes, static_cast<uint64_t>(n));
            if (_LogIsOn)
                Log(DbgLevel::ProcDetails, wstring_format(L"%ls: TCP socket %d (%08X): send %d bytes", ManagerName.c_str(),
                                                          GetSystemHandle(), GetSockLogId(), static_cast<int>(n)));
            sent = true;
            if (static_cast<size_t>(n) < length) {
                _HeadSent += static_cast<size_t>(n);
                PacketsToSend.PushFront(std::move(packet));
            } else {
                _HeadSent = 0;
            }
            continue;
        }
        if (code == EINTR) {
            PacketsToSend.PushFront(std::move(packet));
            continue;
        }
        if (WouldBlock(code)) {
            PacketsToSend.PushFront(std::move(packet));
            // The next write-readiness report starts the next pass.
            Manager.NotifySendBlock(this);
            ReadyToSend = false;
            return true;
        }
        OnError(MAKE_ERR_INFO().ApiError(static_cast<uint32_t>(code), "Can't send TCP data"));
        Close();
        return false;
    }
    return sent;
}

bool TcpSock::OnReadEvent() {
    if (!ReadyToRecv) return true;
    bool result = true;
    const uint64_t passBegin = hrt::GetClock();
    // A zero-byte buffer would read as the end of the stream.
    const size_t bufSize = Info.RecvPacketSize != 0 ? Info.RecvPacketSize : DefaultPacketSize;
    for (int i = 0; i < MaxReadsPerEvent; ++i) {
        const SOCKET handle = GetSystemHandle();
        if (handle == INVALID_SOCKET) break;
        PacketPtr packet = AllocateUdpPacket(bufSize);
        packet->SetDataSize(bufSize);
        const ssize_t n = recv(handle, packet->GetDataPtr(), bufSize, 0);
        const int code = errno;
        if (n < 0) {
            if (code == EINTR) continue;
            if (WouldBlock(code)) {
                ReadyToRecv = false;
                if (_LogIsOn)
                    Log(DbgLevel::ProcDetails,
                        wstring_format(L"%ls: TCP socket %d (%08X): receive nothing; errno == EWOULDBLOCK",
                                       ManagerName.c_str(), handle, GetSockLogId()));
                break;
            }
            DbgLogRecord(DbgLog, DbgLevel::ErrorsOnly,
                         wstring_format(L"%ls: TCP socket %d (%08X): receive error : errno == %d (%ls)",
                                        ManagerName.c_str(), handle, GetSockLogId(), code,
                                        os::SystemErrCodeTextW(code).c_str()));
            if (_LogIsOn)
                Log(DbgLevel::ProcDetails, wstring_format(L"%ls: TCP socket %d (%08X): read error; errno == %d",
                                                          ManagerName.c_str(), handle, GetSockLogId(), code));
            ErrInfo error = MAKE_ERR_INFO().ApiError(static_cast<uint32_t>(code),
                                                     "TCP socket disconnected; read error detected");
            OnClose(error.Silent());
            Close();
            break;
        }
        if (n == 0) {
            ErrInfo error = MAKE_ERR_INFO().StrError("TCP socket disconnected; read shutdown detected");
            OnClose(error.Silent());
            Close();
            result = true;
            break;
        }
        if (_LogIsOn)
            Log(DbgLevel::ProcDetails, wstring_format(L"%ls: TCP socket %d (%08X): receive %d bytes",
                                                      ManagerName.c_str(), handle, GetSockLogId(), static_cast<int>(n)));
        packet->SetDataSize(static_cast<size_t>(n));
        ErrInfo processed = ProcessInboundData(packet);
        Manager.NotifyStatCounter(NetStatCounters::TcpRecvBytes, static_cast<uint64_t>(n));
        result = processed.IsOk();
        processed.Silent();
    }
    Manager.NotifyStatistics(NetStats::TcpRecv, passBegin, hrt::GetClock());
    return IsHandleValid() ? result : false;
}

ErrInfo TcpSock::ProcessInboundData(const PacketPtr& packet) {
    ITcpSockManager* callback = Info.GetCallback();
    if (callback == nullptr) {
        if (_LogIsOn)
            Log(DbgLevel::ProcDetails,
                wstring_format(L"%ls: TCP socket %d (%08X): SockManager is not initialized; can't call OnDataReceived()",
                               ManagerName.c_str(), GetSystemHandle(), GetSockLogId()));
        return MAKE_ERR_INFO().StrError("SockManager is not initialized; can't call OnDataReceived()");
    }
    if (_LogIsOn)
        Log(DbgLevel::ProcDetails, wstring_format(L"%ls: TCP socket %d (%08X): callback OnDataReceived()",
                                                  ManagerName.c_str(), GetSystemHandle(), GetSockLogId()));
    const uint64_t begin = hrt::GetClock();
    callback->OnDataReceived(this, packet);
    Manager.NotifyStatistics(NetStats::TcpRecvCallback, begin, hrt::GetClock());
    return MAKE_ERR_INFO();
}

void TcpSock::OnCloseEvent() {
    ErrInfo error = MAKE_ERR_INFO().StrError("TCP socket disconnected");
    OnClose(error.Silent());
    Close();
}

} // namespace Network
