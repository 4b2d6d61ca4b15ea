// The device messages: every kind a device and the library exchange beyond the connection's own,
// each with its keys, and the factory that makes the right class from a received kind name.
//
// Kinds come in pairs: "get_<x>" carries only the envelope and asks for "<x>"; "set_<x>" carries
// the fields of "<x>". A "set_" kind and its answer are sibling classes sharing a base, so a
// handler that dispatches on the class never takes a request for its answer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "json/json_object.h"
#include "protocol/JsonMsgCommonDefs.h"
#include "util/DateTime.h"

namespace Network {

// --- envelope-only kinds -----------------------------------------------------------------------

class JsonMsgDevFind : public JsonMsg {
public:
    static constexpr const wchar_t* NameString = L"dev_find";
    JsonMsgDevFind() : JsonMsg(NameString) {}
};

class JsonMsgGetDevInfo : public JsonMsg {
public:
    static constexpr const wchar_t* NameString = L"get_dev_info";
    JsonMsgGetDevInfo() : JsonMsg(NameString) {}
};

class JsonMsgGetState : public JsonMsg {
public:
    static constexpr const wchar_t* NameString = L"get_state";
    JsonMsgGetState() : JsonMsg(NameString) {}
};

class JsonMsgGetInputs : public JsonMsg {
public:
    static constexpr const wchar_t* NameString = L"get_inputs";
    JsonMsgGetInputs() : JsonMsg(NameString) {}
};

class JsonMsgGetTime : public JsonMsg {
public:
    static constexpr const wchar_t* NameString = L"get_time";
    JsonMsgGetTime() : JsonMsg(NameString) {}
};

class JsonMsgGetFmFreq : public JsonMsg {
public:
    static constexpr const wchar_t* NameString = L"get_fm_freq";
    JsonMsgGetFmFreq() : JsonMsg(NameString) {}
};

class JsonMsgGetFmQuality : public JsonMsg {
public:
    static constexpr const wchar_t* NameString = L"get_fm_quality";
    JsonMsgGetFmQuality() : JsonMsg(NameString) {}
};

class JsonMsgGetRdsData : public JsonMsg {
public:
    static constexpr const wchar_t* NameString = L"get_rds_data";
    JsonMsgGetRdsData() : JsonMsg(NameString) {}
};

class JsonMsgGetBypass : public JsonMsg {
public:
    static constexpr const wchar_t* NameString = L"get_bypass";
    JsonMsgGetBypass() : JsonMsg(NameString) {}
};

// --- "dev_info": the device's description; every key is required ----------------------------

class JsonMsgDevInfo : public JsonMsg {
public:
    static constexpr const wchar_t* NameString = L"dev_info";
    JsonMsgDevInfo() : JsonMsg(NameString) {}

    ErrInfo Serialize(JSON::Value& value) const override;
    ErrInfo Deserialize(const JSON::Value& value) override;

    std::wstring UnitId;           // "unit_id"
    std::wstring UnitType;         // "unit_type": the model's text
    uint32_t Hardware = 1;         // "hardware"
    uint32_t Firmware = 1;         // "firmware"
    uint32_t Software = 1;         // "software"
    uint32_t AudioProtocol = 1;    // "audio_protocol"
    uint32_t ControlProtocol = 1;  // "control_protocol"
    uint32_t RtpPort = 0;          // "rtp_port": the device's first RTP port
    uint32_t Inputs = 0;           // "inputs"
    uint32_t Outputs = 0;          // "outputs"
};

// --- "state" / "set_state": sample rate and input selection -----------------------------------

enum class InputType : uint32_t { Undefined = 0, AES = 1, Analog = 2 };
enum class InputGain : uint32_t { Undefined = 0, Minus10dBu = 1, Plus4dBu = 2 };

struct InputState {
    InputType Type = InputType::Undefined;  // "select": "aes" / "analog"
    InputGain Gain = InputGain::Undefined;  // "gain": "-10dBu" / "+4dBu"
    uint32_t Freq = 0;                      // "freq"

    bool operator==(const InputState&) const = default;
};
using InputStateVect = std::vector<InputState>;

// Writes only what is defined: an undefined type or gain and a zero frequency are left out.
void InputStateFromStrucToJson(const InputState& state, JSON::Value& object);
// Reads what object holds and understands; the rest of state stays. A "freq" outside the unsigned
// 32-bit range throws JSON::Exception. A non-object does nothing.
void InputStateFromJsonToStruc(const JSON::Value& object, InputState& state);

class JsonMsgStateBase : public JsonMsg {
public:
    ErrInfo Serialize(JSON::Value& value) const override;
    ErrInfo Deserialize(const JSON::Value& value) override;

    uint32_t DeviceFreq = 0;  // "device_freq": sample rate in Hz; 0 is none (left out)
    InputStateVect Inputs;    // "inputs": one object per input, left out when empty

protected:
    explicit JsonMsgStateBase(const wchar_t* name) : JsonMsg(name) {}
};

class JsonMsgState : public JsonMsgStateBase {
public:
    static constexpr const wchar_t* NameString = L"state";
    JsonMsgState() : JsonMsgStateBase(NameString) {}
};

class JsonMsgSetState : public JsonMsgStateBase {
public:
    static constexpr const wchar_t* NameString = L"set_state";
    JsonMsgSetState() : JsonMsgStateBase(NameString) {}
};

// --- "inputs" / "set_inputs": where the device streams each input ---------------------------

class JsonMsgInputs : public JsonMsg {
public:
    static constexpr const wchar_t* NameString = L"inputs";
    JsonMsgInputs() : JsonMsg(NameString) {}

