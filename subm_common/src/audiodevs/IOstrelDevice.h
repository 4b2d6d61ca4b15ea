// The device layer's vocabulary: device kinds and connection states with their texts, the
// description and settings records, the interface every device object implements, the three
// model interfaces and the factory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "diag/ErrInfo.h"
#include "net/INet.h"
#include "util/EnumConvert.h"

namespace Network {
class JsonMsg;
class JsonMsgDevInfo;
} // namespace Network

namespace Ostrel {

enum class DeviceType : uint32_t { Qm268 = 0, Qm412 = 1, Qm5 = 2 };

enum class DeviceConnectState : uint32_t {
    Disconnected = 0,  // no control connection
    Connected = 1,     // control connection up, description and sample rate received
    RtpActive = 2,     // audio streams running
};

// Texts as devices send them ("QM412") and as the log prints states.
extern const cmn::EnumConvert<DeviceType> OSTREL_DEVICE_TYPE_CONV;
extern const cmn::EnumConvert<DeviceConnectState> OSTREL_STATE_TYPE_CONV;

// An empty text for a value outside the table.
const std::wstring& DeviceType2String(DeviceType type);
// Exact, case-sensitive; Qm268 for any other text.
DeviceType String2DeviceType(std::wstring_view text);
const std::wstring& DeviceConnectState2String(DeviceConnectState state);
// Exact, case-sensitive; Disconnected for any other text.
DeviceConnectState String2DeviceConnectState(std::wstring_view text);

// A device's description, as it reports it.
struct DeviceInfo {
    std::wstring UnitId;  // empty until the device has described itself
    uint32_t HardwareVersion = 0;
    uint32_t FirmwareVersion = 0;
    uint32_t SoftwareVersion = 0;
    uint32_t AudioProtocolVersion = 0;
    uint32_t ControlProtocolVersion = 0;
    uint32_t PeerRtpPort = 0;  // the device's first RTP port
    uint32_t NumInputs = 0;    // receive channels; tuner units for the tuner
    uint32_t NumOutputs = 0;   // send channels
    uint32_t SampleFreq = 0;   // Hz; reported by the state message, not the description
};

// A search answer: the description and where it came from.
struct DeviceInfoEx : DeviceInfo {
    Network::SockAddr UnitIpAddress;
};
using DevicesList = std::vector<DeviceInfoEx>;

struct ImplDeviceInfo : DeviceInfo {
    // Takes the identifier and the eight numbers of a description message; SampleFreq stays.
    void SetFromJsonMsg(const Network::JsonMsgDevInfo& msg);
};

using OnDeviceMessageCallback = std::function<void(const std::shared_ptr<Network::JsonMsg>&)>;

struct DeviceInitSettings {
    std::wstring PeerAddr;  // the device's IPv4 address
    uint16_t PeerJsonPort = 15001;
    std::wstring HostAddr;  // local address for the control socket
    uint16_t HostJsonPort = 0;
    // Every message received from the device, after the device object's own handling.
    OnDeviceMessageCallback OnDeviceMessageReceivedCallback;
};

using buffer_ptrs = std::vector<float*>;  // one buffer per audio channel

// Runs on the audio service thread once per audio cycle.
using RtpExchangeCallbackFn = std::function<void(const buffer_ptrs& record, buffer_ptrs& playback, size_t samples)>;
using RtpGetRecBufCallbackFn = std::function<void(buffer_ptrs& record, size_t samples)>;

struct DeviceStartSettings {
    uint16_t HostRtpPort = 0;  // base of the local RTP ports; the caller sets it
    uint32_t RecvDelayMax = 20;
    uint32_t RecvDelayNorm = 10;
    RtpExchangeCallbackFn RtpExchangeCallback;
    RtpGetRecBufCallbackFn RtpGetRecBufCallback;
    // True: the device object allocates the playback buffers; false: the exchange callback
    // supplies them in each cycle.
    bool AllocSendBuffers = true;
};

// Reception quality of one tuner unit.
struct Qm412TunerQualityValues {
    uint32_t _RSSI = 0;
    uint32_t _SNR = 0;
    uint32_t _MultiPath = 0;
    uint32_t _Pilot = 0;
    uint32_t _Valid = 0;
};

// RDS data of one tuner unit.
struct Qm412TunerRdsData {
    std::wstring _RdsPSrv;
    std::wstring _RdsText;
    std::wstring _RdsTime;
};

class IDeviceQm268;
class IDeviceQm412;
class IDeviceQm5;

class IDevice {
public:
    virtual ~IDevice() = default;
    virtual ErrInfo Init(const DeviceInitSettings& settings) = 0;
    virtual void Deinit() = 0;
    virtual ErrInfo Start(const DeviceStartSettings& settings) = 0;
    virtual void Stop() = 0;
    virtual DeviceType GetDeviceType() const = 0;
    virtual DeviceConnectState GetDeviceConnectState() const = 0;
    // Copies: the control connection's threads may rewrite the description at any time.
    virtual std::wstring GetDeviceId() const = 0;
    virtual DeviceInfo GetDeviceInfo() const = 0;
    virtual uint32_t GetNumRecordChannels() const = 0;
    virtual uint32_t GetNumPlaybackChannels() const = 0;
    virtual uint32_t GetNumCycleSamples() const = 0;
    virtual uint32_t GetSampleFreq() const = 0;
    // Each model returns itself from the operator naming its own interface, null otherwise.
    virtual operator IDeviceQm268*() { return nullptr; }
    virtual operator IDeviceQm412*() { return nullptr; }
    virtual operator IDeviceQm5*() { return nullptr; }
};

// Input switch.
class IDeviceQm268 {
public:
    enum Input : uint32_t { Analog = 0, AES = 1 };
    enum Gain : uint32_t { Plus4dBu = 0, Minus10dBu = 1 };
    enum Bypass : uint32_t { Absent = 0, Undefined = 1, Off = 2, On = 3 };

