// RTP datagrams written byte by byte, independent of the library's packet code, with a sample
// pattern that names the sequence number, frame, RTP channel and channel of every sample, so
// that a received buffer tells which packet it came from and whether every sample is in place.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "net/INet.h"

namespace rtp_wire {

inline constexpr uint8_t L24Stereo48k = 100;

// The 24-bit sample of frame, channel ch of RTP channel rtpChan in the packet with number seq.
inline uint32_t Pattern(uint16_t seq, size_t frame, unsigned rtpChan, unsigned ch) {
    return (uint32_t{seq} << 8 | static_cast<uint32_t>(frame & 63) << 2 | (rtpChan & 1) << 1 | (ch & 1)) & 0xFFFFFF;
}

// The float a reader makes of that sample: sign-extended, times the single-precision 1/8388607.
inline float PatternFloat(uint16_t seq, size_t frame, unsigned rtpChan, unsigned ch) {
    const uint32_t raw = Pattern(seq, frame, rtpChan, ch);
    const int32_t v = static_cast<int32_t>(raw << 8) >> 8;
    return static_cast<float>(v) * (1.0f / 8388607.0f);
}

// A version 2 header (ssrc set, which receivers ignore) and frames stereo L24 frames.
inline std::string Datagram(uint16_t seq, uint32_t ts, size_t frames, unsigned rtpChan, uint8_t pt = L24Stereo48k) {
    std::string d;
    d.push_back(static_cast<char>(0x80));
    d.push_back(static_cast<char>(pt));
    d.push_back(static_cast<char>(seq >> 8));
    d.push_back(static_cast<char>(seq));
    for (int shift = 24; shift >= 0; shift -= 8) d.push_back(static_cast<char>(ts >> shift));
    for (char c : {'\x5e', '\x11', '\x22', '\x33'}) d.push_back(c);
    for (size_t f = 0; f < frames; ++f)
        for (unsigned ch = 0; ch < 2; ++ch) {
            const uint32_t raw = Pattern(seq, f, rtpChan, ch);
            d.push_back(static_cast<char>(raw >> 16));
            d.push_back(static_cast<char>(raw >> 8));
            d.push_back(static_cast<char>(raw));
        }
    return d;
}

inline Network::PacketUniqPtr ToPacket(const std::string& bytes) {
    auto packet = std::make_unique<Network::Packet>(bytes.size());
    packet->_Data.assign(bytes.begin(), bytes.end());
    return packet;
}

inline constexpr long Silence = -1;
inline constexpr long Garbage = -2;

// Which packet a received channel buffer holds: its sequence number, Silence when every sample
// is 0, Garbage when any sample is not the pattern's.
inline long Decode(const float* buf, size_t frames, unsigned rtpChan, unsigned ch) {
    bool silent = true;
    for (size_t f = 0; f < frames; ++f) silent = silent && buf[f] == 0.0f;
    if (silent) return Silence;
    if (frames < 2) return Garbage;
    const auto seq = static_cast<uint16_t>((std::lround(static_cast<double>(buf[1]) * 8388607.0) & 0xFFFFFF) >> 8);
    for (size_t f = 0; f < frames; ++f)
        if (buf[f] != PatternFloat(seq, f, rtpChan, ch)) return Garbage;
    return seq;
}

} // namespace rtp_wire
