// The reliable connection on a running network manager, against a plain POSIX peer on 127.0.0.1
// that shows the wire: repeats and giving up, segmentation of large attachments and their
// reassembly, the duplicate filter, stray acknowledgements, keep-alive pings, and two
// connections talking to each other.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "protocol/JsonUdpConnect.h"
#include "support/udp_loopback.h"

namespace {

using namespace Network;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test_support::FirstLine;
using test_support::UdpPeer;

constexpr auto SafetyNet = std::chrono::seconds(10);

std::string Narrow(const std::wstring& w) { return std::string(w.begin(), w.end()); }

// Records every call of the connection it serves, and on which thread it came.
class Recorder : public IJsonUdpReceiver {
public:
    struct Received {
        JsonMsgPtr Msg;
        SockAddr From;
    };

    void OnMsgDelivered(IJsonUdpManager*, const JsonMsgPtr& msg) override {
        std::lock_guard<std::mutex> lock(_mutex);
        _delivered.push_back(msg);
        _changed.notify_all();
    }
    void OnMsgReceived(IJsonUdpManager*, const JsonMsgPtr& msg, const SockAddr& from) override {
        std::lock_guard<std::mutex> lock(_mutex);
        _received.push_back({msg, from});
        _changed.notify_all();
    }
    void OnError(IJsonUdpManager*, ErrInfo err) override {
        std::string text = Narrow(FirstLine(err));
        err.Silent();
        std::lock_guard<std::mutex> lock(_mutex);
        _errors.push_back(std::move(text));
        _changed.notify_all();
    }

    bool WaitFor(const std::function<bool()>& done) {
        std::unique_lock<std::mutex> lock(_mutex);
        return _changed.wait_for(lock, SafetyNet, done);
    }
    bool WaitForReceived(size_t n) { return WaitFor([&] { return _received.size() >= n; }); }
    bool WaitForDelivered(size_t n) { return WaitFor([&] { return _delivered.size() >= n; }); }
    bool WaitForErrors(size_t n) { return WaitFor([&] { return _errors.size() >= n; }); }

    std::vector<Received> ReceivedMsgs() {
        std::lock_guard<std::mutex> lock(_mutex);
        return _received;
    }
    std::vector<JsonMsgPtr> Delivered() {
        std::lock_guard<std::mutex> lock(_mutex);
        return _delivered;
    }
    std::vector<std::string> Errors() {
        std::lock_guard<std::mutex> lock(_mutex);
        return _errors;
    }

private:
    std::mutex _mutex;
    std::condition_variable _changed;
    std::vector<Received> _received;     // guarded by _mutex
    std::vector<JsonMsgPtr> _delivered;  // guarded by _mutex
    std::vector<std::string> _errors;    // guarded by _mutex
};

// What the peer saw: the message as the library's own reader makes it, plus the raw JSON text.
struct Wire {
    std::unique_ptr<JsonMsg> Msg;
    std::string Json;
    size_t BytesAfterText = 0;
};

Wire Decode(const std::string& bytes) {
    Packet packet(bytes.size());
    packet.SetDataSize(bytes.size());
    std::memcpy(packet.GetDataPtr(), bytes.data(), bytes.size());
    Wire w;
    w.Msg = JsonMsg::Create(packet, nullptr);
    const size_t zero = bytes.find('\0');
    w.Json = bytes.substr(0, zero);
    w.BytesAfterText = zero == std::string::npos ? 0 : bytes.size() - zero - 1;
    return w;
}

std::string Datagram(const std::string& json, const std::string& attachment = "") {
    return json + '\0' + attachment;
}
std::string AckFor(uint32_t msgId, uint32_t ownId = 900000) {
    return Datagram(R"({"ack_msg_id":)" + std::to_string(msgId) + R"(,"msg":"ack","msg_id":)" +
                    std::to_string(ownId) + "}");
}
std::string Idle(uint32_t msgId, size_t att = 0) {
    std::string json = R"({"msg":"idle","msg_id":)" + std::to_string(msgId);
    if (att != 0) json += R"(,"att":)" + std::to_string(att);
    return Datagram(json + "}");
}
std::string Segment(uint32_t msgId, uint32_t leader, uint32_t number, uint32_t count, const std::string& bytes,
                    size_t declared) {
    return Datagram(R"({"att":)" + std::to_string(declared) + R"(,"leader_id":)" + std::to_string(leader) +
                        R"(,"msg":"attach","msg_id":)" + std::to_string(msgId) + R"(,"seg_count":)" +
                        std::to_string(count) + R"(,"seg_number":)" + std::to_string(number) + "}",
                    bytes);
}

std::vector<uint8_t> Pattern(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 7 + i / 251);
    return v;
}

