// The RTP audio manager on 127.0.0.1: a plain socket sends hand-written datagrams to its receive
// channels, plain sockets receive what its send channels send, and a target does what the
// device layer does on each notification.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "rtp/RtpManager.h"
#include "rtp_wire.h"
#include "support/udp_loopback.h"

namespace {

using namespace Network;
using namespace std::chrono_literals;
using rtp_wire::Datagram;
using rtp_wire::Decode;
using rtp_wire::Silence;

constexpr uint32_t Frames = 192;

// One read cycle per notification, and optionally one send cycle, as the device layer runs them.
class Device : public ISyncTarget {
public:
    Device(RtpAudioManager& audio, size_t rtpChans, bool send = false)
        : Audio(audio), Send(send), Buffers(rtpChans * 2, std::vector<float>(Frames)), Reads(rtpChans) {
        for (auto& b : Buffers) Ptrs.push_back(b.data());
    }

    void OnSync(ISyncSource*, int64_t pos, int) override {
        if (pos < 0) return;
        const RtpManager::RecvState state = Audio.GetRtpManager().GetRecvState();
        Audio.RecvAudio(Ptrs, Frames);
        if (Send) Audio.SendAudio(std::vector<float*>(Audio.GetRtpManager().SendMonoChannelsCount(), Ptrs[0]), Frames);
        std::lock_guard<std::mutex> lock(Mutex);
        Distances.push_back(state.SeqNum - state.SeqNumPos);
        for (size_t rc = 0; rc < Reads.size(); ++rc) {
            const long left = Decode(Buffers[2 * rc].data(), Frames, static_cast<unsigned>(rc), 0);
            const long right = Decode(Buffers[2 * rc + 1].data(), Frames, static_cast<unsigned>(rc), 1);
            Reads[rc].push_back(left == right ? left : rtp_wire::Garbage);
        }
        ++Syncs;
        Changed.notify_all();
    }

    bool WaitForSyncs(size_t n, std::chrono::milliseconds timeout = 10s) {
        std::unique_lock<std::mutex> lock(Mutex);
        return Changed.wait_for(lock, timeout, [&] { return Syncs >= n; });
    }
    size_t SyncCount() {
        std::lock_guard<std::mutex> lock(Mutex);
        return Syncs;
    }

    RtpAudioManager& Audio;
    const bool Send;
    std::vector<std::vector<float>> Buffers;  // the notifying thread's
    std::vector<float*> Ptrs;
    std::mutex Mutex;
    std::condition_variable Changed;
    std::vector<std::vector<long>> Reads;  // guarded by Mutex
    std::vector<int64_t> Distances;        // guarded by Mutex
    size_t Syncs = 0;                      // guarded by Mutex
};

class RtpWireTest : public ::testing::Test {
protected:
    RtpManagerInfo Info(size_t recvChans) {
        RtpManagerInfo info;
        info.SampleFreq = 48000;
        info.PacketSmplSize = Frames;
        for (size_t i = 0; i < recvChans; ++i) {
            Ports.push_back(test_support::FreeLoopbackPort());
            RtpRecvChanInfo chan;
            chan.IpAddr = SockAddr("127.0.0.1", Ports.back());
            info.RecvChans.push_back(chan);
        }
        return info;
    }
    // The receive ports are free when probed but may be taken before the channels bind them, and
    // a channel that cannot bind its port only logs it: such a manager is remade on new ports.
    void Make(RtpManagerInfo info, bool send = false) {
        for (int attempt = 0;; ++attempt) {
            Audio = std::make_unique<RtpAudioManager>(ComponentInfo(L"wire"), *Net);
            ASSERT_TRUE(Audio->Init(info).IsOk());
            if (RecvSocketsOpen(info.RecvChans.size())) break;
            ASSERT_LT(attempt, 20) << "no free receive ports";
            Audio.reset();
            for (size_t i = 0; i < info.RecvChans.size(); ++i) {
                Ports[i] = test_support::FreeLoopbackPort();
                info.RecvChans[i].IpAddr = SockAddr("127.0.0.1", Ports[i]);
            }
        }
        Dev = std::make_unique<Device>(*Audio, info.RecvChans.size(), send);
        ASSERT_TRUE(Audio->AddTarget(Dev.get()).IsOk());
        ASSERT_TRUE(Audio->Start().IsOk());
    }
    // A socket whose open failed has been closed, and a closed socket refuses a new send address.
    bool RecvSocketsOpen(size_t chans) {
        for (size_t i = 0; i < chans; ++i) {
            const IUdpSockPtr socket = Audio->GetRtpManager().GetRecvChan(i)->GetSocket(0);
            if (!socket) return false;
            ErrInfo probe = socket->SetSendAddr(socket->GetUdpSockInfo().SendAddr);
            const bool open = probe.IsOk();
            probe.Silent();
            if (!open) return false;
        }
        return true;
    }
    void TearDown() override {
        if (Audio) Audio->Stop();
    }

