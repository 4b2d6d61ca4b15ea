// RTP channels and the managers built on them. RtpManager places every arriving packet into a
// per-channel ring buffer by its sequence number, locks onto the stream and notifies its sync
// targets when the stream's timestamp advances; read cycles take one packet per channel out of
// the buffers, send cycles stamp and send one packet per send channel. RtpAudioManager adds the
// conversion between packets and per-channel float buffers and relays the notifications.
//
// Threads: packets arrive on the service thread of the socket service manager. RecvChansLock
// guards the receive state and the ring buffers; it is held for one packet's insertion and for
// one read cycle, and a position reset (-1) is delivered under it. Timestamp notifications come
// after it is released, so the read cycle a target runs from one takes it again on that thread.
// Configuration calls (Init, Stop, SetSendChanAddr, SetPayloadType, AddTarget) may come from
// another thread while packets flow.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "diag/ComponentInfo.h"
#include "diag/DbgLock.h"
#include "diag/Statistics.h"
#include "diag/debug_log.h"
#include "net/INet.h"
#include "rtp/IRtp.h"

namespace Network {

class RtpRecvChan;

// What receive channels hand their packets to.
class IRtpReceiver {
public:
    virtual ~IRtpReceiver() = default;
    // Runs on the service thread that received packet.
    virtual void OnRtpPacketReceived(RtpRecvChan& chan, PacketUniqPtr packet, const SockAddr& from) = 0;
};

struct RtpRecvChanInfoEx : RtpRecvChanInfo {
    IRtpReceiver* Receiver = nullptr;  // not owned
    uint32_t QueueLen = 9;             // ring-buffer length in packets

    RtpRecvChanInfoEx() = default;
    explicit RtpRecvChanInfoEx(const RtpRecvChanInfo& info) : RtpRecvChanInfo(info) {}
};

// Channel count of a receive channel's payload type: a channel left without a type is stereo.
uint32_t RecvChannelsOfType(RtpPayloadType type) noexcept;

// The targets of a sync source, in pointer order, each once. Targets are normally added after
// Init, when the sockets are already open; readers therefore take a snapshot under a short lock
// (no allocation, no lock held while the targets run) instead of reading an unguarded set.
class SyncTargetSet {
public:
    using List = std::vector<ISyncTarget*>;

    void Add(ISyncTarget* t);
    // False when t is not registered.
    bool Del(ISyncTarget* t);
    std::shared_ptr<const List> Snapshot() const;

private:
    mutable std::mutex Mutex;                                    // guards Targets
    std::shared_ptr<const List> Targets = std::make_shared<List>();  // replaced, never changed
};

// One send channel: a primary and a redundant socket, each sending to its own destination.
class RtpSendChan {
public:
    static constexpr size_t SocketsCount = 2;

    // Opens a socket for each set destination of info, on the local interface of the matching
    // address of local (any port).
    RtpSendChan(const ComponentInfo& compInfo, INetManager& netManager, const RtpSendChanInfo& info,
                const RtpRecvChanInfo& local, bool reconnect);
    ~RtpSendChan();
    RtpSendChan(const RtpSendChan&) = delete;
    RtpSendChan& operator=(const RtpSendChan&) = delete;

    // addr unset closes socket sock_index. "Invalid socket index" for sock_index >= 2.
    ErrInfo SetSendAddr(size_t sock_index, const SockAddr& addr, const SockAddr& self_addr);
    // On every open socket; the sockets report their own failures.
    ErrInfo Send(const PacketPtr& packet);
    RtpSendChanInfo GetSendChanInfo();
    bool HasDestination();
    RtpPayloadType GetPayloadType() const noexcept { return PayloadType.load(std::memory_order_relaxed); }
    void SetPayloadType(RtpPayloadType type);

private:
    const ComponentInfo CompInfo;
    INetManager& NetManager;
    IDebugLogPtr DebugLog;
    const bool Reconnect;
    std::mutex Mutex;                                  // guards Info and SendSockets
    RtpSendChanInfo Info;                              // IpAddr/IpAddr2: the current destinations
    std::array<IUdpSockPtr, SocketsCount> SendSockets;
    // Read by every send cycle without Mutex.
    std::atomic<RtpPayloadType> PayloadType;
};

// One receive channel: receives on up to two sockets and keeps the packets between arrival and
// read cycle in a ring buffer whose slot QuePacketIndx is at the manager's read position.
class RtpRecvChan : public IUdpReceiver {
public:
    static constexpr size_t SocketsCount = 2;

