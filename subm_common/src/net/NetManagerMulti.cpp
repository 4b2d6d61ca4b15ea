#include "net/NetManagerMulti.h"

#include <algorithm>
#include <limits>

#include "diag/IEnvironment.h"
#include "util/StdStringFormat.h"

namespace Network {

namespace {

// n sockets from make. An empty first pointer ends the batch: the member cannot make this kind.
template <class Ptr, class Make>
std::vector<Ptr> MakeBatch(size_t n, Make make) {
    std::vector<Ptr> sockets;
    if (n == 0) return sockets;
    sockets.reserve(n);
    sockets.push_back(make());
    if (!sockets.front()) return sockets;
    while (sockets.size() < n) sockets.push_back(make());
    return sockets;
}

} // namespace

INetManagerMulti* NetFactory::CreateNetManagerMulti(const std::wstring& name, bool autoStart, unsigned numThreads) {
    return new NetManagerMulti(name, autoStart, numThreads);
}

NetManagerMulti::NetManagerMulti(const std::wstring& name, bool autoStart, unsigned numThreads)
    : _DbgLog(Environment()->DebugLog()), _Name(name) {
    if (_DbgLog) _LogIsOn = _DbgLog->GetLogLevel() > 3 && _DbgLog->IsLogEnabled(L"NetManager");
    DbgLogRecord(_DbgLog, DbgLevel::ErrorsOnly,
                 wstring_format(L"NetManagerMulti \"%ls\" created; logging is %ls", _Name.c_str(),
                                _LogIsOn ? L"ON" : L"OFF"));
    _Setup(autoStart, numThreads);
}

NetManagerMulti::~NetManagerMulti() {
    Stop();
    for (const auto& slave : _Slaves) slave->Stop();
    _Slaves.clear();
    DbgLogRecord(_DbgLog, DbgLevel::ErrorsOnly, wstring_format(L"NetManagerMulti \"%ls\" destroyed", _Name.c_str()));
}

void NetManagerMulti::_Setup(bool autoStart, unsigned numThreads) {
    const unsigned count = std::max(numThreads, 2u);
    _Slaves.reserve(count);
    for (unsigned j = 0; j < count; ++j) {
        INetManager* made = NetFactory::CreateNetManager(_Name + L":" + std::to_wstring(j), false, 1);
        auto* slave = dynamic_cast<INetManagerImpl*>(made);
        if (!slave) {  // a single manager always is one; anything else cannot serve as a member
            delete made;
            continue;
        }
        slave->SetParentMultiManager(this);
        _Slaves.emplace_back(slave);
    }
    if (autoStart) Start();
}

bool NetManagerMulti::Start() {
    std::lock_guard<std::mutex> lock(_StartStopMtx);
    if (_Started.load()) return true;
    for (const auto& slave : _Slaves) slave->Start();
    _Started.store(true);
    return true;
}

void NetManagerMulti::Stop() {
    std::lock_guard<std::mutex> lock(_StartStopMtx);
    if (!_Started.load()) return;
    for (const auto& slave : _Slaves) slave->Stop();
    _Started.store(false);
}

bool NetManagerMulti::IsStarted() { return _Started.load(); }

INetManagerImpl* NetManagerMulti::_SelectSlave() {
    INetManagerImpl* chosen = nullptr;
    uint64_t least = std::numeric_limits<uint64_t>::max();
    for (const auto& slave : _Slaves) {
        const uint64_t load = slave->GetLoadFactor();
        if (load < least || !chosen) {
            least = load;
            chosen = slave.get();
        }
    }
    return chosen;
}

IUdpSockPtr NetManagerMulti::CreateUdpSock() {
    INetManagerImpl* slave = _SelectSlave();
    return slave ? slave->CreateUdpSock() : nullptr;
}

ITcpSockPtr NetManagerMulti::CreateTcpSock() {
    INetManagerImpl* slave = _SelectSlave();
    return slave ? slave->CreateTcpSock() : nullptr;
}

ITcpListenSockPtr NetManagerMulti::CreateTcpListenSock() {
    INetManagerImpl* slave = _SelectSlave();
    return slave ? slave->CreateTcpListenSock() : nullptr;
}

size_t NetManagerMulti::GetNumSockets() {
    size_t sum = 0;
    for (const auto& slave : _Slaves) sum += slave->GetNumSockets();
    return sum;
}

uint64_t NetManagerMulti::GetLoadFactor() {
    uint64_t sum = 0;
    for (const auto& slave : _Slaves) sum += slave->GetLoadFactor();
    return sum;
}

// Each batch picks its member once, so that all of its sockets share one service thread.
std::vector<IUdpSockPtr> NetManagerMulti::CreateUdpSocks(size_t n) {
    INetManagerImpl* slave = _SelectSlave();
    const auto make = [slave] { return slave ? slave->CreateUdpSock() : nullptr; };
    return MakeBatch<IUdpSockPtr>(n, make);
}

std::vector<ITcpSockPtr> NetManagerMulti::CreateTcpSocks(size_t n) {
    INetManagerImpl* slave = _SelectSlave();
    const auto make = [slave] { return slave ? slave->CreateTcpSock() : nullptr; };
    return MakeBatch<ITcpSockPtr>(n, make);
}

std::vector<ITcpSockPtr> NetManagerMulti::CreateTcpSecureSocks(size_t n) {
    const auto make = [this] { return CreateTcpSecureSock(); };
    return MakeBatch<ITcpSockPtr>(n, make);
}

std::vector<ITcpListenSockPtr> NetManagerMulti::CreateTcpListenSocks(size_t n) {
    INetManagerImpl* slave = _SelectSlave();
    const auto make = [slave] { return slave ? slave->CreateTcpListenSock() : nullptr; };
    return MakeBatch<ITcpListenSockPtr>(n, make);
}

} // namespace Network
