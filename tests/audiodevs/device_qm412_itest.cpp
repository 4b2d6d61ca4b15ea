// The tuner device object against the emulated device on 127.0.0.1: the handshake, the fixed
// waits, the tuner caches and the audio exchange. Every fixed wait is exercised once; tests that
// wait run their emulators side by side.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "audiodevs/IOstrelDevice.h"
#include "diag/IEnvironment.h"
#include "emulator/Qm412Emulator.h"
#include "protocol/JsonMsgCommonDefs.h"
#include "support/log_capture.h"
#include "support/udp_loopback.h"
#include "util/utfconv.h"

namespace {

using namespace Ostrel;
using namespace std::chrono_literals;
using test_support::FirstLine;

std::string Narrow(const std::wstring& w) { return text::UTF16_UTF8(w); }
std::wstring Wide(const std::string& s) { return text::UTF8_UTF16(s); }

// The first line of a failed result (the record is silenced: the test looks at it instead).
std::string Failure(ErrInfo err) {
    std::string text = Narrow(FirstLine(err));
    err.Silent();
    return text;
}

// One emulated device and a device object connected to it through managers of its own.
class Rig {
public:
    explicit Rig(emu::EmulatorConfig config = {}) : emulator(std::move(config)) {
        std::string error;
        EXPECT_TRUE(emulator.Start(&error)) << error;
        control.reset(Network::NetFactory::CreateNetManager(L"device-itest control", true, 1));
        audio.reset(Network::NetFactory::CreateNetManager(L"device-itest audio", true, 1));
        device.reset(CreateDevice(DeviceType::Qm412, *control, *audio));
    }
    ~Rig() {
        device.reset();
        emulator.Stop();
    }

    DeviceInitSettings Settings() const {
        DeviceInitSettings s;
        s.PeerAddr = L"127.0.0.1";
        s.PeerJsonPort = emulator.Port();
        s.HostAddr = L"127.0.0.1";
        // A control socket on port 0 would not read: answers need a port of their own.
        s.HostJsonPort = test_support::FreeLoopbackPort();
        return s;
    }
    ErrInfo Init() { return device->Init(Settings()); }
    IDeviceQm412& Tuner() { return *static_cast<IDeviceQm412*>(*device); }

    emu::Qm412Emulator emulator;
    std::unique_ptr<Network::INetManager> control;
    std::unique_ptr<Network::INetManager> audio;
    std::unique_ptr<IDevice> device;
};

emu::EmulatorConfig WithFaults(const std::function<void(emu::EmulatorConfig&)>& change) {
    emu::EmulatorConfig config;
    change(config);
    return config;
}

TEST(DeviceQm412, FactoryAndFreshObject) {
    auto control = std::unique_ptr<Network::INetManager>(Network::NetFactory::CreateNetManager(L"c", true, 1));
    auto audio = std::unique_ptr<Network::INetManager>(Network::NetFactory::CreateNetManager(L"a", true, 1));
    EXPECT_EQ(CreateDevice(static_cast<DeviceType>(3), *control, *audio), nullptr);
    std::unique_ptr<IDevice> device(CreateDevice(DeviceType::Qm412, *control, *audio));
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->GetDeviceType(), DeviceType::Qm412);
    EXPECT_EQ(device->GetDeviceConnectState(), DeviceConnectState::Disconnected);
    EXPECT_TRUE(device->GetDeviceId().empty());
    EXPECT_EQ(device->GetNumRecordChannels() + device->GetNumPlaybackChannels() + device->GetSampleFreq(), 0u);
    EXPECT_EQ(device->GetNumCycleSamples(), 192u);
    EXPECT_NE(static_cast<IDeviceQm412*>(*device), nullptr);
    EXPECT_EQ(static_cast<IDeviceQm268*>(*device), nullptr);
    EXPECT_EQ(static_cast<IDeviceQm5*>(*device), nullptr);
    EXPECT_EQ(Failure(device->Start(DeviceStartSettings())), "Cannot start: device not connected");
    device->Stop();    // nothing to stop
    device->Deinit();  // nothing to end
}

