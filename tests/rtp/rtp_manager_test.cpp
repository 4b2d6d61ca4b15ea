// The RTP manager and audio manager driven without sockets: datagrams written by hand go straight
// into the receive path, read cycles run as the device layer runs them (one per notification),
// and send cycles are caught by an I/O hook before they would reach a socket.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "diag/IEnvironment.h"
#include "rtp/RtpManager.h"
#include "rtp_wire.h"
#include "support/log_capture.h"
#include "support/udp_loopback.h"
#include "util/myhirestimer.h"

// Counts the allocations of the thread that switched counting on.
namespace {
thread_local bool tCountNew = false;
std::atomic<size_t> gNewCount{0};
} // namespace

// The replacements pair malloc with free; GCC cannot see that through inlining.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

void* operator new(std::size_t size) {
    if (tCountNew) gNewCount.fetch_add(1);
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return ::operator new(size); }
// Replaced too, so that every form that ends in the deletes below starts with malloc.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    if (tCountNew) gNewCount.fetch_add(1);
    return std::malloc(size ? size : 1);
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return ::operator new(size, tag); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

using namespace Network;
using rtp_wire::Datagram;
using rtp_wire::Decode;
using rtp_wire::Silence;

constexpr uint32_t Frames = 64;

std::wstring TestName() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "." + info->name();
    return std::wstring(name.begin(), name.end());
}

// Does what the device layer does on each notification: one read cycle into its buffers. It
// records, per cycle, which packet each RTP channel delivered and how far the newest packet was
// ahead of the read position.
class Device : public ISyncTarget {
public:
    Device(RtpAudioManager& audio, size_t rtpChans) : Audio(audio), Buffers(rtpChans * 2, std::vector<float>(Frames)) {
        for (auto& b : Buffers) Ptrs.push_back(b.data());
        Reads.resize(rtpChans);
    }

    void OnSync(ISyncSource* source, int64_t pos, int freq) override {
        EXPECT_EQ(source, &Audio);
        EXPECT_EQ(freq, 48000);
        if (pos < 0) {
            ++Resets;
            return;
        }
        Positions.push_back(pos);
        const RtpManager::RecvState state = Audio.GetRtpManager().GetRecvState();
        Distances.push_back(state.SeqNum - state.SeqNumPos);
        Audio.RecvAudio(Ptrs, Frames);
        for (size_t rc = 0; rc < Reads.size(); ++rc) {
            const long left = Decode(Buffers[2 * rc].data(), Frames, static_cast<unsigned>(rc), 0);
            const long right = Decode(Buffers[2 * rc + 1].data(), Frames, static_cast<unsigned>(rc), 1);
            Reads[rc].push_back(left == right ? left : rtp_wire::Garbage);
        }
    }

    RtpAudioManager& Audio;
    std::vector<std::vector<float>> Buffers;
    std::vector<float*> Ptrs;
    std::vector<std::vector<long>> Reads;  // per RTP channel: sequence number, Silence or Garbage
    std::vector<int64_t> Positions;
    std::vector<int64_t> Distances;
    int Resets = 0;
};

class RtpManagerTest : public ::testing::Test {
protected:
    // Receive channels without addresses: no sockets, packets come in through Feed.
    void Make(size_t rtpChans, uint32_t delay = 5, uint32_t delayMax = 9, bool device = true) {
        RtpManagerInfo info;
        info.SampleFreq = 48000;
        info.PacketSmplSize = Frames;
        info.RecvDelay = delay;
        info.RecvDelayMax = delayMax;
        info.RecvChans.resize(rtpChans);
        Audio = std::make_unique<RtpAudioManager>(ComponentInfo(TestName()), *Net);
        ASSERT_TRUE(Audio->Init(info).IsOk());
        if (device) {
            Dev = std::make_unique<Device>(*Audio, rtpChans);
            ASSERT_TRUE(Audio->AddTarget(Dev.get()).IsOk());
        }
    }
    RtpManager& Rtp() { return Audio->GetRtpManager(); }
    void FeedBytes(size_t chan, const std::string& bytes) {
        Rtp().OnRtpPacketReceived(*Rtp().GetRecvChan(chan), rtp_wire::ToPacket(bytes), SockAddr());
    }
    void Feed(size_t chan, uint16_t seq, uint32_t ts, size_t frames = Frames) {
        FeedBytes(chan, Datagram(seq, ts, frames, static_cast<unsigned>(chan)));
    }