class Endpoint {
public:
    Endpoint(INetManager& net, const std::string& name, JsonUdpConnectParams params = {}) {
        connect = JsonUdpFactory::CreateJsonUdpConnect(ComponentInfo(name.c_str()), net);
        info.ManagerInfo.Receiver = &recorder;
        info.Params = params;
    }
    ~Endpoint() { connect.reset(); }

    // Init and Start on 127.0.0.1 with a free port; a port taken in between is replaced.
    uint16_t StartOnLoopback() {
        for (int attempt = 0; attempt < 20; ++attempt) {
            const uint16_t p = test_support::FreeLoopbackPort();
            if (p == 0) return 0;
            info.ManagerInfo.RecvAddr = SockAddr("127.0.0.1", p);
            EXPECT_TRUE(connect->Init(info).IsOk());
            ErrInfo err = connect->Start();
            if (err.IsOk()) return port = p;
            err.Silent();
        }
        return 0;
    }
    SockAddr Addr() const { return SockAddr("127.0.0.1", port); }

    Recorder recorder;
    JsonUdpConnectInfo info;
    IJsonUdpConnectPtr connect;
    uint16_t port = 0;
};

class JsonUdpConnectTest : public testing::Test {
protected:
    JsonUdpConnectTest() { net.reset(NetFactory::CreateNetManager(L"json-connect-itest", true, 1)); }
    ~JsonUdpConnectTest() override {
        endpoints.clear();
        net.reset();
    }
    Endpoint& Make(JsonUdpConnectParams params = {}, bool start = true) {
        endpoints.push_back(std::make_unique<Endpoint>(*net, "Conn" + std::to_string(endpoints.size()), params));
        if (start) {
            EXPECT_NE(endpoints.back()->StartOnLoopback(), 0);
        }
        return *endpoints.back();
    }
    // Next datagram at the peer, decoded; fails the test when none comes.
    static Wire Next(const UdpPeer& p) {
        auto d = p.Receive();
        EXPECT_TRUE(d) << "no datagram";
        return d ? Decode(d->Bytes) : Wire{};
    }

    std::unique_ptr<INetManager> net;
    std::vector<std::unique_ptr<Endpoint>> endpoints;
    UdpPeer peer;
};

TEST_F(JsonUdpConnectTest, FreshConnectionStatisticsAndTheManagerOnlyInit) {
    Endpoint& e = Make();
    const ConnectionStatistic s = e.connect->Statistics();
    EXPECT_EQ(Narrow(s.ToString()),
              "MsgSent=0, MsgReceived=0, RepeatMsgSent=0, RepeatAckSent=0, DupMsgReceived=0, DupAckReceived=0, "
              "MaxAckMs=0");
    EXPECT_EQ(s.PingSent + s.PingReceived + s.PingAckReceived, 0u);
    EXPECT_EQ(Narrow(FirstLine(e.connect->Init(JsonUdpManagerInfo()))), "Method not available");
    EXPECT_TRUE(e.connect->IsStarted());

    // Garbage from the network reaches the user as an error, on the socket thread.
    ASSERT_TRUE(peer.SendTo(e.port, "not a message"));
    ASSERT_TRUE(e.recorder.WaitForErrors(1));
    EXPECT_EQ(e.recorder.Errors()[0], "Bad message received");

    e.connect->Stop();
    EXPECT_FALSE(e.connect->IsStarted());

    // A message handed in while stopped waits, and leaves once the connection runs again.
    auto queued = std::make_shared<JsonMsgIdle>();
    ASSERT_TRUE(e.connect->Send(queued, peer.Addr()).IsOk());
    ASSERT_NE(e.StartOnLoopback(), 0);
    Wire w = Next(peer);
    ASSERT_TRUE(w.Msg);
    EXPECT_EQ(w.Msg->MsgId, queued->MsgId);
}

