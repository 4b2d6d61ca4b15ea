#include "rtp/RtpPacket.h"

#include <array>
#include <bit>
#include <cassert>
#include <cstring>

namespace Network {

static_assert(std::bit_cast<uint32_t>(int24_float_scaler_x256) == 0x30000001);

namespace {

// --- catalogue -----------------------------------------------------------------------------------

enum class Kind : uint8_t { None, Standard, Legacy };

struct TypeInfo {
    uint32_t Rate = 0;
    uint8_t Channels = 0;
    uint8_t BytesPerSample = 0;
    Kind TypeKind = Kind::None;
    uint8_t Counterpart = 0;  // legacy or standard twin; 0: none
};

struct CatalogueEntry {
    uint8_t Value;
    TypeInfo Info;
};

constexpr CatalogueEntry CatalogueEntries[] = {
    {72, {48000, 2, 3, Kind::Legacy, 100}},
    {74, {44100, 2, 3, Kind::Legacy, 101}},
    {80, {0, 0, 0, Kind::Standard, 0}},
    {84, {16000, 17, 2, Kind::Legacy, 106}},
    {86, {16000, 1, 2, Kind::Legacy, 107}},
    {88, {48000, 17, 2, Kind::Legacy, 108}},
    {90, {16000, 64, 2, Kind::Standard, 0}},
    {91, {48000, 64, 2, Kind::Standard, 0}},
    {92, {16000, 128, 2, Kind::Standard, 0}},
    {93, {48000, 128, 2, Kind::Standard, 0}},
    {94, {16000, 2, 2, Kind::Standard, 0}},
    {95, {48000, 2, 2, Kind::Standard, 0}},
    {96, {16000, 4, 2, Kind::Standard, 0}},
    {97, {48000, 4, 2, Kind::Standard, 0}},
    {98, {16000, 6, 2, Kind::Standard, 0}},
    {99, {48000, 6, 2, Kind::Standard, 0}},
    {100, {48000, 2, 3, Kind::Standard, 72}},
    {101, {44100, 2, 3, Kind::Standard, 74}},
    {102, {16000, 5, 2, Kind::Standard, 0}},
    {103, {16000, 9, 2, Kind::Standard, 0}},
    {104, {16000, 13, 2, Kind::Standard, 0}},
    {105, {16000, 16, 2, Kind::Standard, 0}},
    {106, {16000, 17, 2, Kind::Standard, 84}},
    {107, {16000, 1, 2, Kind::Standard, 86}},
    {108, {48000, 17, 2, Kind::Standard, 88}},
    {109, {48000, 16, 2, Kind::Standard, 0}},
    {110, {48000, 1, 2, Kind::Standard, 0}},
    {111, {32000, 17, 2, Kind::Standard, 0}},
    {112, {32000, 16, 2, Kind::Standard, 0}},
    {113, {32000, 1, 2, Kind::Standard, 0}},
    {114, {16000, 96, 2, Kind::Standard, 0}},
    {115, {32000, 96, 2, Kind::Standard, 0}},
    {116, {48000, 96, 2, Kind::Standard, 0}},
    {117, {16000, 8, 2, Kind::Standard, 0}},
    {118, {32000, 8, 2, Kind::Standard, 0}},
    {119, {48000, 8, 2, Kind::Standard, 0}},
    {120, {16000, 24, 2, Kind::Standard, 0}},
    {121, {32000, 24, 2, Kind::Standard, 0}},
    {122, {48000, 24, 2, Kind::Standard, 0}},
    {123, {16000, 32, 2, Kind::Standard, 0}},
    {124, {32000, 32, 2, Kind::Standard, 0}},
    {125, {48000, 32, 2, Kind::Standard, 0}},
};

// Indexed by the type's byte, so a lookup is one load whatever arrives from the network.
constexpr std::array<TypeInfo, 256> MakeCatalogue() {
    std::array<TypeInfo, 256> table{};
    for (const CatalogueEntry& entry : CatalogueEntries) table[entry.Value] = entry.Info;
    return table;
}

constexpr std::array<TypeInfo, 256> Catalogue = MakeCatalogue();

const TypeInfo& Info(RtpPayloadType type) noexcept { return Catalogue[static_cast<uint8_t>(type)]; }

// --- sample conversion ---------------------------------------------------------------------------

constexpr float Int24Recip = 1.0f / 8388607.0f;
constexpr float Int16Recip = 1.0f / 32767.0f;

// -1.0 gives -8388608: the 24-bit range is used to its end.
inline int32_t ToInt24(double x) noexcept {
    if (x >= 1.0) return 8388607;
    if (x <= -1.0) return -8388608;
    return static_cast<int32_t>(x * 8388607.0);
}

// -1.0 gives -32767 (0x8001): 16-bit samples stay symmetric.
inline int32_t ToInt16(double x) noexcept {
    if (x >= 1.0) return 32767;
    if (x <= -1.0) return -32767;
    return static_cast<int32_t>(x * 32767.0);
}

// The bulk form works in single precision throughout, and exactly -1.0 is not clipped.
inline int32_t ToInt24Bulk(float x) noexcept {
    if (x > 1.0f) return 8388607;
    if (x < -1.0f) return -8388608;
    return static_cast<int32_t>(x * float_int24_scaler);
}

inline void Store24(uint8_t* p, int32_t v) noexcept {
    p[0] = static_cast<uint8_t>(v >> 16);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v);
}

// As Store24, rewriting the byte after the sample with its own value.
inline void StoreWord24(uint8_t* p, int32_t v) noexcept {
    uint32_t word = static_cast<uint32_t>(v) << 8 | p[3];
    if constexpr (std::endian::native == std::endian::little) word = __builtin_bswap32(word);
    std::memcpy(p, &word, sizeof word);
}

inline void Store16(uint8_t* p, int32_t v) noexcept {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

// The sample in the upper three bytes of a 32-bit word, lowest byte 0.
inline int32_t Load24x256(const uint8_t* p) noexcept {
    return static_cast<int32_t>(uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8);
}

// As Load24x256, reading one byte past the sample.
inline int32_t LoadWord24x256(const uint8_t* p) noexcept {
    uint32_t word;
    std::memcpy(&word, p, sizeof word);
    if constexpr (std::endian::native == std::endian::little) word = __builtin_bswap32(word);
    return static_cast<int32_t>(word & 0xFFFFFF00u);
}

inline int32_t Load16(const uint8_t* p) noexcept { return static_cast<int16_t>(p[0] | p[1] << 8); }

// Where the samples of an audio packet lie. Frames is 0 for anything that carries no samples
// (short datagram, type that is not audio or has no layout), and every operation stops there.
struct AudioLayout {
    uint8_t* Payload = nullptr;
    size_t Frames = 0;
    size_t Channels = 0;
    size_t Bytes = 0;       // per sample
    size_t FrameBytes = 0;  // Channels * Bytes
};

AudioLayout LayoutOf(const Packet& packet) noexcept {
    AudioLayout layout;
    const RtpHeader* header = GetRtpHdr(packet);
    if (header == nullptr) return layout;
    const TypeInfo& info = Info(header->PayloadType());
    if (info.TypeKind == Kind::None) return layout;
    layout.Channels = info.Channels;
    layout.Bytes = info.BytesPerSample;
    layout.FrameBytes = layout.Channels * layout.Bytes;
    if (layout.FrameBytes == 0) return layout;
    // Reading and writing through the same layout: the static forms take the packet as const
    // only for reads.
    layout.Payload = const_cast<uint8_t*>(packet.GetDataPtr()) + RtpHeader::Size;
    layout.Frames = (packet.GetDataSize() - RtpHeader::Size) / layout.FrameBytes;
    return layout;
}

// The samples of one channel from frame offset on, at most count of them (count 0: to the end);
// 0 when offset or channel lie outside the packet.
size_t ChannelRun(const AudioLayout& layout, size_t chan, size_t offset, size_t count) noexcept {
    if (chan >= layout.Channels || offset >= layout.Frames) return 0;
    const size_t left = layout.Frames - offset;
    return count != 0 && count < left ? count : left;
}

// Frames for the bulk forms, from start on; num 0: to the end.
size_t BulkRun(const AudioLayout& layout, size_t start, size_t num) noexcept {
    if (start >= layout.Frames) return 0;
    const size_t left = layout.Frames - start;
    return num != 0 && num <= left ? num : left;
}

} // namespace

// --- header and catalogue ------------------------------------------------------------------------

void RtpHeader::Clear(uint8_t version) noexcept {
    VPXCC = 0;
    MPT = 0;
    SeqNo = 0;
    TimeStamp = 0;
    SyncSrc = 0;
    SetVersion(version);
}

bool RtpHeader::IsAudioPayloadType(RtpPayloadType type) noexcept { return Info(type).TypeKind != Kind::None; }

uint32_t RtpHeader::AudioSampleRateFromPayloadType(RtpPayloadType type) noexcept { return Info(type).Rate; }

uint32_t RtpHeader::AudioNumChannelsFromPayloadType(RtpPayloadType type) noexcept { return Info(type).Channels; }

uint32_t RtpHeader::AudioBytePerSampleFromPayloadType(RtpPayloadType type) noexcept {
    return Info(type).BytesPerSample;
}

bool RtpHeader::IsStandardPayloadType(RtpPayloadType type) noexcept { return Info(type).TypeKind == Kind::Standard; }

RtpPayloadType RtpHeader::ConvertToStandard(RtpPayloadType type) noexcept {
    const TypeInfo& info = Info(type);
    return info.TypeKind == Kind::Legacy ? static_cast<RtpPayloadType>(info.Counterpart) : type;
}

RtpPayloadType RtpHeader::ConvertToLegacy(RtpPayloadType type) noexcept {
    const TypeInfo& info = Info(type);
    return info.TypeKind == Kind::Standard && info.Counterpart != 0 ? static_cast<RtpPayloadType>(info.Counterpart)
                                                                     : type;
}

size_t RtpHeader::GetPacketSizeInBytes(RtpPayloadType type, size_t samples) noexcept {
    const TypeInfo& info = Info(type);
    if (info.TypeKind == Kind::None) return 0;
    return Size + samples * info.BytesPerSample * info.Channels;
}

RtpPayloadType RtpHeader::AudioGetDefaultPayloadTypeFromFreq(uint32_t freq) noexcept {
    switch (freq) {
    case 44100: return RtpPayloadType::AUDIO_L24_2_44100;
    case 48000: return RtpPayloadType::AUDIO_L24_2_48000;
    default: return RtpPayloadType::INVALID;
    }
}

RtpPayloadType RtpHeader::AudioGetPayloadType(uint32_t freq, uint32_t channels) noexcept {
    // Columns 16000, 32000, 48000; 0 where a channel count has no type at that rate.
    struct Row {
        uint32_t Channels;
        uint8_t Types[3];
    };
    static constexpr Row Rows[] = {
        {1, {107, 113, 110}},  {2, {94, 0, 95}},     {4, {96, 0, 97}},      {6, {98, 0, 99}},
        {8, {117, 118, 119}},  {16, {105, 112, 109}}, {17, {106, 111, 108}}, {24, {120, 121, 122}},
        {32, {123, 124, 125}}, {64, {90, 0, 91}},     {96, {114, 115, 116}}, {128, {92, 0, 93}},
    };
    size_t column;
    switch (freq) {
    case 16000: column = 0; break;
    case 32000: column = 1; break;
    case 48000: column = 2; break;
    default: return RtpPayloadType::INVALID;
    }
    for (const Row& row : Rows) {
        if (row.Channels == channels) return static_cast<RtpPayloadType>(row.Types[column]);
    }
    return RtpPayloadType::INVALID;
}

RtpHeader* GetRtpHdr(Packet& packet) noexcept {
    return packet.GetDataSize() < RtpHeader::Size ? nullptr : reinterpret_cast<RtpHeader*>(packet.GetDataPtr());
}

const RtpHeader* GetRtpHdr(const Packet& packet) noexcept {
    return packet.GetDataSize() < RtpHeader::Size ? nullptr
                                                  : reinterpret_cast<const RtpHeader*>(packet.GetDataPtr());
}

uint8_t* GetRtpPayload(Packet& packet) noexcept {
    return packet.GetDataSize() < RtpHeader::Size ? nullptr : packet.GetDataPtr() + RtpHeader::Size;
}

const uint8_t* GetRtpPayload(const Packet& packet) noexcept {
    return packet.GetDataSize() < RtpHeader::Size ? nullptr : packet.GetDataPtr() + RtpHeader::Size;
}

PacketUniqPtr AllocateAudioRtpPacket(RtpPayloadType type, size_t samples) {
    // A type that is not audio has no packet size; the header still needs its 12 bytes.
    size_t size = RtpHeader::GetPacketSizeInBytes(type, samples);
    if (size < RtpHeader::Size) size = RtpHeader::Size;
    PacketUniqPtr packet = AllocateUdpPacket(size);
    packet->SetDataSize(size);
    auto* header = reinterpret_cast<RtpHeader*>(packet->GetDataPtr());
    header->Clear(2);
    if (RtpHeader::IsStandardPayloadType(type))
        header->SetPayloadType(type);
    else
        SetLegacyPayloadType(*header, type);
    return packet;
}

void SetLegacyPayloadType(RtpHeader& header, RtpPayloadType type) noexcept {
    const uint8_t shifted = static_cast<uint8_t>(static_cast<uint8_t>(RtpHeader::ConvertToStandard(type)) << 1);
    header.SetPayloadType(static_cast<RtpPayloadType>(shifted & 0x7F));
    header.SetMarker((shifted & 0x80) != 0);
}

// --- packet --------------------------------------------------------------------------------------

void RtpPacket::SetHeader(Packet& packet, const RtpHeader& header) noexcept {
    if (RtpHeader* target = GetRtpHdr(packet)) std::memcpy(target, &header, RtpHeader::Size);
}

size_t RtpPacket::PayloadSize(const Packet& packet) noexcept {
    return packet.GetDataSize() < RtpHeader::Size ? 0 : packet.GetDataSize() - RtpHeader::Size;
}

size_t RtpPacket::AudioPayloadSmplSize(const Packet& packet) noexcept { return LayoutOf(packet).Frames; }

void RtpPacket::ClrAudioPayloadChan(Packet& packet, size_t packet_chan, size_t dst_offset, size_t data_sz) noexcept {
    const AudioLayout layout = LayoutOf(packet);
    // data_sz 0 clears nothing (unlike a read, where 0 means to the end).
    const size_t n = data_sz == 0 ? 0 : ChannelRun(layout, packet_chan, dst_offset, data_sz);
    if (n == 0) return;
    uint8_t* p = layout.Payload + (dst_offset * layout.Channels + packet_chan) * layout.Bytes;
    for (size_t j = 0; j < n; ++j, p += layout.FrameBytes) std::memset(p, 0, layout.Bytes);
}

void RtpPacket::AddAudioPayloadChan(Packet& packet, const float* data, size_t packet_chan, size_t data_chans,
                                    size_t dst_offset, size_t data_sz) noexcept {
    const AudioLayout layout = LayoutOf(packet);
    const size_t n = data == nullptr || data_sz == 0 ? 0 : ChannelRun(layout, packet_chan, dst_offset, data_sz);
    if (n == 0) return;
    uint8_t* p = layout.Payload + (dst_offset * layout.Channels + packet_chan) * layout.Bytes;
    const size_t step = layout.FrameBytes;
    if (layout.Bytes == 3) {
        // As in the read: one word store per sample but the last, the following byte rewritten as
        // it was (a packet has one writer at a time).
        for (size_t j = 1; j < n; ++j, p += step, data += data_chans) StoreWord24(p, ToInt24(*data));
        Store24(p, ToInt24(*data));
    } else if (layout.Bytes == 2) {
        for (size_t j = 0; j < n; ++j, p += step, data += data_chans) Store16(p, ToInt16(*data));
    }
}

void RtpPacket::SetAudioPayloadChan(Packet& packet, const float* data, size_t packet_chan, size_t data_chans) noexcept {
    AddAudioPayloadChan(packet, data, packet_chan, data_chans, 0, AudioPayloadSmplSize(packet));
}

void RtpPacket::GetAudioPayloadChan(const Packet& packet, float* data, size_t packet_chan, size_t data_chans,
                                    size_t src_offset, size_t sz) noexcept {
    const AudioLayout layout = LayoutOf(packet);
    const size_t n = data == nullptr ? 0 : ChannelRun(layout, packet_chan, src_offset, sz);
    if (n == 0) return;
    const uint8_t* p = layout.Payload + (src_offset * layout.Channels + packet_chan) * layout.Bytes;
    const size_t step = layout.FrameBytes;
    if (layout.Bytes == 3) {
        // One word load per sample instead of three byte loads; the byte after every sample but
        // the last still lies within the frames, so only the last is read byte by byte.
        for (size_t i = 1; i < n; ++i, p += step, data += data_chans)
            *data = static_cast<float>(LoadWord24x256(p) >> 8) * Int24Recip;
        *data = static_cast<float>(Load24x256(p) >> 8) * Int24Recip;
    } else if (layout.Bytes == 2) {
        for (size_t i = 0; i < n; ++i, p += step, data += data_chans)
            *data = static_cast<float>(Load16(p)) * Int16Recip;
    }
}

void RtpPacket::GetAudioPayload(const Packet& packet, float* data, size_t data_chans) noexcept {
    if (data == nullptr) return;
    for (size_t c = 0; c < data_chans; ++c) GetAudioPayloadChan(packet, data + c, c, data_chans, 0, 0);
}

size_t RtpPacket::SetAudioPayload(const float* data, Packet* packet, size_t start_sample, size_t num_samples) noexcept {
    if (packet == nullptr || data == nullptr) return 0;
    const AudioLayout layout = LayoutOf(*packet);
    const size_t frames = BulkRun(layout, start_sample, num_samples);
    if (frames == 0) return 0;
    uint8_t* p = layout.Payload + start_sample * layout.FrameBytes;
    const size_t count = frames * layout.Channels;
    if (layout.Bytes == 3) {
        for (size_t i = 0; i < count; ++i, p += 3) Store24(p, ToInt24Bulk(data[i]));
    } else if (layout.Bytes == 2) {
        for (size_t i = 0; i < count; ++i, p += 2) Store16(p, ToInt16(data[i]));
    } else {
        assert(!"Not implemented");
        return 0;
    }
    return frames;
}

size_t RtpPacket::GetAudioPayload(const Packet* packet, float* data, size_t start_sample, size_t num_samples) noexcept {
    if (packet == nullptr || data == nullptr) return 0;
    const AudioLayout layout = LayoutOf(*packet);
    const size_t frames = BulkRun(layout, start_sample, num_samples);
    if (frames == 0) return 0;
    const uint8_t* p = layout.Payload + start_sample * layout.FrameBytes;
    const size_t count = frames * layout.Channels;
    if (layout.Bytes == 3) {
        for (size_t i = 0; i < count; ++i, p += 3)
            data[i] = static_cast<float>(Load24x256(p)) * int24_float_scaler_x256;
    } else if (layout.Bytes == 2) {
        for (size_t i = 0; i < count; ++i, p += 2)
            data[i] = static_cast<float>(Load16(p) * (1.0 / 32767.0));
    } else {
        assert(!"Not implemented");
        return 0;
    }
    return frames;
}

} // namespace Network
