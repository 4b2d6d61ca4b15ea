// Reads a WAV file the way a player would, independently of the tool that wrote it, and checks
// it holds what a recording of the emulator must hold.
// Usage: sdk_wav_check FILE RATE FRAMES LEFT_PEAK RIGHT_PEAK
//   RATE       the expected sample rate
//   FRAMES     the expected number of stereo frames
//   *_PEAK     the expected peak level of each channel (0…1), within 0.02
// The emulator plays a steady sine, so once its stream has settled (the second half of the file)
// each channel's RMS level must be its peak over the square root of 2.
// Exits 0 and prints a summary when all holds, 1 with the reason otherwise.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

uint32_t Le(const uint8_t* p, int bytes) {
    uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

int Fail(const std::string& file, const std::string& why) {
    std::fprintf(stderr, "%s: %s\n", file.c_str(), why.c_str());
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: sdk_wav_check FILE RATE FRAMES LEFT_PEAK RIGHT_PEAK\n");
        return 2;
    }
    const std::string file = argv[1];
    const uint32_t rate = static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10));
    const uint64_t frames = std::strtoull(argv[3], nullptr, 10);
    const double wantPeak[2] = {std::atof(argv[4]), std::atof(argv[5])};

    std::ifstream in(file, std::ios::binary);
    const std::vector<uint8_t> b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (b.size() < 12 || std::memcmp(b.data(), "RIFF", 4) != 0 || std::memcmp(b.data() + 8, "WAVE", 4) != 0)
        return Fail(file, "no RIFF/WAVE header");
    if (Le(&b[4], 4) != b.size() - 8) return Fail(file, "RIFF size does not match the file size");

    uint16_t format = 0, channels = 0, bits = 0, blockAlign = 0;
    uint32_t fileRate = 0;
    const uint8_t* data = nullptr;
    uint32_t dataSize = 0;
    for (size_t pos = 12; pos + 8 <= b.size();) {
        const uint32_t size = Le(&b[pos + 4], 4);
        if (pos + 8 + size > b.size()) return Fail(file, "a chunk runs past the end");
        const uint8_t* body = &b[pos + 8];
        if (std::memcmp(&b[pos], "fmt ", 4) == 0 && size >= 16) {
            format = static_cast<uint16_t>(Le(body, 2));
            channels = static_cast<uint16_t>(Le(body + 2, 2));
            fileRate = Le(body + 4, 4);
            blockAlign = static_cast<uint16_t>(Le(body + 12, 2));
            bits = static_cast<uint16_t>(Le(body + 14, 2));
            if (Le(body + 8, 4) != fileRate * blockAlign) return Fail(file, "byte rate inconsistent");
        } else if (std::memcmp(&b[pos], "data", 4) == 0) {
            data = body;
            dataSize = size;
        }
        pos += 8 + size + (size & 1);
    }
    if (!data || !channels) return Fail(file, "fmt or data chunk missing");
    const bool isFloat = format == 3 && bits == 32;
    const bool isPcm24 = format == 1 && bits == 24;
    if (!isFloat && !isPcm24) return Fail(file, "neither 32-bit float nor 24-bit PCM");
    if (channels != 2 || blockAlign != 2 * bits / 8) return Fail(file, "not stereo");
    if (fileRate != rate) return Fail(file, "sample rate " + std::to_string(fileRate));
    if (dataSize != frames * blockAlign)
        return Fail(file, std::to_string(dataSize / blockAlign) + " frames, wanted " + std::to_string(frames));

    double peak[2] = {0, 0};
    double squares[2] = {0, 0};  // of the second half
    for (uint64_t f = 0; f < frames; ++f) {
        for (int c = 0; c < 2; ++c) {
            const uint8_t* p = data + f * blockAlign + c * (bits / 8);
            double v;
            if (isFloat) {
                float x;
                std::memcpy(&x, p, 4);
                v = x;
            } else {
                int32_t s = static_cast<int32_t>(Le(p, 3) << 8) >> 8;
                v = s / 8388608.0;
            }
            if (!std::isfinite(v)) return Fail(file, "a sample is not a number");
            peak[c] = std::fmax(peak[c], std::fabs(v));
            if (f >= frames / 2) squares[c] += v * v;
        }
    }
    for (int c = 0; c < 2; ++c)
        if (std::fabs(peak[c] - wantPeak[c]) > 0.02)
            return Fail(file, std::string(c ? "right" : "left") + " peak " + std::to_string(peak[c]));
    // A gap shows as a lower RMS. The bound leaves room for a few silent cycles of 4 ms, which a
    // test machine that holds the emulator or the tool for tens of milliseconds can cause; the
    // loss of a third of the sound cannot pass.
    double rms[2];
    for (int c = 0; c < 2; ++c) {
        rms[c] = std::sqrt(squares[c] / static_cast<double>(frames - frames / 2));
        if (std::fabs(rms[c] - wantPeak[c] / std::sqrt(2.0)) > 0.1 * wantPeak[c])
            return Fail(file, std::string(c ? "right" : "left") + " RMS " + std::to_string(rms[c]) +
                                  " in the second half: the sound is not continuous");
    }
    std::printf("%s: ok, %s, %llu frames, peaks %.3f %.3f, RMS %.3f %.3f\n", file.c_str(),
                isFloat ? "float" : "pcm24", static_cast<unsigned long long>(frames), peak[0], peak[1], rms[0], rms[1]);
    return 0;
}
