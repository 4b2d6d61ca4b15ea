// The bytes of an RTP audio packet: the 12-byte fixed header, the payload-type catalogue that
// fixes rate, channel count and sample width of a stream, and RtpPacket, through which the RTP
// manager builds outgoing packets and reads incoming ones, converting samples from and to float.
//
// Samples are interleaved, one frame per sample instant. L24 samples are big-endian; L16 samples
// are little-endian, unlike standard L16, because the devices write and read them that way.
// Older device firmware writes the payload type shifted left by one bit; the catalogue holds the
// five values a standard reader sees in such a packet, so a receiver needs no special case, and
// SetLegacyPayloadType writes that form for a sender.
//
// A datagram shorter than the header is treated as empty: no header, no payload, no frames.
// Nothing here reads or writes outside a datagram's data, and nothing locks: a packet is filled
// or read by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "net/INet.h"

namespace Network {

enum class RtpPayloadType : uint8_t {
    INVALID = 0,
    KESTA_BAD_AUDIO_L24_2_48000 = 72,   // legacy form of AUDIO_L24_2_48000
    KESTA_BAD_AUDIO_L24_2_44100 = 74,   // legacy form of AUDIO_L24_2_44100
    AUDIO_PLOVIN_CUSTOM = 80,           // audio without a defined layout: carries no samples
    QM657_BAD_AUDIO_L16_17_16000 = 84,  // legacy form of AUDIO_L16_17_16000
    QM6XX_BAD_AUDIO_L16_1_16000 = 86,   // legacy form of AUDIO_L16_1_16000
    QM657_BAD_AUDIO_L16_17_48000 = 88,  // legacy form of AUDIO_L16_17_48000
    AUDIO_L16_64_16000 = 90,
    AUDIO_L16_64_48000 = 91,
    AUDIO_L16_128_16000 = 92,
    AUDIO_L16_128_48000 = 93,
    AUDIO_L16_2_16000 = 94,
    AUDIO_L16_2_48000 = 95,
    AUDIO_L16_4_16000 = 96,
    AUDIO_L16_4_48000 = 97,
    AUDIO_L16_6_16000 = 98,
    AUDIO_L16_6_48000 = 99,
    AUDIO_L24_2_48000 = 100,
    AUDIO_L24_2_44100 = 101,
    AUDIO_L16_5_16000 = 102,
    AUDIO_L16_9_16000 = 103,
    AUDIO_L16_13_16000 = 104,
    AUDIO_L16_16_16000 = 105,
    AUDIO_L16_17_16000 = 106,
    AUDIO_L16_1_16000 = 107,
    AUDIO_L16_17_48000 = 108,
    AUDIO_L16_16_48000 = 109,
    AUDIO_L16_1_48000 = 110,
    AUDIO_L16_17_32000 = 111,
    AUDIO_L16_16_32000 = 112,
    AUDIO_L16_1_32000 = 113,
    AUDIO_L16_96_16000 = 114,
    AUDIO_L16_96_32000 = 115,
    AUDIO_L16_96_48000 = 116,
    AUDIO_L16_8_16000 = 117,
    AUDIO_L16_8_32000 = 118,
    AUDIO_L16_8_48000 = 119,
    AUDIO_L16_24_16000 = 120,
    AUDIO_L16_24_32000 = 121,
    AUDIO_L16_24_48000 = 122,
    AUDIO_L16_32_16000 = 123,
    AUDIO_L16_32_32000 = 124,
    AUDIO_L16_32_48000 = 125,
};

// Full scale of a 24-bit sample.
inline constexpr float float_int24_scaler = 8388607.0f;
// Reads a 24-bit sample placed in the upper three bytes of a 32-bit word (bit pattern 0x30000001).
inline constexpr float int24_float_scaler_x256 = 1.0f / (8388607.0f * 256.0f);

// The fixed RTP header, byte for byte as on the wire; it lies at offset 0 of a datagram. No
// contributing sources and no extension are ever used: the payload always starts at offset 12.
struct RtpHeader {
    static constexpr size_t Size = 12;

    uint8_t VPXCC;         // version (bits 7-6), padding (5), extension (4), source count (3-0)
    uint8_t MPT;           // marker (bit 7), payload type (bits 6-0)
    n_uint16_t SeqNo;
    n_uint32_t TimeStamp;  // in samples
    n_uint32_t SyncSrc;    // never set by this system: sent packets carry 0

    // All bytes 0, then the version.
    void Clear(uint8_t version) noexcept;

