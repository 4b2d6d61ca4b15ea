// The emulated QM412's audio: "set_inputs" starts and stops one RTP stream per input, with the
// header, payload type and samples read here straight from the bytes.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "host_peer.h"

namespace {

using namespace emu_test;
using test_support::UdpPeer;

constexpr size_t PacketBytes = 12 + 192 * 6;

struct Rtp {
    explicit Rtp(const std::string& b) : Bytes(b) {}
    uint8_t Byte(size_t i) const { return static_cast<uint8_t>(Bytes.at(i)); }
    int Version() const { return Byte(0) >> 6; }
    uint16_t Sequence() const { return static_cast<uint16_t>(Byte(2) << 8 | Byte(3)); }
    uint32_t Timestamp() const { return uint32_t{Byte(4)} << 24 | uint32_t{Byte(5)} << 16 | uint32_t{Byte(6)} << 8 | Byte(7); }
    uint32_t Ssrc() const { return uint32_t{Byte(8)} << 24 | uint32_t{Byte(9)} << 16 | uint32_t{Byte(10)} << 8 | Byte(11); }
    // Sample of a channel (0 left, 1 right) in a frame: 24-bit big-endian, sign-extended.
    int32_t Sample(size_t frame, size_t channel) const {
        const size_t at = 12 + frame * 6 + channel * 3;
        const uint32_t raw = uint32_t{Byte(at)} << 16 | uint32_t{Byte(at + 1)} << 8 | Byte(at + 2);
        return static_cast<int32_t>(raw << 8) >> 8;
    }
    std::string Bytes;
};

Rtp NextPacket(const UdpPeer& peer) {
    auto d = peer.Receive();
    EXPECT_TRUE(d) << "no RTP packet";
    return Rtp(d ? d->Bytes : std::string(PacketBytes, '\0'));
}

std::string Dest(const UdpPeer& peer) { return "\"127.0.0.1:" + std::to_string(peer.Port()) + "\""; }

TEST(EmulatorRtp, StreamsEachInputToItsDestinationUntilSwitchedOff) {
    emu::Qm412Emulator device;
    ASSERT_TRUE(device.Start());
    Host host(device.Port());
    UdpPeer first, third;

    // A shorter list leaves the inputs it does not name as they are.
    const Datagram inputs = host.Ask("set_inputs", "inputs", ",\"inputs\":[" + Dest(first) + ",\"\"," + Dest(third) + "]");
    const std::vector<std::string> expected = {"127.0.0.1:" + std::to_string(first.Port()), "",
                                               "127.0.0.1:" + std::to_string(third.Port()), ""};
    EXPECT_EQ(device.Destinations(), expected);
    ASSERT_EQ(inputs.Body[L"inputs"].ArraySize(), 4u);
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(Utf8(inputs.Body[L"inputs"][i]), expected[i]);
    EXPECT_EQ(device.Counters().SetInputsSeen, 1u);

    for (const UdpPeer* peer : {&first, &third}) {
        Rtp previous = NextPacket(*peer);
        for (int i = 0; i < 20; ++i) {
            Rtp packet = NextPacket(*peer);
            ASSERT_EQ(packet.Bytes.size(), PacketBytes);
            EXPECT_EQ(packet.Version(), 2);
            EXPECT_EQ(packet.Byte(0) & 0x3F, 0) << "no padding, extension or contributing sources";
            EXPECT_EQ(packet.Byte(1), 100) << "L24 stereo 48000 Hz, no marker";
            EXPECT_EQ(packet.Sequence(), static_cast<uint16_t>(previous.Sequence() + 1));
            EXPECT_EQ(packet.Timestamp(), previous.Timestamp() + 192);
            EXPECT_EQ(packet.Ssrc(), previous.Ssrc());
            previous = packet;
        }
    }
    EXPECT_NE(NextPacket(first).Ssrc(), NextPacket(third).Ssrc());

    host.Ask("set_inputs", "inputs", R"(,"inputs":["off","","off"])");
    EXPECT_EQ(device.Destinations(), std::vector<std::string>(4));
    // The packet of a tick already under way may still leave; after that, nothing.
    std::this_thread::sleep_for(50ms);
    const auto sent = device.Counters().RtpDatagrams;
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(device.Counters().RtpDatagrams, sent);
    EXPECT_EQ(sent[1], 0u);
    EXPECT_EQ(sent[3], 0u);
    EXPECT_GT(sent[0], 20u);
}

TEST(EmulatorRtp, PayloadTypeFollowsSampleRateAndAudioProtocol) {
    struct Case {
        uint32_t Rate;
        uint32_t AudioProtocol;
        uint8_t SecondByte;
    };
    const Case cases[] = {
        {48000, 2, 100},
        {44100, 2, 101},
        {48000, 1, 0xC8},  // legacy: 100 shifted left, read as marker 1 and type 72
        {44100, 1, 0xCA},
        {48000, 3, 100},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.Rate) + " Hz, protocol " + std::to_string(c.AudioProtocol));
        emu::EmulatorConfig config;
        config.SampleRate = c.Rate;
        config.AudioProtocol = c.AudioProtocol;
        config.Inputs = 1;
        emu::Qm412Emulator device(config);
        ASSERT_TRUE(device.Start());
        Host host(device.Port());
        UdpPeer audio;
        host.Ask("set_inputs", "inputs", ",\"inputs\":[" + Dest(audio) + "]");
        const Rtp packet = NextPacket(audio);
        EXPECT_EQ(packet.Byte(1), c.SecondByte);
        EXPECT_EQ(packet.Bytes.size(), PacketBytes);
    }
}

