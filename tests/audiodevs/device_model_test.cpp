// The device vocabulary: kind and state texts both ways, defaults of the records.
#include <gtest/gtest.h>

#include "audiodevs/IOstrelDevice.h"
#include "protocol/JsonMsgAsioDriver.h"

namespace {

using namespace Ostrel;

TEST(DeviceModel, KindTextsConvertBothWaysAndUnknownTextsGiveTheDefault) {
    struct Case {
        const wchar_t* text;
        DeviceType type;
    } cases[] = {
        {L"QM268", DeviceType::Qm268}, {L"QM412", DeviceType::Qm412}, {L"QM5", DeviceType::Qm5},
        {L"qm412", DeviceType::Qm268}, {L"", DeviceType::Qm268},      {L"QM999", DeviceType::Qm268},
        {L"QM412 ", DeviceType::Qm268},
    };
    for (const Case& c : cases) EXPECT_EQ(String2DeviceType(c.text), c.type) << static_cast<int>(c.type);
    EXPECT_EQ(DeviceType2String(DeviceType::Qm412), L"QM412");
    EXPECT_EQ(DeviceType2String(static_cast<DeviceType>(3)), L"");

    EXPECT_EQ(String2DeviceConnectState(L"RtpActive"), DeviceConnectState::RtpActive);
    EXPECT_EQ(String2DeviceConnectState(L"Connected"), DeviceConnectState::Connected);
    EXPECT_EQ(String2DeviceConnectState(L"connected"), DeviceConnectState::Disconnected);
    EXPECT_EQ(DeviceConnectState2String(DeviceConnectState::Disconnected), L"Disconnected");
    EXPECT_EQ(DeviceConnectState2String(static_cast<DeviceConnectState>(7)), L"");
}

TEST(DeviceModel, DescriptionIsTakenFromTheMessageExceptTheSampleRate) {
    Network::JsonMsgDevInfo msg;
    msg.UnitId = L"unit-7";
    msg.Hardware = 2;
    msg.Firmware = 3;
    msg.Software = 4;
    msg.AudioProtocol = 5;
    msg.ControlProtocol = 6;
    msg.RtpPort = 17000;
    msg.Inputs = 4;
    msg.Outputs = 1;
    ImplDeviceInfo info;
    EXPECT_EQ(info.UnitId, L"");
    EXPECT_EQ(info.NumInputs, 0u);
    info.SampleFreq = 48000;
    info.SetFromJsonMsg(msg);
    EXPECT_EQ(info.UnitId, L"unit-7");
    EXPECT_EQ(info.HardwareVersion, 2u);
    EXPECT_EQ(info.FirmwareVersion, 3u);
    EXPECT_EQ(info.SoftwareVersion, 4u);
    EXPECT_EQ(info.AudioProtocolVersion, 5u);
    EXPECT_EQ(info.ControlProtocolVersion, 6u);
    EXPECT_EQ(info.PeerRtpPort, 17000u);
    EXPECT_EQ(info.NumInputs, 4u);
    EXPECT_EQ(info.NumOutputs, 1u);
    EXPECT_EQ(info.SampleFreq, 48000u);

    DeviceInitSettings init;
    EXPECT_EQ(init.PeerJsonPort, 15001);
    EXPECT_EQ(init.HostJsonPort, 0);
    DeviceStartSettings start;
    EXPECT_EQ(start.RecvDelayMax, 20u);
    EXPECT_EQ(start.RecvDelayNorm, 10u);
    EXPECT_TRUE(start.AllocSendBuffers);
}

} // namespace
