// The clock device: it asks the host for the time, and the host answers each request once.
#pragma once

#include "audiodevs/OstrelDeviceBase.h"

namespace Ostrel {

class DeviceQm5 final : public DeviceBase, public IDeviceQm5 {
public:
    DeviceQm5(Network::INetManager& jsonUdpNetMan, Network::INetManager& rtpNetMan);
    ~DeviceQm5() override;

    operator IDeviceQm5*() override { return this; }
    DeviceType GetDeviceType() const override { return DeviceType::Qm5; }
    uint32_t GetNumCycleSamples() const override { return DeviceCycleSamples; }

    // Queues the host's current time for the device ("cur_time", delivered reliably) and
    // returns without waiting for the acknowledgement; "Device is not connected" while
    // disconnected.
    ErrInfo SendCurrentTimeToDevice();

private:
    void OnGetTime(const Network::JsonMsgGetTime& msg, const Network::SockAddr& from) override;
};

} // namespace Ostrel