TEST(DeviceQm412, HandshakeDescribesTheDeviceAndFillsTheCaches) {
    emu::EmulatorConfig config;
    config.UnitId = "QM412-ÄÖ-7";
    config.Hardware = 3;
    config.Firmware = 4;
    config.Software = 5;
    config.RtpPort = 16000;
    Rig rig(config);
    test_support::LogCapture log(Environment()->DebugLog());

    ASSERT_TRUE(rig.Init().IsOk());
    EXPECT_EQ(rig.device->GetDeviceConnectState(), DeviceConnectState::Connected);
    const DeviceInfo info = rig.device->GetDeviceInfo();
    EXPECT_EQ(info.UnitId, Wide("QM412-ÄÖ-7"));
    EXPECT_EQ(rig.device->GetDeviceId(), info.UnitId);
    EXPECT_EQ(info.HardwareVersion, 3u);
    EXPECT_EQ(info.FirmwareVersion, 4u);
    EXPECT_EQ(info.SoftwareVersion, 5u);
    EXPECT_EQ(info.AudioProtocolVersion, 2u);
    EXPECT_EQ(info.PeerRtpPort, 16000u);
    EXPECT_EQ(rig.device->GetNumRecordChannels(), 4u);
    EXPECT_EQ(rig.device->GetNumPlaybackChannels(), 0u);
    EXPECT_EQ(rig.device->GetSampleFreq(), 48000u);
    const std::string connected = "Device connected: 127.0.0.1:" + std::to_string(rig.emulator.Port()) +
                                  ", type QM412, unit id QM412-ÄÖ-7, record channels 4, playback channels 0";
    EXPECT_TRUE(log.WaitForMatching(Wide(connected)));

    // The caches hold what the device reported at connection time, without asking again.
    const auto asked = rig.emulator.Counters().Requests;
    uint32_t freqs[4] = {};
    Qm412TunerQualityValues quality[4];
    Qm412TunerRdsData rds[4];
    ASSERT_TRUE(rig.Tuner().GetUnitRadioFreqs(freqs, false));
    ASSERT_TRUE(rig.Tuner().GetUnitRadioQuality(quality, false));
    ASSERT_TRUE(rig.Tuner().GetUnitRdsData(rds, false));
    EXPECT_EQ(rig.emulator.Counters().Requests, asked);
    for (uint32_t i = 0; i < 4; ++i) {
        const emu::TunerUnit unit = rig.emulator.Unit(i);
        EXPECT_EQ(freqs[i], unit.FmFreqKhz) << i;
        EXPECT_EQ(quality[i]._RSSI, static_cast<uint32_t>(unit.Rssi)) << i;
        EXPECT_EQ(quality[i]._SNR, static_cast<uint32_t>(unit.Snr)) << i;
        EXPECT_EQ(quality[i]._MultiPath, static_cast<uint32_t>(unit.Multipath)) << i;
        EXPECT_EQ(quality[i]._Pilot, static_cast<uint32_t>(unit.Pilot)) << i;
        EXPECT_EQ(quality[i]._Valid, static_cast<uint32_t>(unit.Valid)) << i;
        EXPECT_EQ(rds[i]._RdsPSrv, Wide(unit.PSrv)) << i;
        EXPECT_EQ(rds[i]._RdsText, Wide(unit.Text)) << i;
        EXPECT_EQ(rds[i]._RdsTime, Wide(unit.Time)) << i;
    }

    EXPECT_EQ(Failure(rig.Init()), "Can not init object, device already connected");
    EXPECT_EQ(rig.device->GetDeviceConnectState(), DeviceConnectState::Connected);
    rig.device->Deinit();
    EXPECT_EQ(rig.device->GetDeviceConnectState(), DeviceConnectState::Disconnected);
    EXPECT_TRUE(rig.device->GetDeviceId().empty());
    ASSERT_TRUE(rig.Tuner().GetUnitRadioFreqs(freqs, false));  // empty caches: nothing copied
    // A second connection of the same object works.
    ASSERT_TRUE(rig.Init().IsOk());
    EXPECT_EQ(rig.device->GetNumRecordChannels(), 4u);
}

