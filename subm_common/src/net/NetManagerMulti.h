// A pool of socket service managers presented as one: each socket made through the pool goes to
// the member with the smallest load at that moment, and is served by that member's service
// thread for its whole life. The pool adds no thread of its own.
//
// Threads: sockets may be created from any thread; the members' loads are read without a common
// lock, so two sockets created at the same moment may land on the same member. Start, Stop and
// destruction come from the controlling thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "diag/debug_log.h"
#include "net/INet.h"

namespace Network {

class INetManagerMulti : public INetManager {
public:
    virtual INetManager& GetLeastLoadedNetManager() = 0;
    // n sockets, all on the member that was least loaded when the batch began; a batch whose
    // first create gave an empty pointer is that one empty pointer.
    virtual std::vector<IUdpSockPtr> CreateUdpSocks(size_t n) = 0;
    virtual std::vector<ITcpSockPtr> CreateTcpSocks(size_t n) = 0;
    virtual std::vector<ITcpSockPtr> CreateTcpSecureSocks(size_t n) = 0;
    virtual std::vector<ITcpListenSockPtr> CreateTcpListenSocks(size_t n) = 0;
};

class NetManagerMulti final : public INetManagerMulti {
public:
    // Members are named "<name>:<j>"; a pool has at least 2.
    NetManagerMulti(const std::wstring& name, bool autoStart, unsigned numThreads);
    // Stops the members (closing their sockets) and releases them.
    ~NetManagerMulti() override;
    NetManagerMulti(const NetManagerMulti&) = delete;
    NetManagerMulti& operator=(const NetManagerMulti&) = delete;

    // INetManager
    bool Start() override;
    void Stop() override;
    bool IsStarted() override;
    IUdpSockPtr CreateUdpSock() override;
    ITcpSockPtr CreateTcpSock() override;
    // Secured sockets are not offered by the pool: always empty.
    ITcpSockPtr CreateTcpSecureSock() override { return nullptr; }
    ITcpListenSockPtr CreateTcpListenSock() override;
    bool IsLogOn() override { return _LogIsOn; }
    size_t GetNumSockets() override;
    uint64_t GetLoadFactor() override;

    // INetManagerMulti
    INetManager& GetLeastLoadedNetManager() override { return *_SelectSlave(); }
    std::vector<IUdpSockPtr> CreateUdpSocks(size_t n) override;
    std::vector<ITcpSockPtr> CreateTcpSocks(size_t n) override;
    std::vector<ITcpSockPtr> CreateTcpSecureSocks(size_t n) override;
    std::vector<ITcpListenSockPtr> CreateTcpListenSocks(size_t n) override;

private:
    void _Setup(bool autoStart, unsigned numThreads);
    // The first member with the smallest load; ties go to the earlier one.
    INetManagerImpl* _SelectSlave();

    IDebugLogPtr _DbgLog;
    bool _LogIsOn = false;  // fixed at construction
    const std::wstring _Name;
    std::vector<std::shared_ptr<INetManagerImpl>> _Slaves;  // fixed after construction
    std::atomic<bool> _Started{false};  // changed under _StartStopMtx
    std::mutex _StartStopMtx;
};

} // namespace Network
