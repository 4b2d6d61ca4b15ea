// The emulated QM268 input switch against a hand-written host: its input selection, gain and
// rate through "state"/"set_state", the bypass that only control protocol 2 has, the faults of
// its "state" messages; and that each model answers only its own requests.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host_peer.h"

namespace {

using namespace emu_test;
using test_support::UdpPeer;

struct Running {
    explicit Running(emu::EmulatorConfig config) : Device(std::move(config)) {
        std::string error;
        EXPECT_TRUE(Device.Start(&error)) << error;
    }
    emu::DeviceEmulator Device;
};

emu::EmulatorConfig Switch268(uint32_t controlProtocol = 1) {
    emu::EmulatorConfig config;
    config.Model = emu::DeviceModel::Qm268;
    config.ControlProtocol = controlProtocol;
    return config;
}

// The one input entry of a "state", or an empty object when there is none.
JSON::Value InputOf(const Datagram& state) {
    const JSON::Value* inputs = state.Body.Find(L"inputs");
    if (inputs == nullptr || inputs->Type() != JSON::typeArray || inputs->ArraySize() != 1) {
        ADD_FAILURE() << "not one input: " << state.Bytes.c_str();
        JSON::Value none;
        none.SetTypeObject();
        return none;
    }
    return (*inputs)[0];
}

std::string TextOr(const JSON::Value& object, const wchar_t* key) {
    const JSON::Value* v = object.Find(key);
    return v != nullptr && v->Type() == JSON::typeString ? Utf8(*v) : std::string("(none)");
}

// After the acknowledgement, nothing: the request is not one this device answers.
void ExpectUnanswered(Host& host, const std::string& kind, const std::string& members = "") {
    const uint32_t id = host.Send(kind, members);
    auto ack = host.Receive();
    ASSERT_TRUE(ack && ack->Kind() == "ack" && ack->AckMsgId() == id) << kind << " not acknowledged";
    auto answer = host.Receive(100ms);
    EXPECT_FALSE(answer) << kind << " answered with " << answer->Kind();
}

TEST(EmulatorModels, DescribeThemselvesAndAnswerOnlyTheirOwnRequests) {
    struct Case {
        emu::DeviceModel Model;
        const char* Type;
        int64_t Inputs;
        std::vector<std::pair<std::string, std::string>> Answered;  // request, answer
        std::vector<std::string> Unanswered;
    };
    const Case cases[] = {
        {emu::DeviceModel::Qm412, "QM412", 4, {{"get_fm_freq", "fm_freq"}, {"get_rds_data", "rds_data"}},
         {"set_state", "get_bypass", "cur_time"}},
        {emu::DeviceModel::Qm268, "QM268", 1, {{"set_state", "state"}, {"get_bypass", "bypass"}, {"get_inputs", "inputs"}},
         {"get_fm_freq", "get_fm_quality", "get_rds_data", "cur_time"}},
        {emu::DeviceModel::Qm5, "QM5", 0, {{"get_state", "state"}, {"get_inputs", "inputs"}},
         {"set_state", "get_bypass", "set_fm_freq"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Type);
        emu::EmulatorConfig config = Switch268(2);
        config.Model = c.Model;
        Running emu(config);
        Host host(emu.Device.Port());
        const Datagram info = host.Ask("get_dev_info", "dev_info");
        EXPECT_EQ(Utf8(info.Body[L"unit_type"]), c.Type);
        EXPECT_EQ(Utf8(info.Body[L"unit_id"]), std::string(c.Type) + "-EMU-0001");
        EXPECT_EQ(Int(info.Body[L"inputs"]), c.Inputs);
        EXPECT_EQ(emu.Device.NumUnits(), c.Inputs);
        // Every model reports its rate, which a host waits for before it calls the device connected.
        EXPECT_EQ(host.Ask("get_state", "state").Body.TryGet<int64_t>(L"device_freq", 0), 48000);
        for (const auto& [request, answer] : c.Answered) host.Ask(request, answer);
        for (const std::string& request : c.Unanswered) ExpectUnanswered(host, request);
    }
}

TEST(EmulatorSwitch, SetsSelectionGainAndRateAsAskedAndReportsThemInEveryState) {
    emu::EmulatorConfig config = Switch268();
    config.Switch.AesFreq = 44100;
    Running emu(config);
    Host host(emu.Device.Port());

    const Datagram initial = host.Ask("get_state", "state");
    EXPECT_EQ(Int(initial.Body[L"device_freq"]), 48000);
    const JSON::Value input = InputOf(initial);
    EXPECT_EQ(TextOr(input, L"select"), "analog");
    EXPECT_EQ(TextOr(input, L"gain"), "+4dBu");
    EXPECT_EQ(input.TryGet<int64_t>(L"freq", 0), 44100) << "the AES input's rate, whichever input is selected";

    // Applied in order to one device; each row is the state after its request.
    struct Step {
        const char* Members;
        int64_t Rate;
        const char* Select;
        const char* Gain;
    };
    const Step steps[] = {
        {R"(,"inputs":[{"select":"aes","gain":"-10dBu"}])", 48000, "aes", "-10dBu"},
        {R"(,"device_freq":44100)", 44100, "aes", "-10dBu"},                       // rate only
        {R"(,"device_freq":0,"inputs":[{"select":"analog"}])", 44100, "analog", "-10dBu"},  // 0 keeps the rate
        {R"(,"device_freq":32000)", 44100, "analog", "-10dBu"},                    // a rate it cannot stream
        {R"(,"inputs":[{"select":"spdif","gain":"+4dBu","freq":96000}])", 44100, "analog", "+4dBu"},
        {R"(,"inputs":[5,{"select":"aes"}])", 44100, "analog", "+4dBu"},           // only the first entry counts
        {R"(,"device_freq":48000,"inputs":[])", 48000, "analog", "+4dBu"},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.Members);
        const Datagram answer = host.Ask("set_state", "state", step.Members);
        const Datagram read = host.Ask("get_state", "state");
        for (const Datagram* state : {&answer, &read}) {
            EXPECT_EQ(state->Body.TryGet<int64_t>(L"device_freq", 0), step.Rate);
            const JSON::Value entry = InputOf(*state);
            EXPECT_EQ(TextOr(entry, L"select"), step.Select);
            EXPECT_EQ(TextOr(entry, L"gain"), step.Gain);
            EXPECT_EQ(entry.TryGet<int64_t>(L"freq", 0), 44100);
        }
        EXPECT_EQ(emu.Device.SampleRate(), step.Rate);
    }
    const emu::InputSwitch now = emu.Device.Switch();
    EXPECT_EQ(now.Select, emu::SwitchInput::Analog);
    EXPECT_EQ(now.Gain, emu::SwitchGain::Plus4dBu);
    EXPECT_EQ(now.AesFreq, 44100u);

    // Switched at the device: the host learns it from the next state, asked for or not.
    emu.Device.SetSwitch({emu::SwitchInput::Aes, emu::SwitchGain::Minus10dBu, 96000, false});
    ASSERT_TRUE(emu.Device.Push("state"));
    auto pushed = host.Receive();
    ASSERT_TRUE(pushed && pushed->Kind() == "state");
    EXPECT_EQ(pushed->AckMsgId(), 0);
    EXPECT_EQ(TextOr(InputOf(*pushed), L"select"), "aes");
    EXPECT_EQ(InputOf(*pushed).TryGet<int64_t>(L"freq", 0), 96000);
    host.Ack(*pushed);
}

TEST(EmulatorSwitch, StreamsAtTheRateItsHostSets) {
    Running emu(Switch268());
    Host host(emu.Device.Port());
    UdpPeer audio;
    host.Ask("set_inputs", "inputs", ",\"inputs\":[\"127.0.0.1:" + std::to_string(audio.Port()) + "\"]");
    const auto payloadType = [&] {
        auto d = audio.Receive();
        return d && d->Bytes.size() > 1 ? static_cast<uint8_t>(d->Bytes[1]) : 0;
    };
    EXPECT_EQ(payloadType(), 100);  // 48000 Hz

    host.Ask("set_state", "state", R"(,"device_freq":44100)");
    EXPECT_TRUE(Eventually([&] { return payloadType() == 101; }));
    for (int i = 0; i < 5; ++i) EXPECT_EQ(payloadType(), 101);
}

TEST(EmulatorSwitch, HasABypassOnlyFromControlProtocol2) {
    {
        SCOPED_TRACE("control protocol 1");
        Running emu(Switch268(1));
        Host host(emu.Device.Port());
        ExpectUnanswered(host, "get_bypass");
        ExpectUnanswered(host, "set_bypass", R"(,"bypass":"on")");
        EXPECT_FALSE(emu.Device.Switch().Bypass);
        EXPECT_FALSE(emu.Device.Push("bypass"));
        const auto counters = emu.Device.Counters();
        EXPECT_EQ(counters.Requests.at("get_bypass"), 1u);
        EXPECT_EQ(counters.MessagesSent, 0u);
    }
    SCOPED_TRACE("control protocol 2");
    Running emu(Switch268(2));
    Host host(emu.Device.Port());
    EXPECT_EQ(Utf8(host.Ask("get_bypass", "bypass").Body[L"bypass"]), "off");
    // Each row: what the host sends, and the bypass the answer and a later read report.
    const std::pair<const char*, const char*> steps[] = {
        {R"(,"bypass":"on")", "on"},
        {R"(,"bypass":"ON")", "on"},  // a text it does not know changes nothing
        {"", "on"},
        {R"(,"bypass":"off")", "off"},
    };
    for (const auto& [members, expected] : steps) {
        SCOPED_TRACE(members);
        EXPECT_EQ(Utf8(host.Ask("set_bypass", "bypass", members).Body[L"bypass"]), expected);
        EXPECT_EQ(Utf8(host.Ask("get_bypass", "bypass").Body[L"bypass"]), expected);
    }
    emu::InputSwitch sw = emu.Device.Switch();
    sw.Bypass = true;
    emu.Device.SetSwitch(sw);
    ASSERT_TRUE(emu.Device.Push("bypass"));
    auto pushed = host.Receive();
    ASSERT_TRUE(pushed && pushed->Kind() == "bypass");
    EXPECT_EQ(Utf8(pushed->Body[L"bypass"]), "on");
    host.Ack(*pushed);
}

TEST(EmulatorSwitch, StateFaultsEmptyTheInputsOrLeaveOutWhatAHostMustNotGuess) {
    Running emu(Switch268());
    Host host(emu.Device.Port());
    struct Case {
        const char* Name;
        emu::FaultConfig Faults;
        uint32_t AesFreq;
        const char* Select;  // "(none)": the key is absent
        const char* Gain;
        int64_t Freq;        // 0: absent
    };
    emu::FaultConfig empty, noSelect, noGain;
    empty.StateEmptyInputs = true;
    noSelect.StateNoSelect = true;
    noGain.StateNoGain = true;
    const Case cases[] = {
        {"no select", noSelect, 48000, "(none)", "+4dBu", 48000},
        {"no gain", noGain, 48000, "analog", "(none)", 48000},
        {"no AES signal", {}, 0, "analog", "+4dBu", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        emu.Device.SetFaults(c.Faults);
        emu.Device.SetSwitch({emu::SwitchInput::Analog, emu::SwitchGain::Plus4dBu, c.AesFreq, false});
        const Datagram state = host.Ask("get_state", "state");
        EXPECT_EQ(Int(state.Body[L"device_freq"]), 48000);
        const JSON::Value input = InputOf(state);
        EXPECT_EQ(TextOr(input, L"select"), c.Select);
        EXPECT_EQ(TextOr(input, L"gain"), c.Gain);
        EXPECT_EQ(input.Find(L"freq") != nullptr, c.Freq != 0);
        EXPECT_EQ(input.TryGet<int64_t>(L"freq", 0), c.Freq);
    }

    emu.Device.SetFaults(empty);
    const Datagram state = host.Ask("get_state", "state");
    EXPECT_EQ(Int(state.Body[L"device_freq"]), 48000) << "the rate still comes";
    const JSON::Value* inputs = state.Body.Find(L"inputs");
    ASSERT_NE(inputs, nullptr) << "an empty list, not a missing one";
    EXPECT_EQ(inputs->Type(), JSON::typeArray);
    EXPECT_EQ(inputs->ArraySize(), 0u);
}

} // namespace
