// The SDK's public interface for the Ostrel QM412 FM tuner: find devices, open a control
// connection, read and set the tuner units, and receive their audio through a callback.
//
// Threads: call the operations from your own threads; Init, Start, SetUnitRadioFreqs and every
// query with update_from_device block until the device answers or 2000 ms pass per request. The
// audio callbacks run on the library's audio thread, once per audio cycle, never two at a time.
// Failures come back as false, an empty text, 0 or a default record; the reason is written to
// the library's debug log.
//
// Texts are UTF-8, except the RDS texts, which are wide with one character per wchar_t.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Identification of the library build (each narrow text has a wide twin with a leading w).
namespace build {

extern const char* const release_string;   // "1.0.0"
extern const char* const binmod_string;    // build modification tag
extern const char* const compiler;         // name and version of the compiler
extern const char* const target_os;        // "Linux"
extern const char* const build_date;       // "Jan 25 2024"
extern const char* const build_timestamp;  // " Jan 25 2024 19:03:51"
extern const char* const version_string;   // binmod, release, timestamp, target and compiler

extern const wchar_t* const wrelease_string;
extern const wchar_t* const wbinmod_string;
extern const wchar_t* const wcompiler;
extern const wchar_t* const wtarget_os;
extern const wchar_t* const wbuild_date;
extern const wchar_t* const wbuild_timestamp;
extern const wchar_t* const wversion_string;

} // namespace build

namespace Ostrel::SDK {

enum class DeviceConnectState : uint32_t {
    Disconnected = 0,  // no control connection
    Connected = 1,     // control connection up, device description received
    RtpActive = 2,     // audio streaming
};

// Where the device is and where its control messages come back to.
struct DeviceInitSettings {
    std::string PeerAddr;            // the device's IPv4 address, dotted
    uint16_t PeerJsonPort = 15001;   // the device's control port
    std::string HostAddr;            // local IPv4 address for the control socket
    // Local control port. Must not be 0: the device's answers would never be read.
    uint16_t HostJsonPort = 0;
};

using buffer_ptrs = std::vector<float*>;  // one buffer per audio channel

struct DeviceStartSettings {
    // Base of the local RTP ports: tuner unit i streams to HostRtpPort + 2 + 2*i.
    uint16_t HostRtpPort = 0;
    uint32_t RecvDelayMax = 20;   // receive buffer length in packets
    uint32_t RecvDelayNorm = 10;  // nominal receive delay in packets
    // Once per audio cycle with the received audio: two buffers (left, right) per tuner unit,
    // samples floats each. Runs on the library's audio thread; return quickly.
    std::function<void(const buffer_ptrs& record, size_t samples)> RtpExchangeCallback;
    // Optional: called at the start of each cycle to supply your own record buffers (fill every
    // entry with a buffer of samples floats).
    std::function<void(buffer_ptrs& record, size_t samples)> RtpGetRecBufCallback;
};

// The device's description.
struct DeviceInfo {
    std::string UnitId;
    uint32_t HardwareVersion = 0;
    uint32_t FirmwareVersion = 0;
    uint32_t SoftwareVersion = 0;
    uint32_t AudioProtocolVersion = 0;
    uint32_t ControlProtocolVersion = 0;
    uint32_t PeerRtpPort = 0;
    uint32_t NumInputs = 0;   // tuner units
    uint32_t SampleFreq = 0;  // Hz
};

// A search result: the description and where the answer came from.
struct DeviceInfoEx : DeviceInfo {
    std::string UnitAddr;   // dotted IPv4 address, without port
    uint16_t UnitPort = 0;  // host byte order
};

// Reception quality of one tuner unit, as the device reports it.
struct Qm412TunerQualityValues {
    uint32_t _RSSI = 0;
    uint32_t _SNR = 0;
    uint32_t _MultiPath = 0;
    uint32_t _Pilot = 0;
    uint32_t _Valid = 0;

    void Clear();  // every field 0
};

// RDS data of one tuner unit.
struct Qm412TunerRdsDataValues {
    std::wstring _RdsPSrv;  // programme service name
    std::wstring _RdsText;  // radio text
    std::wstring _RdsTime;  // clock time as broadcast

    void Clear();  // every text empty
};

// One QM412. Order of use: Init, then any number of Start/Stop pairs, then Deinit. The getters
// and tuner operations work any time after a successful Init. The tuner arrays hold one element
// per tuner unit (GetDeviceInfo().NumInputs); frequencies are in kHz.
class IQm412 {
public:
    virtual ~IQm412() = default;

    // Connects and reads the device's description, sample rate and tuner values.
    virtual bool Init(const DeviceInitSettings& settings) = 0;
    virtual void Deinit() = 0;
    // Starts the audio streams; needs the state Connected.
    virtual bool Start(const DeviceStartSettings& settings) = 0;
    virtual void Stop() = 0;

    virtual DeviceConnectState GetDeviceConnectState() const = 0;
    virtual std::string GetDeviceId() const = 0;
    virtual DeviceInfo GetDeviceInfo() const = 0;
    virtual uint32_t GetNumRecordChannels() const = 0;
    virtual uint32_t GetNumCycleSamples() const = 0;
    virtual uint32_t GetSampleFreq() const = 0;

    // update_from_device: true asks the device and waits for its answer; false returns the
    // values last received, without network traffic.
    virtual bool GetUnitRadioFreqs(uint32_t* freqs, bool update_from_device) = 0;
    // Tunes every unit, then reads back what the device settled on (it may round).
    virtual bool SetUnitRadioFreqs(const uint32_t* freqs) = 0;
    virtual bool GetUnitRadioQuality(Qm412TunerQualityValues* unit_values, bool update_from_device) = 0;
    virtual bool GetUnitRdsData(Qm412TunerRdsDataValues* unit_values, bool update_from_device) = 0;
};

// A new device object; delete it when done.
IQm412* CreateQm412();

// Sends one search message from host_ip_addr:host_port to broadcast_ip_addr:broadcast_port (a
// broadcast address, or one device's own address), then collects answers for 3 seconds on the
// host port, which must not be 0. True with the devices found in arrival order (possibly none);
// false with an empty list when the search could not run.
bool FindActiveDevices(const std::string& host_ip_addr, uint32_t host_port, const std::string& broadcast_ip_addr,
                       uint32_t broadcast_port, std::vector<DeviceInfoEx>& devices_list);

} // namespace Ostrel::SDK
