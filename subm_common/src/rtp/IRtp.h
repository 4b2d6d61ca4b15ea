// The RTP layer as its users see it: the configuration records the device layer fills and the
// RTP manager consumes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "diag/ErrInfo.h"
#include "net/INet.h"
#include "rtp/RtpPacket.h"

namespace Network {

// ==== configuration records ======================================================================
// Plain copyable values; validity and equality are what the RTP manager relies on.

// A packet-pipe transport: an outside type, known here by pointer only.
class PacketPipeManager;

// Where one RTP channel sends or receives: up to two addresses (the second a redundant path),
// or a packet pipe instead of addresses.
struct RtpTransportInfo {
    SockAddr IpAddr;                           // socket #0
    SockAddr IpAddr2;                          // socket #1; unset: no redundant path
    bool SendModeSync = true;                  // carried only
    uint32_t SendQueueLen = 100;               // carried only
    bool EnablePacketPipe = false;             // the pipe instead of the addresses
    PacketPipeManager* PacketPipeMan = nullptr;  // not owned
    std::wstring PacketPipeId;
    uint32_t Delay = 5;                        // carried only
    uint32_t DelayMax = 9;                     // carried only

    // Addresses ip and ip2 (empty: none) with the same port; switches the pipe off. An address
    // that does not parse is left unset, which IsValid reports.
    void Init(const std::wstring& ip, const std::wstring& ip2, uint16_t port) {
        IpAddr.Set(ip, port);
        if (ip2.empty())
            IpAddr2.Clear();
        else
            IpAddr2.Set(ip2, port);
        EnablePacketPipe = false;
        PacketPipeMan = nullptr;
    }
    // The pipe instead of addresses.
    void Init(PacketPipeManager* pipeManager, const std::wstring& pipeId) {
        IpAddr.Clear();
        IpAddr2.Clear();
        EnablePacketPipe = true;
        PacketPipeMan = pipeManager;
        PacketPipeId = pipeId;
    }

    // A pipe needs its manager and an id; otherwise one address is enough.
    bool IsValid() const noexcept {
        if (EnablePacketPipe) return PacketPipeMan != nullptr && !PacketPipeId.empty();
        return IpAddr.IsSet() || IpAddr2.IsSet();
    }

    // SendModeSync and SendQueueLen do not take part.
    bool operator==(const RtpTransportInfo& other) const {
        return IpAddr == other.IpAddr && IpAddr2 == other.IpAddr2 && Delay == other.Delay &&
               DelayMax == other.DelayMax && EnablePacketPipe == other.EnablePacketPipe &&
               PacketPipeId == other.PacketPipeId && PacketPipeMan == other.PacketPipeMan;
    }
    bool operator!=(const RtpTransportInfo& other) const { return !(*this == other); }
};

// A receive channel: its transport and payload type. Left INVALID, the channel counts as two
// audio channels.
struct RtpRecvChanInfo : RtpTransportInfo {
    RtpPayloadType GetPayloadType() const noexcept { return _PayloadType; }
    void SetPayloadType(RtpPayloadType type) noexcept { _PayloadType = type; }

private:
    RtpPayloadType _PayloadType = RtpPayloadType::INVALID;
};

// A send channel: the payload type is the inherited one; these three are carried only.
struct RtpSendChanInfo : RtpRecvChanInfo {
    bool SendModeSync = true;
    uint32_t SendQueueLen = 100;
    uint32_t PacketSmplSize = 0;
};

// Configuration of one RTP manager.
struct RtpManagerInfo {
    uint32_t SampleFreq = 0;      // Hz; the frequency every sync target is given
    uint32_t PacketSmplSize = 0;  // frames per packet; the send timestamp step
    uint32_t RecvDelayMax = 9;    // receive buffer length in packets
    uint32_t RecvDelay = 5;       // nominal receive delay in packets at (re)lock
    std::vector<RtpRecvChanInfo> RecvChans;
    std::vector<RtpSendChanInfo> SendChans;
    bool ReconnectSockets = false;  // self-reopening sockets instead of plain ones