    std::unique_ptr<INetManager> Net{NetFactory::CreateNetManager(L"rtp-unit", false, 1)};
    std::unique_ptr<RtpAudioManager> Audio;
    std::unique_ptr<Device> Dev;
};

// --- receive side: buffer placement, lock, clocking --------------------------------------------

struct SeqCase {
    const char* Name;
    std::vector<int64_t> Arrivals;  // extended sequence numbers; the wire carries the low 16 bits
    std::vector<long> Reads;        // per cycle: the extended number delivered, or Silence
    int Resets;                     // position resets (-1) seen by the target
    int64_t LastDistance;           // newest packet ahead of the read position at the last cycle
    uint32_t TsBase = 0x1000;       // timestamp of packet 0; the timestamp steps by Frames
};

std::vector<int64_t> Range(int64_t first, int64_t last) {
    std::vector<int64_t> r;
    for (int64_t s = first; s <= last; ++s) r.push_back(s);
    return r;
}

std::vector<int64_t> Cat(std::initializer_list<std::vector<int64_t>> parts) {
    std::vector<int64_t> r;
    for (const auto& p : parts) r.insert(r.end(), p.begin(), p.end());
    return r;
}

std::vector<long> Reads(int silent, std::initializer_list<std::vector<int64_t>> parts) {
    std::vector<long> r(static_cast<size_t>(silent), Silence);
    for (int64_t s : Cat(parts)) r.push_back(static_cast<long>(s));
    return r;
}

TEST_F(RtpManagerTest, PlacesPacketsBySequenceNumberAndClocksOnNewTimestamps) {
    const SeqCase cases[] = {
        {"steady stream: every sample in place, delay stays 5", Range(1000, 1011), Reads(5, {Range(1000, 1006)}), 1, 5},
        {"lost packet: silence exactly there, delay grows by one", Cat({Range(1000, 1006), Range(1008, 1014)}),
         Reads(5, {Range(1000, 1006), {-1}, {1008}}), 1, 6},
        {"reordered inside the window: both in place, the late one does not clock",
         Cat({Range(1000, 1005), {1007, 1006}, Range(1008, 1013)}), Reads(5, {Range(1000, 1007)}), 1, 6},
        {"duplicate: stored again, does not clock", Cat({Range(1000, 1005), {1005}, Range(1006, 1010)}),
         Reads(5, {Range(1000, 1005)}), 1, 5},
        {"older than the read position: dropped, lock kept", Cat({Range(1000, 1010), {1001, 1011}}),
         Reads(5, {Range(1000, 1006)}), 1, 5},
        // The buffer keeps what it holds: the old tail plays out before the new stream.
        {"jump beyond the buffer: lock lost, re-locked on the jumping packet",
         Cat({Range(1000, 1005), Range(1100, 1106)}), Reads(5, {Range(1000, 1005), {1100, 1101}}), 2, 5},
        {"sequence number and timestamp wrap together", Range(65530, 65545), Reads(5, {Range(65530, 65540)}), 1, 5,
         static_cast<uint32_t>(0x100000000LL - 65536LL * Frames)},
    };
    for (const SeqCase& c : cases) {
        SCOPED_TRACE(c.Name);
        Make(1);
        for (int64_t s : c.Arrivals)
            Feed(0, static_cast<uint16_t>(s), static_cast<uint32_t>(c.TsBase + static_cast<uint64_t>(s) * Frames));
        std::vector<long> expected;
        for (long s : c.Reads) expected.push_back(s < 0 ? s : (s & 0xFFFF));
        EXPECT_EQ(Dev->Reads[0], expected);
        EXPECT_EQ(Dev->Resets, c.Resets);
        ASSERT_FALSE(Dev->Distances.empty());
        EXPECT_EQ(Dev->Distances.back(), c.LastDistance);
        // Positions are the extended timestamps: they keep rising across the 32-bit wrap.
        EXPECT_EQ(Dev->Positions.back(), static_cast<int64_t>(c.TsBase) + c.Arrivals.back() * Frames);
        for (size_t i = 1; i < Dev->Positions.size(); ++i) EXPECT_GT(Dev->Positions[i], Dev->Positions[i - 1]);
    }
}

