// The datagram manager on a running network manager, against a plain POSIX peer on 127.0.0.1:
// what a send puts on the wire and where, the send errors, what received datagrams become (good
// messages, device kinds, every kind of garbage), the log lines, restarts, and sending from the
// receiver's own callback while another thread stops the manager.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "diag/IEnvironment.h"
#include "protocol/IJsonUdpManager.h"
#include "protocol/JsonMsgAsioDriver.h"
#include "support/log_capture.h"
#include "support/udp_loopback.h"

namespace {

using namespace Network;
using namespace std::string_literals;
using test_support::FirstLine;
using test_support::UdpPeer;

constexpr auto SafetyNet = std::chrono::seconds(10);

// Records every call of the manager it serves; the waits block on a condition.
class Recorder : public IJsonUdpReceiver {
public:
    struct Received {
        JsonMsgPtr Msg;
        SockAddr From;
    };
    struct Error {
        std::wstring Text;  // first line
        uint32_t Code = 0;
    };

    // Runs on the service thread for each received message, before it is recorded.
    std::function<void(IJsonUdpManager*, const JsonMsgPtr&, const SockAddr&)> OnEach;

    void OnMsgDelivered(IJsonUdpManager*, const JsonMsgPtr& msg) override {
        std::lock_guard<std::mutex> lock(_mutex);
        _delivered.push_back(msg);
        _changed.notify_all();
    }
    void OnMsgReceived(IJsonUdpManager* manager, const JsonMsgPtr& msg, const SockAddr& from) override {
        if (OnEach) OnEach(manager, msg, from);
        std::lock_guard<std::mutex> lock(_mutex);
        _received.push_back({msg, from});
        _changed.notify_all();
    }
    void OnError(IJsonUdpManager*, ErrInfo err) override {
        Error e{FirstLine(err), err.GetErrorCode()};
        err.Silent();
        std::lock_guard<std::mutex> lock(_mutex);
        _errors.push_back(std::move(e));
        _changed.notify_all();
    }

    bool WaitForReceived(size_t count) {
        std::unique_lock<std::mutex> lock(_mutex);
        return _changed.wait_for(lock, SafetyNet, [&] { return _received.size() >= count; });
    }
    std::vector<Received> ReceivedMsgs() {
        std::lock_guard<std::mutex> lock(_mutex);
        return _received;
    }
    std::vector<JsonMsgPtr> Delivered() {
        std::lock_guard<std::mutex> lock(_mutex);
        return _delivered;
    }
    std::vector<Error> Errors() {
        std::lock_guard<std::mutex> lock(_mutex);
        return _errors;
    }

private:
    std::mutex _mutex;
    std::condition_variable _changed;
    std::vector<Received> _received;     // guarded by _mutex
    std::vector<JsonMsgPtr> _delivered;  // guarded by _mutex
    std::vector<Error> _errors;          // guarded by _mutex
};

// Vetoes the messages of one kind.
class VetoKind : public IJsonUdpSendProcessor {
public:
    explicit VetoKind(std::wstring kind) : _kind(std::move(kind)) {}
    bool BeforeSendMsg(IJsonUdpManager*, const JsonMsgPtr& msg) override { return msg->MsgType != _kind; }

private:
    std::wstring _kind;
};

std::string Text(const ErrInfo& err) {
    std::wstring line = FirstLine(err);
    return std::string(line.begin(), line.end());
}

bool StoppedUnderneath(const ErrInfo& err) {
    return Text(err) == "Bad socket" || Text(err) == "Invalid socket";
}

class JsonUdpManagerTest : public testing::Test {
protected:
    JsonUdpManagerTest() {
        netManager.reset(NetFactory::CreateNetManager(L"json-udp-itest", true, 1));
        manager = JsonUdpFactory::CreateJsonUdpManager(ComponentInfo("JsonUdpTest"), *netManager);
        info.Receiver = &recorder;
    }
    ~JsonUdpManagerTest() override {
        manager.reset();
        netManager.reset();
    }

    // Init and Start on 127.0.0.1 with a port the kernel handed out; a port taken in between
    // is replaced by another. Returns the bound port, 0 on failure.
    uint16_t StartOnLoopback() {
        for (int attempt = 0; attempt < 20; ++attempt) {
            const uint16_t port = test_support::FreeLoopbackPort();
            if (port == 0) return 0;
            info.RecvAddr = SockAddr("127.0.0.1", port);
            EXPECT_TRUE(manager->Init(info).IsOk());
            ErrInfo err = manager->Start();
            if (err.IsOk()) return port;
            const bool taken = err.GetErrorCode() == EADDRINUSE;
            err.Silent();
            if (!taken) return 0;
        }
        return 0;
    }

