// A receive channel configured to reconnect gets its stream once its port, taken by another
// socket when the channel started, is released.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "net/UdpSockAuto.h"
#include "rtp/RtpManager.h"
#include "rtp_wire.h"
#include "support/udp_loopback.h"

namespace {

using namespace Network;
using namespace std::chrono_literals;

constexpr uint32_t Frames = 192;

class PositionCounter : public ISyncTarget {
public:
    void OnSync(ISyncSource*, int64_t pos, int) override {
        if (pos < 0) return;
        std::lock_guard<std::mutex> lock(_m);
        ++_n;
    }
    size_t Count() {
        std::lock_guard<std::mutex> lock(_m);
        return _n;
    }

private:
    std::mutex _m;
    size_t _n = 0;  // guarded by _m
};

TEST(RtpReconnect, ChannelReceivesOnceItsPortIsFree) {
    UDP_sock_auto_opener.SetRetryPeriod(5ms);
    std::unique_ptr<INetManager> net(NetFactory::CreateNetManager(L"rtp-reconnect", true, 1));
    PositionCounter counter;
    auto holder = std::make_unique<test_support::UdpPeer>();
    const uint16_t port = holder->Port();
    test_support::UdpPeer sender;
    bool stolen = false;
    {
        RtpManager rtp(ComponentInfo(L"reconnect"), *net);
        RtpManagerInfo info;
        info.SampleFreq = 48000;
        info.PacketSmplSize = Frames;
        info.ReconnectSockets = true;
        RtpRecvChanInfo chan;
        chan.IpAddr = SockAddr("127.0.0.1", port);
        info.RecvChans.push_back(chan);
        ASSERT_TRUE(rtp.Init(info).IsOk());
        ASSERT_TRUE(rtp.AddTarget(&counter).IsOk());
        ASSERT_TRUE(rtp.Start().IsOk());

        holder.reset();
        // Streams until the channel has opened its port: what was sent before is lost.
        const auto limit = std::chrono::steady_clock::now() + 10s;
        uint16_t seq = 0;
        while (counter.Count() < 3 && std::chrono::steady_clock::now() < limit) {
            sender.SendTo(port, rtp_wire::Datagram(seq, seq * Frames, Frames, 0));
            ++seq;
            std::this_thread::sleep_for(1ms);
        }
        // The port was free for a while: another program may have taken it before the channel.
        stolen = counter.Count() < 3 && !rtp.GetRecvChan(0)->GetSocket(0)->GetUdpSockPtr() && !test_support::CanBindLoopback(port);
        if (!stolen) {
            EXPECT_GE(counter.Count(), 3u);
        }
        rtp.Stop();
    }
    EXPECT_EQ(net->GetNumSockets(), 0u);
    UDP_sock_auto_opener.SetRetryPeriod(UdpSockAutoOpener::DefaultRetryPeriod);
    if (stolen) GTEST_SKIP() << "another program took port " << port << " while it was free";
}

} // namespace
