// The input switch and the clock device against the emulated devices on 127.0.0.1.
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "audiodevs/IOstrelDevice.h"
#include "audiodevs/OstrelDeviceQm5.h"
#include "diag/IEnvironment.h"
#include "emulator/Qm412Emulator.h"
#include "support/log_capture.h"
#include "support/udp_loopback.h"

namespace {

using namespace Ostrel;
using namespace std::chrono_literals;

bool Eventually(const std::function<bool()>& done) {
    for (int i = 0; i < 500; ++i) {
        if (done()) return true;
        std::this_thread::sleep_for(10ms);
    }
    return done();
}

// One emulated device of a model and a device object of that model connected to it.
class ModelRig {
public:
    ModelRig(DeviceType type, emu::EmulatorConfig config) : emulator(std::move(config)) {
        std::string error;
        EXPECT_TRUE(emulator.Start(&error)) << error;
        control.reset(Network::NetFactory::CreateNetManager(L"models-itest control", true, 1));
        audio.reset(Network::NetFactory::CreateNetManager(L"models-itest audio", true, 1));
        device.reset(CreateDevice(type, *control, *audio));
    }
    ~ModelRig() {
        device.reset();
        emulator.Stop();
    }
    ErrInfo Init() {
        DeviceInitSettings s;
        s.PeerAddr = L"127.0.0.1";
        s.PeerJsonPort = emulator.Port();
        s.HostAddr = L"127.0.0.1";
        s.HostJsonPort = test_support::FreeLoopbackPort();
        return device->Init(s);
    }

