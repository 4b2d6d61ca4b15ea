// Faults of the emulated QM412 come from its seed: the same seed and the same traffic give the
// same lost, duplicated and reordered datagrams, and the same garbage.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "host_peer.h"

namespace {

using namespace emu_test;
using test_support::UdpPeer;

uint16_t Sequence(const std::string& packet) {
    return static_cast<uint16_t>(static_cast<uint8_t>(packet.at(2)) << 8 | static_cast<uint8_t>(packet.at(3)));
}

// The sequence numbers of the first count datagrams input 0 sends with these faults.
std::vector<uint16_t> RtpArrivals(uint64_t seed, size_t count) {
    emu::EmulatorConfig config;
    config.Inputs = 1;
    config.Faults.Seed = seed;
    config.Faults.RtpLoss = 0.15;
    config.Faults.RtpDuplicate = 0.1;
    config.Faults.RtpSwap = 0.1;
    emu::Qm412Emulator device(config);
    EXPECT_TRUE(device.Start());
    Host host(device.Port());
    UdpPeer audio;
    host.Ask("set_inputs", "inputs", ",\"inputs\":[\"127.0.0.1:" + std::to_string(audio.Port()) + "\"]");
    std::vector<uint16_t> arrivals;
    while (arrivals.size() < count) {
        auto d = audio.Receive();
        if (!d) break;
        arrivals.push_back(Sequence(d->Bytes));
    }
    return arrivals;
}

TEST(EmulatorFaults, RtpLossDuplicatesAndSwapsRepeatForTheSameSeed) {
    const auto run1 = RtpArrivals(7, 120);
    const auto run2 = RtpArrivals(7, 120);
    const auto other = RtpArrivals(8, 120);
    ASSERT_EQ(run1.size(), 120u);
    EXPECT_EQ(run1, run2);
    EXPECT_NE(run1, other);

    // Every fault shows in the pattern: a gap, a repeat, a step backwards.
    bool gap = false, repeat = false, back = false;
    for (size_t i = 1; i < run1.size(); ++i) {
        const int16_t step = static_cast<int16_t>(run1[i] - run1[i - 1]);
        gap |= step > 1 && std::find(run1.begin(), run1.end(), static_cast<uint16_t>(run1[i - 1] + 1)) == run1.end();
        repeat |= step == 0;
        back |= step < 0;
    }
    EXPECT_TRUE(gap);
    EXPECT_TRUE(repeat);
    EXPECT_TRUE(back);
}

// The ids of count pings that the device acknowledged while dropping received datagrams.
std::set<int64_t> AckedPings(uint64_t seed, uint32_t count) {
    emu::EmulatorConfig config;
    config.Faults.Seed = seed;
    config.Faults.ControlDropIn = 0.5;
    emu::Qm412Emulator device(config);
    EXPECT_TRUE(device.Start());
    Host host(device.Port());
    for (uint32_t i = 0; i < count; ++i) host.Send("ping");
    EXPECT_TRUE(Eventually([&] { return device.Counters().DatagramsReceived == count; }));
    const uint64_t acks = device.Counters().AcksSent;
    std::set<int64_t> acked;
    while (acked.size() < acks) {
        auto ack = host.Receive();
        if (!ack) break;
        acked.insert(ack->AckMsgId());
    }
    EXPECT_EQ(device.Counters().ControlDroppedIn + acks, count);
    return acked;
}

TEST(EmulatorFaults, DroppedControlDatagramsRepeatForTheSameSeed) {
    const auto run1 = AckedPings(3, 40);
    EXPECT_EQ(run1, AckedPings(3, 40));
    EXPECT_NE(run1, AckedPings(4, 40));
    EXPECT_GT(run1.size(), 5u);
    EXPECT_LT(run1.size(), 35u);
}

std::vector<std::string> GarbageBurst(uint64_t seed, uint32_t count) {
    emu::EmulatorConfig config;
    config.Faults.Seed = seed;
    emu::Qm412Emulator device(config);
    EXPECT_TRUE(device.Start());
    UdpPeer target;
    device.SendGarbage("127.0.0.1", target.Port(), count);
    std::vector<std::string> burst;
    while (burst.size() < count) {
        auto d = target.Receive();
        if (!d) break;
        burst.push_back(d->Bytes);
    }
    EXPECT_EQ(device.Counters().GarbageSent, count);
    return burst;
}

TEST(EmulatorFaults, GarbageBurstRepeatsForTheSameSeedAndReadsAsGarbageToTheDevice) {
    const auto burst = GarbageBurst(11, 60);
    ASSERT_EQ(burst.size(), 60u);
    EXPECT_EQ(burst, GarbageBurst(11, 60));
    EXPECT_NE(burst, GarbageBurst(12, 60));

    // Fed back to a device, none of it is a request: nothing is answered.
    emu::Qm412Emulator device;
    ASSERT_TRUE(device.Start());
    Host host(device.Port());
    for (const std::string& g : burst) host.SendRaw(g);
    host.Ask("get_state", "state");
    EXPECT_EQ(device.Counters().MessagesSent, 1u);
}

} // namespace