// Each of the handshake's fixed waits, once, side by side.
TEST(DeviceQm412, HandshakeWaitsEndInTheirTimeLimit) {
    struct Case {
        const char* name;
        std::function<void(emu::EmulatorConfig&)> change;
    };
    const std::vector<Case> cases = {
        {"description request never acknowledged", [](auto& c) { c.Faults.NeverAck = {"get_dev_info"}; }},
        {"description never sent", [](auto& c) { c.Faults.NeverAnswer = {"get_dev_info"}; }},
        {"state never sent", [](auto& c) { c.Faults.NeverAnswer = {"get_state"}; }},
        {"device of another model", [](auto& c) { c.UnitType = "QM268"; }},
    };
    test_support::LogCapture log(Environment()->DebugLog());
    std::vector<std::unique_ptr<Rig>> rigs;
    std::vector<std::future<ErrInfo>> results;
    for (const Case& c : cases) {
        rigs.push_back(std::make_unique<Rig>(WithFaults(c.change)));
        Rig* rig = rigs.back().get();
        results.push_back(std::async(std::launch::async, [rig] { return rig->Init(); }));
    }
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].name);
        EXPECT_EQ(Failure(results[i].get()), "Message response time has expired");
        EXPECT_EQ(rigs[i]->device->GetDeviceConnectState(), DeviceConnectState::Disconnected);
        EXPECT_TRUE(rigs[i]->device->GetDeviceId().empty());
    }
    EXPECT_TRUE(log.WaitForMatching(Wide("unexpected device type QM268, expected QM412")));
}

// The device never answers the three tuner requests at connection time, or answers them with
// lists of the wrong length: the connection still succeeds, the caches keep their placeholders,
// and a fresh query fails with its own text.
TEST(DeviceQm412, UnansweredOrMalformedTunerAnswersLeaveThePlaceholders) {
    Rig silent(WithFaults([](auto& c) { c.Faults.NeverAnswer = {"get_fm_freq", "get_fm_quality", "get_rds_data"}; }));
    Rig malformed(WithFaults([](auto& c) { c.Faults.ListLengthDelta = 1; }));
    test_support::LogCapture log(Environment()->DebugLog());
    auto first = std::async(std::launch::async, [&] { return silent.Init(); });
    auto second = std::async(std::launch::async, [&] { return malformed.Init(); });
    ASSERT_TRUE(first.get().IsOk());
    ASSERT_TRUE(second.get().IsOk());
    EXPECT_TRUE(log.WaitForMatching(Wide("Freq list size is not correct")));
    EXPECT_TRUE(log.WaitForMatching(Wide("Fm quality list size is not correct")));
    EXPECT_TRUE(log.WaitForMatching(Wide("Fm RDS data list size is not correct")));

    for (Rig* rig : {&silent, &malformed}) {
        uint32_t freqs[4] = {};
        Qm412TunerQualityValues quality[4];
        quality[2]._SNR = 77;
        Qm412TunerRdsData rds[4];
        rds[1]._RdsText = L"x";
        ASSERT_TRUE(rig->Tuner().GetUnitRadioFreqs(freqs, false));
        ASSERT_TRUE(rig->Tuner().GetUnitRadioQuality(quality, false));
        ASSERT_TRUE(rig->Tuner().GetUnitRdsData(rds, false));
        for (int i = 0; i < 4; ++i) {
            EXPECT_EQ(freqs[i], 100500u);
            EXPECT_EQ(quality[i]._SNR, 0u);
            EXPECT_TRUE(rds[i]._RdsText.empty());
        }
    }
    // A fresh query waits for an answer it never accepts.
    uint32_t freqs[4] = {};
    EXPECT_FALSE(malformed.Tuner().GetUnitRadioFreqs(freqs, true));
    EXPECT_TRUE(log.WaitForMatching(Wide("Device response timeout expired for expected \"fm_freq\"")));
}