// The one test of the fixed repeat timing: three sends ~300 ms apart, then the error; the failed
// message's segments are skipped and the message queued behind it goes out.
TEST_F(JsonUdpConnectTest, SilentPeerGetsThreeSendsThenTheNextMessage) {
    Endpoint& e = Make();
    auto big = std::make_shared<JsonMsgIdle>();
    big->Attachment = Pattern(3000);
    auto next = std::make_shared<JsonMsgPing>();
    // Measured from before the first send: a late reader here can only make the gaps look longer.
    const Clock::time_point queued = Clock::now();
    ASSERT_TRUE(e.connect->Send(big, peer.Addr()).IsOk());
    ASSERT_TRUE(e.connect->Send(next, peer.Addr()).IsOk());

    std::vector<Clock::time_point> times;
    for (int i = 0; i < 3; ++i) {
        Wire w = Next(peer);
        times.push_back(Clock::now());
        ASSERT_TRUE(w.Msg);
        EXPECT_EQ(w.Msg->MsgId, big->MsgId) << "transmission " << i;
        EXPECT_EQ(w.Msg->MsgType, L"idle");
    }
    EXPECT_GE(times[1] - queued, 250ms);
    EXPECT_GE(times[2] - queued, 500ms);

    Wire w = Next(peer);  // after the give-up: the next message, none of the segments
    ASSERT_TRUE(w.Msg);
    EXPECT_EQ(w.Msg->MsgId, next->MsgId);
    EXPECT_EQ(w.Msg->MsgType, L"ping");
    ASSERT_EQ(e.recorder.Errors(), std::vector<std::string>{"Protocol error. No ack received"});

    // A late acknowledgement of the abandoned message is a stray one.
    ASSERT_TRUE(peer.SendTo(e.port, AckFor(big->MsgId)));
    ASSERT_TRUE(peer.SendTo(e.port, AckFor(next->MsgId)));
    ASSERT_TRUE(e.recorder.WaitForDelivered(1));
    EXPECT_EQ(e.recorder.Delivered(), std::vector<JsonMsgPtr>{next});
    const ConnectionStatistic s = e.connect->Statistics();
    EXPECT_EQ(s.RepeatMsgSent, 2u);
    EXPECT_EQ(s.DupAckReceived, 1u);
    EXPECT_EQ(s.MsgSent, 1u);
    EXPECT_EQ(s.PingAckReceived, 1u) << "the user's ping is a ping too";
}

TEST_F(JsonUdpConnectTest, LargeAttachmentTravelsAsLeaderAndSegments) {
    Endpoint& e = Make();
    auto msg = std::make_shared<JsonMsgIdle>();
    const std::vector<uint8_t> data = Pattern(3000);
    msg->Attachment = data;
    ASSERT_TRUE(e.connect->Send(msg, peer.Addr()).IsOk());

    Wire leader = Next(peer);
    ASSERT_TRUE(leader.Msg);
    EXPECT_EQ(leader.Msg->MsgId, msg->MsgId);
    EXPECT_NE(leader.Json.find(R"("att":3000)"), std::string::npos) << leader.Json;
    EXPECT_EQ(leader.BytesAfterText, 0u);
    ASSERT_TRUE(peer.SendTo(e.port, AckFor(leader.Msg->MsgId)));

    const size_t sizes[] = {1300, 1300, 400};
    std::vector<uint8_t> joined;
    for (uint32_t j = 0; j < 3; ++j) {
        Wire w = Next(peer);
        auto* seg = dynamic_cast<JsonMsgAtt*>(w.Msg.get());
        ASSERT_NE(seg, nullptr) << w.Json;
        EXPECT_EQ(seg->LeaderId, msg->MsgId);
        EXPECT_EQ(seg->SegmentNumber, j);
        EXPECT_EQ(seg->TotalSegments, 3u);
        EXPECT_EQ(seg->AttachmentSize, sizes[j]);
        joined.insert(joined.end(), seg->Attachment.begin(), seg->Attachment.end());
        // The user hears nothing before the last part is acknowledged.
        EXPECT_TRUE(e.recorder.Delivered().empty()) << "segment " << j;
        ASSERT_TRUE(peer.SendTo(e.port, AckFor(seg->MsgId)));
    }
    EXPECT_EQ(joined, data);
    ASSERT_TRUE(e.recorder.WaitForDelivered(1));
    std::this_thread::sleep_for(50ms);  // room for a wrong second delivery to show
    EXPECT_EQ(e.recorder.Delivered(), std::vector<JsonMsgPtr>{msg});
    EXPECT_EQ(e.connect->Statistics().MsgSent, 4u);
    EXPECT_EQ(e.connect->Statistics().RepeatMsgSent, 0u);
    EXPECT_TRUE(e.recorder.Errors().empty());
}