    static std::shared_ptr<RtpRecvChan> Create(const ComponentInfo& compInfo, INetManager& manager,
                                               const RtpRecvChanInfoEx& info, bool reconnect);
    RtpRecvChan(const ComponentInfo& compInfo, INetManager& manager, const RtpRecvChanInfoEx& info, bool reconnect);
    ~RtpRecvChan() override;
    RtpRecvChan(const RtpRecvChan&) = delete;
    RtpRecvChan& operator=(const RtpRecvChan&) = delete;

    // Opens a socket on each set address; failures are left to the sockets' own reports.
    void InitSockets();
    // Closes the sockets; once it returns no packet of this channel arrives any more.
    void Stop();

    // Under the manager's RecvChansLock: position counts from the read position; beyond the
    // buffer the packet is dropped.
    void AddPacket(PacketUniqPtr packet, size_t position) noexcept;
    // Takes the packet at the read position (null when missing) and moves on by one slot.
    PacketUniqPtr GetPacket();
    bool IsStreamOk() const noexcept { return StreamOk; }
    const RtpRecvChanInfoEx& GetRecvChanInfo() const noexcept { return Info; }
    uint32_t ChannelsCount() const noexcept { return RecvChannelsOfType(Info.GetPayloadType()); }
    // Socket #index (null when none), for settings the channel leaves at their defaults.
    IUdpSockPtr GetSocket(size_t index);

    // IUdpReceiver
    void OnDatagramReceived(IUdpSock* socket, PacketUniqPtr packet, const SockAddr& from) override;
    void OnError(IUdpSock*, ErrInfo) override {}
    void OnClose(IUdpSock*, ErrInfo) override {}

private:
    const ComponentInfo CompInfo;
    const RtpRecvChanInfoEx Info;
    INetManager& Manager;
    IDebugLogPtr DebugLog;
    const bool Reconnect;
    const bool RtpStreamsLogging;
    std::mutex SocketsMutex;  // guards RecvSockets
    std::array<IUdpSockPtr, SocketsCount> RecvSockets;
    // Ring buffer and state of the read side: guarded by the manager's RecvChansLock. Slots own
    // the datagrams the sockets delivered, so nothing is allocated between socket and reader.
    std::vector<PacketUniqPtr> Packets;
    size_t QuePacketIndx = 0;
    bool StreamOk = false;
};

using RtpRecvChanPtr = std::shared_ptr<RtpRecvChan>;
using RtpSendChanPtr = std::shared_ptr<RtpSendChan>;

class RtpManager : public IRtpManager, public IRtpReceiver {
public:
    // One slot of a read cycle: the packet (null when missing) and the channel's channel count.
    struct RecvSlot {
        PacketUniqPtr Packet;
        uint32_t Channels = 0;
    };
    // The receive side's position, for diagnostics and tests.
    struct RecvState {
        bool Locked = false;
        int64_t SeqNumPos = 0;
        int64_t SeqNum = 0;
        int64_t Timestamp = 0;
    };

    RtpManager(const ComponentInfo& compInfo, INetManager& netManager);
    ~RtpManager() override;
    RtpManager(const RtpManager&) = delete;
    RtpManager& operator=(const RtpManager&) = delete;

    // ISyncSource
    ErrInfo AddTarget(ISyncTarget* t) override;
    ErrInfo DelTarget(ISyncTarget* t) override;

    // IRtpManager
    ErrInfo Init(const RtpManagerInfo& info) override;
    ErrInfo Start() override;
    void Stop() override;
    bool IsStarted() override { return Started.load(); }
    uint32_t RecvChannelsCount() override;
    uint32_t SendChannelsCount() override;
    ErrInfo SetSendChanAddr(size_t chan, const SockAddr& addr, const SockAddr& self_addr) override;
    ErrInfo SetSendChanAddr2(size_t chan, const SockAddr& addr, const SockAddr& self_addr) override;
    ErrInfo SetPayloadType(size_t chan, RtpPayloadType type) override;
    void RecvPackets(std::vector<PacketPtr>& packets) override;
    void SendPackets(const std::vector<PacketPtr>& packets) override;
    void SetIoProcessor(IRtpIoProcessor* processor) override { IoProcessor.store(processor); }
    bool IsStreamOk(size_t chan) override;

    // IRtpReceiver
    void OnRtpPacketReceived(RtpRecvChan& chan, PacketUniqPtr packet, const SockAddr& from) override;

    // The read cycle of RecvPackets without converting to shared packets: slots is resized to
    // the channel count and allocates only when its capacity is short.
    void ReadCycle(std::vector<RecvSlot>& slots);

    uint32_t SendChanChannelsCount(size_t i);
    uint32_t RecvChanChannelsCount(size_t i);
    uint32_t SendMonoChannelsCount();
    uint32_t RecvMonoChannelsCount();
    // The send channels as the next send cycle sees them.
    std::vector<RtpSendChanPtr> GetSendChans();
    RtpRecvChanPtr GetRecvChan(size_t i);
    RecvState GetRecvState();

private:
    struct SendSide {
        std::vector<RtpSendChanPtr> Chans;
        uint32_t PacketSmplSize = 0;
    };
    using SendSidePtr = std::shared_ptr<const SendSide>;

