#include "protocol/JsonUdpConnect.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <utility>
#include <vector>

#include "util/StdStringFormat.h"
#include "util/myhirestimer.h"

namespace Network {

namespace {

constexpr uint64_t NsPerMs = 1000000;
// Longest sleep of an idle worker; it also bounds how late a Stop request is noticed if the
// event were ever lost.
constexpr uint32_t IdleWaitMs = 100;

bool IsPing(const JsonMsg& msg) { return msg.MsgType == JsonMsgPing::NameString; }

} // namespace

IJsonUdpConnectPtr JsonUdpFactory::CreateJsonUdpConnect(const ComponentInfo& compInfo, INetManager& netManager) {
    return std::make_shared<JsonUdpConnect>(compInfo, netManager);
}

std::wstring ConnectionStatistic::ToString() const {
    return wstring_format(L"MsgSent=%d, MsgReceived=%d, RepeatMsgSent=%d, RepeatAckSent=%d, DupMsgReceived=%d, "
                          L"DupAckReceived=%d, MaxAckMs=%d",
                          MsgSent, MsgReceived, RepeatMsgSent, RepeatAckSent, DupMsgReceived, DupAckReceived,
                          MaxAckMs);
}

bool OutgoingMsg::IsLastInSequence() const {
    if (!IsValid()) return false;
    if (MsgPart == MsgComplete) return MsgComplete->AttachmentSize == 0 || !MsgComplete->Attachment.empty();
    const auto* segment = dynamic_cast<const JsonMsgAtt*>(MsgPart.get());
    return segment != nullptr && segment->SegmentNumber + 1 == segment->TotalSegments;
}

JsonUdpConnect::JsonUdpConnect(const ComponentInfo& compInfo, INetManager& netManager)
    : Thread([this] { return Process(); }),
      CompInfo(compInfo),
      Manager(JsonUdpFactory::CreateJsonUdpManager(compInfo, netManager)),
      Event(CreateEvent(nullptr, false, false, nullptr)) {}

JsonUdpConnect::~JsonUdpConnect() {
    Stop();
    Thread.StopThread();
    CloseHandle(Event);
}

ErrInfo JsonUdpConnect::Init(const JsonUdpManagerInfo&) {
    return MAKE_ERR_INFO().StrError("Method not available");
}

ErrInfo JsonUdpConnect::Init(const JsonUdpConnectInfo& connectInfo) {
    Stop();
    JsonUdpManagerInfo managerInfo = connectInfo.ManagerInfo;
    managerInfo.Receiver = this;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        Info = connectInfo;
    }
    return Manager->Init(managerInfo);
}

ErrInfo JsonUdpConnect::Start() {
    Stop();
    std::lock_guard<std::mutex> startStop(StartStopMutex);
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _stat = ConnectionStatistic();
    }
    ErrInfo err = Manager->Start();
    if (!err.IsOk()) {
        Manager->Stop();
        return err;
    }
    StopRequest = false;
    if (!Thread.StartThread()) {
        Manager->Stop();
        return MAKE_ERR_INFO().StrError("Can not start the connection's worker thread");
    }
    Started = true;
    return MAKE_ERR_INFO();
}

void JsonUdpConnect::Stop() {
    std::lock_guard<std::mutex> startStop(StartStopMutex);
    Manager->Stop();
    if (Started) {
        StopRequest = true;
        SetEvent(Event);
        Thread.StopThread();
        Started = false;
    }
}

bool JsonUdpConnect::IsStarted() { return Started; }

ErrInfo JsonUdpConnect::SetDefaultSendAddr(const SockAddr& addr) {
    {
        std::lock_guard<std::mutex> lock(_mutex);
        Info.ManagerInfo.DefaultSendAddr = addr;
    }
    return Manager->SetDefaultSendAddr(addr);
}

SockAddr JsonUdpConnect::GetDefaultSendAddr() { return Manager->GetDefaultSendAddr(); }

