#include "WavWriter.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace cli {

namespace {

constexpr uint16_t FormatPcm = 1;
constexpr uint16_t FormatIeeeFloat = 3;
constexpr uint16_t Channels = 2;

void Put16(std::vector<uint8_t>& out, uint32_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(std::vector<uint8_t>& out, uint32_t v) {
    Put16(out, v & 0xFFFF);
    Put16(out, v >> 16);
}
void PutTag(std::vector<uint8_t>& out, const char* tag) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(tag[i]));
}

uint32_t BytesPerSample(WavFormat format) { return format == WavFormat::Float32 ? 4 : 3; }

// The whole header for the given number of frames. Float files carry the extended format
// chunk and a fact chunk, as non-PCM formats require.
std::vector<uint8_t> Header(WavFormat format, uint32_t sampleRate, uint64_t frames) {
    const uint32_t bytesPerFrame = Channels * BytesPerSample(format);
    const uint64_t data64 = frames * bytesPerFrame;
    const uint32_t data = static_cast<uint32_t>(std::min<uint64_t>(data64, std::numeric_limits<uint32_t>::max() - 64));
    const bool isFloat = format == WavFormat::Float32;
    const uint32_t fmtSize = isFloat ? 18 : 16;
    const uint32_t riffSize = 4 + (8 + fmtSize) + (isFloat ? 12 : 0) + 8 + data;
    std::vector<uint8_t> h;
    PutTag(h, "RIFF");
    Put32(h, riffSize);
    PutTag(h, "WAVE");
    PutTag(h, "fmt ");
    Put32(h, fmtSize);
    Put16(h, isFloat ? FormatIeeeFloat : FormatPcm);
    Put16(h, Channels);
    Put32(h, sampleRate);
    Put32(h, sampleRate * bytesPerFrame);
    Put16(h, bytesPerFrame);
    Put16(h, BytesPerSample(format) * 8);
    if (isFloat) {
        Put16(h, 0);  // no extension
        PutTag(h, "fact");
        Put32(h, 4);
        Put32(h, static_cast<uint32_t>(std::min<uint64_t>(frames, std::numeric_limits<uint32_t>::max())));
    }
    PutTag(h, "data");
    Put32(h, data);
    return h;
}

} // namespace

WavWriter::~WavWriter() { Close(); }

bool WavWriter::Open(const std::string& path, WavFormat format, uint32_t sampleRate, std::string& error) {
    Close();
    _file = std::fopen(path.c_str(), "wb");
    if (!_file) {
        error = std::strerror(errno);
        return false;
    }
    _format = format;
    _frames = 0;
    _failed = false;
    _peak[0] = _peak[1] = 0;
    _sumSquares[0] = _sumSquares[1] = 0;
    // Written now with zero sizes so that the audio lands where Close expects it.
    const std::vector<uint8_t> header = Header(format, sampleRate, 0);
    _sampleRate = sampleRate;
    if (std::fwrite(header.data(), 1, header.size(), _file) != header.size()) {
        error = std::strerror(errno);
        Close();
        return false;
    }
    return true;
}

bool WavWriter::Write(const float* left, const float* right, size_t frames) {
    if (!_file) return false;
    if (frames == 0) return !_failed;
    std::vector<uint8_t> bytes;
    bytes.reserve(frames * Channels * BytesPerSample(_format));
    for (size_t i = 0; i < frames; ++i) {
        const float pair[2] = {left[i], right[i]};
        for (int c = 0; c < 2; ++c) {
            const float v = pair[c];
            _peak[c] = std::max(_peak[c], static_cast<double>(std::fabs(v)));
            _sumSquares[c] += static_cast<double>(v) * v;
            if (_format == WavFormat::Float32) {
                uint32_t bits;
                std::memcpy(&bits, &v, sizeof bits);
                Put32(bytes, bits);
            } else {
                const double clipped = std::clamp(static_cast<double>(v), -1.0, 1.0);
                const int32_t s = static_cast<int32_t>(std::lround(clipped * 8388607.0));
                const uint32_t u = static_cast<uint32_t>(s);
                bytes.push_back(static_cast<uint8_t>(u));
                bytes.push_back(static_cast<uint8_t>(u >> 8));
                bytes.push_back(static_cast<uint8_t>(u >> 16));
            }
        }
    }
    if (std::fwrite(bytes.data(), 1, bytes.size(), _file) != bytes.size()) _failed = true;
    _frames += frames;
    return !_failed;
}

bool WavWriter::Close() {
    if (!_file) return !_failed;
    const std::vector<uint8_t> header = Header(_format, _sampleRate, _frames);
    if (std::fseek(_file, 0, SEEK_SET) != 0 || std::fwrite(header.data(), 1, header.size(), _file) != header.size())
        _failed = true;
    if (std::fclose(_file) != 0) _failed = true;
    _file = nullptr;
    return !_failed;
}

double WavWriter::Rms(int channel) const {
    return _frames ? std::sqrt(_sumSquares[channel] / static_cast<double>(_frames)) : 0.0;
}

} // namespace cli
