// The facade behind IQm412: turns the public records into the device layer's, owns the two socket
// service managers and the tuner device object, and forwards every call to the device.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include "audiodevs/IOstrelDevice.h"
#include "net/INet.h"
#include "sdk412.h"

namespace Ostrel::SDK {

// A fixed two-way map between two enumerations; a value without a pair maps to the default of
// the other side.
template <class A, class B>
class EnumPairMap {
public:
    EnumPairMap(std::initializer_list<std::pair<A, B>> pairs, A defaultA, B defaultB)
        : _defaultA(defaultA), _defaultB(defaultB) {
        for (const auto& [a, b] : pairs) {
            _toB.emplace(a, b);
            _toA.emplace(b, a);
        }
    }
    B ToB(A a) const {
        const auto it = _toB.find(a);
        return it == _toB.end() ? _defaultB : it->second;
    }
    A ToA(B b) const {
        const auto it = _toA.find(b);
        return it == _toA.end() ? _defaultA : it->second;
    }

private:
    std::map<A, B> _toB;
    std::map<B, A> _toA;
    A _defaultA;
    B _defaultB;
};

extern const EnumPairMap<DeviceConnectState, Ostrel::DeviceConnectState> DeviceConnectStateConv;

Ostrel::DeviceInitSettings ConvertDeviceInitSettings(const DeviceInitSettings& settings);
DeviceInfo ConvertDeviceInfo(const Ostrel::DeviceInfo& info);
DeviceInfoEx ConvertDeviceInfoEx(const Ostrel::DeviceInfoEx& info);

// The device layer keeps a character above U+FFFF as a surrogate pair (as the JSON library
// stores it); a public wide text holds one character per wchar_t. Each valid pair becomes one
// character, a lone surrogate U+FFFD.
std::wstring JoinSurrogatePairs(const std::wstring& text);

class Qm412 final : public IQm412 {
public:
    Qm412() = default;
    ~Qm412() override;  // releases the device, then the managers
    Qm412(const Qm412&) = delete;
    Qm412& operator=(const Qm412&) = delete;

    bool Init(const DeviceInitSettings& settings) override;
    void Deinit() override;
    bool Start(const DeviceStartSettings& settings) override;
    void Stop() override;

    DeviceConnectState GetDeviceConnectState() const override;
    std::string GetDeviceId() const override;
    DeviceInfo GetDeviceInfo() const override;
    uint32_t GetNumRecordChannels() const override;
    uint32_t GetNumCycleSamples() const override;
    uint32_t GetSampleFreq() const override;

    bool GetUnitRadioFreqs(uint32_t* freqs, bool update_from_device) override;
    bool SetUnitRadioFreqs(const uint32_t* freqs) override;
    bool GetUnitRadioQuality(Qm412TunerQualityValues* unit_values, bool update_from_device) override;
    bool GetUnitRdsData(Qm412TunerRdsDataValues* unit_values, bool update_from_device) override;

private:
    void Release();
    // Elements for a temporary per-unit array: the device may have re-described itself with more
    // units since Init, and it fills as many as it now knows.
    uint32_t TemporaryUnitCount() const;

    // Declared in this order so that the device, which references the managers, goes first.
    std::unique_ptr<Network::INetManager> _udpNetMan;
    std::unique_ptr<Network::INetManager> _rtpNetMan;
    std::unique_ptr<IDevice> _ostrelDevice;
    IDeviceQm412* _qm412Device = nullptr;  // the same object as _ostrelDevice
    Ostrel::DeviceInfo _deviceInfo;        // as of the last successful Init
};

} // namespace Ostrel::SDK