ErrInfo JsonUdpConnect::SendDirect(const JsonMsgPtr& msg, const SockAddr& addr) { return Manager->SendDirect(msg, addr); }

ErrInfo JsonUdpConnect::Send(const JsonMsgPtr& msg, const SockAddr& addr) {
    if (!msg) return MAKE_ERR_INFO().StrError("Can not deserialize msg");
    uint32_t limit;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        limit = Info.Params.MsgMaxAttachmentBytes;
    }
    const size_t size = msg->Attachment.size();
    msg->AttachmentSize = size;
    // A limit of 0 cannot make segments (there would be no end of them): no segmentation.
    if (size <= limit || limit == 0) {
        _toSendList.PushBack(OutgoingMsg{msg, msg, addr});
        SetEvent(Event);
        return MAKE_ERR_INFO();
    }

    const size_t count = (size + limit - 1) / limit;
    std::vector<OutgoingMsg> entries;
    entries.reserve(count + 1);
    entries.push_back(OutgoingMsg{msg, msg, addr});
    for (size_t j = 0; j < count; ++j) {
        auto segment = std::make_shared<JsonMsgAtt>();
        segment->LeaderId = msg->MsgId;
        segment->SegmentNumber = static_cast<uint32_t>(j);
        segment->TotalSegments = static_cast<uint32_t>(count);
        const size_t offset = j * limit;
        const size_t bytes = std::min<size_t>(limit, size - offset);
        segment->Attachment.assign(msg->Attachment.begin() + static_cast<std::ptrdiff_t>(offset),
                                   msg->Attachment.begin() + static_cast<std::ptrdiff_t>(offset + bytes));
        segment->AttachmentSize = bytes;
        entries.push_back(OutgoingMsg{msg, std::move(segment), addr});
    }
    // The leader now travels with its declared size but without bytes.
    msg->Attachment.clear();
    msg->Attachment.shrink_to_fit();
    _toSendList.PushBack(entries);
    SetEvent(Event);
    return MAKE_ERR_INFO();
}

ConnectionStatistic JsonUdpConnect::Statistics() {
    std::lock_guard<std::mutex> lock(_mutex);
    return _stat;
}

IJsonUdpReceiver* JsonUdpConnect::UserReceiver() {
    std::lock_guard<std::mutex> lock(_mutex);
    return Info.ManagerInfo.Receiver;
}

void JsonUdpConnect::ReportError(ErrInfo err) {
    if (IJsonUdpReceiver* receiver = UserReceiver()) receiver->OnError(this, err);
}

void JsonUdpConnect::OnMsgDelivered(IJsonUdpManager*, const JsonMsgPtr&) {}

void JsonUdpConnect::OnError(IJsonUdpManager*, ErrInfo err) { ReportError(err); }

void JsonUdpConnect::OnMsgReceived(IJsonUdpManager*, const JsonMsgPtr& msg, const SockAddr& from) {
    if (!msg) return;
    const uint64_t now = hrt::GetClock();

    if (const auto* ack = dynamic_cast<const JsonMsgAck*>(msg.get())) {
        {
            std::lock_guard<std::mutex> lock(_mutex);
            _pingTimeoutStartTime = now;
            if (_lastSent.IsValid() && _lastSent.MsgPart->MsgId == ack->AckMsgId) {
                if (_lastSent.IsLastInSequence()) _deliveredList.PushBack(_lastSent.MsgComplete);
                if (IsPing(*_lastSent.MsgComplete)) ++_stat.PingAckReceived;
                _lastSent.Clear();
                ++_stat.MsgSent;
                const uint64_t ackMs = (now - _lastSentTicks) / NsPerMs;
                _stat.MaxAckMs = std::max<uint32_t>(_stat.MaxAckMs, static_cast<uint32_t>(std::min<uint64_t>(ackMs, UINT32_MAX)));
            } else {
                ++_stat.DupAckReceived;
            }
        }
        SetEvent(Event);
        return;
    }

    // Acknowledged at once, duplicates too: the peer repeats because our earlier ack was lost.
    ErrInfo err = Manager->SendDirect(std::make_shared<JsonMsgAck>(msg->MsgId), from);
    if (!err.IsOk()) ReportError(err);
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _pingTimeoutStartTime = now;
        if (_lastReceived && _lastReceived->MsgId == msg->MsgId && _lastAddrFrom == from) {
            ++_stat.DupMsgReceived;
            ++_stat.RepeatAckSent;
        } else {
            _lastReceived = msg;
            _lastAddrFrom = from;
            HandleIncomingMessage(msg, from);
            ++_stat.MsgReceived;
        }
        if (IsPing(*msg)) ++_stat.PingReceived;
    }
    SetEvent(Event);
}

