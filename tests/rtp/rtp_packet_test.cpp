// RTP packets: the payload-type catalogue and its look-ups, the header's wire bytes and the legacy
// payload-type form, packet building, and the sample conversions byte for byte at their edges,
// in round trips, and on datagrams too short, too small or of the wrong type.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "rtp/RtpPacket.h"

namespace {

using Network::AllocateAudioRtpPacket;
using Network::Packet;
using Network::PacketPtr;
using Network::RtpHeader;
using Network::RtpPacket;
using Network::RtpPayloadType;
using Bytes = std::vector<uint8_t>;

RtpPayloadType PT(int value) { return static_cast<RtpPayloadType>(value); }

// A datagram whose buffer is exactly its data, so that a read past the data reaches the heap's
// red zone under ASan.
PacketPtr Datagram(const Bytes& bytes) {
    auto packet = std::make_shared<Packet>(bytes.size());
    packet->SetDataSize(bytes.size());
    if (!bytes.empty()) std::memcpy(packet->GetDataPtr(), bytes.data(), bytes.size());
    return packet;
}

// A version 2 datagram of type with the given payload bytes.
PacketPtr AudioDatagram(RtpPayloadType type, const Bytes& payload) {
    Bytes bytes = {0x80, static_cast<uint8_t>(type), 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    return Datagram(bytes);
}

Bytes PayloadOf(const Packet& packet) {
    return Bytes(packet.GetDataPtr() + RtpHeader::Size, packet.GetDataPtr() + packet.GetDataSize());
}

// --- catalogue -----------------------------------------------------------------------------------

struct CatalogueRow {
    int value;
    bool standard;  // audio and not legacy
    bool legacy;
    uint32_t rate;
    uint32_t channels;
    uint32_t bytes;
    int counterpart;  // 0: none
};

constexpr CatalogueRow Catalogue[] = {
    {72, false, true, 48000, 2, 3, 100},    {74, false, true, 44100, 2, 3, 101},
    {80, true, false, 0, 0, 0, 0},          {84, false, true, 16000, 17, 2, 106},
    {86, false, true, 16000, 1, 2, 107},    {88, false, true, 48000, 17, 2, 108},
    {90, true, false, 16000, 64, 2, 0},     {91, true, false, 48000, 64, 2, 0},
    {92, true, false, 16000, 128, 2, 0},    {93, true, false, 48000, 128, 2, 0},
    {94, true, false, 16000, 2, 2, 0},      {95, true, false, 48000, 2, 2, 0},
    {96, true, false, 16000, 4, 2, 0},      {97, true, false, 48000, 4, 2, 0},
    {98, true, false, 16000, 6, 2, 0},      {99, true, false, 48000, 6, 2, 0},
    {100, true, false, 48000, 2, 3, 72},    {101, true, false, 44100, 2, 3, 74},
    {102, true, false, 16000, 5, 2, 0},     {103, true, false, 16000, 9, 2, 0},
    {104, true, false, 16000, 13, 2, 0},    {105, true, false, 16000, 16, 2, 0},
    {106, true, false, 16000, 17, 2, 84},   {107, true, false, 16000, 1, 2, 86},
    {108, true, false, 48000, 17, 2, 88},   {109, true, false, 48000, 16, 2, 0},
    {110, true, false, 48000, 1, 2, 0},     {111, true, false, 32000, 17, 2, 0},
    {112, true, false, 32000, 16, 2, 0},    {113, true, false, 32000, 1, 2, 0},
    {114, true, false, 16000, 96, 2, 0},    {115, true, false, 32000, 96, 2, 0},
    {116, true, false, 48000, 96, 2, 0},    {117, true, false, 16000, 8, 2, 0},
    {118, true, false, 32000, 8, 2, 0},     {119, true, false, 48000, 8, 2, 0},
    {120, true, false, 16000, 24, 2, 0},    {121, true, false, 32000, 24, 2, 0},
    {122, true, false, 48000, 24, 2, 0},    {123, true, false, 16000, 32, 2, 0},
    {124, true, false, 32000, 32, 2, 0},    {125, true, false, 48000, 32, 2, 0},
};

TEST(RtpCatalogue, EveryByteValueMatchesTheTable) {
    for (int value = 0; value < 256; ++value) {
        SCOPED_TRACE(value);
        CatalogueRow row{value, false, false, 0, 0, 0, 0};  // not listed: nothing, converts to itself
        for (const CatalogueRow& r : Catalogue)
            if (r.value == value) row = r;
        const RtpPayloadType type = PT(value);
        EXPECT_EQ(RtpHeader::IsAudioPayloadType(type), row.standard || row.legacy);
        EXPECT_EQ(RtpHeader::IsStandardPayloadType(type), row.standard);
        EXPECT_EQ(RtpHeader::AudioSampleRateFromPayloadType(type), row.rate);
        EXPECT_EQ(RtpHeader::AudioNumChannelsFromPayloadType(type), row.channels);
        EXPECT_EQ(RtpHeader::AudioBytePerSampleFromPayloadType(type), row.bytes);
        const RtpPayloadType twin = row.counterpart != 0 ? PT(row.counterpart) : type;
        EXPECT_EQ(RtpHeader::ConvertToStandard(type), row.legacy ? twin : type);
        EXPECT_EQ(RtpHeader::ConvertToLegacy(type), row.standard ? twin : type);
        EXPECT_EQ(RtpHeader::GetPacketSizeInBytes(type, 10),
                  row.standard || row.legacy ? 12 + 10 * row.channels * row.bytes : 0u);
    }
}

TEST(RtpCatalogue, PayloadTypeForRateAndChannels) {
    // Rows of the channel-count table: channels, then the type at 16000, 32000, 48000 (0: none).
    const int table[][4] = {
        {1, 107, 113, 110},  {2, 94, 0, 95},     {4, 96, 0, 97},       {6, 98, 0, 99},
        {8, 117, 118, 119},  {16, 105, 112, 109}, {17, 106, 111, 108}, {24, 120, 121, 122},
        {32, 123, 124, 125}, {64, 90, 0, 91},    {96, 114, 115, 116},  {128, 92, 0, 93},
    };
    const uint32_t rates[] = {16000, 32000, 48000};
    for (uint32_t channels = 0; channels <= 300; ++channels) {
        for (int column = 0; column < 3; ++column) {
            int expected = 0;
            for (const auto& row : table)
                if (static_cast<uint32_t>(row[0]) == channels) expected = row[column + 1];
            EXPECT_EQ(RtpHeader::AudioGetPayloadType(rates[column], channels), PT(expected))
                << channels << " channels at " << rates[column];
        }
        EXPECT_EQ(RtpHeader::AudioGetPayloadType(44100, channels), RtpPayloadType::INVALID);
        EXPECT_EQ(RtpHeader::AudioGetPayloadType(0, channels), RtpPayloadType::INVALID);
    }
    EXPECT_EQ(RtpHeader::AudioGetDefaultPayloadTypeFromFreq(44100), RtpPayloadType::AUDIO_L24_2_44100);
    EXPECT_EQ(RtpHeader::AudioGetDefaultPayloadTypeFromFreq(48000), RtpPayloadType::AUDIO_L24_2_48000);
    for (uint32_t freq : {0u, 16000u, 32000u, 44099u, 96000u})
        EXPECT_EQ(RtpHeader::AudioGetDefaultPayloadTypeFromFreq(freq), RtpPayloadType::INVALID) << freq;
}

// --- header and packet building ------------------------------------------------------------------

TEST(RtpHeader, FieldsAreBigEndianWireBytes) {
    RtpHeader header;
    std::memset(&header, 0xFF, sizeof header);
    header.Clear(6);  // only the low two bits count
    EXPECT_EQ(Bytes(reinterpret_cast<uint8_t*>(&header), reinterpret_cast<uint8_t*>(&header) + 12),
              Bytes({0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    header.SetMarker(true);
    header.SetPayloadType(PT(0xE4));  // the top bit is not part of the type
    header.SetSeqNum(0x1234);
    header.SetTimestamp(0x89ABCDEF);
    header.SetSSrc(0x01020304);
    EXPECT_EQ(Bytes(reinterpret_cast<uint8_t*>(&header), reinterpret_cast<uint8_t*>(&header) + 12),
              Bytes({0x80, 0xE4, 0x12, 0x34, 0x89, 0xAB, 0xCD, 0xEF, 0x01, 0x02, 0x03, 0x04}));
    EXPECT_EQ(header.Version(), 2);
    EXPECT_TRUE(header.Marker());
    EXPECT_EQ(header.PayloadType(), PT(0x64));
    EXPECT_EQ(header.SeqNum(), 0x1234);
    EXPECT_EQ(header.Timestamp(), 0x89ABCDEFu);
    EXPECT_EQ(header.SSrc(), 0x01020304u);
    EXPECT_EQ(header.PayloadPtr(), reinterpret_cast<uint8_t*>(&header) + RtpHeader::PayloadOffset());
}

TEST(RtpHeader, BuildsPacketsInStandardOrLegacyForm) {
    struct Case {
        RtpPayloadType type;
        size_t frames;
        size_t size;
        uint8_t byte1;
    };
    const Case cases[] = {
        {RtpPayloadType::AUDIO_L16_2_48000, 48, 204, 0x5F},
        {RtpPayloadType::AUDIO_L24_2_48000, 192, 12 + 192 * 6, 0x64},
        {RtpPayloadType::KESTA_BAD_AUDIO_L24_2_48000, 4, 12 + 4 * 6, 0xC8},  // 100 shifted
        {RtpPayloadType::KESTA_BAD_AUDIO_L24_2_44100, 4, 12 + 4 * 6, 0xCA},
        {RtpPayloadType::QM6XX_BAD_AUDIO_L16_1_16000, 3, 12 + 3 * 2, 0xD6},  // 107 shifted
        {RtpPayloadType::AUDIO_PLOVIN_CUSTOM, 10, 12, 80},
        {RtpPayloadType::INVALID, 10, 12, 0},  // header alone, never a write past the data
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.type));
        const PacketPtr packet = AllocateAudioRtpPacket(c.type, c.frames);
        ASSERT_EQ(packet->GetDataSize(), c.size);
        EXPECT_EQ(packet->GetDataPtr()[0], 0x80);
        EXPECT_EQ(packet->GetDataPtr()[1], c.byte1);
        EXPECT_EQ(Bytes(packet->GetDataPtr() + 2, packet->GetDataPtr() + c.size), Bytes(c.size - 2, 0));
    }
    // What a standard reader makes of the legacy byte: the catalogue maps it back.
    const RtpPacket legacy(AllocateAudioRtpPacket(RtpPayloadType::KESTA_BAD_AUDIO_L24_2_48000, 4));
    const RtpHeader* header = legacy.GetHeader();
    EXPECT_TRUE(header->Marker());
    EXPECT_EQ(header->PayloadType(), RtpPayloadType::KESTA_BAD_AUDIO_L24_2_48000);
    EXPECT_EQ(RtpHeader::AudioSampleRateFromPayloadType(header->PayloadType()), 48000u);
    EXPECT_EQ(header->AudioPayloadChannels(), 2u);
    EXPECT_EQ(header->AudioPayloadBytePerSample(), 3u);
    EXPECT_EQ(legacy.AudioPayloadSmplSize(), 4u);
}

// --- per-channel conversions at their edges --------------------------------------------------------

struct WriteCase {
    float x;
    Bytes bytes;
};

// Writes x into frame 1 of channel 1 of a two-frame stereo packet and returns that sample's bytes,
// checking that no other byte moved.
Bytes WriteOne(RtpPayloadType type, float x) {
    const size_t width = RtpHeader::AudioBytePerSampleFromPayloadType(type);
    const PacketPtr packet = AudioDatagram(type, Bytes(4 * width, 0xAA));
    RtpPacket(packet).AddAudioPayloadChan(&x, 1, 1, 1, 1);
    const Bytes payload = PayloadOf(*packet);
    EXPECT_EQ(Bytes(payload.begin(), payload.begin() + 3 * width), Bytes(3 * width, 0xAA));
    return Bytes(payload.begin() + 3 * width, payload.end());
}

TEST(RtpConvert, WritesL16LittleEndianClippedSymmetrically) {
    const WriteCase cases[] = {
        {1.0f, {0xFF, 0x7F}},          {2.0f, {0xFF, 0x7F}},          {-1.0f, {0x01, 0x80}},
        {-5.0f, {0x01, 0x80}},         {0.5f, {0xFF, 0x3F}},          {-0.5f, {0x01, 0xC0}},
        {0.0f, {0x00, 0x00}},          {-0.0f, {0x00, 0x00}},         {0x1p-14f, {0x01, 0x00}},
        {0x1p-15f, {0x00, 0x00}},      {-0x1p-14f, {0xFF, 0xFF}},     {0x1.fffffep-1f, {0xFE, 0x7F}},
        {-0x1.fffffep-1f, {0x02, 0x80}}, {INFINITY, {0xFF, 0x7F}},    {-INFINITY, {0x01, 0x80}},
    };
    for (const WriteCase& c : cases) EXPECT_EQ(WriteOne(RtpPayloadType::AUDIO_L16_2_48000, c.x), c.bytes) << c.x;
}

TEST(RtpConvert, WritesL24BigEndianUsingTheFullRange) {
    const WriteCase cases[] = {
        {1.0f, {0x7F, 0xFF, 0xFF}},         {2.0f, {0x7F, 0xFF, 0xFF}},         {-1.0f, {0x80, 0x00, 0x00}},
        {-2.0f, {0x80, 0x00, 0x00}},        {0.5f, {0x3F, 0xFF, 0xFF}},         {-0.5f, {0xC0, 0x00, 0x01}},
        {0x1p-22f, {0x00, 0x00, 0x01}},     {0x1p-23f, {0x00, 0x00, 0x00}},     {-0x1p-22f, {0xFF, 0xFF, 0xFF}},
        {0x1.fffffep-1f, {0x7F, 0xFF, 0xFE}}, {-0x1.fffffep-1f, {0x80, 0x00, 0x02}},
        {0x1.57d2cep-1f, {0x55, 0xF4, 0xB2}},  // in double; the bulk form's single precision gives B3
    };
    for (const WriteCase& c : cases) EXPECT_EQ(WriteOne(RtpPayloadType::AUDIO_L24_2_48000, c.x), c.bytes) << c.x;
}

struct ReadCase {
    Bytes bytes;
    float x;
};

// Reads channel 1 of frame 1 from a packet holding bytes there and 0xAA elsewhere.
float ReadOne(RtpPayloadType type, const Bytes& sample) {
    const size_t width = sample.size();
    Bytes payload(3 * width, 0xAA);
    payload.insert(payload.end(), sample.begin(), sample.end());
    float out[2] = {7.0f, 7.0f};
    RtpPacket(AudioDatagram(type, payload)).GetAudioPayloadChan(out, 1, 1, 1, 0);
    EXPECT_EQ(out[1], 7.0f) << "only one frame left to read";
    return out[0];
}

TEST(RtpConvert, ReadsWithTheReciprocalOfFullScale) {
    const ReadCase l16[] = {
        {{0xFF, 0x7F}, 1.0f},           {{0x01, 0x80}, -1.0f},          {{0x00, 0x80}, -0x1.0002p+0f},
        {{0x01, 0x00}, 0x1.0002p-15f},  {{0xFF, 0xFF}, -0x1.0002p-15f}, {{0x00, 0x40}, 0x1.0002p-1f},
        {{0x00, 0x00}, 0.0f},
    };
    for (const ReadCase& c : l16) EXPECT_EQ(ReadOne(RtpPayloadType::AUDIO_L16_2_48000, c.bytes), c.x) << c.x;
    const ReadCase l24[] = {
        {{0x7F, 0xFF, 0xFF}, 1.0f},          {{0x80, 0x00, 0x01}, -1.0f},
        {{0x80, 0x00, 0x00}, -0x1.000002p+0f}, {{0x00, 0x00, 0x01}, 0x1.000002p-23f},
        {{0xFF, 0xFF, 0xFF}, -0x1.000002p-23f}, {{0x40, 0x00, 0x00}, 0x1.000002p-1f},
    };
    for (const ReadCase& c : l24) EXPECT_EQ(ReadOne(RtpPayloadType::AUDIO_L24_2_48000, c.bytes), c.x) << c.x;
}

// --- bulk conversions ----------------------------------------------------------------------------

TEST(RtpConvert, BulkL24UsesSinglePrecisionScalers) {
    const float in[] = {-1.0f, 1.0f, 1.5f, -1.5f, 0x1.57d2cep-1f, -0.5f};
    const PacketPtr packet = AllocateAudioRtpPacket(RtpPayloadType::AUDIO_L24_2_48000, 3);
    ASSERT_EQ(RtpPacket::SetAudioPayload(in, packet.get(), 0, 0), 3u);
    EXPECT_EQ(PayloadOf(*packet), Bytes({0x80, 0x00, 0x01, 0x7F, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF,  //
                                         0x80, 0x00, 0x00, 0x55, 0xF4, 0xB3, 0xC0, 0x00, 0x01}));
    float out[6] = {};
    ASSERT_EQ(RtpPacket::GetAudioPayload(packet.get(), out, 0, 0), 3u);
    const float expected[] = {-1.0f, 1.0f, 1.0f, -0x1.000002p+0f, 0x1.57d2cep-1f, -0x1.fffffcp-2f};
    for (size_t i = 0; i < 6; ++i) EXPECT_EQ(out[i], expected[i]) << i;
}

TEST(RtpConvert, BulkL16MatchesThePerChannelForm) {
    const float in[] = {1.0f, -1.0f, 2.0f, -5.0f, 0.5f, 0x1p-14f};
    const PacketPtr packet = AllocateAudioRtpPacket(RtpPayloadType::AUDIO_L16_2_48000, 3);
    ASSERT_EQ(RtpPacket::SetAudioPayload(in, packet.get(), 0, 0), 3u);
    EXPECT_EQ(PayloadOf(*packet), Bytes({0xFF, 0x7F, 0x01, 0x80, 0xFF, 0x7F, 0x01, 0x80, 0xFF, 0x3F, 0x01, 0x00}));
    const PacketPtr edge = AudioDatagram(RtpPayloadType::AUDIO_L16_2_48000, {0x00, 0x80, 0x01, 0x00});
    float out[2] = {};
    ASSERT_EQ(RtpPacket::GetAudioPayload(edge.get(), out, 0, 0), 1u);
    EXPECT_EQ(out[0], -0x1.0002p+0f);
    EXPECT_EQ(out[1], 0x1.0002p-15f);
}

TEST(RtpConvert, BulkFrameRangesAreCutToThePacket) {
    struct Case {
        size_t start, num, frames;
    };
    const Case cases[] = {{0, 0, 4}, {1, 0, 3}, {1, 2, 2}, {3, 5, 1}, {4, 0, 0}, {9, 1, 0}, {2, SIZE_MAX, 2}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.start << "+" << c.num);
        const PacketPtr packet = AllocateAudioRtpPacket(RtpPayloadType::AUDIO_L16_1_48000, 4);
        const float in[4] = {0x1p-14f, 0x1p-14f, 0x1p-14f, 0x1p-14f};
        ASSERT_EQ(RtpPacket::SetAudioPayload(in, packet.get(), c.start, c.num), c.frames);
        Bytes expected(8, 0);
        for (size_t f = c.start; f < c.start + c.frames; ++f) expected[2 * f] = 1;
        EXPECT_EQ(PayloadOf(*packet), expected);
        float out[5] = {9, 9, 9, 9, 9};
        ASSERT_EQ(RtpPacket::GetAudioPayload(packet.get(), out, c.start, c.num), c.frames);
        for (size_t i = 0; i < 5; ++i) EXPECT_EQ(out[i], i < c.frames ? 0x1.0002p-15f : 9.0f) << i;
    }
    EXPECT_EQ(RtpPacket::SetAudioPayload(nullptr, nullptr, 0, 0), 0u);
    EXPECT_EQ(RtpPacket::GetAudioPayload(nullptr, nullptr, 0, 0), 0u);
}

// --- offsets, strides and round trips ------------------------------------------------------------

TEST(RtpConvert, ChannelRangesAreCutToThePacket) {
    // Four mono frames 1..4 (in units of the smallest L16 step).
    const Bytes payload = {1, 0, 2, 0, 3, 0, 4, 0};
    const float step = 0x1.0002p-15f;
    struct Case {
        size_t offset, size;
        std::vector<float> read;  // sentinel 9 where nothing is written
    };
    const Case cases[] = {
        {0, 0, {1, 2, 3, 4, 9}}, {1, 2, {2, 3, 9, 9, 9}}, {2, 9, {3, 4, 9, 9, 9}},
        {3, 0, {4, 9, 9, 9, 9}}, {4, 0, {9, 9, 9, 9, 9}}, {100, 1, {9, 9, 9, 9, 9}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.offset << "+" << c.size);
        const RtpPacket packet(AudioDatagram(RtpPayloadType::AUDIO_L16_1_48000, payload));
        float out[5] = {9, 9, 9, 9, 9};
        packet.GetAudioPayloadChan(out, 0, 1, c.offset, c.size);
        for (size_t i = 0; i < 5; ++i) EXPECT_EQ(out[i], c.read[i] == 9 ? 9.0f : c.read[i] * step) << i;
    }
    // Writes are cut the same way; a size of 0 writes nothing.
    const float ones[8] = {1, 1, 1, 1, 1, 1, 1, 1};
    RtpPacket packet(AudioDatagram(RtpPayloadType::AUDIO_L16_1_48000, Bytes(8, 0)));
    packet.AddAudioPayloadChan(ones, 0, 1, 2, 8);
    packet.AddAudioPayloadChan(ones, 0, 1, 0, 0);
    packet.AddAudioPayloadChan(ones, 0, 1, 4, 1);
    EXPECT_EQ(PayloadOf(*packet.UdpPacket), Bytes({0, 0, 0, 0, 0xFF, 0x7F, 0xFF, 0x7F}));
    packet.ClrAudioPayloadChan(0, 3, 5);
    EXPECT_EQ(PayloadOf(*packet.UdpPacket), Bytes({0, 0, 0, 0, 0xFF, 0x7F, 0, 0}));
}

TEST(RtpConvert, ChannelsInterleaveByStride) {
    // Three channels, two frames: an interleaved buffer in, every channel out.
    const PacketPtr datagram = AudioDatagram(RtpPayloadType::AUDIO_L16_6_16000, Bytes(2 * 6 * 2, 0xAA));
    RtpPacket packet(datagram);
    const float in[] = {0.5f, -0.5f, 1.0f, -1.0f, 0x1p-14f, 0.0f};  // frame 0, frame 1 of a 3-wide buffer
    for (size_t c = 0; c < 3; ++c) packet.SetAudioPayloadChan(in + c, c, 3);
    packet.ClrAudioPayloadChan(4, 0, 2);
    EXPECT_EQ(PayloadOf(*datagram), Bytes({0xFF, 0x3F, 0x01, 0xC0, 0xFF, 0x7F, 0xAA, 0xAA, 0x00, 0x00, 0xAA, 0xAA,  //
                                           0x01, 0x80, 0x01, 0x00, 0x00, 0x00, 0xAA, 0xAA, 0x00, 0x00, 0xAA, 0xAA}));
    float out[6] = {};
    packet.GetAudioPayload(out, 3);
    const float expected[] = {0x1.fffcp-2f, -0x1.fffcp-2f, 1.0f, -1.0f, 0x1.0002p-15f, 0.0f};
    for (size_t i = 0; i < 6; ++i) EXPECT_EQ(out[i], expected[i]) << i;
}

TEST(RtpConvert, RandomSamplesSurviveToWithinTheLastStep) {
    std::mt19937 rng(412);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    const RtpPayloadType types[] = {RtpPayloadType::AUDIO_L24_2_48000, RtpPayloadType::AUDIO_L16_2_48000};
    for (RtpPayloadType type : types) {
        const bool l24 = type == RtpPayloadType::AUDIO_L24_2_48000;
        // Truncation loses under one step; float rounding of the result adds a fraction of one.
        const float tolerance = l24 ? 2.0f / 8388607 : 2.0f / 32767;
        const size_t frames = 192;
        std::vector<float> left(frames), right(frames), interleaved(2 * frames);
        for (size_t i = 0; i < frames; ++i) {
            left[i] = interleaved[2 * i] = dist(rng);
            right[i] = interleaved[2 * i + 1] = dist(rng);
        }
        RtpPacket packet(AllocateAudioRtpPacket(type, frames));
        packet.SetAudioPayloadChan(left.data(), 0, 1);
        packet.SetAudioPayloadChan(right.data(), 1, 1);
        std::vector<float> left2(frames), right2(frames), bulk(2 * frames);
        packet.GetAudioPayloadChan(left2.data(), 0, 1, 0, 0);
        packet.GetAudioPayloadChan(right2.data(), 1, 1, 0, 0);
        ASSERT_EQ(RtpPacket::GetAudioPayload(packet.UdpPacket.get(), bulk.data(), 0, 0), frames);
        for (size_t i = 0; i < frames; ++i) {
            ASSERT_NEAR(left2[i], left[i], tolerance) << i;
            ASSERT_NEAR(right2[i], right[i], tolerance) << i;
            ASSERT_NEAR(bulk[2 * i], left[i], tolerance) << i;
        }
        // The bulk writer fills the same frames (to within the scalers' last bit).
        RtpPacket bulkPacket(AllocateAudioRtpPacket(type, frames));
        ASSERT_EQ(RtpPacket::SetAudioPayload(interleaved.data(), bulkPacket.UdpPacket.get(), 0, 0), frames);
        std::vector<float> back(2 * frames);
        bulkPacket.GetAudioPayload(back.data(), 2);
        for (size_t i = 0; i < 2 * frames; ++i) ASSERT_NEAR(back[i], interleaved[i], tolerance) << i;
    }
}

// --- datagrams that carry no samples -------------------------------------------------------------

// Every operation on packet leaves it and the caller's buffer as they were.
void ExpectInert(const PacketPtr& datagram) {
    const Bytes before(datagram->GetDataPtr(), datagram->GetDataPtr() + datagram->GetDataSize());
    RtpPacket packet(datagram);
    EXPECT_EQ(packet.AudioPayloadSmplSize(), 0u);
    float buffer[8] = {3, 3, 3, 3, 3, 3, 3, 3};
    for (size_t chan = 0; chan < 3; ++chan) {
        packet.GetAudioPayloadChan(buffer, chan, 1, 0, 0);
        packet.AddAudioPayloadChan(buffer, chan, 1, 0, 4);
        packet.SetAudioPayloadChan(buffer, chan, 1);
        packet.ClrAudioPayloadChan(chan, 0, 4);
    }
    packet.GetAudioPayload(buffer, 2);
    EXPECT_EQ(RtpPacket::GetAudioPayload(datagram.get(), buffer, 0, 0), 0u);
    EXPECT_EQ(RtpPacket::SetAudioPayload(buffer, datagram.get(), 0, 0), 0u);
    for (float x : buffer) EXPECT_EQ(x, 3.0f);
    EXPECT_EQ(Bytes(datagram->GetDataPtr(), datagram->GetDataPtr() + datagram->GetDataSize()), before);
}

TEST(RtpPacket, ShortDatagramIsEmpty) {
    for (size_t size = 0; size < RtpHeader::Size; ++size) {
        SCOPED_TRACE(size);
        Bytes bytes = {0x80, 95, 1, 2, 3, 4, 5, 6, 7, 8, 9};
        bytes.resize(size);
        const PacketPtr datagram = Datagram(bytes);
        const RtpPacket packet(datagram);
        EXPECT_EQ(packet.GetHeader(), nullptr);
        EXPECT_EQ(packet.PayloadPtr(), nullptr);
        EXPECT_EQ(packet.PayloadSize(), 0u);
        RtpHeader header;
        header.Clear(2);
        RtpPacket(datagram).SetHeader(header);
        ExpectInert(datagram);
    }
}

TEST(RtpPacket, DatagramWithoutSamplesIsInert) {
    const Bytes payload(24, 0x55);
    ExpectInert(AudioDatagram(RtpPayloadType::INVALID, payload));
    ExpectInert(AudioDatagram(PT(127), payload));
    ExpectInert(AudioDatagram(RtpPayloadType::AUDIO_PLOVIN_CUSTOM, payload));
    ExpectInert(AudioDatagram(RtpPayloadType::AUDIO_L24_2_48000, Bytes(5, 0x55)));  // less than a frame
    ExpectInert(AudioDatagram(RtpPayloadType::AUDIO_L16_2_48000, {}));
}

TEST(RtpPacket, NeverTouchesBytesOutsideWholeFramesOrChannels) {
    // Stereo L16: one whole frame and three bytes of a partial one.
    const PacketPtr datagram = AudioDatagram(RtpPayloadType::AUDIO_L16_2_48000, Bytes(7, 0xAA));
    RtpPacket packet(datagram);
    ASSERT_EQ(packet.AudioPayloadSmplSize(), 1u);
    const float loud[2] = {1.0f, 1.0f};
    packet.AddAudioPayloadChan(loud, 1, 1, 0, 2);
    packet.AddAudioPayloadChan(loud, 2, 1, 0, 2);  // the packet has no channel 2
    EXPECT_EQ(PayloadOf(*datagram), Bytes({0xAA, 0xAA, 0xFF, 0x7F, 0xAA, 0xAA, 0xAA}));
    float out[2] = {5, 5};
    packet.GetAudioPayloadChan(out, 2, 1, 0, 0);
    EXPECT_EQ(out[0], 5.0f);

    // Stereo L24, three frames: writing one channel leaves the other's bytes alone, up to the
    // last byte of the datagram.
    const PacketPtr l24 = AudioDatagram(RtpPayloadType::AUDIO_L24_2_48000, Bytes(18, 0xAA));
    const float three[3] = {1.0f, -1.0f, 0.5f};
    RtpPacket(l24).SetAudioPayloadChan(three, 1, 1);
    EXPECT_EQ(PayloadOf(*l24), Bytes({0xAA, 0xAA, 0xAA, 0x7F, 0xFF, 0xFF, 0xAA, 0xAA, 0xAA,  //
                                      0x80, 0x00, 0x00, 0xAA, 0xAA, 0xAA, 0x3F, 0xFF, 0xFF}));
    RtpPacket(l24).SetAudioPayloadChan(three, 0, 1);
    EXPECT_EQ(PayloadOf(*l24), Bytes({0x7F, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF, 0x80, 0x00, 0x00,  //
                                      0x80, 0x00, 0x00, 0x3F, 0xFF, 0xFF, 0x3F, 0xFF, 0xFF}));
    float back[3] = {};
    RtpPacket(l24).GetAudioPayloadChan(back, 1, 1, 0, 0);
    EXPECT_EQ(back[0], 1.0f);
    EXPECT_EQ(back[1], -0x1.000002p+0f);
    EXPECT_EQ(back[2], 4194303 * 0x1.000002p-23f);
}

TEST(RtpPacket, WrapperSharesItsDatagramAndEmptyWrapperGivesNothing) {
    const RtpPacket empty;
    EXPECT_TRUE(empty.IsEmpty());
    EXPECT_EQ(empty.GetHeader(), nullptr);
    EXPECT_EQ(empty.PayloadPtr(), nullptr);
    EXPECT_EQ(empty.PayloadSize(), 0u);
    EXPECT_EQ(empty.AudioPayloadSmplSize(), 0u);
    float buffer[2] = {3, 3};
    empty.GetAudioPayloadChan(buffer, 0, 1, 0, 0);
    EXPECT_EQ(buffer[0], 3.0f);

    RtpPacket packet(AllocateAudioRtpPacket(RtpPayloadType::AUDIO_L24_2_44100, 10));
    const RtpPacket copy = packet;
    EXPECT_EQ(copy.GetUdpPacket(), packet.GetUdpPacket());
    EXPECT_EQ(packet.PayloadSize(), 60u);
    EXPECT_EQ(packet.PayloadPtr(), packet.GetUdpPacket()->GetDataPtr() + 12);
    RtpHeader header = *packet.GetHeader();
    header.SetSeqNum(77);
    packet.SetHeader(header);
    EXPECT_EQ(copy.GetHeader()->SeqNum(), 77);
}

} // namespace
