// RTP sample conversion on the audio path: one 192-frame stereo L24 packet read channel by channel
// into two float buffers (as the audio manager reads it) and written back from them, against a
// plain loop that only byte-swaps and scales the same samples, the practical limit. Items are
// samples (384 per packet), so items_per_second is samples per second.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "bench_docs.h"
#include "rtp/RtpPacket.h"

namespace {

using Network::RtpPacket;
using Network::RtpPayloadType;

constexpr size_t Frames = 192;

struct Stereo {
    Stereo() : packet(Network::AllocateAudioRtpPacket(RtpPayloadType::AUDIO_L24_2_48000, Frames)), left(Frames), right(Frames) {
        benchdocs::Rng rng(61);
        for (size_t i = 0; i < Frames; ++i) {
            left[i] = static_cast<float>(rng.Unit() * 2 - 1);
            right[i] = static_cast<float>(rng.Unit() * 2 - 1);
        }
        packet.SetAudioPayloadChan(left.data(), 0, 1);
        packet.SetAudioPayloadChan(right.data(), 1, 1);
    }
    uint8_t* Payload() { return packet.PayloadPtr(); }

    RtpPacket packet;
    std::vector<float> left, right;
};

void Count(benchmark::State& state) {
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * Frames * 2));
}

void ReadOurs(benchmark::State& state) {
    Stereo s;
    for (auto _ : state) {
        s.packet.GetAudioPayloadChan(s.left.data(), 0, 1, 0, 0);
        s.packet.GetAudioPayloadChan(s.right.data(), 1, 1, 0, 0);
        benchmark::ClobberMemory();
    }
    Count(state);
}

void ReadPlain(benchmark::State& state) {
    Stereo s;
    const uint8_t* payload = s.Payload();
    float* left = s.left.data();
    float* right = s.right.data();
    for (auto _ : state) {
        benchmark::DoNotOptimize(payload);
        const uint8_t* p = payload;
        for (size_t i = 0; i < Frames; ++i, p += 6) {
            const int32_t l = static_cast<int32_t>(uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8) >> 8;
            const int32_t r = static_cast<int32_t>(uint32_t{p[3]} << 24 | uint32_t{p[4]} << 16 | uint32_t{p[5]} << 8) >> 8;
            left[i] = static_cast<float>(l) * (1.0f / 8388607.0f);
            right[i] = static_cast<float>(r) * (1.0f / 8388607.0f);
        }
        benchmark::ClobberMemory();
    }
    Count(state);
}

void WriteOurs(benchmark::State& state) {
    Stereo s;
    for (auto _ : state) {
        s.packet.SetAudioPayloadChan(s.left.data(), 0, 1);
        s.packet.SetAudioPayloadChan(s.right.data(), 1, 1);
        benchmark::ClobberMemory();
    }
    Count(state);
}

void WritePlain(benchmark::State& state) {
    Stereo s;
    uint8_t* payload = s.Payload();
    const float* left = s.left.data();
    const float* right = s.right.data();
    for (auto _ : state) {
        benchmark::DoNotOptimize(payload);
        uint8_t* p = payload;
        for (size_t i = 0; i < Frames; ++i, p += 6) {
            const int32_t l = static_cast<int32_t>(left[i] * 8388607.0f);
            const int32_t r = static_cast<int32_t>(right[i] * 8388607.0f);
            p[0] = static_cast<uint8_t>(l >> 16);
            p[1] = static_cast<uint8_t>(l >> 8);
            p[2] = static_cast<uint8_t>(l);
            p[3] = static_cast<uint8_t>(r >> 16);
            p[4] = static_cast<uint8_t>(r >> 8);
            p[5] = static_cast<uint8_t>(r);
        }
        benchmark::ClobberMemory();
    }
    Count(state);
}

} // namespace

BENCHMARK(ReadOurs)->Name("rtp_l24_read/ours");
BENCHMARK(ReadPlain)->Name("rtp_l24_read/swap_scale");
BENCHMARK(WriteOurs)->Name("rtp_l24_write/ours");
BENCHMARK(WritePlain)->Name("rtp_l24_write/swap_scale");

int main(int argc, char** argv) {
    benchmark::AddCustomContext("compiler", __VERSION__);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