void JsonUdpConnect::HandleIncomingMessage(const JsonMsgPtr& msg, const SockAddr& from) {
    const auto* segment = dynamic_cast<const JsonMsgAtt*>(msg.get());
    if (!_incompleteInMessage.IsValid()) {
        if (segment != nullptr) return;  // its leader never arrived
        if (msg->AttachmentSize < msg->Attachment.size()) {
            _incompleteInMessage = IncomingMsg{msg, from};
            _expectedSegmentNum = 0;
        } else {
            _receiveList.PushBack(InternalMsg{msg, from});
        }
        return;
    }

    JsonMsg& collected = *_incompleteInMessage.Msg;
    const size_t room = collected.Attachment.size() - collected.AttachmentSize;
    if (segment == nullptr || segment->SegmentNumber != _expectedSegmentNum ||
        segment->AttachmentSize != segment->Attachment.size() || segment->AttachmentSize > room) {
        _incompleteInMessage = IncomingMsg{};
        return;
    }
    if (segment->AttachmentSize != 0)
        std::memcpy(collected.Attachment.data() + collected.AttachmentSize, segment->Attachment.data(),
                    segment->AttachmentSize);
    collected.AttachmentSize += segment->AttachmentSize;
    ++_expectedSegmentNum;
    if (_expectedSegmentNum == segment->TotalSegments) {
        if (collected.AttachmentSize == collected.Attachment.size()) _receiveList.PushBack(_incompleteInMessage);
        _incompleteInMessage = IncomingMsg{};
    }
}

uint32_t JsonUdpConnect::WaitMillisecs() {
    std::lock_guard<std::mutex> lock(_mutex);
    const uint64_t now = hrt::GetClock();
    uint64_t wait = IdleWaitMs;
    // Sleep exactly until the repeat or the ping is due instead of polling.
    if (_lastSent.IsValid() && Info.Params.MsgTimeoutMs > 0) {
        const uint64_t due = _lastSentTicks + static_cast<uint64_t>(Info.Params.MsgTimeoutMs) * NsPerMs;
        wait = std::min<uint64_t>(wait, due > now ? (due - now) / NsPerMs + 1 : 0);
    }
    // The ping waits for an idle send queue (see ProcessStep), so only then is its time a reason
    // to wake; otherwise an overdue ping would make the worker spin.
    if (Info.Params.Ping && Info.ManagerInfo.DefaultSendAddr.IsSet() && !_lastSent.IsValid() && _toSendList.Empty()) {
        const uint64_t due = _pingTimeoutStartTime + static_cast<uint64_t>(Info.Params.PingTimeout) * NsPerMs;
        wait = std::min<uint64_t>(wait, due > now ? (due - now + NsPerMs - 1) / NsPerMs : 0);
    }
    return static_cast<uint32_t>(wait);
}

void JsonUdpConnect::DropQueuedSegmentsOf(uint32_t leaderId) {
    // Only the worker takes from the front, so putting back the first foreign entry is safe.
    OutgoingMsg entry;
    while (_toSendList.TryPopFront(entry)) {
        const auto* segment = dynamic_cast<const JsonMsgAtt*>(entry.MsgPart.get());
        if (segment == nullptr || segment->LeaderId != leaderId) {
            _toSendList.PushFront(std::move(entry));
            return;
        }
    }
}

