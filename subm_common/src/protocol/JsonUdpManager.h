// The datagram manager: one UDP socket of a network manager carrying one control message per
// datagram. Sends go out at once on the caller's thread; every received datagram becomes a
// message (or an error) for the receiver, on the socket service thread. Acknowledgements,
// repeats and segments belong to the reliable connection built on top.
#pragma once

#include <memory>
#include <mutex>

#include "diag/debug_log.h"
#include "net/INet.h"
#include "protocol/IJsonUdpManager.h"

namespace Network {

class JsonUdpManager final : public IJsonUdpManager, public IUdpReceiver {
public:
    // Made through JsonUdpFactory::CreateJsonUdpManager; netManager must outlive the manager.
    JsonUdpManager(const ComponentInfo& compInfo, INetManager& netManager);
    // Closes the socket, so that it cannot call back into a destroyed manager.
    ~JsonUdpManager() override;
    JsonUdpManager(const JsonUdpManager&) = delete;
    JsonUdpManager& operator=(const JsonUdpManager&) = delete;

    ErrInfo Init(const JsonUdpManagerInfo& info) override;
    ErrInfo Start() override;
    void Stop() override;
    bool IsStarted() override;
    ErrInfo SetDefaultSendAddr(const SockAddr& addr) override;
    SockAddr GetDefaultSendAddr() override;
    ErrInfo SendDirect(const JsonMsgPtr& msg, const SockAddr& addr) override;

    // The socket's calls; run on the socket service thread.
    void OnDatagramReceived(IUdpSock* socket, PacketUniqPtr packet, const SockAddr& from) override;
    void OnError(IUdpSock* socket, ErrInfo error) override;
    void OnClose(IUdpSock* socket, ErrInfo error) override;

private:
    JsonUdpManagerInfo Settings();

    const ComponentInfo CompInfo;
    INetManager& NetManager;     // not owned
    const IDebugLogPtr Debuglog;
    // Held only to copy or swap these, never across a call into the socket or the receiver:
    // the socket calls back under its own lock, and a receiver may send from there.
    std::mutex Mutex;
    JsonUdpManagerInfo Info;     // guarded by Mutex
    IUdpSockPtr SockPtr;         // guarded by Mutex; empty while stopped
};

} // namespace Network
