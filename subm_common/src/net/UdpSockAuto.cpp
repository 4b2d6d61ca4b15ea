#include "net/UdpSockAuto.h"

#include <cstdint>
#include <system_error>
#include <utility>

#include "diag/IEnvironment.h"
#include "util/StdStringFormat.h"

namespace Network {

UdpSockAutoOpener UDP_sock_auto_opener;

namespace {

uint32_t LogIdOf(const void* object) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(object)); }

std::wstring ResultText(const ErrInfo& result) {
    return result.IsOk() ? std::wstring(L"OK") : result.GetErrorTextShort();
}

} // namespace

IUdpSockPtr CreateUdpSockAuto(INetManager& manager) { return UdpSockAuto::Create(manager); }

// --- the socket ---------------------------------------------------------------------------------

UdpSockAuto::Ptr UdpSockAuto::Create(INetManager& manager) { return std::make_shared<UdpSockAuto>(Token(), manager); }

UdpSockAuto::UdpSockAuto(Token, INetManager& manager)
    : _DbgLog(Environment()->DebugLog()),
      _DbgLogStr(wstring_format(L"UdpSockAuto(%08X): ", LogIdOf(this))),
      _NetManager(manager) {
    if (_DbgLog)
        _LogIsOn = _DbgLog->GetLogLevel() >= static_cast<int>(DbgLevel::ConnStatus) &&
                   (_DbgLog->IsLogEnabled(L"NetManager") || _DbgLog->IsLogEnabled(L"UdpSockAuto"));
    SendErrState = std::make_unique<ErrorState>(_DbgLogStr + L"SendErrState");
    OpenErrState = std::make_unique<ErrorState>(_DbgLogStr + L"OpenErrState");
    if (_LogIsOn) _DbgLog->LogRecord(_DbgLogStr + L"Socket created");
}

UdpSockAuto::~UdpSockAuto() {
    Close();
    if (_LogIsOn) _DbgLog->LogRecord(_DbgLogStr + L"Socket destroyed");
}

std::wstring UdpSockAuto::Prefix() {
    std::lock_guard<std::mutex> lock(_DataMtx);
    return _DbgLogStr;
}

IUdpSockPtr UdpSockAuto::Inner() {
    std::lock_guard<std::mutex> lock(_DataMtx);
    return _UdpSockPtr;
}

ErrInfo UdpSockAuto::Open(const UdpSockInfo& settings) {
    ErrInfo result = MAKE_ERR_INFO();
    {
        std::lock_guard<std::mutex> lock(Mtx);
        if (_ReopenRequested) return MAKE_ERR_INFO().StrError(Prefix() + L"Open() - Reopen already requested");
        if (Inner()) return MAKE_ERR_INFO().StrError(Prefix() + L"Open() - Socket already opened");
        const std::wstring prefix = wstring_format(L"UdpSockAuto(%08X): RecvAddr=\"%ls\": ", LogIdOf(this),
                                                   settings.RecvAddr.ToString().c_str());
        {
            std::lock_guard<std::mutex> dataLock(_DataMtx);
            _DbgLogStr = prefix;
            _UdpSockInfo = settings;
        }
        SendErrState->SetInfoStr(prefix + L"SendErrState");
        OpenErrState->SetInfoStr(prefix + L"OpenErrState");
        IUdpSockPtr socket = _NetManager.CreateUdpSock();
        if (socket)
            result = socket->Open(settings);
        else
            result.StrError(prefix + L"Open() - the manager gave no socket");
        if (result.IsOk()) {
            {
                std::lock_guard<std::mutex> dataLock(_DataMtx);
                _UdpSockPtr = std::move(socket);
            }
            OpenErrState->SetState(result);
            if (_LogIsOn) _DbgLog->LogRecord(prefix + L"Socket opened");
            return result;
        }
        OpenErrState->SetState(result);
        if (socket) socket->Close();
        if (_LogIsOn)
            _DbgLog->LogRecord(wstring_format(L"%ls UDP auto socket init auto due to open fault; Error: %ls",
                                              prefix.c_str(), result.GetErrorTextShort().c_str()));
        _ReopenRequested = true;
    }
    // Outside Mtx: the opener takes its own mutex before any socket's Mtx. A Close in between
    // withdraws the request, and the opener then drops the entry without an attempt.
    UDP_sock_auto_opener.TakeCareOfOpeningFor(shared_from_this());
    return result;
}

