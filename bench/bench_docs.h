// Inputs shared by the benchmarks: a typical control message, a generated document of about
// 1 MB and an array of random doubles. Everything is derived from fixed seeds by our own
// generator, so every run and every library sees the same bytes.
#pragma once

#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

namespace benchdocs {

// splitmix64: the standard distributions are not specified bit for bit across library versions.
class Rng {
public:
    explicit Rng(uint64_t seed) : _state(seed) {}
    uint64_t Next() {
        uint64_t z = (_state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    uint64_t Below(uint64_t bound) { return Next() % bound; }
    bool Chance(unsigned percent) { return Below(100) < percent; }
    double Unit() { return static_cast<double>(Next() >> 11) * 0x1.0p-53; }

private:
    uint64_t _state;
};

// A set-frequency request as a client sends it to a tuner.
inline std::string ControlMessage() {
    return R"({"msg":"set_freq","id":1234,"dev_id":"QM412-0A3F27","ts":1718012345678,)"
           R"("params":{"unit":1,"freq":98.5,"band":"FM","mode":"stereo","agc":true,)"
           R"("gains":[12,-3,0]},"reply_to":"127.0.0.1:50001","client":"studio-A"})";
}

namespace detail {

// Escapes are written the way every parser under test accepts them (upper-case \u digits).
constexpr const char* kWords[] = {
    "alpha", "tuner", "carrier", "stereo", "pilot", "squelch", "antenna", "preset",
    "Z\xC3\xBCrich", "\xD0\x9C\xD0\xBE\xD1\x81\xD0\xBA\xD0\xB2\xD0\xB0",  // Zurich, Moscow
    "\xE6\x9D\xB1\xE4\xBA\xAC", "caf\xC3\xA9 \xF0\x9F\x98\x80",            // Tokyo, cafe + emoji
    "line\\nbreak", "tab\\there", "quote\\\"d", "back\\\\slash", "path\\/to",
    "e\\u00E9\\u00C0", "ctl\\u0001", "long text with several plain words in it",
};

inline void AppendString(std::string& out, Rng& rng) {
    out += '"';
    const size_t words = 1 + rng.Below(4);
    for (size_t i = 0; i < words; ++i) {
        if (i) out += ' ';
        out += kWords[rng.Below(std::size(kWords))];
    }
    out += '"';
}

inline void AppendInt(std::string& out, Rng& rng) {
    int64_t v;
    switch (rng.Below(3)) {
    case 0: v = static_cast<int64_t>(rng.Below(1000)); break;
    case 1: v = static_cast<int64_t>(rng.Below(100000000)) - 50000000; break;
    default: v = static_cast<int64_t>(rng.Next() >> 2) * (rng.Chance(50) ? 1 : -1); break;
    }
    out += std::to_string(v);
}

// Mixed magnitudes (1e-8 .. 1e12) and precisions (3 to 15 significant digits), always with a
// point or an exponent so that every parser reads a double.
inline void AppendDouble(std::string& out, Rng& rng) {
    double v = (1.0 + 9.0 * rng.Unit());
    const int exp10 = static_cast<int>(rng.Below(21)) - 8;
    for (int i = 0; i < exp10; ++i) v *= 10.0;
    for (int i = 0; i > exp10; --i) v /= 10.0;
    if (rng.Chance(30)) v = -v;
    char buf[40];
    const int digits = 3 + static_cast<int>(rng.Below(13));
    std::snprintf(buf, sizeof buf, "%.*g", digits, v);
    std::string_view text(buf);
    out += text;
    if (text.find_first_of(".e") == std::string_view::npos) out += ".0";
}

inline void AppendScalar(std::string& out, Rng& rng) {
    switch (rng.Below(8)) {
    case 0: case 1: AppendInt(out, rng); break;
    case 2: case 3: AppendDouble(out, rng); break;
    case 4: case 5: AppendString(out, rng); break;
    case 6: out += rng.Chance(50) ? "true" : "false"; break;
    default: out += "null"; break;
    }
}

inline void AppendValue(std::string& out, Rng& rng, int depth);

inline void AppendObject(std::string& out, Rng& rng, int depth) {
    static constexpr const char* kKeys[] = {"a", "b", "c", "d", "e", "f", "g", "h", "i", "j"};
    out += '{';
    const size_t members = rng.Below(std::size(kKeys) + 1);
    for (size_t i = 0; i < members; ++i) {  // distinct keys: the libraries treat repeats differently
        if (i) out += ',';
        out += '"';
        out += kKeys[i];
        out += "\":";
        AppendValue(out, rng, depth + 1);
    }
    out += '}';
}

inline void AppendArray(std::string& out, Rng& rng, int depth) {
    out += '[';
    const size_t elements = rng.Below(9);
    for (size_t i = 0; i < elements; ++i) {
        if (i) out += ',';
        AppendValue(out, rng, depth + 1);
    }
    out += ']';
}

inline void AppendValue(std::string& out, Rng& rng, int depth) {
    const uint64_t pick = rng.Below(10);
    if (depth < 6 && pick == 0) AppendObject(out, rng, depth);
    else if (depth < 6 && pick == 1) AppendArray(out, rng, depth);
    else AppendScalar(out, rng);
}

inline void AppendRecord(std::string& out, Rng& rng, size_t index) {
    out += "{\"id\":" + std::to_string(index);
    out += ",\"name\":";
    AppendString(out, rng);
    out += ",\"active\":";
    out += rng.Chance(50) ? "true" : "false";
    out += ",\"note\":";
    if (rng.Chance(40)) out += "null"; else AppendString(out, rng);
    out += ",\"ratio\":";
    AppendDouble(out, rng);
    out += ",\"counts\":[";
    for (size_t i = 0, n = rng.Below(12); i < n; ++i) {
        if (i) out += ',';
        if (rng.Chance(50)) AppendInt(out, rng); else AppendDouble(out, rng);
    }
    out += "],\"pos\":{\"lat\":";
    AppendDouble(out, rng);
    out += ",\"lon\":";
    AppendDouble(out, rng);
    out += ",\"alt\":";
    AppendInt(out, rng);
    out += "},\"extra\":";
    AppendObject(out, rng, 1);
    out += '}';
}

} // namespace detail

// A document of records with nested objects and arrays, at least minBytes long.
inline std::string LargeDocument(size_t minBytes = 1000000, uint64_t seed = 412) {
    Rng rng(seed);
    std::string out = "{\"source\":\"generated\",\"records\":[";
    out.reserve(minBytes + 4096);
    for (size_t i = 0; out.size() < minBytes; ++i) {
        if (i) out += ',';
        detail::AppendRecord(out, rng, i);
    }
    out += "]}";
    return out;
}

// Finite doubles: half from random bit patterns (every magnitude the format has), half of
// everyday size (1e-6 .. 1e9) with 1 to 17 significant digits.
inline std::vector<double> RandomDoubles(size_t count, uint64_t seed = 4120) {
    Rng rng(seed);
    std::vector<double> values;
    values.reserve(count);
    while (values.size() < count) {
        double v;
        if (rng.Chance(50)) {
            v = std::bit_cast<double>(rng.Next());
            if (v != v || v - v != 0.0) continue;  // NaN or infinite
        } else {
            char buf[40];
            const int digits = 1 + static_cast<int>(rng.Below(17));
            double m = (1.0 + 9.0 * rng.Unit());
            const int exp10 = static_cast<int>(rng.Below(16)) - 6;
            for (int i = 0; i < exp10; ++i) m *= 10.0;
            for (int i = 0; i > exp10; --i) m /= 10.0;
            std::snprintf(buf, sizeof buf, "%.*g", digits, rng.Chance(50) ? m : -m);
            v = std::strtod(buf, nullptr);
        }
        values.push_back(v);
    }
    return values;
}

} // namespace benchdocs