TEST(EmulatorRtp, StreamsNothingAtARateWithoutPayloadType) {
    emu::EmulatorConfig config;
    config.SampleRate = 32000;
    emu::Qm412Emulator device(config);
    ASSERT_TRUE(device.Start());
    Host host(device.Port());
    UdpPeer audio;
    host.Ask("set_inputs", "inputs", ",\"inputs\":[" + Dest(audio) + "]");
    EXPECT_FALSE(audio.Receive(100ms));
    EXPECT_EQ(device.Counters().RtpPackets[0], 0u);
}

TEST(EmulatorRtp, EachUnitPlaysTheToneItReports) {
    emu::Qm412Emulator device;
    ASSERT_TRUE(device.Start());
    Host host(device.Port());
    UdpPeer unit0, unit3;

    // Default units sound different, and a unit's pitch follows its tuned frequency.
    std::vector<double> pitches;
    for (uint32_t u = 0; u < device.NumUnits(); ++u) pitches.push_back(device.ToneOf(u).FrequencyHz);
    for (size_t a = 0; a < pitches.size(); ++a)
        for (size_t b = a + 1; b < pitches.size(); ++b) EXPECT_GT(std::abs(pitches[a] - pitches[b]), 20.0);
    EXPECT_DOUBLE_EQ(emu::ToneForFmFrequency(87500).FrequencyHz, 110.0);
    EXPECT_DOUBLE_EQ(emu::ToneForFmFrequency(92500).FrequencyHz, 220.0);

    host.Ask("set_inputs", "inputs", ",\"inputs\":[" + Dest(unit0) + ",\"\",\"\"," + Dest(unit3) + "]");
    for (uint32_t u : {0u, 3u}) {
        SCOPED_TRACE(u);
        const emu::Tone tone = device.ToneOf(u);
        const Rtp first = NextPacket(u == 0 ? unit0 : unit3);  // a stream starts at phase 0
        for (size_t frame : {0u, 1u, 17u, 191u}) {
            const double phase = std::fmod(frame * tone.FrequencyHz / 48000.0, 1.0);
            const double left = tone.LeftAmplitude * std::sin(2 * M_PI * phase) * 8388607.0;
            const double right = tone.RightAmplitude * std::sin(2 * M_PI * phase) * 8388607.0;
            EXPECT_NEAR(first.Sample(frame, 0), left, 2.0) << "frame " << frame;
            EXPECT_NEAR(first.Sample(frame, 1), right, 2.0) << "frame " << frame;
        }
    }
}

} // namespace
