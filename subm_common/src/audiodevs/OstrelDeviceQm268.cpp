#include "audiodevs/OstrelDeviceQm268.h"

#include <memory>

#include "util/StdStringFormat.h"

namespace Ostrel {

namespace {

Network::InputType ToWire(IDeviceQm268::Input input) {
    switch (input) {
    case IDeviceQm268::Analog: return Network::InputType::Analog;
    case IDeviceQm268::AES: return Network::InputType::AES;
    }
    return Network::InputType::Undefined;
}

Network::InputGain ToWire(IDeviceQm268::Gain gain) {
    switch (gain) {
    case IDeviceQm268::Plus4dBu: return Network::InputGain::Plus4dBu;
    case IDeviceQm268::Minus10dBu: return Network::InputGain::Minus10dBu;
    }
    return Network::InputGain::Undefined;
}

} // namespace

DeviceQm268::DeviceQm268(Network::INetManager& jsonUdpNetMan, Network::INetManager& rtpNetMan)
    : DeviceBase(jsonUdpNetMan, rtpNetMan) {}

// Here, not in the base: the hooks and state of this class must still exist while it runs.
DeviceQm268::~DeviceQm268() { Deinit(); }

bool DeviceQm268::HasBypass() const { return GetDeviceInfo().ControlProtocolVersion >= 2; }

void DeviceQm268::OnInit() {
    {
        std::lock_guard<std::mutex> lock(_JsonUdpMessageMutex);
        _lastBypassReceivedMsgId = 0;
        _deviceState.BypassControl = Absent;
    }
    if (!HasBypass()) return;
    {
        std::lock_guard<std::mutex> lock(_JsonUdpMessageMutex);
        _deviceState.BypassControl = Undefined;
    }
    SendMsgGetBypass(true);  // dropped: a failure logs itself
}

void DeviceQm268::OnDeinit() {
    std::lock_guard<std::mutex> lock(_JsonUdpMessageMutex);
    _lastBypassReceivedMsgId = 0;
    _lastStateReceivedMsgId = 0;
    _deviceState = DeviceState();
}

ErrInfo DeviceQm268::SendMsgGetState(bool waitResponse) {
    return RequestAndWait(std::make_shared<Network::JsonMsgGetState>(), _lastStateReceivedMsgId, waitResponse, "state");
}

ErrInfo DeviceQm268::SendMsgGetBypass(bool waitResponse) {
    return RequestAndWait(std::make_shared<Network::JsonMsgGetBypass>(), _lastBypassReceivedMsgId, waitResponse,
                          "bypass");
}

bool DeviceQm268::SetSampleFreq(uint32_t freq) {
    auto msg = std::make_shared<Network::JsonMsgSetState>();
    msg->DeviceFreq = freq;
    if (!SendMessageToDevice(msg, true)) return false;
    return static_cast<bool>(SendMsgGetState(true));
}

bool DeviceQm268::SetInputSelection(Input input, Gain gain) {
    auto msg = std::make_shared<Network::JsonMsgSetState>();
    msg->DeviceFreq = 0;  // the rate stays
    Network::InputState state;
    state.Type = ToWire(input);
    state.Gain = ToWire(gain);
    msg->Inputs.push_back(state);
    if (!SendMessageToDevice(msg, true)) return false;
    return static_cast<bool>(SendMsgGetState(true));
}

bool DeviceQm268::GetInputSelection(Input& input, Gain& gain, uint32_t& aesFrequency, bool updateFromDevice) {
    if (updateFromDevice && !SendMsgGetState(true)) return false;
    std::lock_guard<std::mutex> lock(_JsonUdpMessageMutex);
    input = _deviceState.InputSelect;
    gain = _deviceState.AnalogGain;
    aesFrequency = _deviceState.AesFrequency;
    return true;
}

bool DeviceQm268::GetBypass(Bypass& bypass, bool updateFromDevice) {
    if (updateFromDevice && !SendMsgGetBypass(true)) return false;
    std::lock_guard<std::mutex> lock(_JsonUdpMessageMutex);
    bypass = _deviceState.BypassControl;
    return true;
}

bool DeviceQm268::SetBypass(bool on) {
    if (!HasBypass()) return false;
    auto msg = std::make_shared<Network::JsonMsgSetBypass>();
    msg->BypassIsOn = on;
    if (!SendMessageToDevice(msg, true)) return false;
    return static_cast<bool>(SendMsgGetBypass(true));
}

void DeviceQm268::OnMsgReceived(Network::IJsonUdpManager* connection, const Network::JsonMsgPtr& msg,
                                const Network::SockAddr& from) {
    if (const auto* bypass = dynamic_cast<const Network::JsonMsgBypass*>(msg.get())) OnMsgBypass(*bypass, from);
    DeviceBase::OnMsgReceived(connection, msg, from);  // "state" comes back to OnState
}

void DeviceQm268::OnState(const Network::JsonMsgState& msg, const Network::SockAddr& from) {
    DeviceBase::OnState(msg, from);
    const wchar_t* inputText = L"*undef*";
    const wchar_t* gainText = L"*undef*";
    uint32_t inputFreq = 0;
    {
        std::lock_guard<std::mutex> lock(_JsonUdpMessageMutex);
        if (!msg.Inputs.empty()) {
            const Network::InputState& first = msg.Inputs.front();
            inputFreq = first.Freq;
            if (first.Freq != 0) _deviceState.AesFrequency = first.Freq;
            if (first.Type == Network::InputType::Analog) {
                _deviceState.InputSelect = Analog;
                inputText = L"Analog";
            } else if (first.Type == Network::InputType::AES) {
                _deviceState.InputSelect = AES;
                inputText = L"Digital(AES)";
            }
            if (first.Gain == Network::InputGain::Minus10dBu) {
                _deviceState.AnalogGain = Minus10dBu;
                gainText = L"-10dBu";
            } else if (first.Gain == Network::InputGain::Plus4dBu) {
                _deviceState.AnalogGain = Plus4dBu;
                gainText = L"+4dBu";
            }
            _lastStateReceivedMsgId = msg.MsgId;
        }
    }
    if (msg.Inputs.empty()) {
        DbgLogRecord(_debugLog, DbgLevel::ErrorsOnly,
                     wstring_format(L"\"state\" message from %ls with device_freq %u contains an empty inputs list",
                                    from.ToString().c_str(), msg.DeviceFreq));
        return;
    }
    DbgLogRecord(_debugLog, DbgLevel::ErrorsOnly,
                 wstring_format(L"\"state\" from %ls: device_freq %u, input freq %u, input %ls, gain %ls",
                                from.ToString().c_str(), msg.DeviceFreq, inputFreq, inputText, gainText));
}

void DeviceQm268::OnMsgBypass(const Network::JsonMsgBypass& msg, const Network::SockAddr& from) {
    DbgLogRecord(_debugLog, DbgLevel::ErrorsOnly,
                 wstring_format(L"\"bypass\" status from %ls; bypass is %ls", from.ToString().c_str(),
                                msg.BypassIsOn ? L"ON" : L"OFF"));
    std::lock_guard<std::mutex> lock(_JsonUdpMessageMutex);
    _deviceState.BypassControl = msg.BypassIsOn ? On : Off;
    _lastBypassReceivedMsgId = msg.MsgId;
}

} // namespace Ostrel