    static std::string Wire(const std::string& json) { return json + '\0'; }

    std::unique_ptr<INetManager> netManager;
    IJsonUdpManagerPtr manager;
    Recorder recorder;
    JsonUdpManagerInfo info;
    UdpPeer peer;
};

TEST_F(JsonUdpManagerTest, SendErrorsFollowTheManagersState) {
    auto ping = std::make_shared<JsonMsgPing>();
    EXPECT_FALSE(manager->IsStarted());
    EXPECT_EQ(Text(manager->SendDirect(ping, SockAddr())), "Bad socket");
    EXPECT_EQ(Text(manager->SendDirect(ping, peer.Addr())), "Bad socket");

    ASSERT_NE(StartOnLoopback(), 0);
    EXPECT_TRUE(manager->IsStarted());
    EXPECT_EQ(Text(manager->SendDirect(ping, SockAddr())), "Bad send address");

    auto big = std::make_shared<JsonMsgError>();
    big->Txt.assign(2000, L'x');
    EXPECT_EQ(Text(manager->SendDirect(big, peer.Addr())), "Can not deserialize msg. Packet too small");

    // Port 0 is refused by the system: the socket's error comes back and nothing is delivered.
    EXPECT_EQ(Text(manager->SendDirect(ping, SockAddr("127.0.0.1", 0))), "UDP socket: sendto() failed");

    manager->Stop();
    manager->Stop();
    EXPECT_FALSE(manager->IsStarted());
    EXPECT_EQ(Text(manager->SendDirect(ping, peer.Addr())), "Bad socket");
    EXPECT_EQ(Text(manager->SendDirect(nullptr, peer.Addr())), "Can not deserialize msg");
    EXPECT_TRUE(recorder.Delivered().empty());
}

TEST_F(JsonUdpManagerTest, SendGoesToTheGivenAddressElseTheDefault) {
    UdpPeer other;
    const uint16_t port = StartOnLoopback();
    ASSERT_NE(port, 0);
    ASSERT_TRUE(manager->SetDefaultSendAddr(peer.Addr()).IsOk());
    EXPECT_EQ(manager->GetDefaultSendAddr(), peer.Addr());

    auto toDefault = std::make_shared<JsonMsgOk>(3);
    toDefault->MsgId = 10;
    auto explicitly = std::make_shared<JsonMsgPing>();
    explicitly->MsgId = 11;
    ASSERT_TRUE(manager->SendDirect(toDefault, SockAddr()).IsOk());
    ASSERT_TRUE(manager->SendDirect(explicitly, other.Addr()).IsOk());

    auto d = peer.Receive();
    ASSERT_TRUE(d);
    EXPECT_EQ(d->Bytes, Wire(R"({"ack_msg_id":3,"msg":"ok","msg_id":10})"));
    EXPECT_EQ(d->FromPort, port) << "sent from the manager's own socket";
    d = other.Receive();
    ASSERT_TRUE(d);
    EXPECT_EQ(d->Bytes, Wire(R"({"msg":"ping","msg_id":11})"));

    const std::vector<JsonMsgPtr> delivered = recorder.Delivered();
    ASSERT_EQ(delivered.size(), 2u);
    EXPECT_EQ(delivered[0], toDefault);
    EXPECT_EQ(delivered[1], explicitly);
}

// The vetoed message is sent first: if it had gone out the peer would read it before the other.
TEST_F(JsonUdpManagerTest, VetoedSendSucceedsWithoutDatagramOrDelivery) {
    VetoKind veto(L"ping");
    info.SendProcessor = &veto;
    ASSERT_NE(StartOnLoopback(), 0);

    auto vetoed = std::make_shared<JsonMsgPing>();
    auto passed = std::make_shared<JsonMsgIdle>();
    passed->MsgId = 42;
    EXPECT_TRUE(manager->SendDirect(vetoed, peer.Addr()).IsOk());
    ASSERT_TRUE(manager->SendDirect(passed, peer.Addr()).IsOk());

    auto d = peer.Receive();
    ASSERT_TRUE(d);
    EXPECT_EQ(d->Bytes, Wire(R"({"msg":"idle","msg_id":42})"));
    EXPECT_EQ(recorder.Delivered(), std::vector<JsonMsgPtr>{passed});
}

TEST_F(JsonUdpManagerTest, ReceivedDatagramsBecomeMessagesWithTheirSender) {
    info.MsgFactory = GetAsioDriverJsonMsgFactory();
    const uint16_t port = StartOnLoopback();
    ASSERT_NE(port, 0);

    ASSERT_TRUE(peer.SendTo(port, Wire(R"({"msg":"ok","msg_id":7})")));
    ASSERT_TRUE(peer.SendTo(port, Wire(R"({"msg":"get_state","msg_id":5})")));
    ASSERT_TRUE(recorder.WaitForReceived(2));

    const auto received = recorder.ReceivedMsgs();
    ASSERT_EQ(received.size(), 2u);
    ASSERT_TRUE(dynamic_cast<JsonMsgOk*>(received[0].Msg.get()));
    EXPECT_EQ(received[0].Msg->MsgId, 7u);
    EXPECT_EQ(received[0].Msg->AckMsgId, 0u);
    EXPECT_EQ(received[0].From, peer.Addr());
    EXPECT_EQ(received[0].Msg->AddrFrom, peer.Addr());
    ASSERT_TRUE(dynamic_cast<JsonMsgGetState*>(received[1].Msg.get())) << "device kinds come from the factory";
    EXPECT_EQ(received[1].Msg->MsgId, 5u);
    EXPECT_TRUE(recorder.Errors().empty());
}

// Datagrams of a socket arrive in order: once the closing good message is in, every bad one
// before it has been handled.
TEST_F(JsonUdpManagerTest, EachUnreadableDatagramGivesOneErrorAndNoMessage) {
    const uint16_t port = StartOnLoopback();
    ASSERT_NE(port, 0);

    const std::string oversized = R"({"code":1,"msg":"error","msg_id":1,"txt":")" + std::string(2000, 'x') + "\"}";
    const std::vector<std::string> bad = {
        R"({"msg":"ok","msg_id":7})",                         // no terminating zero
        "x",                                                  // one byte
        "\0{\"msg\":\"ok\",\"msg_id\":7}\0"s,                 // leading zero
        Wire("not json"),
        Wire(R"({"msg":"ok","msg_id":7)"),                    // unfinished
        Wire(R"({"msg":"ok"})"),                              // no msg_id
        Wire(R"({"msg":5,"msg_id":7})"),                      // kind not a string
        Wire(R"({"msg":"","msg_id":7})"),
        Wire(R"({"msg":"ok","msg_id":4294967296})"),          // identifier out of range
        Wire(R"({"msg":"get_state","msg_id":7})"),            // device kind, no factory set
        Wire(R"(["msg","ok"])"),
        Wire("{\"msg\":\"ok\",\"msg_id\":7,\"x\":\"\xC3\x28\"}"),  // malformed UTF-8
        Wire(R"({"msg":"attach","msg_id":7,"leader_id":1})"), // segment fields missing
        Wire(oversized),                                      // cut by the packet size: no zero left
        std::string("\xFF\xFE\x00\x01\x00", 5),
    };
    for (const std::string& datagram : bad) ASSERT_TRUE(peer.SendTo(port, datagram));
    ASSERT_TRUE(peer.SendTo(port, Wire(R"({"msg":"ping","msg_id":99})")));
    ASSERT_TRUE(recorder.WaitForReceived(1));

