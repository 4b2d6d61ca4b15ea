// RTP datagrams from the network into the audio receive path, without sockets: each datagram
// enters through the receive channel's datagram callback, as a socket hands it over, and every
// timestamp notification runs a read cycle into float buffers, as the device layer does.
//
// Input: 5 configuration bytes, then records of [channel byte][length, 2 bytes little-endian]
// [datagram]. Configuration: receive channel count (1 to 3) and which entry of the audio list is
// null; payload types of channels 0 and 1 (a nibble each); RecvDelay and RecvDelayMax (0 to 15
// each); frames per packet; payload type of channel 2. Bit 7 of a channel byte also runs a read cycle through RecvPackets before the datagram.
//
// Checked per read cycle: the buffers of each receive channel are either all written or, once a
// packet of the wrong shape ends the pass, that channel and every later one untouched; a channel
// that delivered nothing is silent; every sample is finite and within full scale. Notified
// positions rise while the stream stays locked. Datagrams are allocated at their exact size so
// that AddressSanitizer sees any read past their data.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "rtp/RtpManager.h"

namespace {

using namespace Network;

[[noreturn]] void Fail(const char* what, size_t chan) {
    std::fprintf(stderr, "rtp_recv_fuzz: %s (receive channel %zu)\n", what, chan);
    std::abort();
}

// A quiet NaN with a payload of our own: what a buffer holds before a read cycle.
float Canary() {
    const uint32_t bits = 0x7FC0BEEF;
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

bool IsCanary(float f) {
    uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    return bits == 0x7FC0BEEF;
}

constexpr RtpPayloadType Types[] = {
    RtpPayloadType::INVALID,           RtpPayloadType::AUDIO_L24_2_48000, RtpPayloadType::AUDIO_L16_1_16000,
    RtpPayloadType::AUDIO_L16_2_48000, RtpPayloadType::AUDIO_L16_17_48000, RtpPayloadType::AUDIO_PLOVIN_CUSTOM,
    RtpPayloadType::KESTA_BAD_AUDIO_L24_2_48000, RtpPayloadType::AUDIO_L16_8_16000,
};

// Does what the device layer does on each notification with a position: one read cycle into its
// buffers. Then checks what the cycle wrote.
class Device : public ISyncTarget {
public:
    Device(RtpAudioManager& audio, const std::vector<uint32_t>& channels, size_t nullEntry, uint32_t frames)
        : Audio(audio), Channels(channels), Frames(frames) {
        size_t mono = 0;
        for (uint32_t n : channels) mono += n;
        for (size_t i = 0; i < mono; ++i) Buffers.emplace_back(i == nullEntry ? 0 : frames);
        for (auto& b : Buffers) Ptrs.push_back(b.empty() ? nullptr : b.data());
    }

    void OnSync(ISyncSource*, int64_t pos, int freq) override {
        if (freq != 48000) Fail("notified with another rate", 0);
        if (pos < 0) {
            if (pos != -1) Fail("a negative position other than the reset", 0);
            HasLast = false;
            return;
        }
        if (HasLast && pos <= Last) Fail("the notified position does not rise", 0);
        HasLast = true;
        Last = pos;
        ReadAndCheck();
    }

    void ReadAndCheck() {
        for (auto& b : Buffers) std::fill(b.begin(), b.end(), Canary());
        Audio.RecvAudio(Ptrs, Frames);
        RtpManager& rtp = Audio.GetRtpManager();
        bool ended = false;    // a channel was left untouched: so must every later one be
        bool unknown = false;  // a channel with a packet but no buffer to show what happened
        size_t next = 0;
        for (size_t chan = 0; chan < Channels.size(); ++chan) {
            const uint32_t n = Channels[chan];
            const bool present = rtp.IsStreamOk(chan);
            size_t untouched = 0, written = 0;
            for (uint32_t c = 0; c < n; ++c, ++next) {
                const std::vector<float>& b = Buffers[next];
                if (b.empty()) continue;
                const size_t canaries = static_cast<size_t>(std::count_if(b.begin(), b.end(), IsCanary));
                if (canaries == b.size()) {
                    ++untouched;
                    continue;
                }
                if (canaries != 0) Fail("a buffer written in part", chan);
                ++written;
                for (float f : b) {
                    if (!std::isfinite(f) || std::fabs(f) > 1.0001f) Fail("a sample that is not finite or beyond full scale", chan);
                    if (!present && f != 0.0f) Fail("a channel without a packet is not silent", chan);
                }
            }
            if (untouched != 0 && written != 0) Fail("some buffers of a channel written, others not", chan);
            if (ended && written != 0) Fail("a buffer written after the pass ended", chan);
            if (untouched != 0) {
                if (!present && !ended && !unknown) Fail("a missing packet left its buffers untouched", chan);
                ended = true;
            } else if (written == 0 && present) {
                // A channel of no audio channels has no packet of its shape: its packet ends the pass.
                if (n == 0) ended = true;
                else unknown = true;
            }
        }
    }

    RtpAudioManager& Audio;
    const std::vector<uint32_t> Channels;  // mono channels per receive channel
    const uint32_t Frames;
    std::vector<std::vector<float>> Buffers;  // an empty one stands for a null entry
    std::vector<float*> Ptrs;
    bool HasLast = false;
    int64_t Last = 0;
};

INetManager& Net() {
    // Never started: the manager only gives the channels a home; no socket is opened.
    static std::unique_ptr<INetManager> net(NetFactory::CreateNetManager(L"rtp-fuzz", false, 1));
    return *net;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 5) return 0;
    const size_t chans = 1 + data[0] % 3;
    RtpManagerInfo info;
    info.SampleFreq = 48000;
    info.PacketSmplSize = 1 + data[3] % 64;
    info.RecvDelay = data[2] & 0x0F;
    info.RecvDelayMax = data[2] >> 4;
    info.RecvChans.resize(chans);
    std::vector<uint32_t> channels;
    for (size_t i = 0; i < chans; ++i) {
        info.RecvChans[i].SetPayloadType(Types[((data[1] | data[4] << 8) >> (4 * i)) & 7]);
        channels.push_back(RecvChannelsOfType(info.RecvChans[i].GetPayloadType()));
    }
    const size_t nullEntry = data[0] >> 4;  // often beyond the list: no null entry
    data += 5;
    size -= 5;

    RtpAudioManager audio(ComponentInfo(L"rtp-fuzz"), Net());
    if (!audio.Init(info).IsOk()) Fail("Init refuses a valid configuration", 0);
    Device device(audio, channels, nullEntry, info.PacketSmplSize);
    audio.AddTarget(&device);
    RtpManager& rtp = audio.GetRtpManager();

    std::vector<PacketPtr> packets;
    while (size >= 3) {
        const uint8_t head = data[0];
        const size_t length = std::min<size_t>(data[1] | size_t{data[2]} << 8, size - 3);
        data += 3;
        size -= 3;
        if (head & 0x80) {
            rtp.RecvPackets(packets);
            if (packets.size() != chans) Fail("a read cycle gives another number of packets", 0);
        }
        auto packet = std::make_unique<Packet>(length);
        packet->SetDataSize(length);
        if (length != 0) std::memcpy(packet->GetDataPtr(), data, length);
        data += length;
        size -= length;
        const RtpRecvChanPtr chan = rtp.GetRecvChan(head % chans);
        chan->OnDatagramReceived(nullptr, std::move(packet), SockAddr());

        // Losing the lock re-locks on the same packet: after any whole header it is locked.
        if (length >= RtpHeader::Size && !rtp.GetRecvState().Locked) Fail("not locked after a datagram", 0);
    }
    audio.Stop();
    audio.DelTarget(&device);
    return 0;
}
