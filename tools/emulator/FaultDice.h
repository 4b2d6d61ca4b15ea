// A small pseudo-random sequence (SplitMix64) for fault decisions: the same seed gives the same
// decisions on every machine, which std::uniform_real_distribution does not promise.
#pragma once

#include <cstdint>

namespace emu {

class FaultDice {
public:
    explicit FaultDice(uint64_t seed = 0) : _state(seed) {}

    uint64_t Next() {
        uint64_t z = (_state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

    // True with the given probability; always draws, so the sequence does not depend on it.
    bool Chance(double probability) {
        const double draw = static_cast<double>(Next() >> 11) * 0x1.0p-53;  // uniform in [0, 1)
        return draw < probability;
    }

    // Independent sequences for the directions and inputs of one seed.
    static uint64_t StreamSeed(uint64_t seed, uint64_t stream) {
        FaultDice mix(seed ^ (stream * 0xD1B54A32D192ED03ull));
        return mix.Next();
    }

private:
    uint64_t _state;
};

} // namespace emu
