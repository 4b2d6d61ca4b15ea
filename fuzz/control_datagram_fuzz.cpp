// Sequences of control datagrams into the reliable connection's receive path: acknowledgement
// matching, the duplicate filter and segment collection, mixed with messages of our own sent
// through the connection. The connection runs (worker thread, socket open on 127.0.0.1, any
// port) on a socket service manager that is never started, so nothing arrives on the socket;
// datagrams are parsed as the datagram manager parses them and handed to the connection's
// receive callback from two peer addresses. A send hook sees every outgoing message and keeps
// it off the wire.
//
// Input: 1 configuration byte (attachment limit 0 to 16 bytes; 0: no segments), then records
// of [op][length, 2 bytes little-endian][bytes]. op % 4: 0 and 1, a datagram from peer A or B;
// 2, our own message with those bytes (at most 512) as attachment; 3, peer A acknowledges the
// last message part that left.
//
// Checked once the connection has stopped: the user gets neither acknowledgements nor
// segments, only messages with their attachment complete, and never more than were accepted;
// each received message was acknowledged exactly once; the counters add up to what was fed;
// our messages are reported delivered at most once each, in the order sent; our segments carry
// exactly the bytes of their message's attachment, in order.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "protocol/JsonMsgAsioDriver.h"
#include "protocol/JsonUdpConnect.h"

namespace {

using namespace Network;

[[noreturn]] void Fail(const char* what, uint64_t detail = 0) {
    std::fprintf(stderr, "control_datagram_fuzz: %s (%llu)\n", what, static_cast<unsigned long long>(detail));
    std::abort();
}

// The user of the connection and the hook before the wire. Called from the fuzzing thread and
// the connection's worker, never concurrently for the receiver, but the hook may overlap.
class Peer : public IJsonUdpReceiver, public IJsonUdpSendProcessor {
public:
    void OnMsgDelivered(IJsonUdpManager*, const JsonMsgPtr& msg) override {
        std::lock_guard<std::mutex> lock(Mutex);
        Delivered.push_back(msg);
    }
    void OnMsgReceived(IJsonUdpManager*, const JsonMsgPtr& msg, const SockAddr&) override {
        std::lock_guard<std::mutex> lock(Mutex);
        Received.push_back(msg);
    }
    void OnError(IJsonUdpManager*, ErrInfo err) override { err.Silent(); }

    bool BeforeSendMsg(IJsonUdpManager*, const JsonMsgPtr& msg) override {
        std::lock_guard<std::mutex> lock(Mutex);
        if (dynamic_cast<const JsonMsgAck*>(msg.get()) != nullptr) {
            ++AcksSent[msg->AckMsgId];
        } else {
            Parts.push_back(msg);
        }
        return false;
    }

    uint32_t LastPartId() {
        std::lock_guard<std::mutex> lock(Mutex);
        return Parts.empty() ? 0 : Parts.back()->MsgId;
    }

    std::mutex Mutex;
    std::vector<JsonMsgPtr> Delivered;
    std::vector<JsonMsgPtr> Received;
    std::vector<JsonMsgPtr> Parts;             // our message parts, in the order they left
    std::map<uint32_t, unsigned> AcksSent;     // by acknowledged id
};

INetManager& Net() {
    static std::unique_ptr<INetManager> net(NetFactory::CreateNetManager(L"control-fuzz", false, 1));
    return *net;
}

SockAddr Loopback(uint16_t port) {
    SockAddr addr;
    addr.Set(L"127.0.0.1", port);
    return addr;
}

struct Sent {
    std::vector<uint8_t> Attachment;
    size_t Order = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint32_t limit = data[0] % 17;
    ++data;
    --size;

    // Ports nobody listens on: nothing is sent there anyway, they only name the peers.
    const SockAddr peers[2] = {Loopback(9), Loopback(7)};
    Peer peer;
    IJsonUdpConnectPtr connect = JsonUdpFactory::CreateJsonUdpConnect(ComponentInfo(L"control-fuzz"), Net());
    JsonUdpConnectInfo info;
    info.ManagerInfo.Receiver = &peer;
    info.ManagerInfo.SendProcessor = &peer;
    info.ManagerInfo.MsgFactory = const_cast<IJsonMsgFactory*>(GetAsioDriverJsonMsgFactory());
    info.ManagerInfo.RecvAddr = Loopback(0);
    info.ManagerInfo.DefaultSendAddr = peers[0];
    info.Params.MsgTimeoutMs = 0;  // no repeats: every transmission is the fuzzer's doing
    info.Params.MsgMaxAttachmentBytes = limit;
    if (!connect->Init(info).IsOk()) Fail("Init fails");
    ErrInfo started = connect->Start();
    if (!started.IsOk()) {
        // No socket on 127.0.0.1 (descriptors exhausted, say): not the input's fault.
        started.Silent();
        return 0;
    }
    auto& receive = dynamic_cast<JsonUdpConnect&>(*connect);