TEST(DeviceQm412, SetFrequenciesReadsBackWhatTheDeviceUses) {
    Rig rig;
    ASSERT_TRUE(rig.Init().IsOk());
    // The emulator rounds to its 50 kHz step and clamps to the band.
    const uint32_t wanted[4] = {94420, 101000, 120000, 87480};
    const uint32_t used[4] = {94400, 101000, 108000, 87500};
    ASSERT_TRUE(rig.Tuner().SetUnitRadioFreqs(wanted));
    uint32_t cached[4] = {};
    ASSERT_TRUE(rig.Tuner().GetUnitRadioFreqs(cached, false));
    EXPECT_EQ(std::vector<uint32_t>(cached, cached + 4), std::vector<uint32_t>(used, used + 4));
    for (uint32_t i = 0; i < 4; ++i) EXPECT_EQ(rig.emulator.Unit(i).FmFreqKhz, used[i]);

    // Fresh queries see what changed at the device.
    emu::TunerUnit unit = rig.emulator.Unit(1);
    unit.Snr = 12;
    unit.Text = "Nachrichten – Straße";
    rig.emulator.SetUnit(1, unit);
    Qm412TunerQualityValues quality[4];
    Qm412TunerRdsData rds[4];
    ASSERT_TRUE(rig.Tuner().GetUnitRadioQuality(quality, true));
    ASSERT_TRUE(rig.Tuner().GetUnitRdsData(rds, true));
    EXPECT_EQ(quality[1]._SNR, 12u);
    EXPECT_EQ(rds[1]._RdsText, Wide("Nachrichten – Straße"));
}

TEST(DeviceQm412, UnsolicitedUpdatesRefreshTheCachesAndReachTheCallback) {
    Rig rig;
    std::mutex mutex;
    std::vector<std::wstring> kinds;
    DeviceInitSettings settings = rig.Settings();
    settings.OnDeviceMessageReceivedCallback = [&](const std::shared_ptr<Network::JsonMsg>& msg) {
        std::lock_guard<std::mutex> lock(mutex);
        kinds.push_back(msg->MsgType);
    };
    ASSERT_TRUE(rig.device->Init(settings).IsOk());

    emu::TunerUnit unit = rig.emulator.Unit(3);
    unit.FmFreqKhz = 99900;
    rig.emulator.SetUnit(3, unit);
    ASSERT_TRUE(rig.emulator.Push("fm_freq"));
    // The cache is updated before the callback runs: wait for the callback, then read the cache.
    auto updates = [&] {
        std::lock_guard<std::mutex> lock(mutex);
        return std::count(kinds.begin(), kinds.end(), L"fm_freq");
    };
    for (int i = 0; i < 500 && updates() < 2; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(updates(), 2);  // the answer at Init, the update
    uint32_t freqs[4] = {};
    ASSERT_TRUE(rig.Tuner().GetUnitRadioFreqs(freqs, false));
    EXPECT_EQ(freqs[3], 99900u);
}

// Two application threads asking at the same time: acknowledgements reported back to back must
// not make either of them miss its own.
TEST(DeviceQm412, ConcurrentRequestsAllSucceed) {
    Rig rig;
    ASSERT_TRUE(rig.Init().IsOk());
    constexpr int Rounds = 150;
    std::atomic<int> failures{0};
    auto ask = [&](bool quality) {
        for (int i = 0; i < Rounds; ++i) {
            uint32_t freqs[4];
            Qm412TunerQualityValues values[4];
            const bool ok = quality ? rig.Tuner().GetUnitRadioQuality(values, true)
                                    : rig.Tuner().GetUnitRadioFreqs(freqs, true);
            if (!ok) {
                ++failures;  // each miss costs a 2 s wait: one is enough
                return;
            }
        }
    };
    std::thread first(ask, false), second(ask, true);
    first.join();
    second.join();
    EXPECT_EQ(failures, 0);
}


// A caller that is slow to look for its acknowledgement (a low-priority thread sharing one CPU
// with a busy one) must still find it, however many deliveries for others came after it.
TEST(DeviceQm412, SlowCallerFindsItsAcknowledgementAfterManyOthers) {
    cpu_set_t saved;
    ASSERT_EQ(sched_getaffinity(0, sizeof saved, &saved), 0);
    cpu_set_t one;
    CPU_ZERO(&one);
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
        if (CPU_ISSET(cpu, &saved)) {
            CPU_SET(cpu, &one);
            break;
        }
    ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);  // the rig's threads inherit it
    {
        Rig rig;
        ASSERT_TRUE(rig.Init().IsOk());
        std::atomic<bool> slowDone{false};
        std::atomic<int> slowFailures{0}, fastFailures{0};
        std::thread slow([&] {
            setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 19);
            for (int i = 0; i < 60; ++i) {
                Qm412TunerQualityValues values[4];
                if (!rig.Tuner().GetUnitRadioQuality(values, true)) {
                    ++slowFailures;  // each miss costs a 2 s wait: one is enough
                    break;
                }
            }
            slowDone = true;
        });
        std::thread fast([&] {
            while (!slowDone) {
                uint32_t freqs[4];
                if (!rig.Tuner().GetUnitRadioFreqs(freqs, true)) {
                    ++fastFailures;
                    break;
                }
            }
        });
        slow.join();
        fast.join();
        EXPECT_EQ(slowFailures, 0);
        EXPECT_EQ(fastFailures, 0);
    }
    sched_setaffinity(0, sizeof saved, &saved);
}