TEST_F(JsonUdpConnectTest, ZeroAttachmentLimitSendsTheAttachmentWhole) {
    JsonUdpConnectParams params;
    params.MsgMaxAttachmentBytes = 0;
    Endpoint& e = Make(params);
    auto msg = std::make_shared<JsonMsgIdle>();
    msg->Attachment = Pattern(10);
    ASSERT_TRUE(e.connect->Send(msg, peer.Addr()).IsOk());
    Wire w = Next(peer);
    ASSERT_TRUE(w.Msg);
    EXPECT_EQ(w.Msg->MsgId, msg->MsgId);
    EXPECT_EQ(w.Msg->Attachment, Pattern(10));
    EXPECT_EQ(w.BytesAfterText, 10u);
    ASSERT_TRUE(peer.SendTo(e.port, AckFor(msg->MsgId)));
    ASSERT_TRUE(e.recorder.WaitForDelivered(1));
}

TEST_F(JsonUdpConnectTest, SegmentsAreCollectedIntoOneMessage) {
    Endpoint& e = Make();
    const std::vector<uint8_t> data = Pattern(3000);
    auto part = [&](size_t from, size_t n) { return std::string(data.begin() + from, data.begin() + from + n); };
    ASSERT_TRUE(peer.SendTo(e.port, Idle(10, 3000)));
    ASSERT_TRUE(peer.SendTo(e.port, Segment(11, 10, 0, 3, part(0, 1300), 1300)));
    ASSERT_TRUE(peer.SendTo(e.port, Segment(12, 10, 1, 3, part(1300, 1300), 1300)));
    ASSERT_TRUE(peer.SendTo(e.port, Segment(13, 10, 2, 3, part(2600, 400), 400)));

    for (uint32_t id = 10; id <= 13; ++id) {
        Wire ack = Next(peer);
        ASSERT_TRUE(ack.Msg);
        EXPECT_EQ(ack.Msg->MsgType, L"ack");
        EXPECT_EQ(ack.Msg->AckMsgId, id);
    }
    ASSERT_TRUE(e.recorder.WaitForReceived(1));
    const auto got = e.recorder.ReceivedMsgs();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].Msg->MsgId, 10u);
    EXPECT_EQ(got[0].Msg->AttachmentSize, 3000u);
    EXPECT_EQ(got[0].Msg->Attachment, data);
    EXPECT_EQ(got[0].From, peer.Addr());
    EXPECT_EQ(e.connect->Statistics().MsgReceived, 4u);
}

// Each case sends a leader of 2000 declared bytes and then the listed datagrams; none of them
// may deliver the collection. A plain message afterwards must come through on its own.
TEST_F(JsonUdpConnectTest, BrokenCollectionsAreAbandoned) {
    const std::string k1000(1000, 'k');
    struct Case {
        const char* name;
        std::vector<std::string> after;
    };
    const Case cases[] = {
        {"segment missing", {Segment(2, 1, 0, 2, k1000, 1000) /* 1 missing */, Segment(3, 1, 2, 3, k1000, 1000)}},
        {"segment too large", {Segment(2, 1, 0, 2, k1000 + k1000 + "k", 2001)}},
        {"segment cut short", {Segment(2, 1, 0, 2, "kk", 1000)}},
        {"message interleaved", {Segment(2, 1, 0, 2, k1000, 1000), Idle(3), Segment(4, 1, 1, 2, k1000, 1000)}},
        {"too few bytes in all", {Segment(2, 1, 0, 2, k1000, 1000), Segment(3, 1, 1, 2, "k", 1)}},
        {"segment without leader", {}},
    };
    uint32_t base = 1000;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UdpPeer p;
        Endpoint& e = Make();
        std::vector<std::string> all;
        if (std::string(c.name) == "segment without leader")
            all.push_back(Segment(base + 1, base, 0, 1, "x", 1));
        else
            all.push_back(Idle(base, 2000));
        for (const std::string& d : c.after) all.push_back(d);
        all.push_back(Idle(base + 50));
        for (const std::string& d : all) ASSERT_TRUE(p.SendTo(e.port, d));
        for (size_t i = 0; i < all.size(); ++i) ASSERT_TRUE(p.Receive()) << "ack " << i;
        ASSERT_TRUE(e.recorder.WaitForReceived(1));
        std::this_thread::sleep_for(50ms);
        const auto got = e.recorder.ReceivedMsgs();
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].Msg->MsgId, base + 50);
        base += 1000;
    }
}

