// The FM tuner: one tuner unit per audio input, each with a cached tuned frequency, reception
// quality and RDS data that mirror what the device last reported.
#pragma once

#include <cstdint>
#include <vector>

#include "audiodevs/OstrelDeviceBase.h"

namespace Ostrel {

class DeviceQm412 final : public DeviceBase, public IDeviceQm412 {
public:
    // A unit's frequency before the device has reported one.
    static constexpr int32_t PlaceholderFreq = 100500;

    DeviceQm412(Network::INetManager& jsonUdpNetMan, Network::INetManager& rtpNetMan);
    ~DeviceQm412() override;

    operator IDeviceQm412*() override { return this; }
    DeviceType GetDeviceType() const override { return DeviceType::Qm412; }
    uint32_t GetNumCycleSamples() const override { return DeviceCycleSamples; }

    // The arrays hold one entry per unit (GetNumRecordChannels()). With updateFromDevice the
    // device is asked first and false is returned when it does not answer in time.
    bool GetUnitRadioFreqs(uint32_t* freqs, bool updateFromDevice) override;
    // Sets every unit's frequency, then reads back what the device uses (it may round).
    bool SetUnitRadioFreqs(const uint32_t* freqs) override;
    bool GetUnitRadioQuality(Qm412TunerQualityValues* quality, bool updateFromDevice) override;
    bool GetUnitRdsData(Qm412TunerRdsData* rds, bool updateFromDevice) override;

    void OnMsgReceived(Network::IJsonUdpManager* connection, const Network::JsonMsgPtr& msg,
                       const Network::SockAddr& from) override;

private:
    void OnInit() override;
    void OnDeinit() override;
    void Cleanup();

    ErrInfo SendMsgGetFmFreq(bool waitResponse);
    ErrInfo SendMsgGetFmQuality(bool waitResponse);
    ErrInfo SendMsgGetRdsData(bool waitResponse);

    void OnFmFreq(const Network::JsonMsgFmFreq& msg, const Network::SockAddr& from);
    void OnFmQuality(const Network::JsonMsgFmQuality& msg, const Network::SockAddr& from);
    void OnFmRdsData(const Network::JsonMsgRdsData& msg, const Network::SockAddr& from);

    // All guarded by _JsonUdpMessageMutex; the vectors are empty or hold one entry per unit.
    std::vector<int32_t> _freqList;
    std::vector<Qm412TunerQualityValues> _fmQualityList;
    std::vector<Qm412TunerRdsData> _fmRdsDataList;
    uint32_t _lastFmFreqReceivedMsgId = 0;
    uint32_t _lastFmQualityReceivedMsgId = 0;
    uint32_t _lastFmRdsDataReceivedMsgId = 0;
};

} // namespace Ostrel
