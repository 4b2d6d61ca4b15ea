#include "rtp/RtpManager.h"

#include <algorithm>
#include <utility>

#include "diag/DbgDuration.h"
#include "diag/IEnvironment.h"
#include "util/StdStringFormat.h"
#include "util/myhirestimer.h"

namespace Network {

namespace {

// Formats only when the level lets the record through: the receive path must not pay for
// records nobody writes.
template <class... Args>
void LogAt(const IDebugLogPtr& log, unsigned level, const wchar_t* format, Args... args) {
    if (log && log->GetLogLevel() >= static_cast<int>(level)) log->LogRecord(cmn::detail::WideFormat(format, args...));
}

ComponentInfo NameOr(const ComponentInfo& compInfo, const wchar_t* fallback) {
    return compInfo.LogId.empty() ? ComponentInfo(fallback) : compInfo;
}

ComponentInfo ChildName(const ComponentInfo& parent, const wchar_t* format, size_t index) {
    return ComponentInfo(cmn::detail::WideFormat(format, parent.LogId.c_str(), static_cast<int>(index)));
}

// A channel asked to reconnect keeps retrying a port it could not open (one taken by another
// program, say) instead of staying deaf on it.
IUdpSockPtr CreateChannelSocket(INetManager& manager, bool reconnect) {
    return reconnect ? CreateUdpSockAuto(manager) : CreateUdpSock(manager);
}

} // namespace

uint32_t RecvChannelsOfType(RtpPayloadType type) noexcept {
    return type == RtpPayloadType::INVALID ? 2 : RtpHeader::AudioNumChannelsFromPayloadType(type);
}

// ---------------------------------------------------------------- SyncTargetSet

void SyncTargetSet::Add(ISyncTarget* t) {
    std::lock_guard<std::mutex> lock(Mutex);
    const auto at = std::lower_bound(Targets->begin(), Targets->end(), t, std::less<ISyncTarget*>());
    if (at != Targets->end() && *at == t) return;
    auto list = std::make_shared<List>(*Targets);
    list->insert(list->begin() + (at - Targets->begin()), t);
    Targets = std::move(list);
}

bool SyncTargetSet::Del(ISyncTarget* t) {
    std::lock_guard<std::mutex> lock(Mutex);
    const auto at = std::find(Targets->begin(), Targets->end(), t);
    if (at == Targets->end()) return false;
    auto list = std::make_shared<List>(*Targets);
    list->erase(list->begin() + (at - Targets->begin()));
    Targets = std::move(list);
    return true;
}

std::shared_ptr<const SyncTargetSet::List> SyncTargetSet::Snapshot() const {
    std::lock_guard<std::mutex> lock(Mutex);
    return Targets;
}

// ---------------------------------------------------------------- RtpSendChan

RtpSendChan::RtpSendChan(const ComponentInfo& compInfo, INetManager& netManager, const RtpSendChanInfo& info,
                         const RtpRecvChanInfo& local, bool reconnect)
    : CompInfo(NameOr(compInfo, L"RtpSendChan")),
      NetManager(netManager),
      DebugLog(Environment()->DebugLog()),
      Reconnect(reconnect),
      Info(info),
      PayloadType(info.GetPayloadType()) {
    SetSendAddr(0, info.IpAddr, local.IpAddr).Silent();
    SetSendAddr(1, info.IpAddr2, local.IpAddr2).Silent();
}

RtpSendChan::~RtpSendChan() {
    for (IUdpSockPtr& sock : SendSockets)
        if (sock) sock->Close();
}

ErrInfo RtpSendChan::SetSendAddr(size_t sock_index, const SockAddr& addr, const SockAddr& self_addr) {
    if (sock_index >= SocketsCount) return MAKE_ERR_INFO().StrError(L"Invalid socket index");
    std::lock_guard<std::mutex> lock(Mutex);
    (sock_index == 0 ? Info.IpAddr : Info.IpAddr2) = addr;
    IUdpSockPtr& sock = SendSockets[sock_index];
    if (!addr.IsSet()) {
        if (sock) sock->Close();
        sock.reset();
        return MAKE_ERR_INFO();
    }
    LogAt(DebugLog, DbgLevel::ConnStatus, L"RtpSendChan \"%ls\": Init: RTP output #%u to %ls", CompInfo.LogId.c_str(),
          static_cast<unsigned>(sock_index), addr.ToString().c_str());
    if (sock) return sock->SetSendAddr(addr);
    sock = CreateChannelSocket(NetManager, Reconnect);
    if (!sock) return MAKE_ERR_INFO().StrError(L"Bad socket");
    UdpSockInfo settings;
    settings.SendAddr = addr;
    // The receive channel's interface, any port.
    settings.RecvAddr = self_addr;
    if (settings.RecvAddr.IsSet()) settings.RecvAddr._SockaddrIn._Port = 0;
    return sock->Open(settings);
}

ErrInfo RtpSendChan::Send(const PacketPtr& packet) {
    if (!packet) return MAKE_ERR_INFO().StrError(L"Can not send empty packet");
    std::lock_guard<std::mutex> lock(Mutex);
    for (const IUdpSockPtr& sock : SendSockets)
        if (sock) sock->Send(packet, SockAddr());
    return MAKE_ERR_INFO();
}

RtpSendChanInfo RtpSendChan::GetSendChanInfo() {
    std::lock_guard<std::mutex> lock(Mutex);
    return Info;
}

bool RtpSendChan::HasDestination() {
    std::lock_guard<std::mutex> lock(Mutex);
    return Info.IpAddr.IsSet() || Info.IpAddr2.IsSet();
}

void RtpSendChan::SetPayloadType(RtpPayloadType type) {
    std::lock_guard<std::mutex> lock(Mutex);
    Info.SetPayloadType(type);
    PayloadType.store(type, std::memory_order_relaxed);
}

// ---------------------------------------------------------------- RtpRecvChan

std::shared_ptr<RtpRecvChan> RtpRecvChan::Create(const ComponentInfo& compInfo, INetManager& manager,
                                                 const RtpRecvChanInfoEx& info, bool reconnect) {
    return std::make_shared<RtpRecvChan>(compInfo, manager, info, reconnect);
}

RtpRecvChan::RtpRecvChan(const ComponentInfo& compInfo, INetManager& manager, const RtpRecvChanInfoEx& info,
                         bool reconnect)
    : CompInfo(NameOr(compInfo, L"RtpRecvChan")),
      Info(info),
      Manager(manager),
      DebugLog(Environment()->DebugLog()),
      Reconnect(reconnect),
      RtpStreamsLogging(!DebugLog || DebugLog->GetLogStreamState(L"RtpStreams") != IDebugLog::Disabled),
      Packets(info.QueueLen) {}

RtpRecvChan::~RtpRecvChan() { Stop(); }

void RtpRecvChan::InitSockets() {
    const SockAddr* addrs[SocketsCount] = {&Info.IpAddr, &Info.IpAddr2};
    std::lock_guard<std::mutex> lock(SocketsMutex);
    for (size_t i = 0; i < SocketsCount; ++i) {
        if (!addrs[i]->IsSet() || RecvSockets[i]) continue;
        LogAt(DebugLog, DbgLevel::ConnStatus, L"RtpRecvChan \"%ls\": Init: RTP input #%u at %ls", CompInfo.LogId.c_str(),
              static_cast<unsigned>(i), addrs[i]->ToString().c_str());
        IUdpSockPtr sock = CreateChannelSocket(Manager, Reconnect);
        if (!sock) continue;
        UdpSockInfo settings;
        settings.RecvAddr = *addrs[i];
        settings.Receiver = this;
        // A failed open has reported itself; the channel simply receives nothing there.
        sock->Open(settings);
        RecvSockets[i] = std::move(sock);
    }
}

void RtpRecvChan::Stop() {
    std::lock_guard<std::mutex> lock(SocketsMutex);
    for (size_t i = 0; i < SocketsCount; ++i) {
        IUdpSockPtr sock = std::move(RecvSockets[i]);
        if (!sock) continue;
        LogAt(DebugLog, DbgLevel::ConnStatus, L"RtpRecvChan \"%ls\": Stop: RTP input #%u at %ls", CompInfo.LogId.c_str(),
              static_cast<unsigned>(i), sock->GetUdpSockInfo().RecvAddr.ToString().c_str());
        sock->Close();
    }
}

IUdpSockPtr RtpRecvChan::GetSocket(size_t index) {
    std::lock_guard<std::mutex> lock(SocketsMutex);
    return index < SocketsCount ? RecvSockets[index] : nullptr;
}

void RtpRecvChan::AddPacket(PacketUniqPtr packet, size_t position) noexcept {
    if (position >= Packets.size()) return;
    Packets[(QuePacketIndx + position) % Packets.size()] = std::move(packet);
}

PacketUniqPtr RtpRecvChan::GetPacket() {
    PacketUniqPtr packet;
    if (!Packets.empty()) {
        packet = std::move(Packets[QuePacketIndx]);
        QuePacketIndx = (QuePacketIndx + 1) % Packets.size();
    }
    const bool ok = packet != nullptr;
    if (ok != StreamOk) {
        StreamOk = ok;
        if (RtpStreamsLogging)
            LogAt(DebugLog, DbgLevel::ConnStatus, ok ? L"%ls: Stream OK" : L"%ls: Stream ERROR", CompInfo.LogId.c_str());
    }
    return packet;
}

void RtpRecvChan::OnDatagramReceived(IUdpSock*, PacketUniqPtr packet, const SockAddr& from) {
    if (Info.Receiver) Info.Receiver->OnRtpPacketReceived(*this, std::move(packet), from);
}

// ---------------------------------------------------------------- RtpManager

IRtpManager* RtpFactory::CreateRtpManager(const ComponentInfo& compInfo, INetManager& netManager) {
    return new RtpManager(compInfo, netManager);
}

IRtpAudioManager* RtpFactory::CreateRtpAudioManager(const ComponentInfo& compInfo, INetManager& netManager) {
    return new RtpAudioManager(compInfo, netManager);
}

RtpManager::RtpManager(const ComponentInfo& compInfo, INetManager& netManager)
    : CompInfo(NameOr(compInfo, L"RtpManager")),
      NetManager(netManager),
      DebugLog(Environment()->DebugLog()),
      SendChans(std::make_shared<SendSide>()) {
    const int64_t clockFreq = static_cast<int64_t>(hrt::GetClockFreq());
    StatSend.SetTitle(CompInfo.LogId + L".Send");
    StatSend.Setup(HistogramMode::Frequency, 1, clockFreq, 1000, 0, 50);
    StatRecv.SetTitle(CompInfo.LogId + L".Recv");
    StatRecv.Setup(HistogramMode::Frequency, 1, clockFreq, 1000, 0, 50);
    LogAt(DebugLog, DbgLevel::ObjsThreads, L"RtpManager \"%ls\": Created", CompInfo.LogId.c_str());
}

RtpManager::~RtpManager() {
    Stop();
    LogAt(DebugLog, DbgLevel::ObjsThreads, L"RtpManager \"%ls\": Destroyed", CompInfo.LogId.c_str());
}

ErrInfo RtpManager::AddTarget(ISyncTarget* t) {
    SyncTargets.Add(t);
    return MAKE_ERR_INFO();
}

ErrInfo RtpManager::DelTarget(ISyncTarget* t) {
    if (!SyncTargets.Del(t)) return MAKE_ERR_INFO().StrError(L"Sync target not found");
    return MAKE_ERR_INFO();
}

ErrInfo RtpManager::Init(const RtpManagerInfo& info) {
    ErrInfo err = info.IsValid();
    if (!err.IsOk()) return err;
    LogAt(DebugLog, DbgLevel::ObjsThreads, L"RtpManager \"%ls\": Init: FS = %u Packet samples = %u",
          CompInfo.LogId.c_str(), info.SampleFreq, info.PacketSmplSize);

    std::vector<RtpRecvChanPtr> recvChans;
    for (size_t i = 0; i < info.RecvChans.size(); ++i) {
        RtpRecvChanInfoEx chanInfo(info.RecvChans[i]);
        chanInfo.Receiver = this;
        chanInfo.QueueLen = info.RecvDelayMax;
        recvChans.push_back(RtpRecvChan::Create(ChildName(CompInfo, L"%ls.Recv[%d]", i), NetManager, chanInfo,
                                                info.ReconnectSockets));
    }
    auto sendSide = std::make_shared<SendSide>();
    sendSide->PacketSmplSize = info.PacketSmplSize;
    for (size_t i = 0; i < info.SendChans.size(); ++i) {
        const RtpRecvChanInfo local = i < info.RecvChans.size() ? info.RecvChans[i] : RtpRecvChanInfo();
        sendSide->Chans.push_back(std::make_shared<RtpSendChan>(ChildName(CompInfo, L"%ls.Send[%d]", i), NetManager,
                                                                info.SendChans[i], local, info.ReconnectSockets));
    }

    std::vector<RtpRecvChanPtr> oldRecv;
    {
        LOCK_GUARD(guard, RecvChansLock, L"Init", 5);
        Info = info;
        oldRecv = std::exchange(RecvChans, recvChans);
    }
    SendSidePtr oldSend;
    {
        std::lock_guard<std::mutex> lock(SendSideMutex);
        oldSend = std::exchange(SendChans, std::move(sendSide));
    }
    // Outside the lock: closing waits for a delivery in progress, which may wait for the lock.
    for (const RtpRecvChanPtr& chan : oldRecv) chan->Stop();
    // Sockets open only once the channels are in place, so no packet of theirs is lost.
    for (const RtpRecvChanPtr& chan : recvChans) chan->InitSockets();
    return MAKE_ERR_INFO();
}

ErrInfo RtpManager::Start() {
    Started.store(true);
    LogAt(DebugLog, DbgLevel::ObjsThreads, L"RtpManager \"%ls\": Started", CompInfo.LogId.c_str());
    return MAKE_ERR_INFO();
}

void RtpManager::Stop() {
    Started.store(false);
    std::vector<RtpRecvChanPtr> oldRecv;
    {
        LOCK_GUARD(guard, RecvChansLock, L"Stop", 5);
        oldRecv = std::move(RecvChans);
        RecvChans.clear();
    }
    for (const RtpRecvChanPtr& chan : oldRecv) chan->Stop();
    oldRecv.clear();
    SendSidePtr oldSend;
    {
        std::lock_guard<std::mutex> lock(SendSideMutex);
        auto empty = std::make_shared<SendSide>();
        empty->PacketSmplSize = SendChans->PacketSmplSize;
        oldSend = std::exchange(SendChans, std::move(empty));
    }
    // A send cycle in progress keeps its own reference; the sockets close with the last one.
    oldSend.reset();
    LogAt(DebugLog, DbgLevel::ObjsThreads, L"RtpManager \"%ls\": Stopped", CompInfo.LogId.c_str());
    {
        std::lock_guard<std::mutex> lock(SendSideMutex);
        StatSend.PrintReset();
    }
    LOCK_GUARD(guard, RecvChansLock, L"Stop", 5);
    StatRecv.PrintReset();
}

uint32_t RtpManager::RecvChannelsCount() {
    LOCK_GUARD(guard, RecvChansLock, L"RecvChannelsCount", 5);
    return static_cast<uint32_t>(RecvChans.size());
}

uint32_t RtpManager::SendChannelsCount() { return static_cast<uint32_t>(GetSendSide()->Chans.size()); }

RtpManager::SendSidePtr RtpManager::GetSendSide() {
    std::lock_guard<std::mutex> lock(SendSideMutex);
    return SendChans;
}

std::vector<RtpSendChanPtr> RtpManager::GetSendChans() { return GetSendSide()->Chans; }

RtpRecvChanPtr RtpManager::GetRecvChan(size_t i) {
    LOCK_GUARD(guard, RecvChansLock, L"GetRecvChan", 5);
    return i < RecvChans.size() ? RecvChans[i] : nullptr;
}

RtpManager::RecvState RtpManager::GetRecvState() {
    LOCK_GUARD(guard, RecvChansLock, L"GetRecvState", 5);
    return RecvState{RecvSyncLock, RecvSeqNumPos, RecvSeqNum, RecvTimestamp};
}

ErrInfo RtpManager::SetSendChanAddrAt(size_t chan, size_t sock_index, const SockAddr& addr, const SockAddr& self_addr) {
    const SendSidePtr side = GetSendSide();
    if (chan >= side->Chans.size()) return MAKE_ERR_INFO().StrError(L"Incorrect channel index");
    return side->Chans[chan]->SetSendAddr(sock_index, addr, self_addr);
}

ErrInfo RtpManager::SetSendChanAddr(size_t chan, const SockAddr& addr, const SockAddr& self_addr) {
    return SetSendChanAddrAt(chan, 0, addr, self_addr);
}

ErrInfo RtpManager::SetSendChanAddr2(size_t chan, const SockAddr& addr, const SockAddr& self_addr) {
    return SetSendChanAddrAt(chan, 1, addr, self_addr);
}

ErrInfo RtpManager::SetPayloadType(size_t chan, RtpPayloadType type) {
    const SendSidePtr side = GetSendSide();
    if (chan >= side->Chans.size()) return MAKE_ERR_INFO().StrError(L"Incorrect channel index");
    side->Chans[chan]->SetPayloadType(type);
    return MAKE_ERR_INFO();
}

bool RtpManager::IsStreamOk(size_t chan) {
    LOCK_GUARD(guard, RecvChansLock, L"IsStreamOk", 5);
    return chan < RecvChans.size() && RecvChans[chan]->IsStreamOk();
}

uint32_t RtpManager::SendChanChannelsCount(size_t i) {
    const SendSidePtr side = GetSendSide();
    if (i >= side->Chans.size()) return 0;
    return RtpHeader::AudioNumChannelsFromPayloadType(side->Chans[i]->GetPayloadType());
}

uint32_t RtpManager::RecvChanChannelsCount(size_t i) {
    LOCK_GUARD(guard, RecvChansLock, L"RecvChanChannelsCount", 5);
    return i < RecvChans.size() ? RecvChans[i]->ChannelsCount() : 0;
}

uint32_t RtpManager::SendMonoChannelsCount() {
    uint32_t n = 0;
    for (const RtpSendChanPtr& chan : GetSendSide()->Chans)
        n += RtpHeader::AudioNumChannelsFromPayloadType(chan->GetPayloadType());
    return n;
}

uint32_t RtpManager::RecvMonoChannelsCount() {
    LOCK_GUARD(guard, RecvChansLock, L"RecvMonoChannelsCount", 5);
    uint32_t n = 0;
    for (const RtpRecvChanPtr& chan : RecvChans) n += chan->ChannelsCount();
    return n;
}

void RtpManager::CallSync(int64_t pos, int freq) {
    const auto targets = SyncTargets.Snapshot();
    for (ISyncTarget* target : *targets) target->OnSync(this, pos, freq);
}

void RtpManager::OnRtpPacketReceived(RtpRecvChan& chan, PacketUniqPtr packet, const SockAddr&) {
    // Shorter than the header: not an RTP packet, and reading its fields would overrun it.
    const RtpHeader* header = packet ? GetRtpHdr(*packet) : nullptr;
    if (!header) return;
    const uint32_t ts = header->Timestamp();
    const uint16_t seq = header->SeqNum();
    bool callSync = true;
    int64_t syncPos = 0;
    int freq = 0;
    {
        LOCK_GUARD(guard, RecvChansLock, L"OnRtpPacketReceived", 5);
        const int64_t delayMax = Info.RecvDelayMax;
        freq = static_cast<int>(Info.SampleFreq);
        int64_t recvSeq = 0;
        if (RecvSyncLock) {
            const int64_t oldSeq = RecvSeqNum;
            const int64_t oldTs = RecvTimestamp;
            recvSeq = RecvSeqNum + static_cast<int16_t>(static_cast<uint16_t>(seq - static_cast<uint16_t>(RecvSeqNum)));
            const int64_t recvTs =
                RecvTimestamp + static_cast<int32_t>(static_cast<uint32_t>(ts - static_cast<uint32_t>(RecvTimestamp)));
            if (recvSeq > RecvSeqNum) {
                RecvSeqNum = recvSeq;
                StatRecv.BeginTime(static_cast<int64_t>(hrt::GetClock()));
                if (MinDetector.CheckMinue())
                    LogAt(DebugLog, DbgLevel::Statistics, L"STATISTICS: %ls: SeqNumPos=%lld, SeqNum=%lld, PosInBuf=%lld",
                          CompInfo.LogId.c_str(), static_cast<long long>(RecvSeqNumPos),
                          static_cast<long long>(RecvSeqNum), static_cast<long long>(recvSeq - RecvSeqNumPos));
            }
            if (recvTs > RecvTimestamp) RecvTimestamp = recvTs;
            // Duplicates, late and reordered packets do not clock the exchange.
            if (RecvTimestamp == oldTs) callSync = false;
            if (RecvSeqNum < RecvSeqNumPos || recvSeq >= RecvSeqNumPos + delayMax) {
                RecvSyncLock = false;
                LogAt(DebugLog, DbgLevel::ErrorsOnly,
                      L"%ls: RTP sync LOST: SeqNumPos=%lld, SeqNum=%lld, seq_num=%lld, old_seq_num=%lld, PosInBuf=%lld",
                      CompInfo.LogId.c_str(), static_cast<long long>(RecvSeqNumPos), static_cast<long long>(RecvSeqNum),
                      static_cast<long long>(recvSeq), static_cast<long long>(oldSeq),
                      static_cast<long long>(recvSeq - RecvSeqNumPos));
            }
        }
        if (!RecvSyncLock) {
            // Under the lock by design: no read cycle may run between the reset and the re-lock.
            CallSync(-1, freq);
            recvSeq = seq;
            RecvSeqNum = seq;
            RecvSeqNumPos = static_cast<int64_t>(seq) - static_cast<int64_t>(Info.RecvDelay);
            RecvTimestamp = ts;
            RecvSyncLock = true;
            LogAt(DebugLog, DbgLevel::ErrorsOnly, L"%ls: RTP sync LOCK: SeqNumPos=%lld, SeqNum=%lld, PosInBuf=%lld",
                  CompInfo.LogId.c_str(), static_cast<long long>(RecvSeqNumPos), static_cast<long long>(RecvSeqNum),
                  static_cast<long long>(RecvSeqNum - RecvSeqNumPos));
        }
        if (recvSeq >= RecvSeqNumPos && recvSeq < RecvSeqNumPos + delayMax)
            chan.AddPacket(std::move(packet), static_cast<size_t>(recvSeq - RecvSeqNumPos));
        syncPos = RecvTimestamp;
    }
    // The packet, when dropped, is freed here, outside the lock.
    packet.reset();
    if (callSync) CallSync(syncPos, freq);
}

void RtpManager::ReadCycle(std::vector<RecvSlot>& slots) {
    LOCK_GUARD(guard, RecvChansLock, L"RecvPackets", 5);
    slots.resize(RecvChans.size());
    for (size_t i = 0; i < RecvChans.size(); ++i) {
        slots[i].Packet = RecvChans[i]->GetPacket();
        slots[i].Channels = RecvChans[i]->ChannelsCount();
    }
    RecvSeqNumPos += 1;
}

void RtpManager::RecvPackets(std::vector<PacketPtr>& packets) {
    std::vector<RecvSlot> slots;
    ReadCycle(slots);
    packets.resize(slots.size());
    for (size_t i = 0; i < slots.size(); ++i) packets[i] = std::move(slots[i].Packet);
}

void RtpManager::SendPackets(const std::vector<PacketPtr>& packets) {
    SendSidePtr side;
    {
        std::lock_guard<std::mutex> lock(SendSideMutex);
        StatSend.BeginTime(static_cast<int64_t>(hrt::GetClock()));
        side = SendChans;
    }
    IRtpIoProcessor* processor = IoProcessor.load();
    const size_t n = std::min(side->Chans.size(), packets.size());
    for (size_t i = 0; i < n; ++i) {
        if (!packets[i]) continue;
        RtpSendChan& chan = *side->Chans[i];
        RtpPacket packet(packets[i]);
        if (RtpHeader* header = packet.GetHeader()) {
            header->SetSeqNum(static_cast<uint16_t>(SendSeqNum));
            header->SetTimestamp(static_cast<uint32_t>(SendTimestamp));
        }
        if (processor) {
            std::vector<RtpPacket> out;
            if (!processor->ProcessSendPacket(packet, out)) {
                for (const RtpPacket& replacement : out)
                    if (replacement.GetUdpPacket()) chan.Send(replacement.GetUdpPacket());
                continue;
            }
        }
        if (chan.HasDestination()) chan.Send(packet.GetUdpPacket());
    }
    SendSeqNum += 1;
    SendTimestamp += side->PacketSmplSize;
}

// ---------------------------------------------------------------- RtpAudioManager

RtpAudioManager::RtpAudioManager(const ComponentInfo& compInfo, INetManager& netManager)
    : RtpManagerPtr(std::make_shared<RtpManager>(compInfo, netManager)), DebugLog(Environment()->DebugLog()) {
    RtpManagerPtr->AddTarget(this);
}

RtpAudioManager::~RtpAudioManager() {
    // Closes the sockets first, so that no notification reaches this object while it dies.
    RtpManagerPtr->Stop();
    RtpManagerPtr->DelTarget(this);
}

ErrInfo RtpAudioManager::AddTarget(ISyncTarget* t) {
    SyncTargets.Add(t);
    return MAKE_ERR_INFO();
}

ErrInfo RtpAudioManager::DelTarget(ISyncTarget* t) {
    if (!SyncTargets.Del(t)) return MAKE_ERR_INFO().StrError(L"Sync target not found");
    return MAKE_ERR_INFO();
}

void RtpAudioManager::OnSync(ISyncSource*, int64_t pos, int freq) {
    const auto targets = SyncTargets.Snapshot();
    for (ISyncTarget* target : *targets) target->OnSync(this, pos, freq);
}

void RtpAudioManager::RecvAudio(const std::vector<float*>& audio, uint32_t smpl_size) {
    DbgDuration duration(L"RtpAudioManager::RecvAudio");
    RtpManagerPtr->ReadCycle(RecvSlots);
    size_t mono = 0;
    for (const RtpManager::RecvSlot& slot : RecvSlots) mono += slot.Channels;
    if (audio.size() == mono) {
        size_t next = 0;
        for (const RtpManager::RecvSlot& slot : RecvSlots) {
            const uint32_t n = slot.Channels;
            if (!slot.Packet) {
                for (uint32_t c = 0; c < n; ++c)
                    if (float* buf = audio[next + c]) std::fill_n(buf, smpl_size, 0.0f);
            } else {
                const Packet& packet = *slot.Packet;
                const RtpHeader* header = GetRtpHdr(packet);
                if (!header || header->AudioPayloadChannels() != n ||
                    RtpPacket::AudioPayloadSmplSize(packet) != smpl_size) break;
                for (uint32_t c = 0; c < n; ++c)
                    if (float* buf = audio[next + c]) RtpPacket::GetAudioPayloadChan(packet, buf, c, 1, 0, 0);
            }
            next += n;
        }
    }
    // The datagrams go back to the heap here; the slots keep their room for the next cycle.
    for (RtpManager::RecvSlot& slot : RecvSlots) slot.Packet.reset();
}

void RtpAudioManager::SendAudio(const std::vector<float*>& audio, uint32_t smpl_size) {
    const std::vector<RtpSendChanPtr> chans = RtpManagerPtr->GetSendChans();
    size_t mono = 0;
    for (const RtpSendChanPtr& chan : chans) mono += RtpHeader::AudioNumChannelsFromPayloadType(chan->GetPayloadType());
    if (audio.size() != mono) return;
    SendSlots.resize(chans.size());
    size_t next = 0;
    for (size_t i = 0; i < chans.size(); ++i) {
        const RtpPayloadType type = chans[i]->GetPayloadType();
        const uint32_t n = RtpHeader::AudioNumChannelsFromPayloadType(type);
        PacketPtr packet = AllocateAudioRtpPacket(type, smpl_size);
        for (uint32_t c = 0; c < n; ++c, ++next) {
            if (const float* buf = audio[next])
                RtpPacket::SetAudioPayloadChan(*packet, buf, c, 1);
            else
                RtpPacket::ClrAudioPayloadChan(*packet, c, 0, smpl_size);
        }
        SendSlots[i] = std::move(packet);
    }
    RtpManagerPtr->SendPackets(SendSlots);
    for (PacketPtr& packet : SendSlots) packet.reset();
}

} // namespace Network