TEST_F(JsonUdpConnectTest, ImmediateRepeatIsAcknowledgedButDeliveredOnce) {
    Endpoint& e = Make();
    UdpPeer other;
    // Same id twice from peer (a duplicate), then from another sender (not one), then another
    // message and the first id again: only the immediately preceding message is remembered.
    const std::vector<std::pair<UdpPeer*, uint32_t>> sends = {
        {&peer, 7}, {&peer, 7}, {&other, 7}, {&peer, 8}, {&peer, 7}};
    for (const auto& [from, id] : sends) {
        ASSERT_TRUE(from->SendTo(e.port, Idle(id)));
        Wire ack = Next(*from);  // one acknowledgement per datagram, duplicates included
        ASSERT_TRUE(ack.Msg);
        EXPECT_EQ(ack.Msg->AckMsgId, id);
    }
    ASSERT_TRUE(e.recorder.WaitForReceived(4));
    std::this_thread::sleep_for(50ms);
    const auto got = e.recorder.ReceivedMsgs();
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0].Msg->MsgId, 7u);
    EXPECT_EQ(got[1].From, other.Addr());
    EXPECT_EQ(got[2].Msg->MsgId, 8u);
    EXPECT_EQ(got[3].Msg->MsgId, 7u);
    const ConnectionStatistic s = e.connect->Statistics();
    EXPECT_EQ(s.MsgReceived, 4u);
    EXPECT_EQ(s.DupMsgReceived, 1u);
    EXPECT_EQ(s.RepeatAckSent, 1u);
}

TEST_F(JsonUdpConnectTest, AcknowledgementsForNothingAreCounted) {
    Endpoint& e = Make();
    ASSERT_TRUE(peer.SendTo(e.port, AckFor(12345)));
    ASSERT_TRUE(peer.SendTo(e.port, AckFor(0)));
    // An acknowledgement is never itself acknowledged; the idle after it shows both were seen.
    ASSERT_TRUE(peer.SendTo(e.port, Idle(5)));
    Wire w = Next(peer);
    ASSERT_TRUE(w.Msg);
    EXPECT_EQ(w.Msg->AckMsgId, 5u);
    ASSERT_TRUE(e.recorder.WaitForReceived(1));
    const ConnectionStatistic s = e.connect->Statistics();
    EXPECT_EQ(s.DupAckReceived, 2u);
    EXPECT_EQ(s.MsgSent, 0u);
    EXPECT_TRUE(e.recorder.Delivered().empty());
}

// The one test of the keep-alive timing.
TEST_F(JsonUdpConnectTest, QuietLineGetsPingsAndTrafficPostponesThem) {
    JsonUdpConnectParams params;
    params.Ping = true;
    params.PingTimeout = 1000;
    Endpoint& e = Make(params, false);
    e.info.ManagerInfo.DefaultSendAddr = peer.Addr();
    const auto started = Clock::now();
    ASSERT_NE(e.StartOnLoopback(), 0);

    Wire ping = Next(peer);
    EXPECT_GE(Clock::now() - started, 900ms);
    ASSERT_TRUE(ping.Msg);
    EXPECT_EQ(ping.Msg->MsgType, L"ping");
    ASSERT_TRUE(peer.SendTo(e.port, AckFor(ping.Msg->MsgId)));
    ASSERT_TRUE(e.recorder.WaitForDelivered(1));
    EXPECT_EQ(e.recorder.Delivered()[0]->MsgType, L"ping");

    // Traffic every 400 ms for a while: no ping in between; the next one comes a full
    // timeout after the last message.
    Clock::time_point last;
    for (uint32_t id = 1; id <= 4; ++id) {
        std::this_thread::sleep_for(400ms);
        last = Clock::now();  // before the send: a late reader here can only shorten the wait seen
        ASSERT_TRUE(peer.SendTo(e.port, Idle(id)));
        Wire w = Next(peer);
        ASSERT_TRUE(w.Msg);
        EXPECT_EQ(w.Msg->MsgType, L"ack") << "no ping while the line is busy";
    }
    ping = Next(peer);
    EXPECT_GE(Clock::now() - last, 900ms);
    ASSERT_TRUE(ping.Msg);
    EXPECT_EQ(ping.Msg->MsgType, L"ping");
    const ConnectionStatistic s = e.connect->Statistics();
    EXPECT_EQ(s.PingSent, 2u);
    EXPECT_EQ(s.PingAckReceived, 1u);
}

