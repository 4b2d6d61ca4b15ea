// The reliable message connection: a datagram manager made reliable enough for device control.
// Every message sent must be acknowledged by the peer and is repeated until it is or until the
// retry limit gives up on it; every message received is acknowledged and an immediate repeat is
// recognised as a duplicate. One sent message is outstanding at a time, so messages leave in
// the order they were handed in. Large attachments travel as "attach" segments.
//
// Threads: a message leaves from the thread that makes it the outstanding one: the caller of
// Send when nothing is outstanding, the socket service thread when the acknowledgement of the
// previous one arrives, otherwise the connection's worker thread, which also repeats, gives up
// and keeps the line alive. Acknowledgements go out and are matched on the socket service
// thread. Delivered and received messages are handed to the user by whichever of the socket
// service thread and the worker gets to them first: OnMsgDelivered and OnMsgReceived never run
// concurrently, and never on the thread that called Send. Control round trips therefore cost no
// thread hand-offs beyond the socket's own.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "protocol/IJsonUdpManager.h"
#include "util/ConcurrentQueue.h"
#include "util/WsaEventLinux.h"
#include "util/mythread.h"

namespace Network {

struct JsonUdpConnectParams {
    // Time after a (re)transmission without acknowledgement before the next repeat; 0 or less
    // disables repeats and the retry limit.
    int64_t MsgTimeoutMs = 300;
    // Total transmissions of one message before giving up on it; 0 means no limit.
    uint32_t MsgRetries = 3;
    // Largest attachment sent inside its message; larger ones go as segments of at most this.
    uint32_t MsgMaxAttachmentBytes = 1300;
    bool Ping = false;           // keep-alive on (needs a default send address)
    uint32_t PingTimeout = 1000; // ms of silence after which a "ping" is queued
};

struct JsonUdpConnectInfo {
    JsonUdpManagerInfo ManagerInfo;  // its Receiver is the user of the connection
    JsonUdpConnectParams Params;
};

struct ConnectionStatistic {
    uint32_t MsgSent = 0;          // acknowledgements matching the outstanding message or segment
    uint32_t MsgReceived = 0;      // received non-acknowledgements, duplicates excluded
    uint32_t RepeatMsgSent = 0;    // repeated transmissions
    uint32_t RepeatAckSent = 0;    // acknowledgements sent again for duplicates
    uint32_t DupMsgReceived = 0;   // received duplicates
    uint32_t DupAckReceived = 0;   // acknowledgements matching no outstanding message
    uint32_t MaxAckMs = 0;         // longest time from last transmission to acknowledgement
    uint32_t PingSent = 0;         // keep-alive pings queued
    uint32_t PingReceived = 0;     // "ping" messages received, duplicates included
    uint32_t PingAckReceived = 0;  // acknowledgements of our own pings

    std::wstring ToString() const;
};

// One entry of the send queue: what the user handed in, and the part of it that travels.
struct OutgoingMsg {
    JsonMsgPtr MsgComplete;  // the user's message
    JsonMsgPtr MsgPart;      // the message itself or one of its "attach" segments
    SockAddr SendAddr;       // unset: the default address

    bool IsValid() const { return MsgComplete && MsgPart; }
    void Clear() {
        MsgComplete.reset();
        MsgPart.reset();
    }
    // Whether the acknowledgement of this part completes the user's message.
    bool IsLastInSequence() const;
};

struct InternalMsg {
    JsonMsgPtr Msg;
    SockAddr Addr;
    bool IsValid() const { return Msg != nullptr; }
};

// A message whose attachment is still being collected from its segments.
using IncomingMsg = InternalMsg;

class IJsonUdpConnect : public IJsonUdpManager {
public:
    using IJsonUdpManager::Init;
    // Stops a running connection and takes the settings. (The inherited Init taking only the
    // manager's settings fails with "Method not available".)
    virtual ErrInfo Init(const JsonUdpConnectInfo& connectInfo) = 0;
    // Queues msg for reliable delivery and returns at once; the outcome is reported through
    // the receiver (OnMsgDelivered or OnError). Any thread, any state. msg's attachment is
    // moved into segments when it exceeds the limit.
    virtual ErrInfo Send(const JsonMsgPtr& msg, const SockAddr& addr) = 0;
    virtual ConnectionStatistic Statistics() = 0;
};

class JsonUdpConnect final : public IJsonUdpConnect, public IJsonUdpReceiver {
public:
    // Made through JsonUdpFactory::CreateJsonUdpConnect; netManager must outlive the connection.
    JsonUdpConnect(const ComponentInfo& compInfo, INetManager& netManager);
    ~JsonUdpConnect() override;
    JsonUdpConnect(const JsonUdpConnect&) = delete;
    JsonUdpConnect& operator=(const JsonUdpConnect&) = delete;

