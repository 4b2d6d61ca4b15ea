#include "qm412.h"

#include <algorithm>
#include <vector>

#include "util/utfconv.h"

namespace Ostrel::SDK {

const EnumPairMap<DeviceConnectState, Ostrel::DeviceConnectState> DeviceConnectStateConv{
    {
        {DeviceConnectState::Disconnected, Ostrel::DeviceConnectState::Disconnected},
        {DeviceConnectState::Connected, Ostrel::DeviceConnectState::Connected},
        {DeviceConnectState::RtpActive, Ostrel::DeviceConnectState::RtpActive},
    },
    DeviceConnectState::Disconnected,
    Ostrel::DeviceConnectState::Disconnected,
};

Ostrel::DeviceInitSettings ConvertDeviceInitSettings(const DeviceInitSettings& settings) {
    Ostrel::DeviceInitSettings out;
    out.PeerAddr = text::UTF8_UTF16(settings.PeerAddr);
    out.PeerJsonPort = settings.PeerJsonPort;
    out.HostAddr = text::UTF8_UTF16(settings.HostAddr);
    out.HostJsonPort = settings.HostJsonPort;
    return out;
}

DeviceInfo ConvertDeviceInfo(const Ostrel::DeviceInfo& info) {
    DeviceInfo out;
    out.UnitId = text::UTF16_UTF8(info.UnitId);
    out.HardwareVersion = info.HardwareVersion;
    out.FirmwareVersion = info.FirmwareVersion;
    out.SoftwareVersion = info.SoftwareVersion;
    out.AudioProtocolVersion = info.AudioProtocolVersion;
    out.ControlProtocolVersion = info.ControlProtocolVersion;
    out.PeerRtpPort = info.PeerRtpPort;
    out.NumInputs = info.NumInputs;
    out.SampleFreq = info.SampleFreq;
    return out;
}

DeviceInfoEx ConvertDeviceInfoEx(const Ostrel::DeviceInfoEx& info) {
    DeviceInfoEx out;
    static_cast<DeviceInfo&>(out) = ConvertDeviceInfo(info);
    out.UnitAddr = text::UTF16_UTF8(info.UnitIpAddress.ToStringWithoutPort());
    out.UnitPort = info.UnitIpAddress.GetPort();
    return out;
}

std::wstring JoinSurrogatePairs(const std::wstring& text) {
    auto isHigh = [](wchar_t c) { return c >= 0xD800 && c <= 0xDBFF; };
    auto isLow = [](wchar_t c) { return c >= 0xDC00 && c <= 0xDFFF; };
    std::wstring out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const wchar_t c = text[i];
        if (isHigh(c) && i + 1 < text.size() && isLow(text[i + 1])) {
            out.push_back(static_cast<wchar_t>(0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00)));
            ++i;
        } else if (isHigh(c) || isLow(c)) {
            out.push_back(L'\xFFFD');
        } else {
            out.push_back(c);
        }
    }
    return out;
}

Qm412::~Qm412() { Release(); }

void Qm412::Release() {
    _qm412Device = nullptr;
    _ostrelDevice.reset();
    _rtpNetMan.reset();
    _udpNetMan.reset();
    _deviceInfo = Ostrel::DeviceInfo();
}

bool Qm412::Init(const DeviceInitSettings& settings) {
    Release();
    _udpNetMan.reset(Network::NetFactory::CreateNetManager(L"OstrelQm412Device control", true, 0));
    _rtpNetMan.reset(Network::NetFactory::CreateNetManager(L"OstrelQm412Device audio", true, 0));
    if (!_udpNetMan || !_rtpNetMan) return false;

    _ostrelDevice.reset(CreateDevice(DeviceType::Qm412, *_udpNetMan, *_rtpNetMan));
    if (!_ostrelDevice) return false;
    _qm412Device = static_cast<IDeviceQm412*>(*_ostrelDevice);
    if (!_qm412Device) return false;

    // A failed record writes its reason to the debug log when it goes out of scope.
    const ErrInfo err = _ostrelDevice->Init(ConvertDeviceInitSettings(settings));
    if (!err) return false;
    _deviceInfo = _ostrelDevice->GetDeviceInfo();
    return true;
}

void Qm412::Deinit() {
    if (_ostrelDevice) _ostrelDevice->Deinit();
}

