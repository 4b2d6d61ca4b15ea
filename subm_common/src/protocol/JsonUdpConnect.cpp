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
        // An entry left outstanding by a Stop gets its full number of sends again.
        _transmissions = 0;
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
    SetEvent(Event);  // what was queued while stopped leaves now
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
    std::vector<OutgoingMsg> entries;
    // A limit of 0 cannot make segments (there would be no end of them): no segmentation.
    if (size <= limit || limit == 0) {
        entries.push_back(OutgoingMsg{msg, msg, addr});
    } else {
        SplitIntoSegments(msg, addr, limit, entries);
    }

    JsonMsgPtr toSend;
    SockAddr sendAddr;
    bool wakeWorker = false;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _toSendList.PushBack(entries);
        // Nothing outstanding: the message leaves from here, without waking the worker. While
        // stopped it waits for Start.
        if (Started) TakeNextUnderLock(hrt::GetClock(), toSend, sendAddr, wakeWorker);
    }
    if (toSend) {
        // A failed transmission stays outstanding: the timeout repeats it or gives up on it.
        // The error is reported by the worker, never on the caller's thread, which may hold
        // locks of its own that the user's OnError takes.
        ErrInfo err = Manager->SendDirect(toSend, sendAddr);
        if (!err.IsOk()) {
            _errorList.PushBack(std::move(err));
            wakeWorker = true;
        }
    }
    if (wakeWorker) SetEvent(Event);
    return MAKE_ERR_INFO();
}

void JsonUdpConnect::SplitIntoSegments(const JsonMsgPtr& msg, const SockAddr& addr, uint32_t limit,
                                       std::vector<OutgoingMsg>& entries) {
    const size_t size = msg->Attachment.size();
    const size_t count = (size + limit - 1) / limit;
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
        JsonMsgPtr next;
        SockAddr nextAddr;
        bool wakeWorker = false;
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
                // The next entry leaves at once, from here.
                TakeNextUnderLock(now, next, nextAddr, wakeWorker);
            } else {
                ++_stat.DupAckReceived;
            }
        }
        if (next) {
            ErrInfo err = Manager->SendDirect(next, nextAddr);
            if (!err.IsOk()) ReportError(err);
        }
        if (wakeWorker) SetEvent(Event);
        DeliverPending();
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
    DeliverPending();
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
    _workerWakeAt = now + wait * NsPerMs;
    return static_cast<uint32_t>(wait);
}

bool JsonUdpConnect::TakeNextUnderLock(uint64_t now, JsonMsgPtr& toSend, SockAddr& sendAddr, bool& wakeWorker) {
    if (_lastSent.IsValid()) return false;
    OutgoingMsg next;
    if (!_toSendList.TryPopFront(next)) return false;
    _lastSent = std::move(next);
    _lastSentTicks = now;
    _transmissions = 1;
    toSend = _lastSent.MsgPart;
    sendAddr = _lastSent.SendAddr;
    // The worker sleeps at most IdleWaitMs and then plans for the new entry itself; it needs a
    // kick only when the repeat is due before it would wake.
    const int64_t timeoutMs = Info.Params.MsgTimeoutMs;
    if (timeoutMs > 0 && now + static_cast<uint64_t>(timeoutMs) * NsPerMs < _workerWakeAt) wakeWorker = true;
    return true;
}

void JsonUdpConnect::DeliverPending() {
    {
        std::lock_guard<std::mutex> lock(_mutex);
        if (_delivering) {
            _deliverAgain = true;
            return;
        }
        _delivering = true;
    }
    for (;;) {
        IJsonUdpReceiver* receiver = UserReceiver();
        // One of each in turn, so that neither kind waits behind a long run of the other.
        for (;;) {
            JsonMsgPtr delivered;
            InternalMsg received;
            const bool gotDelivered = _deliveredList.TryPopFront(delivered);
            if (gotDelivered && receiver) receiver->OnMsgDelivered(this, delivered);
            const bool gotReceived = _receiveList.TryPopFront(received);
            if (gotReceived && receiver) receiver->OnMsgReceived(this, received.Msg, received.Addr);
            if (!gotDelivered && !gotReceived) break;
        }
        std::lock_guard<std::mutex> lock(_mutex);
        if (!_deliverAgain) {
            _delivering = false;
            return;
        }
        _deliverAgain = false;
    }
}

void JsonUdpConnect::DropQueuedSegmentsOf(uint32_t leaderId) {
    // Entries are taken from the front only under _mutex, which the caller holds, so putting
    // back the first foreign entry is safe.
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
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _pingTimeoutStartTime = hrt::GetClock();
    }
    while (!StopRequest) {
        WaitForSingleObject(Event, WaitMillisecs());
        if (StopRequest) break;
        try {
            ProcessStep();
        } catch (const std::exception& e) {
            ReportError(MAKE_ERR_INFO().StrError(e.what()));
        }
    }
    return 0;
}

void JsonUdpConnect::ProcessStep() {
    ErrInfo queuedError;
    while (_errorList.TryPopFront(queuedError)) ReportError(queuedError);

    JsonMsgPtr toSend;
    SockAddr sendAddr;
    bool gaveUp = false;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        const uint64_t now = hrt::GetClock();
        const int64_t timeoutMs = Info.Params.MsgTimeoutMs;
        if (_lastSent.IsValid() && timeoutMs > 0 && now - _lastSentTicks >= static_cast<uint64_t>(timeoutMs) * NsPerMs) {
            // An entry left outstanding by a Stop starts counting anew (_transmissions 0); with
            // no retry limit it must never be given up.
            const uint32_t retries = Info.Params.MsgRetries;
            if (retries != 0 && _transmissions >= retries) {
                const auto* segment = dynamic_cast<const JsonMsgAtt*>(_lastSent.MsgPart.get());
                const uint32_t failedId = segment != nullptr ? segment->LeaderId : _lastSent.MsgPart->MsgId;
                _lastSent.Clear();
                DropQueuedSegmentsOf(failedId);
                gaveUp = true;
            } else {
                ++_transmissions;
                _lastSentTicks = now;
                toSend = _lastSent.MsgPart;
                sendAddr = _lastSent.SendAddr;
                ++_stat.RepeatMsgSent;
            }
        }
        // The worker plans its own sleep after this step: no kick needed.
        bool wakeWorker = false;
        if (!toSend) TakeNextUnderLock(now, toSend, sendAddr, wakeWorker);
    }

    if (gaveUp) ReportError(MAKE_ERR_INFO().StrError("Protocol error. No ack received"));
    if (toSend) {
        // A failed transmission stays outstanding: the timeout repeats it or gives up on it.
        ErrInfo err = Manager->SendDirect(toSend, sendAddr);
        if (!err.IsOk()) ReportError(err);
    }

    DeliverPending();

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
