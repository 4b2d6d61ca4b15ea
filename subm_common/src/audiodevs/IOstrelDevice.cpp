#include "audiodevs/IOstrelDevice.h"

#include "protocol/JsonMsgAsioDriver.h"

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

} // namespace Ostrel