// A dead line with a ping timeout shorter than the give-up time must not pile up pings.
TEST_F(JsonUdpConnectTest, PingsDoNotPileUpOnADeadLine) {
    JsonUdpConnectParams params;
    params.Ping = true;
    params.PingTimeout = 1;
    params.MsgTimeoutMs = 20;
    Endpoint& e = Make(params, false);
    e.info.ManagerInfo.DefaultSendAddr = peer.Addr();
    ASSERT_NE(e.StartOnLoopback(), 0);
    ASSERT_TRUE(e.recorder.WaitForErrors(3));
    e.connect->Stop();
    const ConnectionStatistic s = e.connect->Statistics();
    const size_t errors = e.recorder.Errors().size();
    // Each ping is queued only after the previous one was given up (or delivered).
    EXPECT_LE(s.PingSent, errors + 1);
}

TEST_F(JsonUdpConnectTest, TwoConnectionsTalkEndToEnd) {
    Endpoint& a = Make();
    Endpoint& b = Make();
    auto request = std::make_shared<JsonMsgError>();
    request->Code = 42;
    request->Txt = L"hello";
    request->Attachment = Pattern(5000);
    const std::vector<uint8_t> data = request->Attachment;
    ASSERT_TRUE(a.connect->Send(request, b.Addr()).IsOk());

    ASSERT_TRUE(b.recorder.WaitForReceived(1));
    auto got = b.recorder.ReceivedMsgs()[0];
    auto* err = dynamic_cast<JsonMsgError*>(got.Msg.get());
    ASSERT_NE(err, nullptr);
    EXPECT_EQ(err->Code, 42u);
    EXPECT_EQ(err->Txt, L"hello");
    EXPECT_EQ(err->Attachment, data);
    EXPECT_EQ(got.From, a.Addr());

    auto answer = std::make_shared<JsonMsgOk>(request->MsgId);
    ASSERT_TRUE(b.connect->Send(answer, got.From).IsOk());
    ASSERT_TRUE(a.recorder.WaitForReceived(1));
    EXPECT_EQ(a.recorder.ReceivedMsgs()[0].Msg->AckMsgId, request->MsgId);
    ASSERT_TRUE(a.recorder.WaitForDelivered(1));
    ASSERT_TRUE(b.recorder.WaitForDelivered(1));
    EXPECT_EQ(a.recorder.Delivered(), std::vector<JsonMsgPtr>{request});
    EXPECT_EQ(b.recorder.Delivered(), std::vector<JsonMsgPtr>{answer});
    EXPECT_EQ(a.connect->Statistics().MsgSent, 5u);  // leader and four segments
    EXPECT_EQ(b.connect->Statistics().MsgReceived, 5u);
    EXPECT_TRUE(a.recorder.Errors().empty());
    EXPECT_TRUE(b.recorder.Errors().empty());
}


// Notes the calls it gets and whether two of them ever overlapped; optionally answers every
// received message from inside the callback, as a device's handler does.
class OverlapChecker : public IJsonUdpReceiver {
public:
    explicit OverlapChecker(bool answer) : _answer(answer) {}

    void OnMsgDelivered(IJsonUdpManager*, const JsonMsgPtr& msg) override {
        Enter();
        Record(_delivered, msg->MsgId);
        Leave();
    }
    void OnMsgReceived(IJsonUdpManager* connection, const JsonMsgPtr& msg, const SockAddr& from) override {
        Enter();
        if (_answer) {
            EXPECT_TRUE(static_cast<IJsonUdpConnect*>(connection)->Send(std::make_shared<JsonMsgOk>(msg->MsgId), from).IsOk());
        }
        Record(_received, _answer ? msg->MsgId : msg->AckMsgId);
        Leave();
    }
    void OnError(IJsonUdpManager*, ErrInfo err) override {
        ADD_FAILURE() << Narrow(FirstLine(err));
        err.Silent();
    }

