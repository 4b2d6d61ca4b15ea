// The emulated QM412's control side against a hand-written host: descriptions, acknowledgements,
// repeats, the duplicate filter, the tuner requests, unsolicited updates, request faults and
// garbage.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "host_peer.h"

namespace {

using namespace emu_test;
using Clock = std::chrono::steady_clock;

struct Running {
    explicit Running(emu::EmulatorConfig config = {}) : Device(std::move(config)) {
        std::string error;
        EXPECT_TRUE(Device.Start(&error)) << error;
        EXPECT_NE(Device.Port(), 0);
    }
    emu::Qm412Emulator Device;
};

TEST(EmulatorControl, DescribesItselfAsConfiguredOnDevFindAndGetDevInfo) {
    emu::EmulatorConfig config;
    config.UnitId = "EMU-\xC3\xA9-7";
    config.UnitType = "QM268";  // the wrong model, as a fault would configure it
    config.Hardware = 3;
    config.Firmware = 4;
    config.Software = 5;
    config.AudioProtocol = 1;
    config.ControlProtocol = 2;
    config.RtpPort = 6000;
    config.Inputs = 2;
    config.Outputs = 1;
    Running emu(config);
    Host host(emu.Device.Port());

    for (const char* request : {"dev_find", "get_dev_info"}) {
        SCOPED_TRACE(request);
        const Datagram info = host.Ask(request, "dev_info");
        EXPECT_EQ(Utf8(info.Body[L"unit_id"]), config.UnitId);
        EXPECT_EQ(Utf8(info.Body[L"unit_type"]), "QM268");
        EXPECT_EQ(Int(info.Body[L"hardware"]), 3);
        EXPECT_EQ(Int(info.Body[L"firmware"]), 4);
        EXPECT_EQ(Int(info.Body[L"software"]), 5);
        EXPECT_EQ(Int(info.Body[L"audio_protocol"]), 1);
        EXPECT_EQ(Int(info.Body[L"control_protocol"]), 2);
        EXPECT_EQ(Int(info.Body[L"rtp_port"]), 6000);
        EXPECT_EQ(Int(info.Body[L"inputs"]), 2);
        EXPECT_EQ(Int(info.Body[L"outputs"]), 1);
    }
    EXPECT_TRUE(Eventually([&] { return emu.Device.Counters().AcksReceived == 2; }));
    const auto counters = emu.Device.Counters();
    EXPECT_EQ(counters.Requests.at("dev_find"), 1u);
    EXPECT_EQ(counters.Requests.at("get_dev_info"), 1u);
}

TEST(EmulatorControl, ReportsItsSampleRateAndLeavesAnUnsetRateOut) {
    for (uint32_t rate : {48000u, 44100u, 32000u, 0u}) {
        SCOPED_TRACE(rate);
        emu::EmulatorConfig config;
        config.SampleRate = rate;
        Running emu(config);
        Host host(emu.Device.Port());
        const Datagram state = host.Ask("get_state", "state");
        EXPECT_EQ(state.Body.TryGet<int64_t>(L"device_freq", 0), rate);
        EXPECT_EQ(state.Body.Find(L"device_freq") != nullptr, rate != 0);
    }
}

TEST(EmulatorControl, RepeatsAnUnacknowledgedAnswerThreeTimesThenGivesUp) {
    Running emu;
    Host host(emu.Device.Port());
    const auto asked = Clock::now();
    const uint32_t id = host.Send("get_state");
    auto ack = host.Receive();
    ASSERT_TRUE(ack && ack->Kind() == "ack");
    EXPECT_EQ(ack->AckMsgId(), id);

    std::vector<Datagram> copies;
    std::vector<Clock::time_point> arrivals;
    for (int i = 0; i < 3; ++i) {
        auto answer = host.Receive();
        ASSERT_TRUE(answer);
        arrivals.push_back(Clock::now());
        copies.push_back(*answer);
    }
    for (const Datagram& copy : copies) {
        EXPECT_EQ(copy.Kind(), "state");
        EXPECT_EQ(copy.AckMsgId(), id);  // answers name the request they answer
        EXPECT_EQ(copy.Bytes, copies[0].Bytes);
    }
    // Never early; a lower bound only, lateness is the scheduler's. Measured from before the
    // request, so that a late reader here cannot make the gaps look shorter.
    EXPECT_GE(arrivals[1] - asked, 250ms);
    EXPECT_GE(arrivals[2] - asked, 500ms);

    ASSERT_TRUE(Eventually([&] { return emu.Device.Counters().GivenUp == 1; }));
    EXPECT_FALSE(host.Receive(50ms)) << "a fourth transmission";
    const auto counters = emu.Device.Counters();
    EXPECT_EQ(counters.MessagesSent, 1u);
    EXPECT_EQ(counters.Repeats, 2u);

    // The queue moves on: the next request is answered.
    host.Ask("get_inputs", "inputs");
}

TEST(EmulatorControl, AcknowledgesARepeatedRequestAgainButAnswersItOnce) {
    Running emu;
    Host host(emu.Device.Port());
    const uint32_t id = host.Send("get_fm_freq");
    host.Send("get_fm_freq", "", id);

    int acks = 0, answers = 0;
    for (int i = 0; i < 3; ++i) {
        auto d = host.Receive();
        ASSERT_TRUE(d);
        if (d->Kind() == "ack") {
            EXPECT_EQ(d->AckMsgId(), id);
            ++acks;
        } else {
            EXPECT_EQ(d->Kind(), "fm_freq");
            host.Ack(*d);
            ++answers;
        }
    }
    EXPECT_EQ(acks, 2);
    EXPECT_EQ(answers, 1);
    ASSERT_TRUE(Eventually([&] { return emu.Device.Counters().AcksReceived == 1; }));
    auto counters = emu.Device.Counters();
    EXPECT_EQ(counters.Duplicates, 1u);
    EXPECT_EQ(counters.Requests.at("get_fm_freq"), 1u);

    // The same id from another host is another request.
    Host other(emu.Device.Port());
    other.Send("get_fm_freq", "", id);
    ASSERT_TRUE(other.Receive());
    auto answer = other.Receive();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->Kind(), "fm_freq");
    other.Ack(*answer);
}

