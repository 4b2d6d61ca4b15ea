#include "EmulatorConfig.h"

#include <algorithm>
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

} // namespace emu