bool UdpSockAuto::TryOpen() {
    std::lock_guard<std::mutex> lock(Mtx);
    if (!_ReopenRequested) return true;
    UdpSockInfo settings;
    std::wstring prefix;
    {
        std::lock_guard<std::mutex> dataLock(_DataMtx);
        if (_UdpSockPtr) {
            _ReopenRequested = false;
            return true;
        }
        settings = _UdpSockInfo;
        prefix = _DbgLogStr;
    }
    ErrInfo result = MAKE_ERR_INFO();
    IUdpSockPtr socket = _NetManager.CreateUdpSock();
    if (socket)
        result = socket->Open(settings);
    else
        result.StrError(prefix + L"TryOpen() - the manager gave no socket");
    if (result.IsOk()) {
        // At once: the socket may already be delivering, and its receiver answering through us.
        std::lock_guard<std::mutex> dataLock(_DataMtx);
        _UdpSockPtr = socket;
        _ReopenRequested = false;
    } else if (socket) {
        socket->Close();
    }
    // Within a minute a failure comes back silent: a socket that keeps failing every retry
    // period is reported about once a minute.
    OpenErrState->SetState(result);
    if (_LogIsOn)
        _DbgLog->LogRecord(wstring_format(L"%ls UDP auto socket re-open attempt done, Result: %ls", prefix.c_str(),
                                          ResultText(result).c_str()));
    return result.IsOk();
}

void UdpSockAuto::Close() {
    IUdpSockPtr inner;
    std::wstring prefix;
    {
        // Waits for an attempt in progress, so that none completes after Close has returned.
        std::lock_guard<std::mutex> lock(Mtx);
        // A receiver may be gone once Close returns: no re-open may bring its callbacks back.
        _ReopenRequested = false;
        std::lock_guard<std::mutex> dataLock(_DataMtx);
        inner = std::move(_UdpSockPtr);
        _UdpSockPtr.reset();
        prefix = _DbgLogStr;
    }
    if (!inner) return;
    // Outside the locks: closing waits for a receive callback in progress, which may be sending
    // through this object.
    inner->Close();
    if (_LogIsOn) _DbgLog->LogRecord(prefix + L"Socket closed ");
}

INetManager& UdpSockAuto::GetNetManager() {
    const IUdpSockPtr inner = Inner();
    return inner ? inner->GetNetManager() : _NetManager;
}

IUdpSockPtr UdpSockAuto::GetUdpSockPtr() { return Inner(); }

UdpSockInfo UdpSockAuto::GetUdpSockInfo() {
    std::lock_guard<std::mutex> lock(_DataMtx);
    return _UdpSockInfo;
}

ErrInfo UdpSockAuto::SetSendAddr(const SockAddr& addr) {
    IUdpSockPtr inner;
    std::wstring prefix;
    {
        std::lock_guard<std::mutex> lock(_DataMtx);
        if (!_UdpSockPtr) return MAKE_ERR_INFO().StrError(_DbgLogStr + L"SetSendAddr() - socket not opened");
        inner = _UdpSockPtr;
        // Kept for the sockets of later re-opens.
        _UdpSockInfo.SendAddr = addr;
        prefix = _DbgLogStr;
    }
    if (_LogIsOn)
        _DbgLog->LogRecord(wstring_format(L"%ls UDP auto socket SetSendAddr: SendAddr = \"%ls\"", prefix.c_str(),
                                          addr.ToString().c_str()));
    return inner->SetSendAddr(addr);
}

IUdpSockPtr UdpSockAuto::InnerForSend(ErrInfo& error) {
    IUdpSockPtr inner = Inner();
    if (!inner) error.StrError(L"Send() - socket not opened");
    // Also the success: it ends an error streak with one "Error->OK" line.
    SendErrState->SetState(error);
    return inner;
}