// What the exchange callback saw: per cycle the buffer count and size, and the first two units'
// left channels appended.
struct Exchange {
    std::mutex mutex;
    size_t cycles = 0;
    size_t badShapes = 0;
    std::vector<float> unit0, unit1;

    void Take(const buffer_ptrs& record, size_t samples) {
        std::lock_guard<std::mutex> lock(mutex);
        ++cycles;
        if (record.size() != 8 || samples != 192 || !record[0] || !record[2]) {
            ++badShapes;
            return;
        }
        unit0.insert(unit0.end(), record[0], record[0] + samples);
        unit1.insert(unit1.end(), record[2], record[2] + samples);
    }
    size_t Cycles() {
        std::lock_guard<std::mutex> lock(mutex);
        return cycles;
    }
};

bool WaitForCycles(Exchange& exchange, size_t count) {
    for (int i = 0; i < 1000 && exchange.Cycles() < count; ++i) std::this_thread::sleep_for(10ms);
    return exchange.Cycles() >= count;
}

// Starts audio on host ports (base + 2 … base + 8) held free until just before the start, so
// that no other socket of this or another test process is bound to them.
ErrInfo StartOnFreePorts(IDevice& device, DeviceStartSettings settings) {
    test_support::RtpPortBlock ports(4);
    EXPECT_NE(ports.Base(), 0);
    settings.HostRtpPort = ports.Base();
    ports.Release();
    return device.Start(settings);
}

// The samples after the stream has locked: from the first non-zero one on.
std::vector<float> Sounding(const std::vector<float>& samples) {
    auto first = std::find_if(samples.begin(), samples.end(), [](float s) { return s != 0.0f; });
    return std::vector<float>(first, samples.end());
}