    const auto errors = recorder.Errors();
    ASSERT_EQ(errors.size(), bad.size());
    for (const auto& e : errors) EXPECT_EQ(e.Text, L"Bad message received");
    const auto received = recorder.ReceivedMsgs();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].Msg->MsgId, 99u);
}

TEST_F(JsonUdpManagerTest, SocketErrorsReachTheReceiverUnchanged) {
    auto* asSocketReceiver = dynamic_cast<IUdpReceiver*>(manager.get());
    ASSERT_NE(asSocketReceiver, nullptr);
    ASSERT_TRUE(manager->Init(info).IsOk());
    asSocketReceiver->OnError(nullptr, MAKE_ERR_INFO().ApiError(ECONNREFUSED, "UDP socket: recv failed"));
    asSocketReceiver->OnClose(nullptr, MAKE_ERR_INFO().StrError("UDP socket closed").Silent());

    const auto errors = recorder.Errors();
    ASSERT_EQ(errors.size(), 1u) << "closing notices are not errors";
    EXPECT_EQ(errors[0].Text, L"UDP socket: recv failed");
    EXPECT_EQ(errors[0].Code, static_cast<uint32_t>(ECONNREFUSED));
}

TEST_F(JsonUdpManagerTest, MessagesAreLoggedBothWaysAtProcessDetailLevel) {
    IDebugLogPtr log = Environment()->DebugLog();
    ASSERT_TRUE(log);
    const int previousLevel = log->SetLogLevel(4);
    {
        test_support::LogCapture capture(log);
        manager = JsonUdpFactory::CreateJsonUdpManager(ComponentInfo(), *netManager);
        const uint16_t port = StartOnLoopback();
        ASSERT_NE(port, 0);

        auto ping = std::make_shared<JsonMsgPing>();
        ping->MsgId = 21;
        ASSERT_TRUE(manager->SendDirect(ping, peer.Addr()).IsOk());
        ASSERT_TRUE(peer.SendTo(port, Wire(R"({"msg":"ok","msg_id":22})")));

        const std::wstring peerText = peer.Addr().ToString();
        EXPECT_TRUE(capture.WaitForMatching(L"JsonUdpManager: MSG: -> (" + peerText +
                                            LR"() ping : {"msg":"ping","msg_id":21})"));
        EXPECT_TRUE(capture.WaitForMatching(L"JsonUdpManager: MSG: <- (" + peerText +
                                            LR"() ok : {"msg":"ok","msg_id":22})"));
    }
    log->SetLogLevel(previousLevel);
}