ErrInfo UdpSockAuto::Send(const void* bytes, size_t length, const SockAddr& addr) {
    ErrInfo error = MAKE_ERR_INFO();
    const IUdpSockPtr inner = InnerForSend(error);
    if (!inner) return error;
    return inner->Send(bytes, length, addr);
}

ErrInfo UdpSockAuto::Send(const PacketPtr& packet, const SockAddr& addr) {
    ErrInfo error = MAKE_ERR_INFO();
    const IUdpSockPtr inner = InnerForSend(error);
    if (!inner) return error;
    return inner->Send(packet, addr);
}

ErrInfo UdpSockAuto::Send(PacketUniqPtr packet, const SockAddr& addr) {
    ErrInfo error = MAKE_ERR_INFO();
    const IUdpSockPtr inner = InnerForSend(error);
    if (!inner) return error;
    return inner->Send(std::move(packet), addr);
}

// --- the opener ---------------------------------------------------------------------------------

UdpSockAutoOpener::UdpSockAutoOpener() {
    _Sockets.reserve(500);
    try {
        _Thread = std::thread(&UdpSockAutoOpener::ThreadBody, this);
    } catch (const std::system_error&) {
        // At library load there is no one to tell; sockets then stay closed after a failed Open,
        // which their Open result already reported.
    }
}

UdpSockAutoOpener::~UdpSockAutoOpener() {
    {
        std::lock_guard<std::mutex> lock(_SocketsMutex);
        _StopFlag = true;
        _ThreadCv.notify_all();
    }
    if (_Thread.joinable()) _Thread.join();
    std::lock_guard<std::mutex> lock(_SocketsMutex);
    _Sockets.clear();
}

void UdpSockAutoOpener::TakeCareOfOpeningFor(const UdpSockAuto::Ptr& socket) {
    std::lock_guard<std::mutex> lock(_SocketsMutex);
    for (const auto& entry : _Sockets)
        if (!entry.owner_before(socket) && !socket.owner_before(entry)) return;
    _Sockets.push_back(socket);
    // Only an idle thread waits for this; a waiting pass keeps its schedule.
    if (_Sockets.size() == 1) _ThreadCv.notify_all();
}

void UdpSockAutoOpener::SetRetryPeriod(std::chrono::milliseconds period) {
    std::lock_guard<std::mutex> lock(_SocketsMutex);
    _RetryPeriod = period;
}

std::chrono::milliseconds UdpSockAutoOpener::GetRetryPeriod() {
    std::lock_guard<std::mutex> lock(_SocketsMutex);
    return _RetryPeriod;
}

size_t UdpSockAutoOpener::GetNumPending() {
    std::lock_guard<std::mutex> lock(_SocketsMutex);
    return _Sockets.size();
}

void UdpSockAutoOpener::ThreadBody() {
    std::vector<UdpSockAuto::Ptr> held;
    std::unique_lock<std::mutex> lock(_SocketsMutex);
    while (!_StopFlag) {
        if (_Sockets.empty()) {
            _ThreadCv.wait(lock, [this] { return _StopFlag || !_Sockets.empty(); });
            continue;
        }
        // Waits one full period before each pass, the first included, whatever wakes it.
        const auto due = std::chrono::steady_clock::now() + _RetryPeriod;
        if (_ThreadCv.wait_until(lock, due, [this] { return _StopFlag; })) break;
        Pass(held);
        if (held.empty()) continue;
        // A socket whose last owner let go during its attempt dies here, outside the mutex.
        lock.unlock();
        held.clear();
        lock.lock();
    }
}

void UdpSockAutoOpener::Pass(std::vector<UdpSockAuto::Ptr>& held) {
    for (size_t i = 0; i < _Sockets.size();) {
        UdpSockAuto::Ptr socket = _Sockets[i].lock();
        const bool done = !socket || socket->TryOpen();
        if (socket) held.push_back(std::move(socket));
        if (!done) {
            ++i;
            continue;
        }
        // Unordered removal: the moved entry is examined next.
        _Sockets[i] = std::move(_Sockets.back());
        _Sockets.pop_back();
    }
}

} // namespace Network