// The longest run of whole cycles that all carry sound. A cycle whose packet came too late (a
// test machine busy for tens of milliseconds) is silent; the tone is measured between such gaps.
std::vector<float> LongestSoundingRun(const std::vector<float>& samples, size_t cycle = 192) {
    size_t best = 0, bestLength = 0, start = 0;
    for (size_t at = 0; at + cycle <= samples.size(); at += cycle) {
        const bool silent = std::all_of(samples.begin() + at, samples.begin() + at + cycle, [](float s) { return s == 0.0f; });
        if (silent) {
            start = at + cycle;
        } else if (at + cycle - start > bestLength) {
            best = start;
            bestLength = at + cycle - start;
        }
    }
    return std::vector<float>(samples.begin() + best, samples.begin() + best + bestLength);
}

// Frequency from the rising zero crossings, amplitude from the peak.
void ExpectTone(const std::vector<float>& samples, const emu::Tone& tone) {
    ASSERT_GT(samples.size(), 48000u / 8) << "less than an eighth of a second of sound without a gap";
    size_t firstRise = 0, lastRise = 0, rises = 0;
    float peak = 0;
    for (size_t i = 1; i < samples.size(); ++i) {
        peak = std::max(peak, std::fabs(samples[i]));
        if (samples[i - 1] < 0 && samples[i] >= 0) {
            if (rises++ == 0) firstRise = i;
            lastRise = i;
        }
    }
    ASSERT_GT(rises, 10u) << samples.size() << " samples, peak " << peak;
    const double frequency = (rises - 1) * 48000.0 / static_cast<double>(lastRise - firstRise);
    EXPECT_NEAR(frequency, tone.FrequencyHz, tone.FrequencyHz * 0.01);
    EXPECT_NEAR(peak, tone.LeftAmplitude, 0.01);
}

TEST(DeviceQm412, AudioCarriesEachUnitsToneUntilStop) {
    Rig rig;
    ASSERT_TRUE(rig.Init().IsOk());
    Exchange exchange;
    DeviceStartSettings settings;
    settings.RtpExchangeCallback = [&](const buffer_ptrs& record, buffer_ptrs& playback, size_t samples) {
        EXPECT_TRUE(playback.empty());  // a tuner has no outputs
        exchange.Take(record, samples);
    };
    ASSERT_TRUE(StartOnFreePorts(*rig.device, settings).IsOk());
    EXPECT_EQ(rig.device->GetDeviceConnectState(), DeviceConnectState::RtpActive);
    EXPECT_EQ(Failure(rig.device->Start(settings)), "Cannot start: device not connected");
    for (const std::string& destination : rig.emulator.Destinations()) EXPECT_FALSE(destination.empty());

    ASSERT_TRUE(WaitForCycles(exchange, 150));  // 0.6 s of audio
    const uint64_t inputsAsked = rig.emulator.Counters().Requests["get_inputs"];
    rig.device->Stop();
    EXPECT_EQ(rig.device->GetDeviceConnectState(), DeviceConnectState::Connected);
    // The device was told to stop every stream, then asked where it streams now.
    for (const std::string& destination : rig.emulator.Destinations()) EXPECT_TRUE(destination.empty());
    EXPECT_EQ(rig.emulator.Counters().Requests["get_inputs"], inputsAsked + 1);

    std::lock_guard<std::mutex> lock(exchange.mutex);
    EXPECT_EQ(exchange.badShapes, 0u);
    ExpectTone(LongestSoundingRun(exchange.unit0), rig.emulator.ToneOf(0));
    ExpectTone(LongestSoundingRun(exchange.unit1), rig.emulator.ToneOf(1));
    EXPECT_NE(rig.emulator.ToneOf(0).FrequencyHz, rig.emulator.ToneOf(1).FrequencyHz);
}

