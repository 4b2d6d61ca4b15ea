#include "EmulatorConfig.h"

#include <algorithm>
#include <cctype>
#include <cmath>

namespace emu {

TunerUnit DefaultUnit(uint32_t index) {
    // Far apart on the dial, so the tones of the first units lie octaves apart.
    static const uint32_t firstFreqs[] = {88100, 94300, 100500, 106900};
    TunerUnit unit;
    unit.FmFreqKhz = index < std::size(firstFreqs) ? firstFreqs[index] : 87600 + (index * 2300) % 20400;
    unit.Rssi = 40 + static_cast<int32_t>(index);
    unit.Snr = 30 - static_cast<int32_t>(index % 20);
    const std::string n = std::to_string(index + 1);
    unit.PSrv = "EMU " + n;
    unit.Text = "Unit " + n + " \xC2\xB7 Gr\xC3\xBC\xC3\x9F" "e \xC2\xB7 \xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82";
    unit.Time = "12:0" + std::to_string(index % 10);
    return unit;
}

Tone ToneForFmFrequency(uint32_t fmFreqKhz) {
    const double khz = std::clamp<double>(fmFreqKhz, 87500, 108000);
    Tone tone;
    tone.FrequencyHz = 110.0 * std::exp2((khz - 87500.0) / 5000.0);
    tone.LeftAmplitude = 0.5;
    tone.RightAmplitude = 0.25;
    return tone;
}

const char* ModelName(DeviceModel model) {
    switch (model) {
    case DeviceModel::Qm268: return "QM268";
    case DeviceModel::Qm5: return "QM5";
    case DeviceModel::Qm412: break;
    }
    return "QM412";
}

std::optional<DeviceModel> ModelFromName(const std::string& lowerCaseName) {
    for (DeviceModel m : {DeviceModel::Qm412, DeviceModel::Qm268, DeviceModel::Qm5}) {
        std::string name = ModelName(m);
        for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (name == lowerCaseName) return m;
    }
    return std::nullopt;
}

uint32_t EmulatorConfig::NumInputs() const {
    if (Inputs) return *Inputs;
    switch (Model) {
    case DeviceModel::Qm268: return 1;  // the one switched input, stereo
    case DeviceModel::Qm5: return 0;
    case DeviceModel::Qm412: break;
    }
    return 4;
}

std::string EmulatorConfig::Type() const { return UnitType.empty() ? ModelName(Model) : UnitType; }

std::string EmulatorConfig::Id() const {
    if (!UnitId.empty()) return UnitId;
    std::string id = ModelName(Model);
    id += "-EMU-0001";
    return id;
}

} // namespace emu