TEST_F(RtpManagerTest, FirstPacketLocksFiveBehindAndLogsTheStreamState) {
    test_support::LogCapture log(Environment()->DebugLog());
    Make(1);
    const std::wstring name = TestName();
    Feed(0, 1000, 0);
    const RtpManager::RecvState state = Rtp().GetRecvState();
    EXPECT_TRUE(state.Locked);
    EXPECT_EQ(state.SeqNumPos, 996);  // 995, plus the cycle the packet triggered
    for (int s = 1001; s <= 1006; ++s) Feed(0, static_cast<uint16_t>(s), s * Frames);
    Feed(0, 1008, 1008 * Frames);  // 1007 lost
    for (int s = 1009; s <= 1014; ++s) Feed(0, static_cast<uint16_t>(s), s * Frames);
    Feed(0, 1200, 1200 * Frames);  // jump
    ASSERT_TRUE(Environment()->DebugLog()->Flush(std::chrono::seconds(10)));

    EXPECT_EQ(log.Matching(name + L": RTP sync LOCK: SeqNumPos=995, SeqNum=1000, PosInBuf=5").size(), 1u);
    EXPECT_EQ(log.Matching(name + L": RTP sync LOST: SeqNumPos=1009, SeqNum=1200, seq_num=1200, old_seq_num=1014, "
                                  L"PosInBuf=191").size(), 1u);
    EXPECT_EQ(log.Matching(name + L": RTP sync LOCK: SeqNumPos=1195, SeqNum=1200, PosInBuf=5").size(), 1u);
    EXPECT_EQ(log.Matching(name + L".Recv[0]: Stream OK").size(), 2u);     // packet 1000, and 1008 after the gap
    EXPECT_EQ(log.Matching(name + L".Recv[0]: Stream ERROR").size(), 1u);  // the slot of 1007
}

TEST_F(RtpManagerTest, TwoChannelsShareTheReadPositionAndOnlyTheFirstArrivalClocks) {
    Make(2);
    for (int s = 100; s < 112; ++s) {
        Feed(0, static_cast<uint16_t>(s), s * Frames);
        if (s != 107) Feed(1, static_cast<uint16_t>(s), s * Frames);  // channel 1 loses 107
    }
    EXPECT_EQ(Dev->Positions.size(), 12u);
    EXPECT_EQ(Dev->Reads[0], Reads(5, {Range(100, 106)}));
    EXPECT_EQ(Dev->Reads[1], Reads(5, {Range(100, 106)}));
    Feed(0, 112, 112 * Frames);
    EXPECT_EQ(Dev->Reads[0].back(), 107);
    EXPECT_EQ(Dev->Reads[1].back(), Silence);
    EXPECT_TRUE(Audio->IsStreamOk(0));
    EXPECT_FALSE(Audio->IsStreamOk(1));
    EXPECT_FALSE(Audio->IsStreamOk(2));
}

TEST_F(RtpManagerTest, DatagramShorterThanTheHeaderIsDropped) {
    Make(1);
    FeedBytes(0, std::string("\x80\x64\x00\x01\x00", 5));
    EXPECT_FALSE(Rtp().GetRecvState().Locked);
    EXPECT_TRUE(Dev->Positions.empty());
    Feed(0, 1, Frames);
    EXPECT_TRUE(Rtp().GetRecvState().Locked);
}

// --- RecvAudio: buffer lists and packet shapes -------------------------------------------------

struct ShapeCase {
    const char* Name;
    std::optional<std::string> Chan[2];  // the datagram of each RTP channel, or none
    size_t ListLen;
    int NullAt;            // entry left null, or -1
    const char* Expected;  // per entry: P pattern, Z zeros, U untouched, N null
};

