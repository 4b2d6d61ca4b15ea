// The RTP configuration records: defaults, transport validity and equality, the two Init forms,
// and the manager record's checks in their order.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "rtp/IRtp.h"

namespace {

using Network::PacketPipeManager;
using Network::RtpManagerInfo;
using Network::RtpPayloadType;
using Network::RtpRecvChanInfo;
using Network::RtpSendChanInfo;
using Network::RtpTransportInfo;
using Network::SockAddr;

// Never dereferenced: the records only carry the pointer.
PacketPipeManager* FakePipe() {
    static int object;
    return reinterpret_cast<PacketPipeManager*>(&object);
}

TEST(RtpConfig, DefaultsAreThoseTheManagerExpects) {
    const RtpSendChanInfo send;
    EXPECT_FALSE(send.IpAddr.IsSet());
    EXPECT_FALSE(send.IpAddr2.IsSet());
    EXPECT_TRUE(send.RtpTransportInfo::SendModeSync);
    EXPECT_EQ(send.RtpTransportInfo::SendQueueLen, 100u);
    EXPECT_FALSE(send.EnablePacketPipe);
    EXPECT_EQ(send.PacketPipeMan, nullptr);
    EXPECT_TRUE(send.PacketPipeId.empty());
    EXPECT_EQ(send.Delay, 5u);
    EXPECT_EQ(send.DelayMax, 9u);
    EXPECT_EQ(send.GetPayloadType(), RtpPayloadType::INVALID);
    EXPECT_TRUE(send.SendModeSync);
    EXPECT_EQ(send.SendQueueLen, 100u);
    EXPECT_EQ(send.PacketSmplSize, 0u);

    const RtpManagerInfo manager;
    EXPECT_EQ(manager.RecvDelayMax, 9u);
    EXPECT_EQ(manager.RecvDelay, 5u);
    EXPECT_TRUE(manager.RecvChans.empty() && manager.SendChans.empty());
    EXPECT_FALSE(manager.ReconnectSockets);

    RtpRecvChanInfo recv;
    recv.SetPayloadType(RtpPayloadType::AUDIO_L24_2_48000);
    EXPECT_EQ(recv.GetPayloadType(), RtpPayloadType::AUDIO_L24_2_48000);
}

TEST(RtpConfig, TransportValidity) {
    struct Case {
        const char* name;
        bool pipe;
        PacketPipeManager* manager;
        const wchar_t* id;
        bool addr, addr2;
        bool valid;
    };
    const Case cases[] = {
        {"nothing", false, nullptr, L"", false, false, false},
        {"first address", false, nullptr, L"", true, false, true},
        {"second address only", false, nullptr, L"", false, true, true},
        {"pipe fields without the switch", false, FakePipe(), L"p", false, false, false},
        {"pipe complete", true, FakePipe(), L"p", false, false, true},
        {"pipe without id", true, FakePipe(), L"", true, true, false},
        {"pipe without manager", true, nullptr, L"p", true, false, false},
    };
    for (const Case& c : cases) {
        RtpTransportInfo info;
        info.EnablePacketPipe = c.pipe;
        info.PacketPipeMan = c.manager;
        info.PacketPipeId = c.id;
        if (c.addr) info.IpAddr.Set("127.0.0.1", 5004);
        if (c.addr2) info.IpAddr2.Set("127.0.0.2", 5004);
        EXPECT_EQ(info.IsValid(), c.valid) << c.name;
    }
}

TEST(RtpConfig, TransportEqualityIgnoresTheSendQueueSettings) {
    struct Change {
        const char* name;
        std::function<void(RtpTransportInfo&)> apply;
        bool equal;
    };
    const Change changes[] = {
        {"IpAddr", [](RtpTransportInfo& i) { i.IpAddr.Set("127.0.0.1", 6000); }, false},
        {"IpAddr2", [](RtpTransportInfo& i) { i.IpAddr2.Set("127.0.0.1", 5004); }, false},
        {"Delay", [](RtpTransportInfo& i) { i.Delay = 6; }, false},
        {"DelayMax", [](RtpTransportInfo& i) { i.DelayMax = 10; }, false},
        {"EnablePacketPipe", [](RtpTransportInfo& i) { i.EnablePacketPipe = true; }, false},
        {"PacketPipeId", [](RtpTransportInfo& i) { i.PacketPipeId = L"x"; }, false},
        {"PacketPipeMan", [](RtpTransportInfo& i) { i.PacketPipeMan = FakePipe(); }, false},
        {"SendModeSync", [](RtpTransportInfo& i) { i.SendModeSync = false; }, true},
        {"SendQueueLen", [](RtpTransportInfo& i) { i.SendQueueLen = 1; }, true},
    };
    RtpTransportInfo base;
    base.Init(L"127.0.0.1", L"", 5004);
    for (const Change& c : changes) {
        RtpTransportInfo other = base;
        c.apply(other);
        EXPECT_EQ(base == other, c.equal) << c.name;
        EXPECT_EQ(base != other, !c.equal) << c.name;
    }
}

TEST(RtpConfig, InitSelectsAddressesOrThePipe) {
    RtpTransportInfo info;
    info.Init(FakePipe(), L"pipe-1");
    EXPECT_TRUE(info.EnablePacketPipe);
    EXPECT_EQ(info.PacketPipeMan, FakePipe());
    EXPECT_EQ(info.PacketPipeId, L"pipe-1");
    EXPECT_TRUE(info.IsValid());

    info.Init(L"127.0.0.1", L"127.0.0.2", 5006);
    EXPECT_EQ(info.IpAddr, SockAddr("127.0.0.1", 5006));
    EXPECT_EQ(info.IpAddr2, SockAddr("127.0.0.2", 5006));
    EXPECT_FALSE(info.EnablePacketPipe);
    EXPECT_EQ(info.PacketPipeMan, nullptr);

    info.Init(L"127.0.0.3", L"", 5008);  // no second address: a previous one is cleared
    EXPECT_EQ(info.IpAddr, SockAddr("127.0.0.3", 5008));
    EXPECT_FALSE(info.IpAddr2.IsSet());

    info.Init(L"not an address", L"", 5008);
    EXPECT_FALSE(info.IsValid());

    info.Init(FakePipe(), L"pipe-2");
    EXPECT_FALSE(info.IpAddr.IsSet());
    EXPECT_FALSE(info.IpAddr2.IsSet());
}

TEST(RtpConfig, ManagerInfoReportsTheFirstMissingValue) {
    struct Case {
        uint32_t freq, samples;
        const wchar_t* error;  // null: valid
    };
    const Case cases[] = {
        {0, 0, L"SampleFreq con not be 0"},
        {0, 192, L"SampleFreq con not be 0"},
        {48000, 0, L"PacketSmplSize rate con not be 0"},
        {48000, 192, nullptr},
    };
    for (const Case& c : cases) {
        RtpManagerInfo info;
        info.SampleFreq = c.freq;
        info.PacketSmplSize = c.samples;
        ErrInfo err = info.IsValid();
        err.Silent();
        EXPECT_EQ(err.IsOk(), c.error == nullptr) << c.freq << "/" << c.samples;
        if (c.error) {
            EXPECT_EQ(err.GetErrorStr(), c.error);
        }
    }
}

} // namespace