bool Qm412::Start(const DeviceStartSettings& settings) {
    if (!_ostrelDevice) return false;
    Ostrel::DeviceStartSettings start;
    start.HostRtpPort = settings.HostRtpPort;
    start.RecvDelayMax = settings.RecvDelayMax;
    start.RecvDelayNorm = settings.RecvDelayNorm;
    start.RtpGetRecBufCallback = settings.RtpGetRecBufCallback;
    start.AllocSendBuffers = false;
    // The adapter owns its copy of the callback, so a later Start (refused while streaming)
    // cannot change what the running audio thread calls.
    start.RtpExchangeCallback = [callback = settings.RtpExchangeCallback](const Ostrel::buffer_ptrs& record,
                                                                            Ostrel::buffer_ptrs&, size_t samples) {
        if (callback) callback(record, samples);
    };
    const ErrInfo err = _ostrelDevice->Start(start);
    return static_cast<bool>(err);
}

void Qm412::Stop() {
    if (_ostrelDevice) _ostrelDevice->Stop();
}

DeviceConnectState Qm412::GetDeviceConnectState() const {
    if (!_ostrelDevice) return DeviceConnectState::Disconnected;
    return DeviceConnectStateConv.ToA(_ostrelDevice->GetDeviceConnectState());
}

std::string Qm412::GetDeviceId() const {
    return _ostrelDevice ? text::UTF16_UTF8(_ostrelDevice->GetDeviceId()) : std::string();
}

DeviceInfo Qm412::GetDeviceInfo() const {
    return _ostrelDevice ? ConvertDeviceInfo(_ostrelDevice->GetDeviceInfo()) : DeviceInfo();
}

uint32_t Qm412::GetNumRecordChannels() const { return _ostrelDevice ? _ostrelDevice->GetNumRecordChannels() : 0; }

uint32_t Qm412::GetNumCycleSamples() const { return _ostrelDevice ? _ostrelDevice->GetNumCycleSamples() : 0; }

uint32_t Qm412::GetSampleFreq() const { return _ostrelDevice ? _ostrelDevice->GetSampleFreq() : 0; }

bool Qm412::GetUnitRadioFreqs(uint32_t* freqs, bool update_from_device) {
    return _qm412Device && _qm412Device->GetUnitRadioFreqs(freqs, update_from_device);
}

bool Qm412::SetUnitRadioFreqs(const uint32_t* freqs) {
    return _qm412Device && _qm412Device->SetUnitRadioFreqs(freqs);
}

uint32_t Qm412::TemporaryUnitCount() const {
    return std::max(_deviceInfo.NumInputs, _ostrelDevice->GetNumRecordChannels());
}

bool Qm412::GetUnitRadioQuality(Qm412TunerQualityValues* unit_values, bool update_from_device) {
    if (!_qm412Device) return false;
    std::vector<Ostrel::Qm412TunerQualityValues> values(TemporaryUnitCount());
    if (!_qm412Device->GetUnitRadioQuality(values.data(), update_from_device)) return false;
    for (uint32_t i = 0; i < _deviceInfo.NumInputs; ++i) {
        unit_values[i]._RSSI = values[i]._RSSI;
        unit_values[i]._SNR = values[i]._SNR;
        unit_values[i]._MultiPath = values[i]._MultiPath;
        unit_values[i]._Pilot = values[i]._Pilot;
        unit_values[i]._Valid = values[i]._Valid;
    }
    return true;
}

bool Qm412::GetUnitRdsData(Qm412TunerRdsDataValues* unit_values, bool update_from_device) {
    if (!_qm412Device) return false;
    std::vector<Ostrel::Qm412TunerRdsData> values(TemporaryUnitCount());
    if (!_qm412Device->GetUnitRdsData(values.data(), update_from_device)) return false;
    for (uint32_t i = 0; i < _deviceInfo.NumInputs; ++i) {
        unit_values[i]._RdsPSrv = JoinSurrogatePairs(values[i]._RdsPSrv);
        unit_values[i]._RdsText = JoinSurrogatePairs(values[i]._RdsText);
        unit_values[i]._RdsTime = JoinSurrogatePairs(values[i]._RdsTime);
    }
    return true;
}

} // namespace Ostrel::SDK
