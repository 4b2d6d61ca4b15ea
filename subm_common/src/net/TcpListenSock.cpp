#include "net/TcpListenSock.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>

#include "diag/SysErrors.h"
#include "net/NetManagerMulti.h"
#include "net/TcpSock.h"
#include "util/StdStringFormat.h"

namespace Network {

namespace {

constexpr int ListenBacklog = 4096;

// Accept failures that last as long as the system is short of descriptors or memory: the
// connection stays queued, so the listener would be woken again at once.
bool IsLastingAcceptFailure(int code) {
    return code == EMFILE || code == ENFILE || code == ENOBUFS || code == ENOMEM;
}

} // namespace

TcpListenSock::TcpListenSock(INetManagerImpl& manager) : BaseSock(manager, L"TcpListenSock::_SockMutex") {
    if (_LogIsOn)
        DbgLogRecord(DbgLog, DbgLevel::ErrorsOnly,
                     wstring_format(L"%ls: TCP server socket created (%08X)", ManagerName.c_str(), GetSockLogId()));
}

TcpListenSock::~TcpListenSock() {
    Close();
    if (_LogIsOn)
        DbgLogRecord(DbgLog, DbgLevel::ErrorsOnly,
                     wstring_format(L"%ls: TCP server socket destroyed (%08X)", ManagerName.c_str(), GetSockLogId()));
}

// --- open and close -----------------------------------------------------------------------------

ErrInfo TcpListenSock::Open(const TcpListenSockInfo& info) {
    LOCK_GUARD(guard, _SockMutex, L"Open", 5);
    if (IsHandleValid()) return MAKE_ERR_INFO().StrError("server socket: Open refused, the socket is already open");
    if (GetSocketNetManIndex() == InvalidNetManIndexValue)
        return MAKE_ERR_INFO().StrError("server socket: Open refused, the socket was closed; create a new socket");
    return OpenUnderLock(info);
}

ErrInfo TcpListenSock::OpenUnderLock(const TcpListenSockInfo& info) {
    Info = info;
    _LoadFactor.store(info.LoadFactor);
    if (!Info.LocalAddr.IsSet()) return MAKE_ERR_INFO().ApiLastError("server socket: undefined local address for listening");

    const SOCKET handle = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (handle == INVALID_SOCKET) return MAKE_ERR_INFO().ApiLastError("server socket: create failed");
    _Sock.store(handle);

    const int one = 1;
    if (setsockopt(handle, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) != 0) {
        ErrInfo error = MAKE_ERR_INFO().ApiLastError("server socket: setsockopt SO_REUSEADDR failed");
        return FailOpen(error);
    }
    const std::wstring host = Info.LocalAddr.ToString();
    if (bind(handle, reinterpret_cast<const sockaddr*>(static_cast<const sockaddr_in*>(Info.LocalAddr)),
             sizeof(sockaddr_in)) != 0) {
        const int code = errno;
        ErrInfo error = MAKE_ERR_INFO().ApiError(
            code, wstring_format(L"%ls: TCP server socket %d (%08X) bind() has failed; host = \"%ls\"; Error: %ls",
                                 ManagerName.c_str(), handle, GetSockLogId(), host.c_str(),
                                 os::SystemErrCodeTextW(code).c_str()));
        return FailOpen(error);
    }
    // The port the system chose for port 0 is what the listener's users connect to.
    SockAddr bound;
    socklen_t length = sizeof(sockaddr_in);
    if (getsockname(handle, reinterpret_cast<sockaddr*>(static_cast<sockaddr_in*>(bound)), &length) == 0)
        Info.LocalAddr = bound;
    if (_LogIsOn)
        DbgLogRecord(DbgLog, DbgLevel::ErrorsOnly,
                     wstring_format(L"%ls: open TCP server socket %d (%08X): host = %ls", ManagerName.c_str(), handle,
                                    GetSockLogId(), Info.LocalAddr.ToString().c_str()));
    if (listen(handle, ListenBacklog) != 0) {
        const int code = errno;
        ErrInfo error = MAKE_ERR_INFO().ApiError(
            code, wstring_format(L"%ls: TCP server socket %d (%08X) listen() has failed; host = \"%ls\"; Error: %ls",
                                 ManagerName.c_str(), handle, GetSockLogId(), host.c_str(),
                                 os::SystemErrCodeTextW(code).c_str()));
        return FailOpen(error);
    }
    _CanAccept.store(Info.GetCallback() != nullptr);
    if (!Manager.NotifySocketOpened(this)) {
        ErrInfo error = MAKE_ERR_INFO().ApiLastError("server socket: post-open in netmanager failed");
        return FailOpen(error);
    }
    return MAKE_ERR_INFO();
}

ErrInfo TcpListenSock::FailOpen(ErrInfo& error) {
    Close();
    return error;
}

void TcpListenSock::Close() {
    if (IsHandleValid())
        DbgLogRecord(DbgLog, DbgLevel::ErrorsOnly,
                     wstring_format(L"%ls: close TCP server socket %d (%08X)", ManagerName.c_str(), GetSystemHandle(),
                                    GetSockLogId()));
    LOCK_GUARD(guard, _SockMutex, L"CloseListeningTCP", 5);
    _CanAccept.store(false);
    Info.ResetCallback();
    doClose();
}

SockAddr TcpListenSock::GetLocalAddr() {
    LOCK_GUARD(guard, _SockMutex, L"GetLocalAddr", 5);
    return IsHandleValid() ? Info.LocalAddr : SockAddr();
}

void TcpListenSock::implOnError(const ErrInfo& error) {
    if (ITcpListenSockManager* callback = Info.GetCallback()) callback->OnError(this, error);
}

// --- service thread -----------------------------------------------------------------------------

bool TcpListenSock::HandleSocketEvents(uint32_t events) {
    doLogSocketEvents(L"TCP listening", events);
    if ((events & CLOSE) && _LogIsOn)
        DbgLogRecord(DbgLog, DbgLevel::ErrorsOnly,
                     wstring_format(L"%ls: TCP server socket %d (%08X): event = CLOSE", ManagerName.c_str(),
                                    GetSystemHandle(), GetSockLogId()));
    if (!(events & ACCEPT)) {
        if (_LogIsOn)
            DbgLogRecord(DbgLog, DbgLevel::ErrorsOnly,
                         wstring_format(L"%ls: TCP server socket %d (%08X): event = %08X", ManagerName.c_str(),
                                        GetSystemHandle(), GetSockLogId(), events));
        return false;
    }
    if (_LogIsOn)
        DbgLogRecord(DbgLog, DbgLevel::ErrorsOnly,
                     wstring_format(L"%ls: TCP server socket %d (%08X): event = ACCEPT", ManagerName.c_str(),
                                    GetSystemHandle(), GetSockLogId()));
    LOCK_GUARD(guard, _SockMutex, L"server socket: HandleSocketEvents", 20);
    const SOCKET listening = GetSystemHandle();
    if (listening == INVALID_SOCKET || !Info.LocalAddr.IsSet() || Info.GetCallback() == nullptr) {
        // Nothing here can take the waiting connection: the manager stops watching the listener.
        _CanAccept.store(false);
        return false;
    }
    return Accept(listening);
}

INetManagerImpl& TcpListenSock::ManagerForConnection() {
    INetManagerMulti* pool = Manager.GetParentMultiManager();
    if (pool == nullptr) return Manager;
    auto* member = dynamic_cast<INetManagerImpl*>(&pool->GetLeastLoadedNetManager());
    return member != nullptr ? *member : Manager;
}

bool TcpListenSock::Accept(SOCKET listening) {
    TcpSockInfo connectionInfo = Info;  // the listener's own callback stays behind
    socklen_t length = sizeof(sockaddr_in);
    // Non-blocking from the start: OnAccept may already queue data, which a service thread
    // could flush before the connection is registered.
    const SOCKET handle = accept4(listening,
                                  reinterpret_cast<sockaddr*>(static_cast<sockaddr_in*>(connectionInfo.RemoteAddr)),
                                  &length, SOCK_NONBLOCK);
    if (handle == INVALID_SOCKET) {
        const int code = errno;
        ErrInfo error = MAKE_ERR_INFO().ApiError(static_cast<uint32_t>(code), "server socket: accept failed");
        if (IsLastingAcceptFailure(code)) {
            // Woken for the same connection over and over otherwise; the owner decides.
            _CanAccept.store(false);
            implOnError(error);
        }
        return false;
    }
    const std::wstring peer = connectionInfo.RemoteAddr.ToString();
    DbgLogRecord(DbgLog, DbgLevel::ErrorsOnly,
                 wstring_format(L"%ls: TCP server socket %d (%08X): incoming connection from %ls", ManagerName.c_str(),
                                listening, GetSockLogId(), peer.c_str()));

    INetManagerImpl& target = ManagerForConnection();
    auto connection = std::make_shared<TcpSock>(target, handle, connectionInfo);
    {
        LOCK_GUARD(connectionGuard, connection->GetSockMutex(), L"server socket: add accepted", 5);
        target.AddSocketToService(connection);
    }
    // Asked before the connection is registered: nothing it receives can arrive before its
    // callback object is in place.
    ITcpSockCallback callback = Info.GetCallback()->OnAccept(this, connection);
    if (callback == nullptr) {
        connection->Close();
        return true;
    }
    connection->SetCallback(callback);
    if (!connection->IsHandleValid()) return true;  // closed by OnAccept itself
    if (!target.NotifySocketOpened(connection.get())) {
        const int code = errno;
        if (DbgLog)
            DbgLog->LogRecord(wstring_format(
                L"%ls: Incoming TCP connection socket %d (%08X): NetManager failed post-open setup: error %d (%ls)",
                ManagerName.c_str(), connection->GetSystemHandle(), connection->GetSockLogId(), code,
                os::SystemErrCodeTextW(code).c_str()));
        // The owner took the connection on: it hears why it ends.
        ErrInfo error = MAKE_ERR_INFO().ApiError(static_cast<uint32_t>(code), "server socket: post-open in netmanager failed");
        connection->OnError(error.Silent());
        connection->Close();
        return true;
    }
    DbgLogRecord(DbgLog, DbgLevel::ConnStatus,
                 wstring_format(L"%ls: Incoming TCP connection socket %d (%08X) added OK", ManagerName.c_str(),
                                connection->GetSystemHandle(), connection->GetSockLogId()));
    return true;
}

} // namespace Network
