#include "Qm268Switch.h"

#include <string>

#include "ControlWire.h"
#include "RtpWriter.h"

namespace emu::qm268 {

namespace {

std::string TextOf(const JSON::Value& object, const wchar_t* key) {
    const JSON::Value* v = object.Find(key);
    return v != nullptr && v->Type() == JSON::typeString ? wire::Utf8(static_cast<std::wstring_view>(*v)) : std::string();
}

} // namespace

JSON::Value StateInputs(const InputSwitch& sw, const FaultConfig& faults) {
    JSON::Value inputs;
    inputs.SetTypeArray();
    if (faults.StateEmptyInputs) return inputs;
    JSON::Value& entry = inputs[uint64_t{0}];
    entry.SetTypeObject();
    if (!faults.StateNoSelect) entry[L"select"] = sw.Select == SwitchInput::Aes ? L"aes" : L"analog";
    if (!faults.StateNoGain) entry[L"gain"] = sw.Gain == SwitchGain::Minus10dBu ? L"-10dBu" : L"+4dBu";
    if (sw.AesFreq != 0) entry[L"freq"] = sw.AesFreq;
    return inputs;
}

void ApplySetState(const JSON::Value& request, uint32_t audioProtocol, InputSwitch& sw, uint32_t& rate) {
    const JSON::Value* freq = request.Find(L"device_freq");
    if (freq != nullptr && freq->Type() == JSON::typeIntNumber) {
        const int64_t hz = static_cast<int64_t>(*freq);
        // 0 asks for no change; a rate the device cannot stream at is refused by keeping its own.
        if (hz > 0 && hz <= UINT32_MAX && rtp::PayloadTypeByte(static_cast<uint32_t>(hz), audioProtocol))
            rate = static_cast<uint32_t>(hz);
    }
    const JSON::Value* inputs = request.Find(L"inputs");
    if (inputs == nullptr || inputs->Type() != JSON::typeArray || inputs->ArraySize() == 0) return;
    const JSON::Value& entry = (*inputs)[uint64_t{0}];
    if (entry.Type() != JSON::typeObject) return;
    const std::string select = TextOf(entry, L"select");
    if (select == "aes") sw.Select = SwitchInput::Aes;
    if (select == "analog") sw.Select = SwitchInput::Analog;
    const std::string gain = TextOf(entry, L"gain");
    if (gain == "-10dBu") sw.Gain = SwitchGain::Minus10dBu;
    if (gain == "+4dBu") sw.Gain = SwitchGain::Plus4dBu;
}

void WriteBypass(const InputSwitch& sw, JSON::Value& body) { body[L"bypass"] = sw.Bypass ? L"on" : L"off"; }

void ApplySetBypass(const JSON::Value& request, InputSwitch& sw) {
    const std::string text = TextOf(request, L"bypass");
    if (text == "on") sw.Bypass = true;
    if (text == "off") sw.Bypass = false;
}

} // namespace emu::qm268