    uint8_t Version() const noexcept { return static_cast<uint8_t>(VPXCC >> 6); }
    void SetVersion(uint8_t version) noexcept {
        VPXCC = static_cast<uint8_t>((VPXCC & 0x3F) | (version & 3) << 6);
    }
    bool Marker() const noexcept { return (MPT & 0x80) != 0; }
    void SetMarker(bool marker) noexcept { MPT = static_cast<uint8_t>((MPT & 0x7F) | (marker ? 0x80 : 0)); }
    RtpPayloadType PayloadType() const noexcept { return static_cast<RtpPayloadType>(MPT & 0x7F); }
    // Stores the low 7 bits; the marker stays as it is.
    void SetPayloadType(RtpPayloadType type) noexcept {
        MPT = static_cast<uint8_t>((MPT & 0x80) | (static_cast<uint8_t>(type) & 0x7F));
    }
    uint16_t SeqNum() const noexcept { return SeqNo; }
    void SetSeqNum(uint16_t seq) noexcept { SeqNo = seq; }
    uint32_t Timestamp() const noexcept { return TimeStamp; }
    void SetTimestamp(uint32_t ts) noexcept { TimeStamp = ts; }
    uint32_t SSrc() const noexcept { return SyncSrc; }
    void SetSSrc(uint32_t ssrc) noexcept { SyncSrc = ssrc; }

    // Valid only for a header inside a datagram.
    uint8_t* PayloadPtr() noexcept { return reinterpret_cast<uint8_t*>(this) + Size; }
    const uint8_t* PayloadPtr() const noexcept { return reinterpret_cast<const uint8_t*>(this) + Size; }

    bool IsAudioPayload() const noexcept { return IsAudioPayloadType(PayloadType()); }
    uint32_t AudioPayloadChannels() const noexcept { return AudioNumChannelsFromPayloadType(PayloadType()); }
    uint32_t AudioPayloadBytePerSample() const noexcept { return AudioBytePerSampleFromPayloadType(PayloadType()); }

    // The catalogue. A value it does not list is not audio, has rate, channels and width 0 and
    // converts to itself.
    static bool IsAudioPayloadType(RtpPayloadType type) noexcept;
    static uint32_t AudioSampleRateFromPayloadType(RtpPayloadType type) noexcept;
    static uint32_t AudioNumChannelsFromPayloadType(RtpPayloadType type) noexcept;
    static uint32_t AudioBytePerSampleFromPayloadType(RtpPayloadType type) noexcept;
    // Audio and not one of the five legacy values.
    static bool IsStandardPayloadType(RtpPayloadType type) noexcept;
    // Legacy type to its standard twin; anything else unchanged.
    static RtpPayloadType ConvertToStandard(RtpPayloadType type) noexcept;
    // Standard type with a legacy twin to that twin; anything else unchanged.
    static RtpPayloadType ConvertToLegacy(RtpPayloadType type) noexcept;

    static constexpr size_t PayloadOffset() noexcept { return Size; }
    // Header plus samples frames; 0 for a type that is not audio.
    static size_t GetPacketSizeInBytes(RtpPayloadType type, size_t samples) noexcept;
    // The stereo L24 type of 44100 or 48000 Hz; INVALID for any other rate.
    static RtpPayloadType AudioGetDefaultPayloadTypeFromFreq(uint32_t freq) noexcept;
    // The L16 type of that rate and channel count; INVALID when there is none.
    static RtpPayloadType AudioGetPayloadType(uint32_t freq, uint32_t channels) noexcept;
};

static_assert(sizeof(RtpHeader) == RtpHeader::Size && alignof(RtpHeader) == 1);

// The header at the start of packet's data and the payload 12 bytes further; null when the data
// is shorter than the header.
RtpHeader* GetRtpHdr(Packet& packet) noexcept;
const RtpHeader* GetRtpHdr(const Packet& packet) noexcept;
uint8_t* GetRtpPayload(Packet& packet) noexcept;
const uint8_t* GetRtpPayload(const Packet& packet) noexcept;

// A packet of samples frames of silence with a version 2 header carrying type: in its standard
// form when type is standard, otherwise in the legacy form. Sequence number and timestamp are
// left to the sender. A type that is not audio gives a packet of the header alone.
PacketUniqPtr AllocateAudioRtpPacket(RtpPayloadType type, size_t samples);

// Writes type as old firmware does: the standard value shifted left by one bit over the whole
// second header byte, so its top bit lands in the marker.
void SetLegacyPayloadType(RtpHeader& header, RtpPayloadType type) noexcept;

// One datagram seen as an RTP packet; copies share the datagram. Each operation has a static
// form on a Packet and a member form on UdpPacket; a member form on an empty wrapper does
// nothing and gives 0 or null.
//
// Sample arguments: packet_chan is a channel within the packet; data_chans is the stride of the
// caller's float buffer (1 for a mono buffer, the channel count for an interleaved one);
// offsets and sizes count frames. Floats are full scale at +-1.0; beyond that samples clip.
// Offsets and sizes beyond the packet are cut to it; a channel the packet does not have, a type
// that is not audio, or a null buffer make the operation a no-op.
class RtpPacket {
public:
    RtpPacket() = default;
    explicit RtpPacket(PacketPtr packet) noexcept : UdpPacket(std::move(packet)) {}
    RtpPacket(const RtpPacket&) = default;
    RtpPacket& operator=(const RtpPacket&) = default;
    RtpPacket(RtpPacket&&) noexcept = default;
    RtpPacket& operator=(RtpPacket&&) noexcept = default;
    virtual ~RtpPacket() = default;