    bool WaitFor(size_t delivered, size_t received) {
        std::unique_lock<std::mutex> lock(_mutex);
        return _changed.wait_for(lock, SafetyNet,
                                 [&] { return _delivered.size() >= delivered && _received.size() >= received; });
    }
    std::vector<uint32_t> Delivered() {
        std::lock_guard<std::mutex> lock(_mutex);
        return _delivered;
    }
    std::vector<uint32_t> Received() {
        std::lock_guard<std::mutex> lock(_mutex);
        return _received;
    }
    std::set<std::thread::id> Threads() {
        std::lock_guard<std::mutex> lock(_mutex);
        return _threads;
    }
    bool Overlapped() const { return _overlapped; }

private:
    void Enter() {
        if (_inside.exchange(true)) _overlapped = true;
        std::lock_guard<std::mutex> lock(_mutex);
        _threads.insert(std::this_thread::get_id());
    }
    void Leave() { _inside = false; }
    void Record(std::vector<uint32_t>& to, uint32_t id) {
        std::lock_guard<std::mutex> lock(_mutex);
        to.push_back(id);
        _changed.notify_all();
    }

    const bool _answer;
    std::atomic<bool> _inside{false};
    std::atomic<bool> _overlapped{false};
    std::mutex _mutex;
    std::condition_variable _changed;
    std::vector<uint32_t> _delivered;     // guarded by _mutex
    std::vector<uint32_t> _received;      // guarded by _mutex
    std::set<std::thread::id> _threads;   // guarded by _mutex
};

// Only the order of one thread's own messages is defined.
std::vector<uint32_t> OnlyThese(const std::vector<uint32_t>& all, const std::vector<uint32_t>& these) {
    const std::set<uint32_t> wanted(these.begin(), these.end());
    std::vector<uint32_t> out;
    for (uint32_t id : all)
        if (wanted.count(id) != 0) out.push_back(id);
    return out;
}

TEST_F(JsonUdpConnectTest, ConcurrentSendersKeepTheirOrderAndCallbacksNeverOverlap) {
    OverlapChecker caller(false), answerer(true);
    Endpoint& a = Make({}, false);
    Endpoint& b = Make({}, false);
    a.info.ManagerInfo.Receiver = &caller;
    b.info.ManagerInfo.Receiver = &answerer;
    ASSERT_NE(a.StartOnLoopback(), 0);
    ASSERT_NE(b.StartOnLoopback(), 0);

    constexpr size_t PerThread = 150;
    std::vector<uint32_t> sent[2];
    std::thread::id senders[2];
    auto sendAll = [&](int t) {
        senders[t] = std::this_thread::get_id();
        for (size_t i = 0; i < PerThread; ++i) {
            auto msg = std::make_shared<JsonMsgIdle>();
            sent[t].push_back(msg->MsgId);
            ASSERT_TRUE(a.connect->Send(msg, b.Addr()).IsOk());
        }
    };
    std::thread first(sendAll, 0), second(sendAll, 1);
    first.join();
    second.join();

    ASSERT_TRUE(answerer.WaitFor(2 * PerThread, 2 * PerThread));
    ASSERT_TRUE(caller.WaitFor(2 * PerThread, 2 * PerThread));
    for (int t = 0; t < 2; ++t) {
        EXPECT_EQ(OnlyThese(answerer.Received(), sent[t]), sent[t]);  // on the wire in order
        EXPECT_EQ(OnlyThese(caller.Delivered(), sent[t]), sent[t]);   // confirmed in order
        std::vector<uint32_t> answered = OnlyThese(caller.Received(), sent[t]);
        EXPECT_EQ(answered, sent[t]);  // every answer once
        EXPECT_EQ(caller.Threads().count(senders[t]), 0u);  // never on a thread inside Send
    }
    EXPECT_FALSE(caller.Overlapped());
    EXPECT_FALSE(answerer.Overlapped());
    // Acknowledgements are matched: a busy test machine that holds a thread for 300 ms may cost a
    // repeat or two (one message is outstanding at a time), a missed acknowledgement per message
    // would show hundreds.
    EXPECT_LT(a.connect->Statistics().RepeatMsgSent + b.connect->Statistics().RepeatMsgSent, 20u);
    a.connect->Stop();  // before the receivers go
    b.connect->Stop();
}

} // namespace