    ErrInfo Init(const JsonUdpManagerInfo& info) override;
    ErrInfo Init(const JsonUdpConnectInfo& connectInfo) override;
    ErrInfo Start() override;
    // Queues and the outstanding entry survive a Stop and carry on after the next Start.
    void Stop() override;
    bool IsStarted() override;
    ErrInfo SetDefaultSendAddr(const SockAddr& addr) override;
    SockAddr GetDefaultSendAddr() override;
    // Immediate, unacknowledged, never repeated.
    ErrInfo SendDirect(const JsonMsgPtr& msg, const SockAddr& addr) override;
    ErrInfo Send(const JsonMsgPtr& msg, const SockAddr& addr) override;
    ConnectionStatistic Statistics() override;

    // The manager's calls; run on the socket service thread.
    void OnMsgDelivered(IJsonUdpManager* manager, const JsonMsgPtr& msg) override;
    void OnMsgReceived(IJsonUdpManager* manager, const JsonMsgPtr& msg, const SockAddr& from) override;
    void OnError(IJsonUdpManager* manager, ErrInfo err) override;

private:
    int Process();  // the worker's body
    void ProcessStep();
    // Decides how long the worker may sleep: until the outstanding entry's repeat is due.
    uint32_t WaitMillisecs();
    // Makes the next queued entry the outstanding one when there is none; under _mutex. True
    // when the caller must now transmit it (toSend, sendAddr); wakeWorker tells whether the
    // worker sleeps past the entry's repeat time.
    bool TakeNextUnderLock(uint64_t now, JsonMsgPtr& toSend, SockAddr& sendAddr, bool& wakeWorker);
    // Hands the queued deliveries and received messages to the user unless another thread is
    // doing so; that thread then picks up what was queued meanwhile.
    void DeliverPending();
    void HandleIncomingMessage(const JsonMsgPtr& msg, const SockAddr& from);  // under _mutex
    // The leader (its attachment emptied, its size kept) followed by the "attach" segments.
    static void SplitIntoSegments(const JsonMsgPtr& msg, const SockAddr& addr, uint32_t limit,
                                  std::vector<OutgoingMsg>& entries);
    void DropQueuedSegmentsOf(uint32_t leaderId);  // under _mutex
    void ReportError(ErrInfo err);
    IJsonUdpReceiver* UserReceiver();

    os::MyThreadCb Thread;
    const ComponentInfo CompInfo;
    const IJsonUdpManagerPtr Manager;

    // Guards the fields below up to _pingTimeoutStartTime (the queues lock themselves). Never
    // held while calling the user's receiver or the socket: the socket thread calls us under
    // the socket's lock, and a receiver may send from its callback.
    std::mutex _mutex;
    JsonUdpConnectInfo Info;
    ConnectionStatistic _stat;
    OutgoingMsg _lastSent;           // the outstanding entry; invalid when none
    JsonMsgPtr _lastReceived;        // previous accepted message, for the duplicate filter
    SockAddr _lastAddrFrom;          // its sender
    IncomingMsg _incompleteInMessage;  // collection in progress when valid
    uint32_t _expectedSegmentNum = 0;
    uint64_t _lastSentTicks = 0;     // hrt::GetClock of the last transmission
    uint32_t _transmissions = 0;     // of the outstanding entry since it became outstanding
    uint64_t _workerWakeAt = 0;      // hrt::GetClock at which the sleeping worker wakes
    bool _delivering = false;        // a thread is handing messages to the user
    bool _deliverAgain = false;      // more was queued while it did
    uint64_t _pingTimeoutStartTime = 0;  // hrt::GetClock at the start of the current silence

    ConcurrentQueue<OutgoingMsg> _toSendList;
    ConcurrentQueue<InternalMsg> _receiveList;    // received, waiting for the user
    ConcurrentQueue<JsonMsgPtr> _deliveredList;   // acknowledged, waiting for the user
    ConcurrentQueue<ErrInfo> _errorList;          // failures of Send's own transmission

    HANDLE Event;                    // auto-reset; wakes the worker
    std::atomic<bool> StopRequest{false};
    std::atomic<bool> Started{false};
    std::mutex StartStopMutex;       // serialises Start and Stop
};

} // namespace Network