    const PacketPtr& GetUdpPacket() const noexcept { return UdpPacket; }
    bool IsEmpty() const noexcept { return !UdpPacket; }

    static RtpHeader* GetHeader(Packet& packet) noexcept { return GetRtpHdr(packet); }
    // Copies the 12 header bytes into a datagram at least that long.
    static void SetHeader(Packet& packet, const RtpHeader& header) noexcept;
    static uint8_t* PayloadPtr(Packet& packet) noexcept { return GetRtpPayload(packet); }
    static size_t PayloadSize(const Packet& packet) noexcept;
    // Whole frames in the payload; 0 unless the type is audio with a known layout.
    static size_t AudioPayloadSmplSize(const Packet& packet) noexcept;

    // Sets data_sz samples of one channel from frame dst_offset on to silence.
    static void ClrAudioPayloadChan(Packet& packet, size_t packet_chan, size_t dst_offset, size_t data_sz) noexcept;
    // Writes data_sz samples of one channel from data[0], data[data_chans], ... from frame dst_offset on.
    static void AddAudioPayloadChan(Packet& packet, const float* data, size_t packet_chan, size_t data_chans,
                                    size_t dst_offset, size_t data_sz) noexcept;
    // AddAudioPayloadChan over every frame.
    static void SetAudioPayloadChan(Packet& packet, const float* data, size_t packet_chan, size_t data_chans) noexcept;
    // Reads one channel from frame src_offset on into data[0], data[data_chans], ...; sz 0 reads
    // to the end.
    static void GetAudioPayloadChan(const Packet& packet, float* data, size_t packet_chan, size_t data_chans,
                                    size_t src_offset, size_t sz) noexcept;
    // Every channel below data_chans, into a buffer of data_chans-wide frames.
    static void GetAudioPayload(const Packet& packet, float* data, size_t data_chans) noexcept;

    // Bulk copies of interleaved frames (all channels of the packet per frame) between data and
    // packet from frame start_sample on; num_samples 0 means to the end. They return the number
    // of frames copied. The 24-bit forms use the single-precision scalers, so they differ from
    // the per-channel forms in the last bit, and -1.0 writes -8388607.
    static size_t SetAudioPayload(const float* data, Packet* packet, size_t start_sample, size_t num_samples) noexcept;
    static size_t GetAudioPayload(const Packet* packet, float* data, size_t start_sample, size_t num_samples) noexcept;

    RtpHeader* GetHeader() const noexcept { return UdpPacket ? GetRtpHdr(*UdpPacket) : nullptr; }
    void SetHeader(const RtpHeader& header) noexcept {
        if (UdpPacket) SetHeader(*UdpPacket, header);
    }
    uint8_t* PayloadPtr() const noexcept { return UdpPacket ? GetRtpPayload(*UdpPacket) : nullptr; }
    size_t PayloadSize() const noexcept { return UdpPacket ? PayloadSize(*UdpPacket) : 0; }
    size_t AudioPayloadSmplSize() const noexcept { return UdpPacket ? AudioPayloadSmplSize(*UdpPacket) : 0; }
    void ClrAudioPayloadChan(size_t packet_chan, size_t dst_offset, size_t data_sz) noexcept {
        if (UdpPacket) ClrAudioPayloadChan(*UdpPacket, packet_chan, dst_offset, data_sz);
    }
    void AddAudioPayloadChan(const float* data, size_t packet_chan, size_t data_chans, size_t dst_offset,
                             size_t data_sz) noexcept {
        if (UdpPacket) AddAudioPayloadChan(*UdpPacket, data, packet_chan, data_chans, dst_offset, data_sz);
    }
    void SetAudioPayloadChan(const float* data, size_t packet_chan, size_t data_chans) noexcept {
        if (UdpPacket) SetAudioPayloadChan(*UdpPacket, data, packet_chan, data_chans);
    }
    void GetAudioPayloadChan(float* data, size_t packet_chan, size_t data_chans, size_t src_offset,
                             size_t sz) const noexcept {
        if (UdpPacket) GetAudioPayloadChan(*UdpPacket, data, packet_chan, data_chans, src_offset, sz);
    }
    void GetAudioPayload(float* data, size_t data_chans) const noexcept {
        if (UdpPacket) GetAudioPayload(*UdpPacket, data, data_chans);
    }

    PacketPtr UdpPacket;
};

} // namespace Network
