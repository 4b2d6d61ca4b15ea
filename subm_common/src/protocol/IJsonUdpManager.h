// How the control-protocol layers are used: the datagram manager (one message per UDP datagram,
// sent at once, no acknowledgement), the receiver its users implement, the hook that may veto a
// send, the manager's settings and the factory of the protocol objects.
//
// Threads: receiver calls run on the thread that noticed the event. For the datagram manager
// that is the socket service thread for receipts and socket errors, the caller's thread for sends.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "diag/ComponentInfo.h"
#include "diag/ErrInfo.h"
#include "net/INet.h"
#include "protocol/JsonMsgCommonDefs.h"

namespace Network {

class IJsonUdpManager;
class IJsonUdpConnect;
using IJsonUdpManagerPtr = std::shared_ptr<IJsonUdpManager>;
using IJsonUdpConnectPtr = std::shared_ptr<IJsonUdpConnect>;

// What a protocol layer reports; each call names the reporting layer first.
class IJsonUdpReceiver {
public:
    virtual ~IJsonUdpReceiver() = default;
    // The message has left: for the datagram manager the socket took the datagram; for the
    // reliable connection the peer acknowledged it.
    virtual void OnMsgDelivered(IJsonUdpManager* manager, const JsonMsgPtr& msg) = 0;
    virtual void OnMsgReceived(IJsonUdpManager* manager, const JsonMsgPtr& msg, const SockAddr& from) = 0;
    virtual void OnError(IJsonUdpManager* manager, ErrInfo err) = 0;
};

// Consulted before every send.
class IJsonUdpSendProcessor {
public:
    virtual ~IJsonUdpSendProcessor() = default;
    // false: this message is not sent (and the send still succeeds).
    virtual bool BeforeSendMsg(IJsonUdpManager* manager, const JsonMsgPtr& msg) = 0;
};

struct JsonUdpManagerInfo {
    IJsonUdpReceiver* Receiver = nullptr;            // not owned
    IJsonMsgFactory* MsgFactory = nullptr;           // kinds beyond the protocol's own; not owned
    IJsonUdpSendProcessor* SendProcessor = nullptr;  // not owned
    SockAddr DefaultSendAddr;                        // used when a send names no destination
    SockAddr RecvAddr;                               // local address and port to bind
    bool Broadcast = false;                          // allow sending to broadcast addresses
    uint32_t PacketSize = 1472;                      // send buffer and socket packet size
};

// One UDP socket carrying one message per datagram.
class IJsonUdpManager {
public:
    virtual ~IJsonUdpManager() = default;

    // Stops a running manager, then takes the settings.
    virtual ErrInfo Init(const JsonUdpManagerInfo& info) = 0;
    // Stops a running manager, then opens the socket.
    virtual ErrInfo Start() = 0;
    // Closes the socket; once it returns no receiver call for a received datagram starts.
    virtual void Stop() = 0;
    virtual bool IsStarted() = 0;
    virtual ErrInfo SetDefaultSendAddr(const SockAddr& addr) = 0;
    virtual SockAddr GetDefaultSendAddr() = 0;
    // Sends msg now to addr, or to the default address when addr is unset. Any thread.
    virtual ErrInfo SendDirect(const JsonMsgPtr& msg, const SockAddr& addr) = 0;
};

// Makes the protocol objects; each is handed out only as a shared pointer. The network manager
// is referenced, not owned: it must outlive what is made on it.
class JsonUdpFactory {
public:
    static IJsonUdpManagerPtr CreateJsonUdpManager(const ComponentInfo& compInfo, INetManager& netManager);
    // The reliable connection (JsonUdpConnect.h).
    static IJsonUdpConnectPtr CreateJsonUdpConnect(const ComponentInfo& compInfo, INetManager& netManager);
};

} // namespace Network
