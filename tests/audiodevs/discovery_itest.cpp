// The device search on 127.0.0.1 against plain POSIX peers that play the devices: they see the
// "dev_find" on the wire and answer with hand-written datagrams. Each search listens for 3 s, so
// one search carries many answers.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <optional>
#include <string>

#include "audiodevs/IOstrelDevice.h"
#include "protocol/JsonMsgAsioDriver.h"
#include "support/udp_loopback.h"

namespace {

using namespace Ostrel;
using Network::JsonMsg;
using Network::SockAddr;
using test_support::FreeLoopbackPort;
using test_support::UdpPeer;
using namespace std::chrono_literals;

std::unique_ptr<JsonMsg> Decode(const std::string& bytes) {
    Network::Packet packet(bytes.size());
    packet.SetDataSize(bytes.size());
    std::memcpy(packet.GetDataPtr(), bytes.data(), bytes.size());
    return JsonMsg::Create(packet, Network::GetAsioDriverJsonMsgFactory());
}

std::string Datagram(const std::string& json) { return json + '\0'; }

struct Description {
    std::string UnitId;
    std::string UnitType;
    uint32_t Hardware, Firmware, Software, AudioProtocol, ControlProtocol, RtpPort, Inputs, Outputs;
};

std::string DevInfo(uint32_t msgId, const Description& d) {
    return Datagram(R"({"audio_protocol":)" + std::to_string(d.AudioProtocol) +
                    R"(,"control_protocol":)" + std::to_string(d.ControlProtocol) +
                    R"(,"firmware":)" + std::to_string(d.Firmware) + R"(,"hardware":)" + std::to_string(d.Hardware) +
                    R"(,"inputs":)" + std::to_string(d.Inputs) + R"(,"msg":"dev_info","msg_id":)" +
                    std::to_string(msgId) + R"(,"outputs":)" + std::to_string(d.Outputs) + R"(,"rtp_port":)" +
                    std::to_string(d.RtpPort) + R"(,"software":)" + std::to_string(d.Software) +
                    R"(,"unit_id":")" + d.UnitId + R"(","unit_type":")" + d.UnitType + R"("})");
}

// Waits for the datagram that acknowledges msgId; true when it came.
bool AckArrives(const UdpPeer& peer, uint32_t msgId) {
    const auto datagram = peer.Receive();
    if (!datagram) return false;
    const auto msg = Decode(datagram->Bytes);
    return msg && msg->MsgType == L"ack" && msg->AckMsgId == msgId;
}

// Waits for the search message; the port it came from, or 0 when it was something else.
uint16_t ReceiveDevFind(const UdpPeer& peer) {
    const auto datagram = peer.Receive();
    if (!datagram) return 0;
    const auto msg = Decode(datagram->Bytes);
    const bool ok = msg && dynamic_cast<Network::JsonMsgDevFind*>(msg.get()) != nullptr &&
                    datagram->Bytes.back() == '\0' && datagram->Bytes.find('\0') == datagram->Bytes.size() - 1;
    return ok ? datagram->FromPort : 0;
}

void ExpectEntry(const DeviceInfoEx& entry, const Description& d, const SockAddr& from) {
    EXPECT_EQ(entry.UnitId, std::wstring(d.UnitId.begin(), d.UnitId.end()));
    EXPECT_EQ(entry.HardwareVersion, d.Hardware);
    EXPECT_EQ(entry.FirmwareVersion, d.Firmware);
    EXPECT_EQ(entry.SoftwareVersion, d.Software);
    EXPECT_EQ(entry.AudioProtocolVersion, d.AudioProtocol);
    EXPECT_EQ(entry.ControlProtocolVersion, d.ControlProtocol);
    EXPECT_EQ(entry.PeerRtpPort, d.RtpPort);
    EXPECT_EQ(entry.NumInputs, d.Inputs);
    EXPECT_EQ(entry.NumOutputs, d.Outputs);
    EXPECT_EQ(entry.SampleFreq, 0u);
    EXPECT_EQ(entry.UnitIpAddress, from) << entry.UnitIpAddress.ToString();
}

// Two devices answer one search to the first one's address. Every answer is acknowledged before
// the next leaves, so the arrival order is the order below.
TEST(Discovery, ListsEveryDescriptionInArrivalOrderAndNothingElse) {
    UdpPeer a, b;
    const uint16_t hostPort = FreeLoopbackPort();
    ASSERT_NE(hostPort, 0);
    const Description a1{"A-1", "QM412", 4, 3, 2, 1, 5, 5004, 4, 0};
    const Description a2{"A-2", "QM268", 7, 8, 9, 10, 11, 6000, 2, 2};
    const Description b1{"B-1", "QM5", 1, 1, 1, 1, 1, 7000, 0, 0};

    DevicesList found;
    auto search = std::async(std::launch::async, [&] {
        return FindActiveDevices(SockAddr("127.0.0.1", hostPort), a.Addr(), found);
    });

    ASSERT_EQ(ReceiveDevFind(a), hostPort);
    ASSERT_TRUE(a.SendTo(hostPort, DevInfo(101, a1)));
    ASSERT_TRUE(AckArrives(a, 101));
    ASSERT_TRUE(b.SendTo(hostPort, DevInfo(201, b1)));
    ASSERT_TRUE(AckArrives(b, 201));
    // Other kinds are acknowledged but are no descriptions.
    ASSERT_TRUE(a.SendTo(hostPort, Datagram(R"({"msg":"idle","msg_id":102})")));
    ASSERT_TRUE(AckArrives(a, 102));
    ASSERT_TRUE(b.SendTo(hostPort, Datagram(R"({"device_freq":48000,"msg":"state","msg_id":203})")));
    ASSERT_TRUE(AckArrives(b, 203));
    // A description without its "outputs" is no message at all: not acknowledged, not listed.
    ASSERT_TRUE(a.SendTo(hostPort, Datagram(R"({"msg":"dev_info","msg_id":103,"unit_id":"bad"})")));
    // The same device again under a new identifier is a new entry...
    ASSERT_TRUE(a.SendTo(hostPort, DevInfo(104, a2)));
    ASSERT_TRUE(AckArrives(a, 104));
    // ...but its repeat of the same message is a duplicate, acknowledged again and dropped.
    ASSERT_TRUE(a.SendTo(hostPort, DevInfo(104, a2)));
    ASSERT_TRUE(AckArrives(a, 104));
    // An identical description under a new identifier is not merged with the earlier one.
    ASSERT_TRUE(b.SendTo(hostPort, DevInfo(204, b1)));
    ASSERT_TRUE(AckArrives(b, 204));

    ErrInfo result = search.get();
    ASSERT_TRUE(result.IsOk()) << result.GetErrorText();
    ASSERT_EQ(found.size(), 4u);
    ExpectEntry(found[0], a1, a.Addr());
    ExpectEntry(found[1], b1, b.Addr());
    ExpectEntry(found[2], a2, a.Addr());
    ExpectEntry(found[3], b1, b.Addr());
    // Only the first device was searched for.
    EXPECT_FALSE(b.Receive(0ms).has_value());
}

// Port 0 gives a socket that sends but never reads: the search goes out, the answer is lost.
TEST(Discovery, HostPortZeroSendsTheSearchAndFindsNothing) {
    UdpPeer device;
    DevicesList found(1);  // the search replaces the list, also with an empty one
    auto search = std::async(std::launch::async,
                             [&] { return FindActiveDevices(SockAddr("127.0.0.1", 0), device.Addr(), found); });

    const uint16_t from = ReceiveDevFind(device);
    ASSERT_NE(from, 0);
    ASSERT_TRUE(device.SendTo(from, DevInfo(301, {"C-1", "QM412", 1, 1, 1, 1, 1, 5004, 4, 0})));

    ErrInfo result = search.get();
    EXPECT_TRUE(result.IsOk());
    EXPECT_TRUE(found.empty());
    EXPECT_FALSE(device.Receive(0ms).has_value()) << "the answer was read and acknowledged";
}

TEST(Discovery, FailedSearchReturnsItsErrorAndLeavesTheListAlone) {
    UdpPeer device;
    UdpPeer holder;  // keeps its port, so the search cannot bind it
    const uint16_t freePort = FreeLoopbackPort();
    ASSERT_NE(freePort, 0);
    struct Case {
        const char* name;
        SockAddr host;
        SockAddr target;
        uint32_t code;       // the system's error code, when the system refused
        const wchar_t* text; // part of the first line otherwise
    } cases[] = {
        {"host port taken", holder.Addr(), device.Addr(), EADDRINUSE, L""},
        {"no search address", SockAddr("127.0.0.1", freePort), SockAddr(), 0, L"Bad send address"},
    };
    for (const Case& c : cases) {
        DeviceInfoEx kept;
        kept.UnitId = L"kept";
        DevicesList list{kept};
        ErrInfo result = FindActiveDevices(c.host, c.target, list);
        EXPECT_FALSE(result.IsOk()) << c.name;
        EXPECT_EQ(result.GetErrorCode(), c.code) << c.name;
        EXPECT_NE(test_support::FirstLine(result).find(c.text), std::wstring::npos) << c.name;
        result.Silent();
        ASSERT_EQ(list.size(), 1u) << c.name;
        EXPECT_EQ(list[0].UnitId, L"kept") << c.name;
    }
    EXPECT_FALSE(device.Receive(0ms).has_value());
}

} // namespace