TEST(EmulatorControl, TunesToItsOwnStepAndReportsWhatItTuned) {
    emu::EmulatorConfig config;
    config.Inputs = 3;
    Running emu(config);
    Host host(emu.Device.Port());

    // Rounded to 50 kHz, clamped to the band; a list that stops at a non-integer leaves the rest.
    const Datagram tuned = host.Ask("set_fm_freq", "fm_freq", R"(,"freq":[100020,20000,"x"])");
    const Datagram read = host.Ask("get_fm_freq", "fm_freq");
    for (const Datagram* d : {&tuned, &read}) {
        const JSON::Value& freqs = d->Body[L"freq"];
        ASSERT_EQ(freqs.ArraySize(), 3u);
        EXPECT_EQ(Int(freqs[0]), 100000);
        EXPECT_EQ(Int(freqs[1]), 87500);
        EXPECT_EQ(Int(freqs[2]), emu::DefaultUnit(2).FmFreqKhz);
    }
    EXPECT_EQ(emu.Device.Unit(0).FmFreqKhz, 100000u);
    EXPECT_EQ(emu.Device.ToneOf(0).FrequencyHz, emu::ToneForFmFrequency(100000).FrequencyHz);
}

TEST(EmulatorControl, ReportsQualityAndRdsPerUnitIncludingNonAsciiText) {
    emu::EmulatorConfig config;
    config.Inputs = 2;
    config.Units.resize(2);
    config.Units[0].PSrv = "\xD0\xA0\xD0\xB0\xD0\xB4\xD0\xB8\xD0\xBE 1";  // Cyrillic
    config.Units[0].Text = "Caf\xC3\xA9 \xF0\x9D\x84\x9E";                  // é and a character above U+FFFF
    config.Units[0].Time = "08:15";
    config.Units[1].Rssi = -7;
    Running emu(config);
    Host host(emu.Device.Port());

    const Datagram rds = host.Ask("get_rds_data", "rds_data");
    ASSERT_EQ(rds.Body[L"psrv"].ArraySize(), 2u);
    EXPECT_EQ(Utf8(rds.Body[L"psrv"][0]), config.Units[0].PSrv);
    EXPECT_EQ(Utf8(rds.Body[L"text"][0]), config.Units[0].Text);
    EXPECT_EQ(Utf8(rds.Body[L"time"][0]), "08:15");
    EXPECT_EQ(Utf8(rds.Body[L"text"][1]), "");

    const Datagram quality = host.Ask("get_fm_quality", "fm_quality");
    for (const wchar_t* key : {L"rssi", L"snr", L"multipath", L"pilot", L"valid"})
        EXPECT_EQ(quality.Body[key].ArraySize(), 2u);
    EXPECT_EQ(Int(quality.Body[L"rssi"][1]), -7);
}