TEST_F(RtpManagerTest, RecvAudioFillsZeroesOrLeavesBuffersByPacketShape) {
    const uint16_t seq = 500;
    auto full = [&](unsigned c) { return Datagram(seq, 7, Frames, c); };
    auto short48 = [&](unsigned c) { return Datagram(seq, 7, 48, c); };
    const ShapeCase cases[] = {
        {"both present", {full(0), full(1)}, 4, -1, "PPPP"},
        {"missing on channel 1", {full(0), std::nullopt}, 4, -1, "PPZZ"},
        {"missing on channel 0", {std::nullopt, full(1)}, 4, -1, "ZZPP"},
        {"null entries are skipped", {full(0), std::nullopt}, 4, 1, "PNZZ"},
        {"list one short", {full(0), full(1)}, 3, -1, "UUU"},
        {"list one long", {full(0), full(1)}, 5, -1, "UUUUU"},
        {"48 frames on channel 1", {full(0), short48(1)}, 4, -1, "PPUU"},
        {"48 frames on channel 0 stops the pass", {short48(0), full(1)}, 4, -1, "UUUU"},
        {"other channel count", {Datagram(seq, 7, Frames, 0, 110), full(1)}, 4, -1, "UUUU"},
        {"header only", {full(0), Datagram(seq, 7, 0, 1)}, 4, -1, "PPUU"},
    };
    for (const ShapeCase& c : cases) {
        SCOPED_TRACE(c.Name);
        Make(2, 0, 4, false);
        for (size_t ch = 0; ch < 2; ++ch)
            if (c.Chan[ch]) FeedBytes(ch, *c.Chan[ch]);
        std::vector<std::vector<float>> buffers(c.ListLen, std::vector<float>(Frames, 7.0f));
        std::vector<float*> ptrs;
        for (auto& b : buffers) ptrs.push_back(b.data());
        if (c.NullAt >= 0) ptrs[static_cast<size_t>(c.NullAt)] = nullptr;
        Audio->RecvAudio(ptrs, Frames);
        std::string got;
        for (size_t i = 0; i < c.ListLen; ++i) {
            if (!ptrs[i]) {
                got += 'N';
            } else if (buffers[i] == std::vector<float>(Frames, 7.0f)) {
                got += 'U';
            } else {
                const long d = Decode(ptrs[i], Frames, static_cast<unsigned>(i / 2), static_cast<unsigned>(i % 2));
                got += d == Silence ? 'Z' : d == seq ? 'P' : '?';
            }
        }
        EXPECT_EQ(got, c.Expected);
    }
}

TEST_F(RtpManagerTest, WrongListLengthStillConsumesOnePacketPerChannel) {
    Make(1, 0, 4, false);
    Feed(0, 10, 0);
    Feed(0, 11, Frames);
    std::vector<float> l(Frames), r(Frames);
    Audio->RecvAudio({l.data()}, Frames);
    Audio->RecvAudio({l.data(), r.data()}, Frames);
    EXPECT_EQ(Decode(l.data(), Frames, 0, 0), 11);
    EXPECT_EQ(Decode(r.data(), Frames, 0, 1), 11);
}

