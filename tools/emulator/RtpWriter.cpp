#include "RtpWriter.h"

#include <cmath>
#include <numbers>

namespace emu::rtp {

namespace {

void PutBig16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

void PutBig32(uint8_t* p, uint32_t v) {
    for (int i = 3; i >= 0; --i, v >>= 8) p[i] = static_cast<uint8_t>(v);
}

void PutSample24(uint8_t* p, int32_t v) {
    const uint32_t u = static_cast<uint32_t>(v);
    p[0] = static_cast<uint8_t>(u >> 16);
    p[1] = static_cast<uint8_t>(u >> 8);
    p[2] = static_cast<uint8_t>(u);
}

} // namespace

std::optional<uint8_t> PayloadTypeByte(uint32_t sampleRate, uint32_t audioProtocol) {
    uint8_t type = 0;
    if (sampleRate == 48000)
        type = 100;
    else if (sampleRate == 44100)
        type = 101;
    else
        return std::nullopt;
    return audioProtocol < 2 ? static_cast<uint8_t>(type << 1) : type;
}

int32_t ToneSample(double amplitude, double phase) {
    return static_cast<int32_t>(amplitude * std::sin(2 * std::numbers::pi * phase) * 8388607.0);
}

void WritePacket(uint8_t* out, StreamState& state, uint8_t payloadTypeByte, const Tone& tone, uint32_t sampleRate) {
    out[0] = 0x80;  // version 2, no padding, no extension, no contributing sources
    out[1] = payloadTypeByte;
    PutBig16(out + 2, state.Sequence);
    PutBig32(out + 4, state.Timestamp);
    PutBig32(out + 8, state.Ssrc);
    const double step = sampleRate != 0 ? tone.FrequencyHz / sampleRate : 0;
    uint8_t* frame = out + HeaderBytes;
    for (uint32_t i = 0; i < FramesPerPacket; ++i, frame += BytesPerFrame) {
        PutSample24(frame, ToneSample(tone.LeftAmplitude, state.Phase));
        PutSample24(frame + 3, ToneSample(tone.RightAmplitude, state.Phase));
        state.Phase += step;
        state.Phase -= std::floor(state.Phase);
    }
    ++state.Sequence;
    state.Timestamp += FramesPerPacket;
}

} // namespace emu::rtp