    // The first missing value, in this order: SampleFreq, PacketSmplSize.
    ErrInfo IsValid() const {
        if (SampleFreq == 0) return MAKE_ERR_INFO().StrError(L"SampleFreq con not be 0");
        if (PacketSmplSize == 0) return MAKE_ERR_INFO().StrError(L"PacketSmplSize rate con not be 0");
        return MAKE_ERR_INFO();
    }
};

// ==== end of configuration records ===============================================================

// ==== sync notifications, RTP manager and audio manager ==========================================
// Received audio clocks the audio exchange: an RTP manager (an ISyncSource) notifies its targets
// each time the stream's timestamp advances, and the audio manager relays that to the device
// layer, which then reads one packet per receive channel and sends one per send channel.
//
// Threads: notifications, read cycles and send cycles run on the service thread of the socket
// service manager that received the packet. Targets may be added while packets flow; a removed
// target may still get a notification that was already under way, so stop the source before
// destroying a target.

struct ComponentInfo;  // diag/ComponentInfo.h
class ISyncTarget;

// Something that paces its targets with stream positions.
class ISyncSource {
public:
    virtual ~ISyncSource() = default;
    // Registers t once; adding it again has no effect. Not owned.
    virtual ErrInfo AddTarget(ISyncTarget* t) = 0;
    // "Sync target not found" when t is not registered.
    virtual ErrInfo DelTarget(ISyncTarget* t) = 0;
};

class ISyncTarget {
public:
    virtual ~ISyncTarget() = default;
    // pos: stream position in samples (the extended RTP timestamp), or -1 for a position reset;
    // freq: sample rate in Hz. A reset may arrive while the source holds its receive lock: a
    // target must not start a read cycle from it.
    virtual void OnSync(ISyncSource* source, int64_t pos, int freq) = 0;
};

// An optional hook that may replace each outgoing packet.
class IRtpIoProcessor {
public:
    virtual ~IRtpIoProcessor() = default;
    // True: send packet itself. False: send the packets put into out (in order) instead.
    virtual bool ProcessSendPacket(RtpPacket& packet, std::vector<RtpPacket>& out) = 0;
};

// Moves RTP packets between the host and one device: receive channels with a shared read
// position, send channels with shared sequence and timestamp counters. Made by RtpFactory.
class IRtpManager : public ISyncSource {
public:
    // Validates info, then replaces all channels; receiving starts at once.
    virtual ErrInfo Init(const RtpManagerInfo& info) = 0;
    virtual ErrInfo Start() = 0;
    // Closes every socket and destroys every channel.
    virtual void Stop() = 0;
    virtual bool IsStarted() = 0;
    virtual uint32_t RecvChannelsCount() = 0;
    virtual uint32_t SendChannelsCount() = 0;
    // Socket #0 (#1) of send channel chan to addr, on the local interface of self_addr.
    virtual ErrInfo SetSendChanAddr(size_t chan, const SockAddr& addr, const SockAddr& self_addr) = 0;
    virtual ErrInfo SetSendChanAddr2(size_t chan, const SockAddr& addr, const SockAddr& self_addr) = 0;
    virtual ErrInfo SetPayloadType(size_t chan, RtpPayloadType type) = 0;
    // One read cycle: one packet (null when missing) per receive channel; the read position
    // moves on by one.
    virtual void RecvPackets(std::vector<PacketPtr>& packets) = 0;
    // One send cycle: packets[i] goes to send channel i, stamped with the shared counters.
    // Channels without a packet are skipped.
    virtual void SendPackets(const std::vector<PacketPtr>& packets) = 0;
    // Null removes the hook. Not owned.
    virtual void SetIoProcessor(IRtpIoProcessor* processor) = 0;
    // Whether the last read cycle found a packet on receive channel chan; false out of range.
    virtual bool IsStreamOk(size_t chan) = 0;
};

// Conversion between packets and per-channel float buffers. audio holds one entry per mono
// channel: the channels of RTP channel 0 in packet order, then those of channel 1, and so on.
// Each entry points to smpl_size floats, or is null to skip that channel.
class IRtpAudio {
public:
    virtual ~IRtpAudio() = default;
    // One read cycle into audio; a missing packet gives silence. A list of the wrong length
    // receives nothing; a packet of the wrong shape ends the pass (later buffers untouched).
    virtual void RecvAudio(const std::vector<float*>& audio, uint32_t smpl_size) = 0;
    // One packet per send channel from audio, sent; a list of the wrong length sends nothing.
    virtual void SendAudio(const std::vector<float*>& audio, uint32_t smpl_size) = 0;
};

// What the device layer uses: Init, AddTarget, Start, then on each notification with a
// position of 0 or more RecvAudio and SendAudio on the notifying thread; Stop.
class IRtpAudioManager : public IRtpManager, public IRtpAudio {};

// ==== local sync clock ============================================================================

// Output clock of a sync manager: a notification every Period samples of Freq per second.
struct SyncManagerInfo {
    int Freq = 0;
    int Period = 0;
};

// A local audio clock: notifies its targets every period with a position that advances by one
// period. It runs free on the monotonic clock (scaled by a speed factor), or, registered itself
// as the target of a source, follows the source's rate. Its own real-time thread steps it
// (Automatic), or the owner does with ManualSyncTact (Manual).
//
// Threads: targets are called on the stepping thread, under the manager's output lock, so a
// target must not call SetSyncFreq or GetSyncFreq from OnSync. A source may feed OnSync from its
// own thread while the clock runs. Add targets before Start.
class ISyncManager : public ISyncSource, public ISyncTarget {
public:
    enum SyncType : int {
        Automatic = 0,  // the manager's own thread steps the clock
        Manual = 1,     // the owner steps it with ManualSyncTact
    };

    // "Invalid sync frequency" unless both values are positive.
    virtual ErrInfo Init(const SyncManagerInfo& info) = 0;
    // Changing either value restarts the clock from a fresh base and forgets the input.
    virtual ErrInfo SetSyncFreq(int freq, int period) = 0;
    // "Stop before changing sync type" while started.
    virtual ErrInfo SetSyncType(SyncType type) = 0;
    virtual int GetSyncFreq() = 0;
    // Time runs at speed times real time from the next step on; "Invalid speed" for a negative
    // or non-finite factor (0 holds the clock).
    virtual ErrInfo SetSpeed(double speed) = 0;
    virtual double GetSpeed() = 0;
    // The first notification comes at the first step; positions continue from the last run.
    virtual ErrInfo Start() = 0;
    virtual ErrInfo Stop() = 0;
    virtual bool IsStarted() = 0;
    // Manual mode: emits every notification that has become due. Automatic mode: nothing.
    virtual void ManualSyncTact() = 0;
};

class RtpFactory {
public:
    // The caller owns the result and deletes it through the interface.
    static IRtpManager* CreateRtpManager(const ComponentInfo& compInfo, INetManager& netManager);
    static IRtpAudioManager* CreateRtpAudioManager(const ComponentInfo& compInfo, INetManager& netManager);
    // isLogOn: keep the notification timing statistics and log them once a minute.
    static ISyncManager* CreateSyncManager(const ComponentInfo& compInfo, bool isLogOn);
};

} // namespace Network