TEST_F(RtpManagerTest, SteadyReceivePathAllocatesNothingBeyondTheDatagrams) {
    // A target as lean as the device layer's hot path: one read cycle per notification.
    struct Lean : ISyncTarget {
        RtpAudioManager* Audio = nullptr;
        std::vector<float*> Ptrs;
        void OnSync(ISyncSource*, int64_t pos, int) override {
            if (pos >= 0) Audio->RecvAudio(Ptrs, Frames);
        }
    };
    Make(8, 5, 9, false);
    std::vector<std::vector<float>> buffers(16, std::vector<float>(Frames));
    Lean lean;
    lean.Audio = Audio.get();
    for (auto& b : buffers) lean.Ptrs.push_back(b.data());
    Audio->AddTarget(&lean);

    auto feedCycle = [&](std::vector<PacketUniqPtr>& packets) {
        for (size_t ch = 0; ch < 8; ++ch)
            Rtp().OnRtpPacketReceived(*Rtp().GetRecvChan(ch), std::move(packets[ch]), SockAddr());
    };
    auto build = [&](uint16_t seq) {
        std::vector<PacketUniqPtr> packets;
        for (unsigned ch = 0; ch < 8; ++ch) packets.push_back(rtp_wire::ToPacket(Datagram(seq, seq * Frames, Frames, ch)));
        return packets;
    };
    // Until every channel delivers: the stream state changes are logged once, outside the count.
    for (uint16_t seq = 0; seq < 10; ++seq) {
        auto packets = build(seq);
        feedCycle(packets);
    }
    tCountNew = true;
    // Shows that the count sees this thread's allocations. A direct call, not a new-expression,
    // which an optimising compiler may leave out together with its delete.
    void* volatile probe = ::operator new(sizeof(int));
    ::operator delete(probe);
    tCountNew = false;
    ASSERT_EQ(gNewCount.exchange(0), 1u);
    // The traced lock and the traced duration write a log line when a section takes 5 ms or
    // more, which a preempted or instrumented thread can cause; those are the only allocations
    // allowed, so cycles that took that long do not count.
    std::vector<std::vector<PacketUniqPtr>> prepared;
    for (uint16_t seq = 10; seq < 60; ++seq) prepared.push_back(build(seq));
    size_t counted = 0, allocations = 0;
    for (auto& packets : prepared) {
        gNewCount = 0;
        const uint64_t begin = hrt::GetClock();
        tCountNew = true;
        feedCycle(packets);
        tCountNew = false;
        if (hrt::GetClock() - begin >= hrt::GetClockTicksByMillisecs(5)) continue;
        ++counted;
        allocations += gNewCount.load();
    }
    ASSERT_GE(counted, 25u) << "too few undisturbed cycles to tell";
    EXPECT_EQ(allocations, 0u);
    EXPECT_EQ(Decode(buffers[15].data(), Frames, 7, 1), 54);
    Audio->DelTarget(&lean);
}

// --- send side ----------------------------------------------------------------------------------

// Catches every packet of a send cycle instead of letting it reach a socket.
struct Capture : IRtpIoProcessor {
    std::vector<std::string> Sent;
    bool ProcessSendPacket(RtpPacket& packet, std::vector<RtpPacket>&) override {
        const Packet& p = *packet.GetUdpPacket();
        Sent.emplace_back(reinterpret_cast<const char*>(p.GetDataPtr()), p.GetDataSize());
        return false;
    }
};

std::string Hex(const std::string& bytes, size_t from, size_t n) {
    static const char* digits = "0123456789ABCDEF";
    std::string r;
    for (size_t i = from; i < from + n && i < bytes.size(); ++i) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        r += digits[b >> 4];
        r += digits[b & 15];
    }
    return r;
}

class RtpSendTest : public RtpManagerTest {
protected:
    void SetUp() override {
        RtpManagerInfo info;
        info.SampleFreq = 48000;
        info.PacketSmplSize = Frames;
        info.SendChans.resize(2);
        info.SendChans[0].SetPayloadType(RtpPayloadType::AUDIO_L24_2_48000);
        info.SendChans[1].SetPayloadType(RtpPayloadType::AUDIO_L16_1_48000);
        Audio = std::make_unique<RtpAudioManager>(ComponentInfo(TestName()), *Net);
        ASSERT_TRUE(Audio->Init(info).IsOk());
        Audio->SetIoProcessor(&Hook);
    }
    Capture Hook;
};

TEST_F(RtpSendTest, SendAudioStampsSharedCountersAndWritesEveryChannel) {
    std::vector<float> left(Frames, 0.5f), mono(Frames, -1.0f);
    const std::vector<float*> audio = {left.data(), nullptr, mono.data()};
    Audio->SendAudio(audio, Frames);
    Audio->SendAudio({left.data()}, Frames);  // wrong length: nothing sent, counters kept
    Audio->SendAudio(audio, Frames);
    ASSERT_EQ(Hook.Sent.size(), 4u);
    // Version 2, payload type, sequence number, timestamp, SSRC 0.
    EXPECT_EQ(Hex(Hook.Sent[0], 0, 12), "806400000000000000000000");
    EXPECT_EQ(Hex(Hook.Sent[1], 0, 12), "806E00000000000000000000");
    EXPECT_EQ(Hex(Hook.Sent[2], 0, 12), "806400010000004000000000");
    EXPECT_EQ(Hex(Hook.Sent[3], 0, 12), "806E00010000004000000000");
    EXPECT_EQ(Hook.Sent[0].size(), 12 + Frames * 6);
    EXPECT_EQ(Hook.Sent[1].size(), 12 + Frames * 2);
    EXPECT_EQ(Hex(Hook.Sent[0], 12, 12), "3FFFFF0000003FFFFF000000");  // 0.5 left, null right is silence
    EXPECT_EQ(Hex(Hook.Sent[1], 12, 4), "01800180");                   // -1.0 in L16 is 0x8001
}

