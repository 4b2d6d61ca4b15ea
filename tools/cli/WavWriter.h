// Writes interleaved stereo audio to a WAV file, as 32-bit float or 24-bit PCM, and keeps the
// peak and RMS level of each channel for the summary. The sizes in the header are filled in by
// Close, so a file cut short by a crash is readable up to its header only.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace cli {

enum class WavFormat { Float32, Pcm24 };

class WavWriter {
public:
    WavWriter() = default;
    ~WavWriter();  // closes
    WavWriter(const WavWriter&) = delete;
    WavWriter& operator=(const WavWriter&) = delete;

    // False with the system's reason in error when the file cannot be created.
    bool Open(const std::string& path, WavFormat format, uint32_t sampleRate, std::string& error);
    // frames pairs of (left, right) from two channel buffers; samples outside -1…1 are clipped in
    // PCM files and kept in float ones.
    bool Write(const float* left, const float* right, size_t frames);
    // Completes the header; false when a write failed at any point.
    bool Close();

    uint64_t Frames() const { return _frames; }
    // Of all samples written, per channel (0 left, 1 right), as linear full-scale values.
    double Peak(int channel) const { return _peak[channel]; }
    double Rms(int channel) const;

private:
    std::FILE* _file = nullptr;
    WavFormat _format = WavFormat::Float32;
    uint32_t _sampleRate = 0;
    uint64_t _frames = 0;
    bool _failed = false;
    double _peak[2] = {0, 0};
    double _sumSquares[2] = {0, 0};
};

} // namespace cli