int JsonUdpConnect::Process() {
    uint32_t transmissions = 0;  // of the outstanding entry
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _pingTimeoutStartTime = hrt::GetClock();
    }
    while (!StopRequest) {
        WaitForSingleObject(Event, WaitMillisecs());
        if (StopRequest) break;
        try {
            ProcessStep(transmissions);
        } catch (const std::exception& e) {
            ReportError(MAKE_ERR_INFO().StrError(e.what()));
        }
    }
    return 0;
}

void JsonUdpConnect::ProcessStep(uint32_t& transmissions) {
    JsonMsgPtr toSend;
    SockAddr sendAddr;
    bool gaveUp = false;
    uint32_t failedId = 0;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        const uint64_t now = hrt::GetClock();
        const int64_t timeoutMs = Info.Params.MsgTimeoutMs;
        if (!_lastSent.IsValid()) {
            OutgoingMsg next;
            if (_toSendList.TryPopFront(next)) {
                _lastSent = std::move(next);
                toSend = _lastSent.MsgPart;
                sendAddr = _lastSent.SendAddr;
                _lastSentTicks = now;
                transmissions = 1;
            }
        } else if (timeoutMs > 0 && now - _lastSentTicks >= static_cast<uint64_t>(timeoutMs) * NsPerMs) {
            // An entry left outstanding by a Stop starts counting anew (transmissions 0); with
            // no retry limit it must never be given up.
            const uint32_t retries = Info.Params.MsgRetries;
            if (retries != 0 && transmissions >= retries) {
                const auto* segment = dynamic_cast<const JsonMsgAtt*>(_lastSent.MsgPart.get());
                failedId = segment != nullptr ? segment->LeaderId : _lastSent.MsgPart->MsgId;
                _lastSent.Clear();
                gaveUp = true;
            } else {
                ++transmissions;
                _lastSentTicks = now;
                toSend = _lastSent.MsgPart;
                sendAddr = _lastSent.SendAddr;
                ++_stat.RepeatMsgSent;
            }
        }
    }

    if (gaveUp) {
        DropQueuedSegmentsOf(failedId);
        ReportError(MAKE_ERR_INFO().StrError("Protocol error. No ack received"));
    }
    if (toSend) {
        // A failed transmission stays outstanding: the timeout repeats it or gives up on it.
        ErrInfo err = Manager->SendDirect(toSend, sendAddr);
        if (!err.IsOk()) ReportError(err);
    }

    IJsonUdpReceiver* receiver = UserReceiver();
    JsonMsgPtr delivered;
    if (_deliveredList.TryPopFront(delivered)) {
        if (receiver) receiver->OnMsgDelivered(this, delivered);
        SetEvent(Event);
    }
    InternalMsg received;
    if (_receiveList.TryPopFront(received)) {
        if (receiver) receiver->OnMsgReceived(this, received.Msg, received.Addr);
        SetEvent(Event);
    }

    bool ping = false;
    SockAddr pingAddr;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        const uint64_t now = hrt::GetClock();
        // A ping is queued only on an idle send queue: on a dead line pings would otherwise
        // pile up faster than they are given up whenever PingTimeout is shorter than the
        // retry period.
        if (Info.Params.Ping && Info.ManagerInfo.DefaultSendAddr.IsSet() &&
            now - _pingTimeoutStartTime >= static_cast<uint64_t>(Info.Params.PingTimeout) * NsPerMs &&
            !_lastSent.IsValid() && _toSendList.Empty()) {
            ping = true;
            pingAddr = Info.ManagerInfo.DefaultSendAddr;
            _pingTimeoutStartTime = now;
            ++_stat.PingSent;
        }
    }
    if (ping) Send(std::make_shared<JsonMsgPing>(), pingAddr);
}

} // namespace Network