TEST_F(RtpSendTest, SendPacketsWithFewerPacketsSendsThoseChannelsOnly) {
    Audio->SendPackets({PacketPtr(AllocateAudioRtpPacket(RtpPayloadType::AUDIO_L24_2_48000, Frames))});
    Audio->SendPackets({nullptr, PacketPtr(AllocateAudioRtpPacket(RtpPayloadType::AUDIO_L16_1_48000, Frames))});
    ASSERT_EQ(Hook.Sent.size(), 2u);
    EXPECT_EQ(Hex(Hook.Sent[0], 0, 8), "8064000000000000");
    EXPECT_EQ(Hex(Hook.Sent[1], 0, 8), "806E000100000040");
}

TEST_F(RtpSendTest, PayloadTypeChangesTheMonoChannelCount) {
    EXPECT_EQ(Rtp().SendMonoChannelsCount(), 3u);
    ASSERT_TRUE(Audio->SetPayloadType(1, RtpPayloadType::AUDIO_L16_2_48000).IsOk());
    EXPECT_EQ(Rtp().SendMonoChannelsCount(), 4u);
    std::vector<float> buf(Frames, 0.25f);
    Audio->SendAudio({buf.data(), buf.data(), buf.data(), buf.data()}, Frames);
    ASSERT_EQ(Hook.Sent.size(), 2u);
    EXPECT_EQ(Hook.Sent[1].size(), 12 + Frames * 4);
    EXPECT_EQ(Hex(Hook.Sent[1], 1, 1), "5F");
}

TEST_F(RtpSendTest, ErrorsAndStop) {
    Capture other;
    const std::pair<ErrInfo, const wchar_t*> errors[] = {
        {Audio->SetPayloadType(5, RtpPayloadType::AUDIO_L16_2_48000), L"Incorrect channel index"},
        {Audio->SetSendChanAddr(2, SockAddr("127.0.0.1", 9), SockAddr()), L"Incorrect channel index"},
        {Audio->SetSendChanAddr2(2, SockAddr("127.0.0.1", 9), SockAddr()), L"Incorrect channel index"},
        {Audio->DelTarget(nullptr), L"Sync target not found"},
        {Rtp().DelTarget(nullptr), L"Sync target not found"},
        {Audio->Init(RtpManagerInfo()), L"SampleFreq con not be 0"},
        {(*Rtp().GetSendChans()[0]).SetSendAddr(2, SockAddr(), SockAddr()), L"Invalid socket index"},
        {(*Rtp().GetSendChans()[0]).Send(nullptr), L"Can not send empty packet"},
    };
    for (const auto& [err, text] : errors) EXPECT_EQ(test_support::FirstLine(err), text);
    EXPECT_EQ(Audio->SendChannelsCount(), 2u);  // the refused Init changed nothing

    ASSERT_TRUE(Audio->Start().IsOk());
    EXPECT_TRUE(Audio->IsStarted());
    Audio->Stop();
    EXPECT_FALSE(Audio->IsStarted());
    EXPECT_EQ(Audio->SendChannelsCount(), 0u);
    EXPECT_EQ(Audio->RecvChannelsCount(), 0u);
    std::vector<float> buf(Frames, 3.0f);
    Audio->RecvAudio({buf.data()}, Frames);
    Audio->SendAudio({buf.data()}, Frames);
    EXPECT_EQ(buf, std::vector<float>(Frames, 3.0f));
    EXPECT_TRUE(Hook.Sent.empty());
}

} // namespace
