#include "net/BaseSock.h"

#include <fcntl.h>
#include <sys/socket.h>

#include "diag/IEnvironment.h"
#include "util/StdStringFormat.h"

namespace Network {

namespace {

std::atomic<uint32_t> sockets_counter{0};

} // namespace

BaseSock::BaseSock(INetManagerImpl& manager, const wchar_t* mutexName)
    : _SockMutex(mutexName),
      DbgLog(Environment()->DebugLog()),
      Manager(manager),
      ManagerName(manager.Name()),
      _LogIsOn(manager.LogIsOn()),
      _UniqueId(sockets_counter.fetch_add(1) + 1),
      _LogId(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(this))) {}

BaseSock::~BaseSock() {
    if (_LogIsOn)
        DbgLogRecord(DbgLog, DbgLevel::ConnStatus,
                     wstring_format(L"%ls: destroy basic socket object %d (%08X)", ManagerName.c_str(),
                                    GetSystemHandle(), _LogId));
}

void BaseSock::OnError(const ErrInfo& error) {
    LOCK_GUARD(guard, _SockMutex, L"OnError", 5);
    implOnError(error);
}

void BaseSock::OnClose(const ErrInfo& error) {
    LOCK_GUARD(guard, _SockMutex, L"OnClose", 5);
    implOnClose(error);
}

void BaseSock::LogRecord(const std::wstring& text) {
    if (!_LogIsOn) return;
    DbgLogRecord(DbgLog, DbgLevel::ConnStatus,
                 wstring_format(L"%ls: socket %d (%08X): %ls", ManagerName.c_str(), GetSystemHandle(), _LogId,
                                text.c_str()));
}

bool BaseSock::SetSocketBlockingMode(bool blocking) {
    const SOCKET handle = GetSystemHandle();
    if (handle == INVALID_SOCKET) return false;
    const int flags = fcntl(handle, F_GETFL);
    if (flags < 0) return false;
    const int wanted = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
    return fcntl(handle, F_SETFL, wanted) == 0;
}

bool BaseSock::doClose() {
    LOCK_GUARD(guard, _SockMutex, L"Close", 5);
    const bool wasOpen = IsHandleValid();
    if (wasOpen || GetSocketNetManIndex() != InvalidNetManIndexValue) Manager.NotifySocketClosed(this);
    const SOCKET handle = GetSystemHandle();
    if (handle == INVALID_SOCKET) return wasOpen;
    if (_LogIsOn)
        DbgLogRecord(DbgLog, DbgLevel::ConnStatus,
                     wstring_format(L"%ls: socket %d (%08X): close socket handle", ManagerName.c_str(), handle, _LogId));
    const SocketType type = GetType();
    if (type == SocketType::TCP || type == SocketType::TCP_TLS) shutdown(handle, SHUT_RDWR);
    closesocket(handle);
    _Sock.store(INVALID_SOCKET);
    return wasOpen;
}

void BaseSock::doLogSocketEvents(const wchar_t* kind, uint32_t events) {
    if (!_LogIsOn || !DbgLog) return;
    static const struct {
        uint32_t Bit;
        const wchar_t* Text;
    } names[] = {
        {IDLE, L"IDLE "},         {ACCEPT, L"FD_ACCEPT "}, {READ, L"FD_READ "}, {WRITE, L"FD_WRITE "},
        {CONNECT, L"FD_CONNECT "}, {CLOSE, L"FD_CLOSE "},   {OOB, L"FD_OOB "},   {SOCK_ERR, L"SOCK_ERR "},
    };
    std::wstring text;
    for (const auto& name : names)
        if (events & name.Bit) text += name.Text;
    DbgLog->LogRecord(wstring_format(L"%ls: %ls socket %d (%08X): handle events = %ls", ManagerName.c_str(), kind,
                                     GetSystemHandle(), _LogId, text.c_str()));
}

} // namespace Network