TEST(EmulatorControl, SendsUpdatesOnItsOwnToTheLastHost) {
    Running emu;
    EXPECT_FALSE(emu.Device.Push("fm_freq")) << "no host has spoken yet";
    Host host(emu.Device.Port());
    host.Ask("get_state", "state");

    emu::TunerUnit unit = emu.Device.Unit(1);
    unit.FmFreqKhz = 91000;
    unit.Text = "\xE2\x99\xAB news";
    emu.Device.SetUnit(1, unit);
    EXPECT_FALSE(emu.Device.Push("no_such_kind"));
    ASSERT_TRUE(emu.Device.Push("fm_freq"));
    ASSERT_TRUE(emu.Device.Push("rds_data"));

    auto freq = host.Receive();
    ASSERT_TRUE(freq);
    EXPECT_EQ(freq->Kind(), "fm_freq");
    EXPECT_EQ(freq->AckMsgId(), 0) << "an update answers nothing";
    EXPECT_EQ(Int(freq->Body[L"freq"][1]), 91000);
    host.Ack(*freq);
    auto rds = host.Receive();
    ASSERT_TRUE(rds);
    EXPECT_EQ(rds->Kind(), "rds_data");
    EXPECT_EQ(Utf8(rds->Body[L"text"][1]), unit.Text);
    host.Ack(*rds);
    // A host that acknowledges is acknowledged back only for requests, never for acks.
    EXPECT_FALSE(host.Receive(50ms));
}

TEST(EmulatorControl, RequestFaultsSkipAcknowledgementsAnswersOrDelayThem) {
    emu::EmulatorConfig config;
    config.Faults.NeverAnswer = {"get_state"};
    config.Faults.NeverAck = {"get_inputs"};
    config.Faults.ListLengthDelta = 1;
    Running emu(config);
    Host host(emu.Device.Port());

    // Acknowledged, never answered: the next thing after the acks is the answer to get_fm_freq.
    const uint32_t state = host.Send("get_state");
    const uint32_t freq = host.Send("get_fm_freq");
    auto first = host.Receive(), second = host.Receive(), third = host.Receive();
    ASSERT_TRUE(first && second && third);
    EXPECT_EQ(first->AckMsgId(), state);
    EXPECT_EQ(second->AckMsgId(), freq);
    EXPECT_EQ(third->Kind(), "fm_freq");
    EXPECT_EQ(third->Body[L"freq"].ArraySize(), 5u) << "one entry more than units";
    host.Ack(*third);

    // Answered, never acknowledged.
    const uint32_t inputs = host.Send("get_inputs");
    auto answer = host.Receive();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->Kind(), "inputs");
    EXPECT_EQ(answer->AckMsgId(), inputs);
    host.Ack(*answer);

    // Delayed: acknowledged at once, answered later.
    emu::FaultConfig delayed;
    delayed.AnswerDelayMs = 200;
    delayed.ListLengthDelta = -4;
    emu.Device.SetFaults(delayed);
    const auto asked = Clock::now();
    host.Send("get_rds_data");
    ASSERT_TRUE(host.Receive());
    auto rds = host.Receive();
    ASSERT_TRUE(rds);
    EXPECT_GE(Clock::now() - asked, 150ms);
    EXPECT_EQ(rds->Body[L"text"].ArraySize(), 0u);
    host.Ack(*rds);
}

