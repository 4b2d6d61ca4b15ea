// The input switch: an analog or digital (AES) input, an analog gain switch, a settable sample
// rate and, from control protocol 2 on, a bypass switch.
#pragma once

#include <cstdint>

#include "audiodevs/OstrelDeviceBase.h"

namespace Ostrel {

class DeviceQm268 final : public DeviceBase, public IDeviceQm268 {
public:
    struct DeviceState {
        Input InputSelect = Analog;
        uint32_t AesFrequency = 48000;  // Hz, of the digital input
        Gain AnalogGain = Plus4dBu;
        Bypass BypassControl = Absent;
    };

    DeviceQm268(Network::INetManager& jsonUdpNetMan, Network::INetManager& rtpNetMan);
    ~DeviceQm268() override;

    operator IDeviceQm268*() override { return this; }
    DeviceType GetDeviceType() const override { return DeviceType::Qm268; }
    uint32_t GetNumCycleSamples() const override { return DeviceCycleSamples; }

    bool SetSampleFreq(uint32_t freq) override;
    bool GetInputSelection(Input& input, Gain& gain, uint32_t& aesFrequency, bool updateFromDevice) override;
    bool SetInputSelection(Input input, Gain gain) override;
    // Absent on a device without bypass (control protocol below 2), Undefined until it reported.
    bool GetBypass(Bypass& bypass, bool updateFromDevice) override;
    // False without sending on a device without bypass.
    bool SetBypass(bool on) override;

    void OnMsgReceived(Network::IJsonUdpManager* connection, const Network::JsonMsgPtr& msg,
                       const Network::SockAddr& from) override;

private:
    void OnInit() override;
    void OnDeinit() override;
    void OnState(const Network::JsonMsgState& msg, const Network::SockAddr& from) override;
    void OnMsgBypass(const Network::JsonMsgBypass& msg, const Network::SockAddr& from);
    ErrInfo SendMsgGetState(bool waitResponse);
    ErrInfo SendMsgGetBypass(bool waitResponse);
    bool HasBypass() const;

    // Guarded by _JsonUdpMessageMutex.
    DeviceState _deviceState;
    uint32_t _lastBypassReceivedMsgId = 0;
    uint32_t _lastStateReceivedMsgId = 0;
};

} // namespace Ostrel