    emu::Qm412Emulator emulator;
    std::unique_ptr<Network::INetManager> control;
    std::unique_ptr<Network::INetManager> audio;
    std::unique_ptr<IDevice> device;
};

emu::EmulatorConfig Model(emu::DeviceModel model, uint32_t controlProtocol = 1) {
    emu::EmulatorConfig config;
    config.Model = model;
    config.ControlProtocol = controlProtocol;
    return config;
}

TEST(DeviceQm268, InputSelectionSetAndReadBack) {
    ModelRig rig(DeviceType::Qm268, Model(emu::DeviceModel::Qm268));
    ASSERT_TRUE(rig.Init().IsOk());
    auto* sw = static_cast<IDeviceQm268*>(*rig.device);
    ASSERT_NE(sw, nullptr);
    EXPECT_EQ(static_cast<IDeviceQm412*>(*rig.device), nullptr);

    ASSERT_TRUE(sw->SetInputSelection(IDeviceQm268::AES, IDeviceQm268::Minus10dBu));
    const emu::InputSwitch atDevice = rig.emulator.Switch();
    EXPECT_EQ(atDevice.Select, emu::SwitchInput::Aes);
    EXPECT_EQ(atDevice.Gain, emu::SwitchGain::Minus10dBu);
    IDeviceQm268::Input input = IDeviceQm268::Analog;
    IDeviceQm268::Gain gain = IDeviceQm268::Plus4dBu;
    uint32_t aes = 0;
    ASSERT_TRUE(sw->GetInputSelection(input, gain, aes, false));
    EXPECT_EQ(input, IDeviceQm268::AES);
    EXPECT_EQ(gain, IDeviceQm268::Minus10dBu);
    EXPECT_EQ(aes, 48000u);

    // A change at the device is seen by a fresh query; the sample rate is set through "set_state".
    emu::InputSwitch changed = atDevice;
    changed.Select = emu::SwitchInput::Analog;
    changed.AesFreq = 44100;
    rig.emulator.SetSwitch(changed);
    // The device also answers "set_state" with a "state" of its own, and any newer "state" ends
    // a wait: an answer still under way from the read-back above may end the first fresh query
    // with the values of before the change.
    EXPECT_TRUE(Eventually([&] { return sw->GetInputSelection(input, gain, aes, true) && input == IDeviceQm268::Analog; }));
    EXPECT_EQ(aes, 44100u);
    ASSERT_TRUE(sw->SetSampleFreq(44100));
    EXPECT_EQ(rig.emulator.SampleRate(), 44100u);
    // For the same reason a "state" of before may still arrive after the acknowledgement.
    EXPECT_TRUE(Eventually([&] { return rig.device->GetSampleFreq() == 44100u; }));
}

// Faulty "state" messages: an empty inputs list only sets the rate (and is logged); an entry
// without a type keeps the selection; a rate of 0 at the AES input keeps the AES rate.
TEST(DeviceQm268, IncompleteStatesKeepWhatTheyDoNotCarry) {
    test_support::LogCapture log(Environment()->DebugLog());
    emu::EmulatorConfig config = Model(emu::DeviceModel::Qm268);
    config.Switch.Select = emu::SwitchInput::Aes;
    config.Switch.AesFreq = 44100;
    ModelRig rig(DeviceType::Qm268, config);
    ASSERT_TRUE(rig.Init().IsOk());
    auto* sw = static_cast<IDeviceQm268*>(*rig.device);
    IDeviceQm268::Input input;
    IDeviceQm268::Gain gain;
    uint32_t aes = 0;
    ASSERT_TRUE(sw->GetInputSelection(input, gain, aes, true));
    ASSERT_EQ(input, IDeviceQm268::AES);
    ASSERT_EQ(aes, 44100u);

    emu::FaultConfig faults;
    faults.StateNoSelect = true;
    rig.emulator.SetFaults(faults);
    emu::InputSwitch noSignal = rig.emulator.Switch();
    noSignal.AesFreq = 0;
    rig.emulator.SetSwitch(noSignal);
    ASSERT_TRUE(sw->GetInputSelection(input, gain, aes, true));
    EXPECT_EQ(input, IDeviceQm268::AES);
    EXPECT_EQ(aes, 44100u);
    EXPECT_TRUE(log.WaitForMatching(L"input *undef*"));

    faults = emu::FaultConfig();
    faults.StateEmptyInputs = true;
    rig.emulator.SetFaults(faults);
    rig.emulator.SetSampleRate(44100);
    ASSERT_TRUE(rig.emulator.Push("state"));
    EXPECT_TRUE(log.WaitForMatching(L"contains an empty inputs list"));
    EXPECT_TRUE(Eventually([&] { return rig.device->GetSampleFreq() == 44100; }));
    ASSERT_TRUE(sw->GetInputSelection(input, gain, aes, false));
    EXPECT_EQ(input, IDeviceQm268::AES);
}

TEST(DeviceQm268, BypassOnlyFromControlProtocol2) {
    ModelRig old(DeviceType::Qm268, Model(emu::DeviceModel::Qm268, 1));
    ModelRig current(DeviceType::Qm268, Model(emu::DeviceModel::Qm268, 2));
    ASSERT_TRUE(old.Init().IsOk());
    ASSERT_TRUE(current.Init().IsOk());

    IDeviceQm268::Bypass bypass = IDeviceQm268::On;
    auto* withoutBypass = static_cast<IDeviceQm268*>(*old.device);
    ASSERT_TRUE(withoutBypass->GetBypass(bypass, false));
    EXPECT_EQ(bypass, IDeviceQm268::Absent);
    const auto before = old.emulator.Counters().Requests;
    EXPECT_FALSE(withoutBypass->SetBypass(true));
    EXPECT_EQ(old.emulator.Counters().Requests, before);  // nothing sent

    auto* withBypass = static_cast<IDeviceQm268*>(*current.device);
    ASSERT_TRUE(withBypass->GetBypass(bypass, false));
    EXPECT_EQ(bypass, IDeviceQm268::Off);  // asked at connection time
    ASSERT_TRUE(withBypass->SetBypass(true));
    ASSERT_TRUE(withBypass->GetBypass(bypass, false));
    EXPECT_EQ(bypass, IDeviceQm268::On);
    EXPECT_TRUE(current.emulator.Switch().Bypass);
}

// Each "get_time" gets exactly one "cur_time", with the host's time.
TEST(DeviceQm5, EveryTimeRequestIsAnsweredOnce) {
    ModelRig rig(DeviceType::Qm5, Model(emu::DeviceModel::Qm5));
    auto* clock = dynamic_cast<DeviceQm5*>(rig.device.get());
    ASSERT_NE(clock, nullptr);
    ErrInfo early = clock->SendCurrentTimeToDevice();
    EXPECT_FALSE(early.IsOk());
    early.Silent();
    ASSERT_TRUE(rig.Init().IsOk());
    EXPECT_NE(static_cast<IDeviceQm5*>(*rig.device), nullptr);

    for (int i = 0; i < 5; ++i) ASSERT_TRUE(rig.emulator.Push("get_time"));
    ASSERT_TRUE(Eventually([&] { return rig.emulator.Counters().Time.AnsweredOnce == 5; }));
    std::this_thread::sleep_for(100ms);  // room for a wrong extra answer to show
    const auto time = rig.emulator.Counters().Time;
    EXPECT_EQ(time.RequestsSent, 5u);
    EXPECT_EQ(time.ExtraAnswers, 0u);
    EXPECT_EQ(time.Malformed, 0u);
    EXPECT_EQ(time.Inconsistent, 0u);

    // The UTC text names the host's current time (to the second, allowing a tick in between).
    std::tm utc{};
    ASSERT_EQ(time.LastUtc.size(), 23u);
    ASSERT_NE(strptime(time.LastUtc.c_str(), "%Y/%m/%d %H:%M:%S", &utc), nullptr);
    const auto sent = std::chrono::system_clock::from_time_t(timegm(&utc));
    EXPECT_LT(std::chrono::abs(time.LastReceivedAt - sent), 2s);
}

} // namespace