TEST(EmulatorControl, IgnoresGarbageAndSurvivesHugeOrDeepInput) {
    Running emu;
    Host host(emu.Device.Port());
    const auto z = [](std::string text) {
        text.push_back('\0');
        return text;
    };
    const std::vector<std::string> garbage = {
        "x",
        R"({"msg":"get_state","msg_id":1})",             // no zero byte
        std::string("\0{\"msg\":\"get_state\",\"msg_id\":1}", 31),
        z(R"([{"msg":"get_state","msg_id":1}])"),
        z(R"({"msg":"","msg_id":1})"),
        z(R"({"msg":7,"msg_id":1})"),
        z(R"({"msg":"get_state"})"),
        z(R"({"msg":"get_state","msg_id":4294967296})"),
        z(R"({"msg":"get_state","msg_id":-1})"),
        z(R"({"msg":"get_state","msg_id":1.5})"),
        z("{\"msg\":\"get_\xC3\x28state\",\"msg_id\":1}"),  // not UTF-8
        z(R"({"msg":"get_st)"),
        z("{\"msg\":\"get_state\",\"msg_id\":1,\"x\":" + std::string(8000, '[') + "}"),
        z("{\"msg\":\"get_state\",\"msg_id\":1,\"pad\":\"" + std::string(40000, 'a') + "\"}"),  // text too long
        std::string(60000, '\xFF'),
    };
    for (const std::string& g : garbage) host.SendRaw(g);

    // Readable messages the device does not act on: a huge declared attachment that never came,
    // and a stray segment. Both are acknowledged, neither answered.
    host.SendRaw(z(R"({"att":4294967295,"msg":"get_state","msg_id":77})") + "abc");
    host.SendRaw(z(R"({"leader_id":5,"msg":"attach","msg_id":78,"seg_count":2,"seg_number":0})") + "xyz");
    host.SendRaw(z(R"({"ack_msg_id":123456,"msg":"ack","msg_id":79})"));

    for (int expected : {77, 78}) {
        auto ack = host.Receive();
        ASSERT_TRUE(ack);
        EXPECT_EQ(ack->Kind(), "ack");
        EXPECT_EQ(ack->AckMsgId(), expected);
    }
    host.Ask("get_state", "state");
    const auto counters = emu.Device.Counters();
    EXPECT_EQ(counters.Garbage, garbage.size());
    EXPECT_EQ(counters.AttachmentsIgnored, 2u);
    EXPECT_EQ(counters.StrayAcks, 1u);
    EXPECT_EQ(counters.MessagesSent, 1u);
}

TEST(EmulatorControl, CountsUnknownKindsUnderOneEntry) {
    Running emu;
    Host host(emu.Device.Port());
    for (int i = 0; i < 50; ++i) host.Send("made_up_" + std::to_string(i));
    host.Send("ping");
    for (int i = 0; i < 51; ++i) ASSERT_TRUE(host.Receive());  // acknowledged, not answered
    const auto counters = emu.Device.Counters();
    EXPECT_EQ(counters.Requests.at("(other)"), 50u);
    EXPECT_EQ(counters.Requests.at("ping"), 1u);
    EXPECT_EQ(counters.Requests.size(), 2u);
    EXPECT_EQ(counters.MessagesSent, 0u);
}

} // namespace