TEST_F(JsonUdpManagerTest, StartFailureLeavesTheManagerStopped) {
    info.RecvAddr = peer.Addr();  // the peer holds this port
    ASSERT_TRUE(manager->Init(info).IsOk());
    ErrInfo err = manager->Start();
    EXPECT_NE(Text(err).find("bind() has failed"), std::string::npos) << Text(err);
    EXPECT_EQ(err.GetErrorCode(), static_cast<uint32_t>(EADDRINUSE));
    err.Silent();
    EXPECT_FALSE(manager->IsStarted());
}

// Init and Start stop a running manager first; after a restart datagrams flow again.
TEST_F(JsonUdpManagerTest, RestartOpensAFreshSocket) {
    ASSERT_NE(StartOnLoopback(), 0);
    ASSERT_TRUE(manager->Init(info).IsOk());
    EXPECT_FALSE(manager->IsStarted());

    const uint16_t port = StartOnLoopback();
    ASSERT_NE(port, 0);
    ASSERT_TRUE(manager->Start().IsOk()) << "the same port again: the old socket was closed first";
    ASSERT_TRUE(peer.SendTo(port, Wire(R"({"msg":"idle","msg_id":1})")));
    ASSERT_TRUE(recorder.WaitForReceived(1));
    ASSERT_TRUE(manager->SendDirect(std::make_shared<JsonMsgIdle>(), peer.Addr()).IsOk());
    EXPECT_TRUE(peer.Receive());
}

// The reliable layer answers from inside the receiver call; meanwhile another thread may stop
// the manager. Every send then goes out, finds no socket, or finds the socket it copied closed.
TEST_F(JsonUdpManagerTest, ReceiverMaySendFromItsCallbackWhileAnotherThreadStops) {
    recorder.OnEach = [](IJsonUdpManager* m, const JsonMsgPtr& msg, const SockAddr& from) {
        ErrInfo err = m->SendDirect(std::make_shared<JsonMsgAck>(msg->MsgId), from);
        if (!err.IsOk()) {
            EXPECT_TRUE(StoppedUnderneath(err)) << Text(err);
            err.Silent();
        }
    };
    const uint16_t port = StartOnLoopback();
    ASSERT_NE(port, 0);

    ASSERT_TRUE(peer.SendTo(port, Wire(R"({"msg":"ping","msg_id":31})")));
    auto ack = peer.Receive();
    ASSERT_TRUE(ack);
    EXPECT_NE(ack->Bytes.find(R"("ack_msg_id":31,"msg":"ack")"), std::string::npos) << ack->Bytes;

    std::atomic<bool> stop{false};
    std::thread sender([&] {
        while (!stop) {
            ErrInfo err = manager->SendDirect(std::make_shared<JsonMsgIdle>(), peer.Addr());
            if (!err.IsOk()) {
                EXPECT_TRUE(StoppedUnderneath(err)) << Text(err);
                err.Silent();
            }
        }
    });
    for (int i = 0; i < 50; ++i) ASSERT_TRUE(peer.SendTo(port, Wire(R"({"msg":"ping","msg_id":32})")));
    manager->Stop();
    stop = true;
    sender.join();
    EXPECT_FALSE(manager->IsStarted());
}

} // namespace
