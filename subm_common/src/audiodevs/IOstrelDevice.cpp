#include "audiodevs/IOstrelDevice.h"

#include <chrono>
#include <memory>
#include <mutex>
#include <thread>

#include "audiodevs/OstrelDeviceQm268.h"
#include "audiodevs/OstrelDeviceQm412.h"
#include "audiodevs/OstrelDeviceQm5.h"
#include "protocol/JsonMsgAsioDriver.h"
#include "protocol/JsonUdpConnect.h"

namespace Ostrel {

const cmn::EnumConvert<DeviceType> OSTREL_DEVICE_TYPE_CONV{
    {DeviceType::Qm268, L"QM268"},
    {DeviceType::Qm412, L"QM412"},
    {DeviceType::Qm5, L"QM5"},
};

const cmn::EnumConvert<DeviceConnectState> OSTREL_STATE_TYPE_CONV{
    {DeviceConnectState::Disconnected, L"Disconnected"},
    {DeviceConnectState::Connected, L"Connected"},
    {DeviceConnectState::RtpActive, L"RtpActive"},
};

const std::wstring& DeviceType2String(DeviceType type) { return OSTREL_DEVICE_TYPE_CONV.ToString(type); }

DeviceType String2DeviceType(std::wstring_view text) { return OSTREL_DEVICE_TYPE_CONV.ToType(text, DeviceType::Qm268); }

const std::wstring& DeviceConnectState2String(DeviceConnectState state) {
    return OSTREL_STATE_TYPE_CONV.ToString(state);
}

DeviceConnectState String2DeviceConnectState(std::wstring_view text) {
    return OSTREL_STATE_TYPE_CONV.ToType(text, DeviceConnectState::Disconnected);
}

void ImplDeviceInfo::SetFromJsonMsg(const Network::JsonMsgDevInfo& msg) {
    UnitId = msg.UnitId;
    HardwareVersion = msg.Hardware;
    FirmwareVersion = msg.Firmware;
    SoftwareVersion = msg.Software;
    AudioProtocolVersion = msg.AudioProtocol;
    ControlProtocolVersion = msg.ControlProtocol;
    PeerRtpPort = msg.RtpPort;
    NumInputs = msg.Inputs;
    NumOutputs = msg.Outputs;
}

namespace {

constexpr auto SearchListenTime = std::chrono::milliseconds(3000);

// Collects the answers of one search; lives only for that search.
class BroadcastReceiver final : public Network::IJsonUdpReceiver {
public:
    ErrInfo FindActiveDevices(const Network::SockAddr& host, const Network::SockAddr& broadcast, DevicesList& list);

    void OnMsgDelivered(Network::IJsonUdpManager*, const Network::JsonMsgPtr&) override {}
    void OnMsgReceived(Network::IJsonUdpManager* connection, const Network::JsonMsgPtr& msg,
                       const Network::SockAddr& from) override;
    // The record logs itself when dropped.
    void OnError(Network::IJsonUdpManager*, ErrInfo) override {}

private:
    void OnDevInfo(const Network::JsonMsgDevInfo& msg, const Network::SockAddr& from);

    DevicesList _devlist;  // guarded by _jsonUdpMessageMutex
    std::mutex _jsonUdpMessageMutex;
};

ErrInfo BroadcastReceiver::FindActiveDevices(const Network::SockAddr& host, const Network::SockAddr& broadcast,
                                             DevicesList& list) {
    // Declared before the connection so that the connection, which uses it, goes first.
    std::unique_ptr<Network::INetManager> manager(
        Network::NetFactory::CreateNetManager(L"BroadcastReceiver NetManager", true, 0));
    if (!manager) return MAKE_ERR_INFO().StrError("Can not create UdpNetMan");

    Network::IJsonUdpConnectPtr connection = Network::JsonUdpFactory::CreateJsonUdpConnect(
        Network::ComponentInfo("BroadcastReceiver.JsonUdpConnect"), *manager);
    if (!connection) return MAKE_ERR_INFO().StrError("Can not create JsonUdpConnect");

    Network::JsonUdpConnectInfo info;
    info.ManagerInfo.Receiver = this;
    info.ManagerInfo.MsgFactory = Network::GetAsioDriverJsonMsgFactory();
    info.ManagerInfo.RecvAddr = host;
    // Without it the system refuses to send to a broadcast address, the normal target.
    info.ManagerInfo.Broadcast = true;

    ErrInfo err = connection->Init(info);
    if (!err) return err;
    err = connection->Start();
    if (!err) return err;
    err = connection->SendDirect(std::make_shared<Network::JsonMsgDevFind>(), broadcast);
    if (!err) return err;

    std::this_thread::sleep_for(SearchListenTime);

    {
        std::lock_guard<std::mutex> lock(_jsonUdpMessageMutex);
        list = _devlist;
    }
    return MAKE_ERR_INFO();
}

void BroadcastReceiver::OnMsgReceived(Network::IJsonUdpManager*, const Network::JsonMsgPtr& msg,
                                      const Network::SockAddr& from) {
    if (const auto* devInfo = dynamic_cast<const Network::JsonMsgDevInfo*>(msg.get())) OnDevInfo(*devInfo, from);
}

// Devices of every model are listed, and each answer is an entry of its own.
void BroadcastReceiver::OnDevInfo(const Network::JsonMsgDevInfo& msg, const Network::SockAddr& from) {
    ImplDeviceInfo description;
    description.SetFromJsonMsg(msg);
    DeviceInfoEx entry;
    static_cast<DeviceInfo&>(entry) = description;
    entry.UnitIpAddress = from;
    std::lock_guard<std::mutex> lock(_jsonUdpMessageMutex);
    _devlist.push_back(std::move(entry));
}

} // namespace

ErrInfo FindActiveDevices(const Network::SockAddr& host, const Network::SockAddr& broadcast, DevicesList& list) {
    BroadcastReceiver receiver;
    return receiver.FindActiveDevices(host, broadcast, list);
}

IDevice* CreateDevice(DeviceType type, Network::INetManager& jsonUdpNetMan, Network::INetManager& rtpNetMan) {
    switch (type) {
    case DeviceType::Qm268:
        return new DeviceQm268(jsonUdpNetMan, rtpNetMan);
    case DeviceType::Qm412:
        return new DeviceQm412(jsonUdpNetMan, rtpNetMan);
    case DeviceType::Qm5:
        return new DeviceQm5(jsonUdpNetMan, rtpNetMan);
    }
    return nullptr;
}

} // namespace Ostrel