    std::map<uint32_t, Sent> sent;  // our messages by id
    uint32_t fedMessages = 0, fedAcks = 0, fedPings = 0;
    std::map<uint32_t, unsigned> fedIds;  // non-acknowledgements fed, by id
    while (size >= 3) {
        const uint8_t op = data[0] % 4;
        const size_t length = std::min<size_t>(data[1] | size_t{data[2]} << 8, size - 3);
        const uint8_t* bytes = data + 3;
        data += 3 + length;
        size -= 3 + length;

        JsonMsgPtr msg;
        SockAddr from = peers[0];
        if (op == 0 || op == 1) {
            from = peers[op];
            Packet packet(length);
            packet.SetDataSize(length);
            if (length != 0) std::memcpy(packet.GetDataPtr(), bytes, length);
            msg = JsonMsg::Create(packet, info.ManagerInfo.MsgFactory, &from);
            if (!msg) continue;
        } else if (op == 2) {
            auto own = std::make_shared<JsonMsgIdle>();
            own->Attachment.assign(bytes, bytes + std::min<size_t>(length, 512));
            sent[own->MsgId] = Sent{own->Attachment, sent.size()};
            connect->Send(own, peers[0]);
            continue;
        } else {
            msg = std::make_shared<JsonMsgAck>(peer.LastPartId());
        }
        if (dynamic_cast<const JsonMsgAck*>(msg.get()) != nullptr) {
            ++fedAcks;
        } else {
            ++fedMessages;
            ++fedIds[msg->MsgId];
            if (msg->MsgType == JsonMsgPing::NameString) ++fedPings;
        }
        receive.OnMsgReceived(nullptr, msg, from);
    }
    connect->Stop();

    // The worker has ended and the receive callbacks have returned: everything is delivered.
    const ConnectionStatistic stat = connect->Statistics();
    std::lock_guard<std::mutex> lock(peer.Mutex);
    if (stat.MsgReceived + stat.DupMsgReceived != fedMessages) Fail("messages counted do not add up", fedMessages);
    if (stat.RepeatAckSent != stat.DupMsgReceived) Fail("repeated acknowledgements differ from duplicates");
    if (stat.MsgSent + stat.DupAckReceived != fedAcks) Fail("acknowledgements counted do not add up", fedAcks);
    if (stat.PingReceived != fedPings) Fail("pings counted do not add up", fedPings);
    if (peer.Received.size() > stat.MsgReceived) Fail("more messages handed on than accepted", peer.Received.size());
    if (peer.AcksSent != fedIds) Fail("not every received message acknowledged exactly once");
    for (const JsonMsgPtr& msg : peer.Received) {
        if (dynamic_cast<const JsonMsgAck*>(msg.get()) != nullptr) Fail("an acknowledgement handed on");
        if (dynamic_cast<const JsonMsgAtt*>(msg.get()) != nullptr) Fail("a segment handed on");
        if (msg->AttachmentSize != msg->Attachment.size()) Fail("an incomplete attachment handed on", msg->MsgId);
    }

    size_t nextOrder = 0;  // deliveries follow the order of sending, each message once
    for (const JsonMsgPtr& msg : peer.Delivered) {
        const auto it = sent.find(msg->MsgId);
        if (it == sent.end()) Fail("a message reported delivered that was not sent", msg->MsgId);
        if (it->second.Order < nextOrder) Fail("a delivery twice or out of order", msg->MsgId);
        nextOrder = it->second.Order + 1;
    }

    // Our parts: a segmented message leaves as its leader, then its segments in order.
    std::map<uint32_t, uint32_t> nextSegment;
    for (const JsonMsgPtr& part : peer.Parts) {
        const auto* segment = dynamic_cast<const JsonMsgAtt*>(part.get());
        if (segment == nullptr) {
            const auto it = sent.find(part->MsgId);
            if (it == sent.end()) Fail("a part left that was never sent", part->MsgId);
            if (part->AttachmentSize != it->second.Attachment.size()) Fail("a leader declares another size", part->MsgId);
            continue;
        }
        const auto it = sent.find(segment->LeaderId);
        if (it == sent.end() || limit == 0) Fail("a segment of no segmented message", segment->LeaderId);
        const std::vector<uint8_t>& whole = it->second.Attachment;
        const size_t count = (whole.size() + limit - 1) / limit;
        if (segment->TotalSegments != count) Fail("a segment count is wrong", segment->TotalSegments);
        if (segment->SegmentNumber != nextSegment[segment->LeaderId]++ || segment->SegmentNumber >= count)
            Fail("segments out of order", segment->SegmentNumber);
        const size_t offset = size_t{segment->SegmentNumber} * limit;
        const size_t n = std::min<size_t>(limit, whole.size() - offset);
        if (segment->Attachment.size() != n || segment->AttachmentSize != n ||
            std::memcmp(segment->Attachment.data(), whole.data() + offset, n) != 0)
            Fail("a segment carries other bytes", segment->SegmentNumber);
    }
    return 0;
}
