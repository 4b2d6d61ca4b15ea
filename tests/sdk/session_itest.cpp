// The public interface against the in-process emulator on 127.0.0.1: search, a whole session,
// and the failures an application meets first.
#include "sdk412.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "emulator/Qm412Emulator.h"
#include "support/udp_loopback.h"

namespace {

using namespace Ostrel::SDK;
using namespace std::chrono_literals;
using test_support::FreeLoopbackPort;
using test_support::RtpPortBlock;

constexpr uint32_t Units = 3;
// Sent as UTF-8; the texts hold characters of two, three and four UTF-8 bytes.
const char* const RdsPSrvUtf8 = "\xCE\xA9-FM \xF0\x9F\x93\xBB";                    // Ω-FM 📻
const char* const RdsTextUtf8 = "Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC \xF0\x9F\x8E\xB5!";  // Grüße € 🎵!
const wchar_t* const RdsPSrvWide = L"\u03A9-FM \U0001F4FB";
const wchar_t* const RdsTextWide = L"Gr\u00FC\u00DFe \u20AC \U0001F3B5!";

emu::EmulatorConfig TestDevice() {
    emu::EmulatorConfig config;
    config.UnitId = "QM412-SDK-TEST";
    config.Inputs = Units;
    config.Hardware = 3;
    config.Firmware = 4;
    config.Software = 5;
    config.ControlProtocol = 1;
    config.RtpPort = 16002;
    for (uint32_t i = 0; i < Units; ++i) config.Units.push_back(emu::DefaultUnit(i));
    config.Units[1].PSrv = RdsPSrvUtf8;
    config.Units[1].Text = RdsTextUtf8;
    return config;
}

class SdkSession : public testing::Test {
protected:
    void SetUp() override {
        _emulator = std::make_unique<emu::Qm412Emulator>(TestDevice());
        ASSERT_TRUE(_emulator->Start());
    }

    DeviceInitSettings InitSettings(uint16_t hostPort) const {
        DeviceInitSettings settings;
        settings.PeerAddr = "127.0.0.1";
        settings.PeerJsonPort = _emulator->Port();
        settings.HostAddr = "127.0.0.1";
        settings.HostJsonPort = hostPort;
        return settings;
    }

    uint64_t Requests(const char* kind) const { return _emulator->Counters().Requests[kind]; }

    std::unique_ptr<emu::Qm412Emulator> _emulator;
};

TEST_F(SdkSession, SearchFindsTheDeviceOnlyWhenItsAnswerCanBeRead) {
    // Both searches listen 3 s; they run side by side on different host ports.
    auto search = [this](uint32_t hostPort) {
        std::vector<DeviceInfoEx> found(2);  // must be replaced, not appended to
        const bool ok = FindActiveDevices("127.0.0.1", hostPort, "127.0.0.1", _emulator->Port(), found);
        return std::make_pair(ok, found);
    };
    auto unicast = std::async(std::launch::async, search, FreeLoopbackPort());
    auto portZero = std::async(std::launch::async, search, 0u);

    const auto [ok, found] = unicast.get();
    ASSERT_TRUE(ok);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].UnitId, "QM412-SDK-TEST");
    EXPECT_EQ(found[0].UnitAddr, "127.0.0.1");
    EXPECT_EQ(found[0].UnitPort, _emulator->Port());
    EXPECT_EQ(found[0].NumInputs, Units);
    EXPECT_EQ(found[0].HardwareVersion, 3u);
    EXPECT_EQ(found[0].PeerRtpPort, 16002u);

    const auto [okZero, foundZero] = portZero.get();
    EXPECT_TRUE(okZero);
    EXPECT_TRUE(foundZero.empty());
}

TEST_F(SdkSession, SearchThatCannotRunFailsWithAnEmptyList) {
    const test_support::UdpPeer occupant;  // holds the host port, so the search cannot bind it
    std::vector<DeviceInfoEx> found(1);
    EXPECT_FALSE(FindActiveDevices("127.0.0.1", occupant.Port(), "127.0.0.1", _emulator->Port(), found));
    EXPECT_TRUE(found.empty());
}