// The application supplies the record buffers each cycle; the device hands it empty slots.
TEST(DeviceQm412, RecordBufferCallbackSuppliesTheBuffersOfOneCycle) {
    Rig rig;
    ASSERT_TRUE(rig.Init().IsOk());
    std::vector<std::vector<float>> own(8, std::vector<float>(192));
    std::atomic<size_t> slotsNotEmpty{0}, cycles{0};
    std::atomic<bool> sound{false};
    DeviceStartSettings settings;
    settings.RtpGetRecBufCallback = [&](buffer_ptrs& record, size_t samples) {
        for (float* slot : record)
            if (slot != nullptr) ++slotsNotEmpty;
        EXPECT_EQ(samples, 192u);
        for (size_t i = 0; i < record.size() && i < own.size(); ++i) record[i] = own[i].data();
    };
    settings.RtpExchangeCallback = [&](const buffer_ptrs& record, buffer_ptrs&, size_t) {
        if (record.size() == 8 && record[0] == own[0].data() && own[0][100] != 0.0f) sound = true;
        ++cycles;
    };
    ASSERT_TRUE(StartOnFreePorts(*rig.device, settings).IsOk());
    for (int i = 0; i < 1000 && (cycles < 100 || !sound); ++i) std::this_thread::sleep_for(10ms);
    rig.device->Stop();
    EXPECT_GE(cycles.load(), 100u);
    EXPECT_TRUE(sound);
    EXPECT_EQ(slotsNotEmpty.load(), 0u);
}

// Stop and Deinit from inside the callback would free what the running cycle uses: refused, and
// the stream carries on.
TEST(DeviceQm412, StopFromTheAudioCallbackIsRefused) {
    Rig rig;
    ASSERT_TRUE(rig.Init().IsOk());
    test_support::LogCapture log(Environment()->DebugLog());
    std::atomic<size_t> cycles{0};
    DeviceStartSettings settings;
    settings.RtpExchangeCallback = [&](const buffer_ptrs&, buffer_ptrs&, size_t) {
        if (cycles++ == 10) {
            rig.device->Stop();
            rig.device->Deinit();
        }
    };
    ASSERT_TRUE(StartOnFreePorts(*rig.device, settings).IsOk());
    for (int i = 0; i < 1000 && cycles < 60; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_GE(cycles.load(), 60u);
    EXPECT_EQ(rig.device->GetDeviceConnectState(), DeviceConnectState::RtpActive);
    EXPECT_TRUE(log.WaitForMatching(L"Stop refused"));
    EXPECT_TRUE(log.WaitForMatching(L"Deinit refused"));
    rig.device->Deinit();  // from the application's thread: stops the audio, then disconnects
    EXPECT_EQ(rig.device->GetDeviceConnectState(), DeviceConnectState::Disconnected);
}

TEST(DeviceQm412, SampleRatesAndALossyLegacyStream) {
    // 32000 Hz cannot be streamed: refused, the connection stays.
    Rig odd(WithFaults([](auto& c) { c.SampleRate = 32000; }));
    ASSERT_TRUE(odd.Init().IsOk());
    EXPECT_EQ(Failure(odd.device->Start(DeviceStartSettings())), "Cannot start: invalid sample frequency");
    EXPECT_EQ(odd.device->GetDeviceConnectState(), DeviceConnectState::Connected);

    // Older firmware at 44100 Hz (legacy payload types) losing 5% of its packets: the cycles go
    // on and carry sound.
    Rig lossy(WithFaults([](auto& c) {
        c.SampleRate = 44100;
        c.AudioProtocol = 1;
        c.Faults.RtpLoss = 0.05;
    }));
    ASSERT_TRUE(lossy.Init().IsOk());
    Exchange exchange;
    DeviceStartSettings settings;
    settings.RtpExchangeCallback = [&](const buffer_ptrs& record, buffer_ptrs&, size_t samples) {
        exchange.Take(record, samples);
    };
    ASSERT_TRUE(StartOnFreePorts(*lossy.device, settings).IsOk());
    EXPECT_TRUE(WaitForCycles(exchange, 200));
    lossy.device->Stop();
    EXPECT_GT(lossy.emulator.Counters().RtpLost, 0u);
    std::lock_guard<std::mutex> lock(exchange.mutex);
    EXPECT_EQ(exchange.badShapes, 0u);
    EXPECT_FALSE(Sounding(exchange.unit0).empty());
}

} // namespace
