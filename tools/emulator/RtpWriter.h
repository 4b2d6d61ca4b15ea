// The device's RTP audio packets: a 12-byte header and 192 frames of stereo 24-bit big-endian
// samples of a unit's tone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "EmulatorConfig.h"

namespace emu::rtp {

constexpr uint32_t FramesPerPacket = 192;
constexpr size_t HeaderBytes = 12;
constexpr size_t BytesPerFrame = 2 * 3;
constexpr size_t PacketBytes = HeaderBytes + FramesPerPacket * BytesPerFrame;

// The second header byte (marker and payload type) for a sample rate: 100 at 48000 Hz, 101 at
// 44100 Hz; firmware of audio protocol 1 writes that number shifted left by one bit (0xC8,
// 0xCA). None for any other rate: the device has no stream to offer then.
std::optional<uint8_t> PayloadTypeByte(uint32_t sampleRate, uint32_t audioProtocol);

// Where one input's stream stands.
struct StreamState {
    uint16_t Sequence = 0;   // of the next packet
    uint32_t Timestamp = 0;  // of the next packet's first frame
    uint32_t Ssrc = 0;
    double Phase = 0;        // of the tone at the next frame, in cycles (0…1)
};

// The 24-bit value of a tone sample: amplitude × sin(2π × phase) of full scale (8388607),
// truncated toward zero.
int32_t ToneSample(double amplitude, double phase);

// Writes one packet into out (PacketBytes long) and advances state by one packet.
void WritePacket(uint8_t* out, StreamState& state, uint8_t payloadTypeByte, const Tone& tone, uint32_t sampleRate);

} // namespace emu::rtp