    ErrInfo Serialize(JSON::Value& value) const override;
    // Appends to Inputs. An "inputs" that is not an array makes the message unreadable.
    ErrInfo Deserialize(const JSON::Value& value) override;

    // "inputs": address texts ("a.b.c.d:port"); an unset address is the empty text.
    std::vector<SockAddr> Inputs;
};

class JsonMsgSetInputs : public JsonMsg {
public:
    static constexpr const wchar_t* NameString = L"set_inputs";
    JsonMsgSetInputs() : JsonMsg(NameString) {}

    ErrInfo Serialize(JSON::Value& value) const override;
    // Appends to Inputs; never fails on its own key.
    ErrInfo Deserialize(const JSON::Value& value) override;

    // Per input: whether to change it, and the destination. On the wire an unchanged input is
    // the empty text, a changed one its address text, or "off" to stop streaming it.
    std::vector<std::pair<bool, SockAddr>> Inputs;
};

// --- "cur_time": the host's clock, answer to "get_time" ---------------------------------------

class JsonMsgCurTime : public JsonMsg {
public:
    static constexpr const wchar_t* NameString = L"cur_time";
    // Length of a time text, "YYYY/MM/DD HH:MM:SS.mmm".
    static constexpr size_t TimeTextLength = 23;

    JsonMsgCurTime() : JsonMsg(NameString) { SetFromCurrentTime(); }

    ErrInfo Serialize(JSON::Value& value) const override;
    // Both texts must have the layout's length. A text of that length that breaks the layout
    // leaves its time as it was.
    ErrInfo Deserialize(const JSON::Value& value) override;

    // Both from one reading of the real-time clock.
    void SetFromCurrentTime();

    DateTime::UnpackedValue CurTime;  // "td": local time
    DateTime::UnpackedValue UtcTime;  // "utc"
};

// --- per-tuner-unit lists: one entry per unit, in unit order ----------------------------------
// Reading never fails: a list stops at its first element that does not convert.

class JsonMsgFmFreqBase : public JsonMsg {
public:
    ErrInfo Serialize(JSON::Value& value) const override;
    ErrInfo Deserialize(const JSON::Value& value) override;

    std::vector<int32_t> FreqList;  // "freq"

protected:
    explicit JsonMsgFmFreqBase(const wchar_t* name) : JsonMsg(name) {}
};

class JsonMsgFmFreq : public JsonMsgFmFreqBase {
public:
    static constexpr const wchar_t* NameString = L"fm_freq";
    JsonMsgFmFreq() : JsonMsgFmFreqBase(NameString) {}
};

class JsonMsgSetFmFreq : public JsonMsgFmFreqBase {
public:
    static constexpr const wchar_t* NameString = L"set_fm_freq";
    JsonMsgSetFmFreq() : JsonMsgFmFreqBase(NameString) {}
};

class JsonMsgFmQuality : public JsonMsg {
public:
    static constexpr const wchar_t* NameString = L"fm_quality";
    JsonMsgFmQuality() : JsonMsg(NameString) {}

    ErrInfo Serialize(JSON::Value& value) const override;
    ErrInfo Deserialize(const JSON::Value& value) override;

    std::vector<int32_t> RssiList;       // "rssi"
    std::vector<int32_t> SnrList;        // "snr"
    std::vector<int32_t> MultipathList;  // "multipath"
    std::vector<int32_t> PilotList;      // "pilot"
    std::vector<int32_t> ValidList;      // "valid"
};

class JsonMsgRdsData : public JsonMsg {
public:
    static constexpr const wchar_t* NameString = L"rds_data";
    JsonMsgRdsData() : JsonMsg(NameString) {}

    ErrInfo Serialize(JSON::Value& value) const override;
    ErrInfo Deserialize(const JSON::Value& value) override;

    std::vector<std::wstring> RdsPSrv;  // "psrv": programme service name
    std::vector<std::wstring> RdsText;  // "text": radio text
    std::vector<std::wstring> RdsTime;  // "time"
};

// --- "bypass" / "set_bypass" ------------------------------------------------------------------

class JsonMsgBypassBase : public JsonMsg {
public:
    ErrInfo Serialize(JSON::Value& value) const override;
    // Anything but exactly "on" (a missing key included) reads as off.
    ErrInfo Deserialize(const JSON::Value& value) override;

    bool BypassIsOn = false;  // "bypass": "on" / "off"

protected:
    explicit JsonMsgBypassBase(const wchar_t* name) : JsonMsg(name) {}
};

class JsonMsgBypass : public JsonMsgBypassBase {
public:
    static constexpr const wchar_t* NameString = L"bypass";
    JsonMsgBypass() : JsonMsgBypassBase(NameString) {}
};

class JsonMsgSetBypass : public JsonMsgBypassBase {
public:
    static constexpr const wchar_t* NameString = L"set_bypass";
    JsonMsgSetBypass() : JsonMsgBypassBase(NameString) {}
};

// --- the factory ------------------------------------------------------------------------------

// Makes the device kinds by exact (case-sensitive) name. Holds no state, so the one process-wide
// instance may be used from any thread.
class AsioDriverJsonMsgFactory : public IJsonMsgFactory {
public:
    constexpr AsioDriverJsonMsgFactory() = default;
    std::unique_ptr<JsonMsg> CreateJsonMsg(const std::wstring& msgType) const override;
};

// The process-wide instance, which the device layer hands to its connections.
IJsonMsgFactory* GetAsioDriverJsonMsgFactory();

} // namespace Network