    std::unique_ptr<INetManager> Net{NetFactory::CreateNetManager(L"rtp-itest", true, 1)};
    test_support::UdpPeer Sender;
    std::vector<uint16_t> Ports;
    std::unique_ptr<RtpAudioManager> Audio;
    std::unique_ptr<Device> Dev;
};

TEST_F(RtpWireTest, TwoChannelsAcrossSequenceAndTimestampWrap) {
    ASSERT_NO_FATAL_FAILURE(Make(Info(2)));
    // Paced one packet number at a time, so that the two sockets cannot drift five packets apart
    // inside the service thread; channel 1 loses one packet.
    const uint16_t first = 65520;
    const uint32_t ts0 = 0xFFFFF000u;
    const int count = 40;
    for (int k = 0; k < count; ++k) {
        const auto seq = static_cast<uint16_t>(first + k);
        const auto ts = static_cast<uint32_t>(ts0 + static_cast<uint32_t>(k) * Frames);
        ASSERT_TRUE(Sender.SendTo(Ports[0], Datagram(seq, ts, Frames, 0)));
        if (k != 20) {
            ASSERT_TRUE(Sender.SendTo(Ports[1], Datagram(seq, ts, Frames, 1)));
        }
        ASSERT_TRUE(Dev->WaitForSyncs(static_cast<size_t>(k) + 1)) << "packet " << k;
    }
    std::lock_guard<std::mutex> lock(Dev->Mutex);
    std::vector<long> expected0(5, Silence), expected1(5, Silence);
    for (int k = 0; k < count - 5; ++k) {
        expected0.push_back(static_cast<uint16_t>(first + k));
        expected1.push_back(k == 20 ? Silence : static_cast<uint16_t>(first + k));
    }
    EXPECT_EQ(Dev->Reads[0], expected0);
    EXPECT_EQ(Dev->Reads[1], expected1);
    EXPECT_EQ(Dev->Distances, std::vector<int64_t>(count, 5));
    EXPECT_EQ(Audio->GetRtpManager().GetRecvState().Timestamp,
              static_cast<int64_t>(ts0) + (count - 1) * static_cast<int64_t>(Frames));
}

TEST_F(RtpWireTest, SendsToPrimaryAndRedundantDestinations) {
    test_support::UdpPeer primary, redundant;
    RtpManagerInfo info = Info(1);
    RtpSendChanInfo send;
    send.IpAddr = primary.Addr();
    send.SetPayloadType(RtpPayloadType::AUDIO_L24_2_48000);
    info.SendChans.push_back(send);
    ASSERT_NO_FATAL_FAILURE(Make(info));
    ASSERT_TRUE(Audio->SetSendChanAddr2(0, redundant.Addr(), SockAddr("127.0.0.1", 0)).IsOk());

    std::vector<float> left(Frames, -0.25f), right(Frames, 1.0f);
    Audio->SendAudio({left.data(), right.data()}, Frames);
    Audio->SendAudio({left.data(), nullptr}, Frames);
    for (test_support::UdpPeer* peer : {&primary, &redundant}) {
        for (int cycle = 0; cycle < 2; ++cycle) {
            auto d = peer->Receive();
            ASSERT_TRUE(d) << "cycle " << cycle;
            ASSERT_EQ(d->Bytes.size(), 12 + Frames * 6);
            const std::string header = cycle == 0 ? std::string("\x80\x64\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00", 12)
                                                  : std::string("\x80\x64\x00\x01\x00\x00\x00\xC0\x00\x00\x00\x00", 12);
            EXPECT_EQ(d->Bytes.substr(0, 12), header);
            // -0.25 truncates toward zero to -2097151 (E00001); 1.0 is full scale (7FFFFF).
            const std::string frame = cycle == 0 ? std::string("\xE0\x00\x01\x7F\xFF\xFF", 6)
                                                 : std::string("\xE0\x00\x01\x00\x00\x00", 6);
            EXPECT_EQ(d->Bytes.substr(12 + (Frames - 1) * 6, 6), frame);
        }
    }

    // A hook that replaces each packet by two copies of it.
    struct Twice : IRtpIoProcessor {
        bool ProcessSendPacket(RtpPacket& packet, std::vector<RtpPacket>& out) override {
            out = {packet, packet};
            return false;
        }
    } twice;
    Audio->SetIoProcessor(&twice);
    ASSERT_TRUE(Audio->SetSendChanAddr2(0, SockAddr(), SockAddr()).IsOk());
    Audio->SendAudio({left.data(), right.data()}, Frames);
    for (int copy = 0; copy < 2; ++copy) {
        auto d = primary.Receive();
        ASSERT_TRUE(d);
        EXPECT_EQ(d->Bytes.substr(2, 2), std::string("\x00\x02", 2));
    }
    Audio->SetIoProcessor(nullptr);
}

// Stop from another thread while datagrams arrive and every notification receives and sends.
TEST_F(RtpWireTest, StopWhileStreaming) {
    test_support::UdpPeer sink;
    RtpManagerInfo info = Info(2);
    RtpSendChanInfo send;
    send.IpAddr = sink.Addr();
    send.SetPayloadType(RtpPayloadType::AUDIO_L24_2_48000);
    info.SendChans = {send, send};
    ASSERT_NO_FATAL_FAILURE(Make(info, true));

    std::atomic<bool> stop{false};
    std::thread sender([&] {
        for (uint32_t k = 0; !stop.load(); ++k) {
            Sender.SendTo(Ports[k % 2], Datagram(static_cast<uint16_t>(k / 2), k / 2 * Frames, Frames, k % 2));
            if (k % 16 == 0) std::this_thread::sleep_for(1ms);
        }
    });
    EXPECT_TRUE(Dev->WaitForSyncs(50));
    Audio->Stop();
    const size_t atStop = Dev->SyncCount();
    std::this_thread::sleep_for(50ms);
    stop = true;
    sender.join();
    EXPECT_EQ(Dev->SyncCount(), atStop);
    EXPECT_EQ(Audio->RecvChannelsCount(), 0u);
    EXPECT_TRUE(sink.Receive(1s).has_value());
}

} // namespace
