#include "protocol/JsonMsgAsioDriver.h"

#include <ctime>
#include <string_view>

namespace Network {

namespace {

// The text of a member when it is a string, else none.
const std::wstring* FindString(const JSON::Value& object, std::wstring_view key) {
    const JSON::Value* member = object.Find(key);
    if (member == nullptr || member->Type() != JSON::typeString) return nullptr;
    return &static_cast<const std::wstring&>(*member);
}

constexpr wchar_t DateSeparator = L'/';
constexpr wchar_t TimeSeparator = L':';

std::wstring TimeText(const DateTime::UnpackedValue& time) {
    wchar_t buf[DateTime::DateTimeTextSize];
    wchar_t* end = time.FormatDateTime(buf, DateSeparator, TimeSeparator, L' ');
    return std::wstring(buf, end);
}

} // namespace

// --- "dev_info" -------------------------------------------------------------------------------

ErrInfo JsonMsgDevInfo::Serialize(JSON::Value& value) const {
    ErrInfo err = JsonMsg::Serialize(value);
    if (!err) return err;
    value[L"unit_id"] = UnitId;
    value[L"unit_type"] = UnitType;
    value[L"hardware"] = Hardware;
    value[L"firmware"] = Firmware;
    value[L"software"] = Software;
    value[L"audio_protocol"] = AudioProtocol;
    value[L"control_protocol"] = ControlProtocol;
    value[L"rtp_port"] = RtpPort;
    value[L"inputs"] = Inputs;
    value[L"outputs"] = Outputs;
    return err;
}

ErrInfo JsonMsgDevInfo::Deserialize(const JSON::Value& value) {
    ErrInfo err = JsonMsg::Deserialize(value);
    if (!err) return err;
    UnitId = static_cast<const std::wstring&>(value[L"unit_id"]);
    UnitType = static_cast<const std::wstring&>(value[L"unit_type"]);
    Hardware = static_cast<uint32_t>(value[L"hardware"]);
    Firmware = static_cast<uint32_t>(value[L"firmware"]);
    Software = static_cast<uint32_t>(value[L"software"]);
    AudioProtocol = static_cast<uint32_t>(value[L"audio_protocol"]);
    ControlProtocol = static_cast<uint32_t>(value[L"control_protocol"]);
    RtpPort = static_cast<uint32_t>(value[L"rtp_port"]);
    Inputs = static_cast<uint32_t>(value[L"inputs"]);
    Outputs = static_cast<uint32_t>(value[L"outputs"]);
    return err;
}

// --- "state" / "set_state" --------------------------------------------------------------------

void InputStateFromStrucToJson(const InputState& state, JSON::Value& object) {
    switch (state.Type) {
    case InputType::AES: object[L"select"] = L"aes"; break;
    case InputType::Analog: object[L"select"] = L"analog"; break;
    case InputType::Undefined: break;
    }
    switch (state.Gain) {
    case InputGain::Minus10dBu: object[L"gain"] = L"-10dBu"; break;
    case InputGain::Plus4dBu: object[L"gain"] = L"+4dBu"; break;
    case InputGain::Undefined: break;
    }
    if (state.Freq != 0) object[L"freq"] = state.Freq;
}

void InputStateFromJsonToStruc(const JSON::Value& object, InputState& state) {
    if (object.Type() != JSON::typeObject) return;
    if (const std::wstring* select = FindString(object, L"select")) {
        if (*select == L"aes") state.Type = InputType::AES;
        else if (*select == L"analog") state.Type = InputType::Analog;
    }
    if (const std::wstring* gain = FindString(object, L"gain")) {
        if (*gain == L"-10dBu") state.Gain = InputGain::Minus10dBu;
        else if (*gain == L"+4dBu") state.Gain = InputGain::Plus4dBu;
    }
    const JSON::Value* freq = object.Find(L"freq");
    if (freq != nullptr && freq->Type() == JSON::typeIntNumber) state.Freq = static_cast<uint32_t>(*freq);
}

ErrInfo JsonMsgStateBase::Serialize(JSON::Value& value) const {
    ErrInfo err = JsonMsg::Serialize(value);
    if (!err) return err;
    if (DeviceFreq != 0) value[L"device_freq"] = DeviceFreq;
    if (!Inputs.empty()) {
        value[L"inputs"].SetArray(Inputs, [](JSON::Value& element, const InputState& state) {
            // An input with nothing defined is still written, as {}, to keep its position.
            element.SetTypeObject();
            InputStateFromStrucToJson(state, element);
        });
    }
    return err;
}

ErrInfo JsonMsgStateBase::Deserialize(const JSON::Value& value) {
    ErrInfo err = JsonMsg::Deserialize(value);
    if (!err) return err;
    const JSON::Value* freq = value.Find(L"device_freq");
    if (freq != nullptr && freq->Type() == JSON::typeIntNumber) DeviceFreq = static_cast<uint32_t>(*freq);
    const JSON::Value* inputs = value.Find(L"inputs");
    if (inputs != nullptr && inputs->Type() == JSON::typeArray) {
        const size_t count = inputs->ArraySize();
        Inputs.assign(count, InputState{});
        for (size_t i = 0; i < count; ++i) InputStateFromJsonToStruc((*inputs)[static_cast<uint64_t>(i)], Inputs[i]);
    }
    return err;
}

// --- "inputs" / "set_inputs" ------------------------------------------------------------------

ErrInfo JsonMsgInputs::Serialize(JSON::Value& value) const {
    ErrInfo err = JsonMsg::Serialize(value);
    if (!err) return err;
    if (!Inputs.empty()) {
        value[L"inputs"].SetArray(Inputs, [](JSON::Value& element, const SockAddr& addr) {
            element = addr.IsSet() ? addr.ToString() : std::wstring();
        });
    }
    return err;
}

ErrInfo JsonMsgInputs::Deserialize(const JSON::Value& value) {
    ErrInfo err = JsonMsg::Deserialize(value);
    if (!err) return err;
    const JSON::Value* inputs = value.Find(L"inputs");
    if (inputs == nullptr) return err;
    if (inputs->Type() != JSON::typeArray) return MAKE_ERR_INFO().StrError("'inputs' is not an array");
    const size_t count = inputs->ArraySize();
    Inputs.reserve(Inputs.size() + count);
    for (size_t i = 0; i < count; ++i) {
        const JSON::Value& element = (*inputs)[static_cast<uint64_t>(i)];
        SockAddr addr;
        if (element.Type() == JSON::typeString) addr.Set(static_cast<const std::wstring&>(element));
        Inputs.push_back(addr);
    }
    return err;
}

ErrInfo JsonMsgSetInputs::Serialize(JSON::Value& value) const {
    ErrInfo err = JsonMsg::Serialize(value);
    if (!err) return err;
    if (!Inputs.empty()) {
        value[L"inputs"].SetArray(Inputs, [](JSON::Value& element, const std::pair<bool, SockAddr>& entry) {
            if (!entry.first) element = std::wstring();
            else if (entry.second.IsSet()) element = entry.second.ToString();
            else element = L"off";
        });
    }
    return err;
}

ErrInfo JsonMsgSetInputs::Deserialize(const JSON::Value& value) {
    ErrInfo err = JsonMsg::Deserialize(value);
    if (!err) return err;
    const JSON::Value* inputs = value.Find(L"inputs");
    if (inputs == nullptr || inputs->Type() != JSON::typeArray) return err;
    const size_t count = inputs->ArraySize();
    Inputs.reserve(Inputs.size() + count);
    for (size_t i = 0; i < count; ++i) {
        const JSON::Value& element = (*inputs)[static_cast<uint64_t>(i)];
        const std::wstring* text = element.Type() == JSON::typeString ? &static_cast<const std::wstring&>(element) : nullptr;
        if (text == nullptr || text->empty()) {
            Inputs.emplace_back(false, SockAddr());
        } else if (*text == L"off") {
            Inputs.emplace_back(true, SockAddr());
        } else {
            SockAddr addr;
            addr.Set(*text);
            Inputs.emplace_back(true, addr);
        }
    }
    return err;
}

// --- "cur_time" -------------------------------------------------------------------------------

void JsonMsgCurTime::SetFromCurrentTime() {
    timespec ts{};
    std::tm local{};
    if (clock_gettime(CLOCK_REALTIME, &ts) != 0) {
        CurTime = UtcTime = DateTime::UnpackedValue();
        return;
    }
    UtcTime.SetFromTimeVal(DateTime::TimeVal{ts.tv_sec, static_cast<uint32_t>(ts.tv_nsec)});
    const time_t seconds = ts.tv_sec;
    if (localtime_r(&seconds, &local) == nullptr) {
        CurTime = DateTime::UnpackedValue();
        return;
    }
    CurTime = DateTime::UnpackedValue(
        static_cast<uint16_t>(local.tm_year + 1900), static_cast<uint16_t>(local.tm_mon + 1),
        static_cast<uint16_t>(local.tm_mday), static_cast<uint16_t>(local.tm_hour), static_cast<uint16_t>(local.tm_min),
        static_cast<uint16_t>(local.tm_sec), static_cast<uint16_t>(ts.tv_nsec / 1000000));
}

ErrInfo JsonMsgCurTime::Serialize(JSON::Value& value) const {
    ErrInfo err = JsonMsg::Serialize(value);
    if (!err) return err;
    value[L"td"] = TimeText(CurTime);
    value[L"utc"] = TimeText(UtcTime);
    return err;
}

ErrInfo JsonMsgCurTime::Deserialize(const JSON::Value& value) {
    ErrInfo err = JsonMsg::Deserialize(value);
    if (!err) return err;
    const std::wstring* td = FindString(value, L"td");
    const std::wstring* utc = td != nullptr && td->size() == TimeTextLength ? FindString(value, L"utc") : nullptr;
    if (utc == nullptr || utc->size() != TimeTextLength)
        return MAKE_ERR_INFO().StrError("Both time string parameters are mandatory for 'cur_time' message");
    CurTime.SetDateTimeFromString(*td, DateSeparator, TimeSeparator);
    UtcTime.SetDateTimeFromString(*utc, DateSeparator, TimeSeparator);
    return err;
}

// --- lists ------------------------------------------------------------------------------------

ErrInfo JsonMsgFmFreqBase::Serialize(JSON::Value& value) const {
    ErrInfo err = JsonMsg::Serialize(value);
    if (!err) return err;
    value.SetArray(L"freq", FreqList);
    return err;
}

ErrInfo JsonMsgFmFreqBase::Deserialize(const JSON::Value& value) {
    ErrInfo err = JsonMsg::Deserialize(value);
    if (!err) return err;
    value.TryGetArray(L"freq", FreqList);
    return err;
}

ErrInfo JsonMsgFmQuality::Serialize(JSON::Value& value) const {
    ErrInfo err = JsonMsg::Serialize(value);
    if (!err) return err;
    value.SetArray(L"rssi", RssiList);
    value.SetArray(L"snr", SnrList);
    value.SetArray(L"multipath", MultipathList);
    value.SetArray(L"pilot", PilotList);
    value.SetArray(L"valid", ValidList);
    return err;
}

ErrInfo JsonMsgFmQuality::Deserialize(const JSON::Value& value) {
    ErrInfo err = JsonMsg::Deserialize(value);
    if (!err) return err;
    value.TryGetArray(L"rssi", RssiList);
    value.TryGetArray(L"snr", SnrList);
    value.TryGetArray(L"multipath", MultipathList);
    value.TryGetArray(L"pilot", PilotList);
    value.TryGetArray(L"valid", ValidList);
    return err;
}

ErrInfo JsonMsgRdsData::Serialize(JSON::Value& value) const {
    ErrInfo err = JsonMsg::Serialize(value);
    if (!err) return err;
    value.SetArray(L"psrv", RdsPSrv);
    value.SetArray(L"text", RdsText);
    value.SetArray(L"time", RdsTime);
    return err;
}

ErrInfo JsonMsgRdsData::Deserialize(const JSON::Value& value) {
    ErrInfo err = JsonMsg::Deserialize(value);
    if (!err) return err;
    value.TryGetArray(L"psrv", RdsPSrv);
    value.TryGetArray(L"text", RdsText);
    value.TryGetArray(L"time", RdsTime);
    return err;
}

// --- "bypass" / "set_bypass" ------------------------------------------------------------------

ErrInfo JsonMsgBypassBase::Serialize(JSON::Value& value) const {
    ErrInfo err = JsonMsg::Serialize(value);
    if (!err) return err;
    value[L"bypass"] = BypassIsOn ? L"on" : L"off";
    return err;
}

ErrInfo JsonMsgBypassBase::Deserialize(const JSON::Value& value) {
    ErrInfo err = JsonMsg::Deserialize(value);
    if (!err) return err;
    BypassIsOn = value.TryGet<std::wstring>(L"bypass", std::wstring()) == L"on";
    return err;
}

// --- the factory ------------------------------------------------------------------------------

std::unique_ptr<JsonMsg> AsioDriverJsonMsgFactory::CreateJsonMsg(const std::wstring& msgType) const {
    if (msgType == JsonMsgDevFind::NameString) return std::make_unique<JsonMsgDevFind>();
    if (msgType == JsonMsgGetDevInfo::NameString) return std::make_unique<JsonMsgGetDevInfo>();
    if (msgType == JsonMsgDevInfo::NameString) return std::make_unique<JsonMsgDevInfo>();
    if (msgType == JsonMsgGetState::NameString) return std::make_unique<JsonMsgGetState>();
    if (msgType == JsonMsgSetState::NameString) return std::make_unique<JsonMsgSetState>();
    if (msgType == JsonMsgState::NameString) return std::make_unique<JsonMsgState>();
    if (msgType == JsonMsgGetInputs::NameString) return std::make_unique<JsonMsgGetInputs>();
    if (msgType == JsonMsgSetInputs::NameString) return std::make_unique<JsonMsgSetInputs>();
    if (msgType == JsonMsgInputs::NameString) return std::make_unique<JsonMsgInputs>();
    if (msgType == JsonMsgGetFmFreq::NameString) return std::make_unique<JsonMsgGetFmFreq>();
    if (msgType == JsonMsgSetFmFreq::NameString) return std::make_unique<JsonMsgSetFmFreq>();
    if (msgType == JsonMsgFmFreq::NameString) return std::make_unique<JsonMsgFmFreq>();
    if (msgType == JsonMsgGetFmQuality::NameString) return std::make_unique<JsonMsgGetFmQuality>();
    if (msgType == JsonMsgFmQuality::NameString) return std::make_unique<JsonMsgFmQuality>();
    if (msgType == JsonMsgGetRdsData::NameString) return std::make_unique<JsonMsgGetRdsData>();
    if (msgType == JsonMsgRdsData::NameString) return std::make_unique<JsonMsgRdsData>();
    if (msgType == JsonMsgGetTime::NameString) return std::make_unique<JsonMsgGetTime>();
    if (msgType == JsonMsgCurTime::NameString) return std::make_unique<JsonMsgCurTime>();
    if (msgType == JsonMsgBypass::NameString) return std::make_unique<JsonMsgBypass>();
    if (msgType == JsonMsgGetBypass::NameString) return std::make_unique<JsonMsgGetBypass>();
    if (msgType == JsonMsgSetBypass::NameString) return std::make_unique<JsonMsgSetBypass>();
    return nullptr;
}

// Constant-initialised, so a static initialiser elsewhere may already use it.
constinit AsioDriverJsonMsgFactory _globalAsioDriverJsonMsgFactory;

IJsonMsgFactory* GetAsioDriverJsonMsgFactory() { return &_globalAsioDriverJsonMsgFactory; }

} // namespace Network
