// First include: the public header must compile on its own.
#include "sdk412.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "../../src/qm412.h"  // the facade is not on the include path of applications

namespace {

using namespace Ostrel::SDK;

TEST(PublicInterface, EveryOperationBeforeInitGivesItsNeutralValue) {
    std::unique_ptr<IQm412> device(CreateQm412());
    ASSERT_TRUE(device);

    EXPECT_EQ(device->GetDeviceConnectState(), DeviceConnectState::Disconnected);
    EXPECT_EQ(device->GetDeviceId(), "");
    const DeviceInfo info = device->GetDeviceInfo();
    EXPECT_EQ(info.UnitId, "");
    EXPECT_EQ(info.HardwareVersion + info.FirmwareVersion + info.SoftwareVersion + info.AudioProtocolVersion +
                  info.ControlProtocolVersion + info.PeerRtpPort + info.NumInputs + info.SampleFreq,
              0u);
    EXPECT_EQ(device->GetNumRecordChannels(), 0u);
    EXPECT_EQ(device->GetNumCycleSamples(), 0u);
    EXPECT_EQ(device->GetSampleFreq(), 0u);

    uint32_t freqs[4] = {1, 2, 3, 4};
    Qm412TunerQualityValues quality[4];
    Qm412TunerRdsDataValues rds[4];
    for (bool update : {false, true}) {
        EXPECT_FALSE(device->GetUnitRadioFreqs(freqs, update));
        EXPECT_FALSE(device->GetUnitRadioQuality(quality, update));
        EXPECT_FALSE(device->GetUnitRdsData(rds, update));
    }
    EXPECT_FALSE(device->SetUnitRadioFreqs(freqs));
    EXPECT_EQ(freqs[0], 1u);
    DeviceStartSettings start;
    start.RtpExchangeCallback = [](const buffer_ptrs&, size_t) {};
    EXPECT_FALSE(device->Start(start));

    // Harmless without a device.
    device->Stop();
    device->Deinit();
    EXPECT_EQ(device->GetDeviceConnectState(), DeviceConnectState::Disconnected);
}

TEST(PublicInterface, SettingsDefaultToTheDeviceDefaultsAndClearEmptiesTheRecords) {
    EXPECT_EQ(DeviceInitSettings().PeerJsonPort, 15001);
    EXPECT_EQ(DeviceStartSettings().RecvDelayMax, 20u);
    EXPECT_EQ(DeviceStartSettings().RecvDelayNorm, 10u);

    Qm412TunerQualityValues quality{1, 2, 3, 4, 5};
    quality.Clear();
    EXPECT_EQ(quality._RSSI + quality._SNR + quality._MultiPath + quality._Pilot + quality._Valid, 0u);
    Qm412TunerRdsDataValues rds{L"a", L"b", L"c"};
    rds.Clear();
    EXPECT_TRUE(rds._RdsPSrv.empty() && rds._RdsText.empty() && rds._RdsTime.empty());
}

TEST(PublicInterface, BuildIdentificationNamesTheReleaseAndHasWideTwins) {
    EXPECT_STREQ(build::release_string, "1.0.0");
    EXPECT_EQ(std::string(build::version_string).rfind(std::string(build::binmod_string) + " 1.0.0 ", 0), 0u);
    EXPECT_EQ(std::wstring(build::wversion_string).size(), std::string(build::version_string).size());
}

// The device layer hands texts over with characters above U+FFFF as surrogate pairs.
TEST(PublicInterface, RdsTextsGetOneCharacterPerWideUnit) {
    const struct {
        std::wstring In;
        std::wstring Out;
    } cases[] = {
        {L"", L""},
        {L"Gr\u00FC\u00DFe \u041F", L"Gr\u00FC\u00DFe \u041F"},
        {std::wstring{L'a', 0xD83D, 0xDCFB, L'b'}, L"a\U0001F4FBb"},
        {std::wstring{0xDBFF, 0xDFFF}, L"\U0010FFFF"},
        {std::wstring{0xD800, 0xDC00, 0xD800, 0xDC00}, L"\U00010000\U00010000"},
        {std::wstring{L'x', 0xD83D}, L"x\uFFFD"},             // high surrogate at the end
        {std::wstring{0xDCFB, L'y'}, L"\uFFFDy"},             // low surrogate alone
        {std::wstring{0xD83D, 0xD83D, 0xDCFB}, L"\uFFFD\U0001F4FB"},  // high, then a whole pair
        {std::wstring{0xD83D, L'z'}, L"\uFFFDz"},
    };
    for (const auto& c : cases) EXPECT_EQ(JoinSurrogatePairs(c.In), c.Out) << testing::PrintToString(c.In);
}

} // namespace