    virtual ~IDeviceQm268() = default;
    virtual bool SetSampleFreq(uint32_t freq) = 0;
    virtual bool GetInputSelection(Input& input, Gain& gain, uint32_t& aesFrequency, bool updateFromDevice) = 0;
    virtual bool SetInputSelection(Input input, Gain gain) = 0;
    virtual bool GetBypass(Bypass& bypass, bool updateFromDevice) = 0;
    virtual bool SetBypass(bool on) = 0;
};

// Tuner. The arrays hold one entry per tuner unit (the device's NumInputs).
class IDeviceQm412 {
public:
    virtual ~IDeviceQm412() = default;
    virtual bool GetUnitRadioFreqs(uint32_t* freqs, bool updateFromDevice) = 0;
    virtual bool SetUnitRadioFreqs(const uint32_t* freqs) = 0;
    virtual bool GetUnitRadioQuality(Qm412TunerQualityValues* quality, bool updateFromDevice) = 0;
    virtual bool GetUnitRdsData(Qm412TunerRdsData* rds, bool updateFromDevice) = 0;
};

// Clock device: marks the model; it has no operations.
class IDeviceQm5 {
public:
    virtual ~IDeviceQm5() = default;
};

// Samples per audio cycle of every model.
constexpr uint32_t DeviceCycleSamples = 192;

// A new device object of the given model (null for a value outside the table), owned by the
// caller. Both managers are referenced, not owned, and must outlive the device.
IDevice* CreateDevice(DeviceType type, Network::INetManager& jsonUdpNetMan, Network::INetManager& rtpNetMan);

// The network search: sends one "dev_find" from host to broadcast (normally a broadcast address,
// a device's own address works too), then listens 3000 ms on host and lists every "dev_info"
// answer in arrival order with the address it came from. Blocks for the whole time. On failure
// list is left as it was. Concurrent searches need different host ports.
ErrInfo FindActiveDevices(const Network::SockAddr& host, const Network::SockAddr& broadcast, DevicesList& list);

} // namespace Ostrel
