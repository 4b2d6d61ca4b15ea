// Interoperability with an independent RTP sender: GStreamer streams a 48 kHz stereo 24-bit sine
// in 4 ms packets into an RTP audio manager on 127.0.0.1, and what comes out of the read cycles
// must be that sine, without a gap.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "rtp/RtpManager.h"
#include "support/udp_loopback.h"

extern char** environ;

namespace {

using namespace Network;
using namespace std::chrono_literals;

constexpr uint32_t Frames = 192;  // 4 ms at 48 kHz
constexpr int Packets = 300;
// Not a divisor of the packet rate: a lost or repeated packet shifts the phase.
constexpr double Freq = 997.0;
constexpr double Volume = 0.5;

// Whether the receive channel's socket is open: one whose open failed has been closed, and a
// closed socket refuses a new send address.
bool RecvSocketOpen(RtpAudioManager& audio) {
    const IUdpSockPtr socket = audio.GetRtpManager().GetRecvChan(0)->GetSocket(0);
    if (!socket) return false;
    ErrInfo probe = socket->SetSendAddr(socket->GetUdpSockInfo().SendAddr);
    const bool open = probe.IsOk();
    probe.Silent();
    return open;
}

bool CommandWorks(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

// The sender process; killed if the test ends before it does.
class Child {
public:
    explicit Child(std::vector<std::string> args) {
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawnp(&_pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) _pid = -1;
    }
    ~Child() {
        if (_pid <= 0) return;
        kill(_pid, SIGTERM);
        Wait();
    }
    bool Started() const { return _pid > 0; }
    int Wait() {
        int status = -1;
        if (_pid > 0 && waitpid(_pid, &status, 0) == _pid) _pid = -1;
        return status;
    }

private:
    pid_t _pid = -1;
};

// Collects the received audio of one stereo channel, one read cycle per notification.
class Recorder : public ISyncTarget {
public:
    explicit Recorder(RtpAudioManager& audio) : Audio(audio), L(Frames), R(Frames) {}

    void OnSync(ISyncSource*, int64_t pos, int) override {
        if (pos < 0) return;
        Audio.RecvAudio({L.data(), R.data()}, Frames);
        std::lock_guard<std::mutex> lock(Mutex);
        Left.insert(Left.end(), L.begin(), L.end());
        Right.insert(Right.end(), R.begin(), R.end());
        Positions.push_back(pos);
        Changed.notify_all();
    }
    bool WaitForCycles(size_t n) {
        std::unique_lock<std::mutex> lock(Mutex);
        return Changed.wait_for(lock, 20s, [&] { return Positions.size() >= n; });
    }

    RtpAudioManager& Audio;
    std::vector<float> L, R;  // the notifying thread's
    std::mutex Mutex;
    std::condition_variable Changed;
    std::vector<float> Left, Right;  // guarded by Mutex
    std::vector<int64_t> Positions;  // guarded by Mutex
};

struct SineFit {
    double Amplitude = 0;
    double MaxResidual = 0;
};

// Least squares of x[n] = a sin(w n) + b cos(w n) at the given frequency.
SineFit FitSine(const std::vector<float>& x, double freq, double rate) {
    const double w = 2 * M_PI * freq / rate;
    double ss = 0, cc = 0, sc = 0, xs = 0, xc = 0;
    for (size_t n = 0; n < x.size(); ++n) {
        const double s = std::sin(w * static_cast<double>(n)), c = std::cos(w * static_cast<double>(n));
        ss += s * s;
        cc += c * c;
        sc += s * c;
        xs += x[n] * s;
        xc += x[n] * c;
    }
    const double det = ss * cc - sc * sc;
    const double a = (xs * cc - xc * sc) / det, b = (xc * ss - xs * sc) / det;
    SineFit fit;
    fit.Amplitude = std::hypot(a, b);
    for (size_t n = 0; n < x.size(); ++n) {
        const double model = a * std::sin(w * static_cast<double>(n)) + b * std::cos(w * static_cast<double>(n));
        fit.MaxResidual = std::max(fit.MaxResidual, std::fabs(x[n] - model));
    }
    return fit;
}

TEST(RtpGstreamer, ReceivesTheSineAnIndependentSenderStreams) {
    if (!CommandWorks("gst-launch-1.0 --version") || !CommandWorks("gst-inspect-1.0 rtpL24pay") ||
        !CommandWorks("gst-inspect-1.0 audiotestsrc") || !CommandWorks("gst-inspect-1.0 udpsink"))
        GTEST_SKIP() << "gst-launch-1.0 with audiotestsrc, rtpL24pay and udpsink is not installed "
                        "(Debian: gstreamer1.0-tools gstreamer1.0-plugins-good)";

    std::unique_ptr<INetManager> net(NetFactory::CreateNetManager(L"rtp-gst", true, 1));
    RtpManagerInfo info;
    info.SampleFreq = 48000;
    info.PacketSmplSize = Frames;
    info.RecvChans.resize(1);
    // The type the sender uses; the stereo default of an untyped channel would do as well.
    info.RecvChans[0].SetPayloadType(RtpPayloadType::AUDIO_L24_2_48000);
    RtpAudioManager audio(ComponentInfo(L"gst"), *net);
    // The port is free when probed but may be taken before the channel binds it, which the channel
    // only logs: a new Init then tries another port.
    uint16_t port = 0;
    for (int attempt = 0; attempt < 20 && (port == 0 || !RecvSocketOpen(audio)); ++attempt) {
        port = test_support::FreeLoopbackPort();
        info.RecvChans[0].IpAddr = SockAddr("127.0.0.1", port);
        ASSERT_TRUE(audio.Init(info).IsOk());
    }
    ASSERT_TRUE(RecvSocketOpen(audio)) << "no free receive port";
    Recorder recorder(audio);
    audio.AddTarget(&recorder);
    audio.Start();

    const std::string ptime = std::to_string(Frames * 1000000000ull / 48000);
    Child gst({"gst-launch-1.0", "-q", "audiotestsrc", "is-live=true", "wave=sine", "freq=" + std::to_string(Freq),
               "volume=" + std::to_string(Volume), "samplesperbuffer=" + std::to_string(Frames),
               "num-buffers=" + std::to_string(Packets), "!", "audio/x-raw,format=S24BE,rate=48000,channels=2", "!",
               "rtpL24pay", "pt=100", "min-ptime=" + ptime, "max-ptime=" + ptime, "!", "udpsink", "host=127.0.0.1",
               "port=" + std::to_string(port)});
    ASSERT_TRUE(gst.Started());
    const int status = gst.Wait();
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "gst-launch-1.0 status " << status;
    ASSERT_TRUE(recorder.WaitForCycles(Packets)) << "cycles: " << recorder.Positions.size();
    audio.Stop();

    std::lock_guard<std::mutex> lock(recorder.Mutex);
    ASSERT_EQ(recorder.Positions.size(), static_cast<size_t>(Packets));
    for (size_t i = 1; i < recorder.Positions.size(); ++i)
        ASSERT_EQ(recorder.Positions[i] - recorder.Positions[i - 1], static_cast<int64_t>(Frames)) << "cycle " << i;
    // The first five cycles read the buffer's empty slots; from then on every cycle has a packet.
    const size_t fill = 5 * Frames;
    for (size_t n = 0; n < fill; ++n) ASSERT_EQ(recorder.Left[n], 0.0f);
    const std::vector<float> left(recorder.Left.begin() + fill, recorder.Left.end());
    const std::vector<float> right(recorder.Right.begin() + fill, recorder.Right.end());
    EXPECT_EQ(left, right);
    for (size_t cycle = 0; cycle < left.size() / Frames; ++cycle) {
        float peak = 0;
        for (size_t n = 0; n < Frames; ++n) peak = std::max(peak, std::fabs(left[cycle * Frames + n]));
        ASSERT_GT(peak, 0.4f) << "silent cycle " << cycle + 5;
    }
    const SineFit fit = FitSine(left, Freq, 48000);
    EXPECT_NEAR(fit.Amplitude, Volume, 1e-3);
    EXPECT_LT(fit.MaxResidual, 1e-4);
    // A neighbouring frequency does not fit: the fit does tell the frequency.
    EXPECT_GT(FitSine(left, Freq + 1, 48000).MaxResidual, 0.1);
}

} // namespace