TEST_F(SdkSession, InitWithHostPortZeroFails) {
    std::unique_ptr<IQm412> device(CreateQm412());
    EXPECT_FALSE(device->Init(InitSettings(0)));
    EXPECT_EQ(device->GetDeviceConnectState(), DeviceConnectState::Disconnected);
    EXPECT_GE(Requests("get_dev_info"), 1u);  // the request did leave
}

TEST_F(SdkSession, FullSessionThroughThePublicInterface) {
    std::unique_ptr<IQm412> device(CreateQm412());
    ASSERT_TRUE(device->Init(InitSettings(FreeLoopbackPort())));

    EXPECT_EQ(device->GetDeviceConnectState(), DeviceConnectState::Connected);
    EXPECT_EQ(device->GetDeviceId(), "QM412-SDK-TEST");
    const DeviceInfo info = device->GetDeviceInfo();
    EXPECT_EQ(info.UnitId, "QM412-SDK-TEST");
    EXPECT_EQ(info.HardwareVersion, 3u);
    EXPECT_EQ(info.FirmwareVersion, 4u);
    EXPECT_EQ(info.SoftwareVersion, 5u);
    EXPECT_EQ(info.AudioProtocolVersion, 2u);
    EXPECT_EQ(info.ControlProtocolVersion, 1u);
    EXPECT_EQ(info.PeerRtpPort, 16002u);
    EXPECT_EQ(info.NumInputs, Units);
    EXPECT_EQ(info.SampleFreq, 48000u);
    EXPECT_EQ(device->GetNumRecordChannels(), Units);
    EXPECT_EQ(device->GetNumCycleSamples(), 192u);
    EXPECT_EQ(device->GetSampleFreq(), 48000u);

    // Values fetched during Init come back without asking the device again.
    const uint64_t qualityAsked = Requests("get_fm_quality");
    Qm412TunerQualityValues quality[Units];
    ASSERT_TRUE(device->GetUnitRadioQuality(quality, false));
    EXPECT_EQ(Requests("get_fm_quality"), qualityAsked);
    for (uint32_t i = 0; i < Units; ++i) {
        const emu::TunerUnit unit = _emulator->Unit(i);
        EXPECT_EQ(quality[i]._RSSI, static_cast<uint32_t>(unit.Rssi)) << i;
        EXPECT_EQ(quality[i]._SNR, static_cast<uint32_t>(unit.Snr)) << i;
        EXPECT_EQ(quality[i]._MultiPath, static_cast<uint32_t>(unit.Multipath)) << i;
        EXPECT_EQ(quality[i]._Pilot, static_cast<uint32_t>(unit.Pilot)) << i;
        EXPECT_EQ(quality[i]._Valid, static_cast<uint32_t>(unit.Valid)) << i;
    }

    // Tuning: the device rounds to its 50 kHz step and the facade reads back what it settled on.
    uint32_t freqs[Units] = {};
    ASSERT_TRUE(device->GetUnitRadioFreqs(freqs, false));
    for (uint32_t i = 0; i < Units; ++i) EXPECT_EQ(freqs[i], _emulator->Unit(i).FmFreqKhz) << i;
    const uint32_t wanted[Units] = {89000, 97320, 104990};
    const uint32_t settled[Units] = {89000, 97300, 105000};
    ASSERT_TRUE(device->SetUnitRadioFreqs(wanted));
    for (uint32_t i = 0; i < Units; ++i) EXPECT_EQ(_emulator->Unit(i).FmFreqKhz, settled[i]) << i;
    ASSERT_TRUE(device->GetUnitRadioFreqs(freqs, true));
    for (uint32_t i = 0; i < Units; ++i) EXPECT_EQ(freqs[i], settled[i]) << i;

    // RDS arrives with one wide character per character, whatever its UTF-8 length was.
    emu::TunerUnit changed = _emulator->Unit(0);
    changed.Time = "23:59";
    _emulator->SetUnit(0, changed);
    Qm412TunerRdsDataValues rds[Units];
    ASSERT_TRUE(device->GetUnitRdsData(rds, true));
    EXPECT_EQ(rds[0]._RdsTime, L"23:59");
    EXPECT_EQ(rds[1]._RdsPSrv, RdsPSrvWide);
    EXPECT_EQ(rds[1]._RdsText, RdsTextWide);
    EXPECT_EQ(rds[2]._RdsPSrv, L"EMU 3");

    // Audio: the application supplies the record buffers and reads them in the exchange callback.
    // Every unit plays a continuous tone, so after the receive buffer has filled every block of
    // every channel carries sound.
    const uint32_t samples = device->GetNumCycleSamples();
    std::vector<std::vector<float>> own(2 * Units, std::vector<float>(samples));
    std::mutex mutex;
    std::condition_variable cycled;
    int cycles = 0;                               // guarded by mutex
    bool ownBuffersSeen = true;                   // guarded by mutex
    std::vector<int> soundingBlocks(2 * Units);   // per channel; guarded by mutex
    std::vector<double> peak(2 * Units);          // per channel; guarded by mutex
    DeviceStartSettings start;
    start.RtpGetRecBufCallback = [&](buffer_ptrs& record, size_t n) {
        for (size_t c = 0; c < record.size() && c < own.size(); ++c) record[c] = own[c].data();
        EXPECT_EQ(n, samples);
    };
    start.RtpExchangeCallback = [&](const buffer_ptrs& record, size_t n) {
        std::lock_guard<std::mutex> lock(mutex);
        ++cycles;
        if (record.size() != 2 * Units || n != samples) {
            ownBuffersSeen = false;
            return;
        }
        for (size_t c = 0; c < record.size(); ++c) {
            ownBuffersSeen = ownBuffersSeen && record[c] == own[c].data();
            bool sounding = false;
            for (size_t s = 0; s < n; ++s) {
                peak[c] = std::max(peak[c], std::fabs(double(record[c][s])));
                sounding = sounding || record[c][s] != 0;
            }
            soundingBlocks[c] += sounding;
        }
        cycled.notify_all();
    };
    RtpPortBlock ports(Units);
    ASSERT_NE(ports.Base(), 0);
    start.HostRtpPort = ports.Base();
    ports.Release();
    ASSERT_TRUE(device->Start(start));
    EXPECT_EQ(device->GetDeviceConnectState(), DeviceConnectState::RtpActive);
    {
        std::unique_lock<std::mutex> lock(mutex);
        // 100 cycles of 4 ms, 10 of them for the receive delay; the timeout is a safety net only.
        cycled.wait_for(lock, 10s, [&] { return cycles >= 100; });
        EXPECT_GE(cycles, 100);
        EXPECT_TRUE(ownBuffersSeen);
        for (uint32_t c = 0; c < 2 * Units; ++c) {
            EXPECT_GE(soundingBlocks[c], cycles - 20) << "channel " << c << " of " << cycles << " cycles";
            // The emulator plays the left channel at half scale and the right at a quarter.
            EXPECT_NEAR(peak[c], c % 2 ? 0.25 : 0.5, 0.01) << "channel " << c;
        }
    }
    device->Stop();
    EXPECT_EQ(device->GetDeviceConnectState(), DeviceConnectState::Connected);
    {
        std::lock_guard<std::mutex> lock(mutex);
        cycles = 0;
    }
    std::this_thread::sleep_for(50ms);
    {
        std::lock_guard<std::mutex> lock(mutex);
        EXPECT_EQ(cycles, 0) << "callback after Stop";
    }

    device->Deinit();
    EXPECT_EQ(device->GetDeviceConnectState(), DeviceConnectState::Disconnected);
    EXPECT_EQ(device->GetDeviceId(), "");
    EXPECT_EQ(device->GetDeviceInfo().UnitId, "");
    EXPECT_EQ(device->GetDeviceInfo().NumInputs, 0u);
}

// An application that passes no exchange callback still gets a clean start and stop.
TEST_F(SdkSession, StartWithoutExchangeCallbackStreamsAndStops) {
    std::unique_ptr<IQm412> device(CreateQm412());
    ASSERT_TRUE(device->Init(InitSettings(FreeLoopbackPort())));
    RtpPortBlock ports(Units);
    ASSERT_NE(ports.Base(), 0);
    DeviceStartSettings start;
    start.HostRtpPort = ports.Base();
    ports.Release();
    ASSERT_TRUE(device->Start(start));
    const auto until = std::chrono::steady_clock::now() + 10s;
    while (_emulator->Counters().RtpDatagrams.at(0) < 20 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(10ms);
    device->Stop();
    EXPECT_EQ(device->GetDeviceConnectState(), DeviceConnectState::Connected);
}

} // namespace
