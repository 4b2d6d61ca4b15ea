#include "audiodevs/OstrelDeviceQm5.h"

#include <memory>

namespace Ostrel {

DeviceQm5::DeviceQm5(Network::INetManager& jsonUdpNetMan, Network::INetManager& rtpNetMan)
    : DeviceBase(jsonUdpNetMan, rtpNetMan) {}

DeviceQm5::~DeviceQm5() { Deinit(); }

// The answer to a time request runs on a thread of the control connection, the one that also
// reports acknowledgements: waiting there for our own would only ever end at its time limit.
// The connection still repeats the answer until the device acknowledges it; a failure to queue
// it logs itself.
ErrInfo DeviceQm5::SendCurrentTimeToDevice() {
    if (GetDeviceConnectState() == DeviceConnectState::Disconnected)
        return MAKE_ERR_INFO().StrError("Device is not connected");
    SendMessageToDevice(std::make_shared<Network::JsonMsgCurTime>(), false);
    return MAKE_ERR_INFO();
}

// Exactly one answer per request: the base's dispatch calls this for "get_time".
void DeviceQm5::OnGetTime(const Network::JsonMsgGetTime&, const Network::SockAddr&) { SendCurrentTimeToDevice(); }

} // namespace Ostrel