    SendSidePtr GetSendSide();
    void CallSync(int64_t pos, int freq);
    ErrInfo SetSendChanAddrAt(size_t chan, size_t sock_index, const SockAddr& addr, const SockAddr& self_addr);

    const ComponentInfo CompInfo;
    INetManager& NetManager;
    IDebugLogPtr DebugLog;
    RtpManagerInfo Info;  // written by Init under RecvChansLock; the receive side reads it there
    std::atomic<bool> Started{false};
    std::atomic<IRtpIoProcessor*> IoProcessor{nullptr};
    SyncTargetSet SyncTargets;  // not owned

    DebugMutex<std::mutex> RecvChansLock{L"RtpManager::RecvChansLock"};
    std::vector<RtpRecvChanPtr> RecvChans;  // guarded by RecvChansLock
    bool RecvSyncLock = false;              // the rest guarded by RecvChansLock too
    int64_t RecvSeqNumPos = 0;
    int64_t RecvSeqNum = 0;
    int64_t RecvTimestamp = 0;
    Histogram StatRecv;
    MinuteDetector MinDetector{1};

    // Send cycles take a snapshot of the channels, so that Init and Stop on another thread never
    // pull a channel from under a cycle in progress.
    std::mutex SendSideMutex;  // guards SendChans and StatSend
    SendSidePtr SendChans;
    Histogram StatSend;
    // Send cycles run on one thread at a time (the notifying thread).
    int64_t SendSeqNum = 0;
    int64_t SendTimestamp = 0;
};

class RtpAudioManager final : public IRtpAudioManager, public ISyncTarget {
public:
    RtpAudioManager(const ComponentInfo& compInfo, INetManager& netManager);
    ~RtpAudioManager() override;
    RtpAudioManager(const RtpAudioManager&) = delete;
    RtpAudioManager& operator=(const RtpAudioManager&) = delete;

    // ISyncSource: the audio manager's own targets.
    ErrInfo AddTarget(ISyncTarget* t) override;
    ErrInfo DelTarget(ISyncTarget* t) override;

    // IRtpManager, forwarded.
    ErrInfo Init(const RtpManagerInfo& info) override { return RtpManagerPtr->Init(info); }
    ErrInfo Start() override { return RtpManagerPtr->Start(); }
    void Stop() override { RtpManagerPtr->Stop(); }
    bool IsStarted() override { return RtpManagerPtr->IsStarted(); }
    uint32_t RecvChannelsCount() override { return RtpManagerPtr->RecvChannelsCount(); }
    uint32_t SendChannelsCount() override { return RtpManagerPtr->SendChannelsCount(); }
    ErrInfo SetSendChanAddr(size_t chan, const SockAddr& addr, const SockAddr& self_addr) override {
        return RtpManagerPtr->SetSendChanAddr(chan, addr, self_addr);
    }
    ErrInfo SetSendChanAddr2(size_t chan, const SockAddr& addr, const SockAddr& self_addr) override {
        return RtpManagerPtr->SetSendChanAddr2(chan, addr, self_addr);
    }
    ErrInfo SetPayloadType(size_t chan, RtpPayloadType type) override { return RtpManagerPtr->SetPayloadType(chan, type); }
    void RecvPackets(std::vector<PacketPtr>& packets) override { RtpManagerPtr->RecvPackets(packets); }
    void SendPackets(const std::vector<PacketPtr>& packets) override { RtpManagerPtr->SendPackets(packets); }
    void SetIoProcessor(IRtpIoProcessor* processor) override { RtpManagerPtr->SetIoProcessor(processor); }
    bool IsStreamOk(size_t chan) override { return RtpManagerPtr->IsStreamOk(chan); }

    // IRtpAudio; run on the notifying thread, one call at a time.
    void RecvAudio(const std::vector<float*>& audio, uint32_t smpl_size) override;
    void SendAudio(const std::vector<float*>& audio, uint32_t smpl_size) override;

    // ISyncTarget: relays every notification, resets included.
    void OnSync(ISyncSource* source, int64_t pos, int freq) override;

    RtpManager& GetRtpManager() noexcept { return *RtpManagerPtr; }

private:
    std::shared_ptr<RtpManager> RtpManagerPtr;
    IDebugLogPtr DebugLog;
    SyncTargetSet SyncTargets;  // not owned
    // Reused by every cycle so that a steady stream allocates nothing on the receive side.
    std::vector<RtpManager::RecvSlot> RecvSlots;
    std::vector<PacketPtr> SendSlots;
};

} // namespace Network
