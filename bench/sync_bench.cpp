// How punctually the sync clock's own thread notifies: a SyncManager in automatic mode at
// 48000 Hz with 480-sample periods runs for a while, and each notification's lateness against
// the instant it became due is taken (the clock reading that set the clock's base, plus whole
// periods, to the sample). The reference is a plain thread at the same priority that sleeps with
// clock_nanosleep to each absolute due time: the punctuality the system itself offers. Also the
// CPU share of the polling thread.
//
// Usage: sync_bench [json output] [seconds, default 10]
#include <pthread.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "diag/ComponentInfo.h"
#include "rtp/SyncManager.h"
#include "util/mythread.h"
#include "util/myhirestimer.h"

namespace {

constexpr int Freq = 48000;
constexpr int Period = 480;
constexpr int64_t PeriodNs = 1000000000LL * Period / Freq;

struct Figures {
    size_t Notifications = 0;
    double P50 = 0, P99 = 0, Max = 0, Min = 0;  // lateness in microseconds
    double CpuPercent = 0;
};

// late: nanoseconds per notification.
Figures Summarise(const std::vector<int64_t>& lateNs, double cpuSeconds, double wallSeconds) {
    std::vector<double> late;
    late.reserve(lateNs.size());
    for (const int64_t ns : lateNs) late.push_back(static_cast<double>(ns) / 1e3);
    std::sort(late.begin(), late.end());
    Figures f;
    f.Notifications = late.size();
    if (late.empty()) return f;
    f.P50 = late[late.size() / 2];
    f.P99 = late[std::min(late.size() - 1, late.size() * 99 / 100)];
    f.Max = late.back();
    f.Min = late.front();
    f.CpuPercent = 100.0 * cpuSeconds / wallSeconds;
    return f;
}

double CpuSeconds(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// The instant sample index s of the output clock begins: the first nanosecond whose reading
// converts to s or more.
int64_t SampleStartNs(int64_t s) {
    return static_cast<int64_t>((static_cast<__int128>(s) * 1000000000 + Freq - 1) / Freq);
}

// Records each notification's lateness into storage reserved up front (nothing allocates on
// the clock's thread). LastRead is the clock seam's latest reading: at the first notification
// it is the reading the clock took as its base.
class Lateness : public Network::ISyncTarget {
public:
    explicit Lateness(size_t count) { Late.reserve(count); }
    void OnSync(Network::ISyncSource*, int64_t pos, int) override {
        const int64_t now = static_cast<int64_t>(hrt::GetClock());
        std::lock_guard<std::mutex> lock(Mutex);
        if (Late.empty())
            BaseSample = static_cast<int64_t>(static_cast<__int128>(LastRead.load()) * Freq / 1000000000) - pos;
        if (Late.size() < Late.capacity()) Late.push_back(now - SampleStartNs(BaseSample + pos));
        if (Late.size() == Late.capacity()) Full.notify_all();
    }
    std::vector<int64_t> Wait() {
        std::unique_lock<std::mutex> lock(Mutex);
        Full.wait(lock, [this] { return Late.size() == Late.capacity(); });
        return Late;
    }

    std::atomic<int64_t> LastRead{0};

private:
    std::mutex Mutex;
    std::condition_variable Full;
    std::vector<int64_t> Late;  // guarded by Mutex, like BaseSample
    int64_t BaseSample = 0;
};

Figures Ours(size_t count) {
    Lateness target(count);
    Network::SyncManagerSeams seams;
    seams.Clock = [&target] {
        const int64_t now = static_cast<int64_t>(hrt::GetClock());
        target.LastRead.store(now, std::memory_order_relaxed);
        return now;
    };
    auto sync = std::make_unique<Network::SyncManager>(Network::ComponentInfo(L"sync_bench"), false, seams);
    sync->Init(Network::SyncManagerInfo{Freq, Period}).Silent();
    sync->AddTarget(&target).Silent();
    // The waiting main thread costs nothing, so the process's CPU time is the clock thread's.
    const double cpu0 = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
    const int64_t wall0 = static_cast<int64_t>(hrt::GetClock());
    sync->Start().Silent();
    const std::vector<int64_t> times = target.Wait();
    sync->Stop().Silent();
    const double wall = static_cast<double>(static_cast<int64_t>(hrt::GetClock()) - wall0) / 1e9;
    return Summarise(times, CpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - cpu0, wall);
}

// Absolute sleeps to each due time on a thread raised like the clock's; returns whether the
// system granted real-time priority.
Figures Reference(size_t count, bool& realtime) {
    std::vector<int64_t> late;
    late.reserve(count);
    double cpu = 0;
    double wall = 0;
    std::thread thread([&] {
        realtime = os::MyThread::MakeCurrentThreadRealtime(os::DispatchClass::RealTime, -10) == 0;
        const double cpu0 = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
        timespec start{};
        clock_gettime(CLOCK_MONOTONIC, &start);
        const int64_t t0 = static_cast<int64_t>(start.tv_sec) * 1000000000LL + start.tv_nsec + PeriodNs;
        for (size_t k = 0; k < count; ++k) {
            const int64_t due = t0 + static_cast<int64_t>(k) * PeriodNs;
            const timespec at{static_cast<time_t>(due / 1000000000LL), static_cast<long>(due % 1000000000LL)};
            while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) != 0) {
            }
            late.push_back(static_cast<int64_t>(hrt::GetClock()) - due);
        }
        cpu = CpuSeconds(CLOCK_THREAD_CPUTIME_ID) - cpu0;
        wall = static_cast<double>(static_cast<int64_t>(count) * PeriodNs) / 1e9;
    });
    thread.join();
    return Summarise(late, cpu, wall);
}

void Print(const char* name, const Figures& f) {
    std::printf("%-34s %8zu %8.1f %8.1f %8.1f %8.1f %6.2f%%\n", name, f.Notifications, f.P50, f.P99, f.Max, f.Min,
                f.CpuPercent);
}

void Json(std::ofstream& out, const char* impl, const Figures& f, bool last) {
    out << "  {\"impl\": \"" << impl << "\", \"notifications\": " << f.Notifications << ", \"p50_us\": " << f.P50
        << ", \"p99_us\": " << f.P99 << ", \"max_us\": " << f.Max << ", \"min_us\": " << f.Min
        << ", \"cpu_percent\": " << f.CpuPercent << "}" << (last ? "\n" : ",\n");
}

} // namespace

int main(int argc, char** argv) {
    const char* jsonPath = argc > 1 ? argv[1] : nullptr;
    const long seconds = argc > 2 ? std::strtol(argv[2], nullptr, 10) : 10;
    if (seconds <= 0) return 1;
    const size_t count = static_cast<size_t>(seconds) * Freq / Period;

    const Figures ours = Ours(count);
    bool realtime = false;
    const Figures plain = Reference(count, realtime);

    std::printf("Notification lateness, %d Hz / %d-sample periods, %ld s each; real-time priority %s\n", Freq, Period,
                seconds, realtime ? "granted" : "refused (normal scheduling)");
    std::printf("%-34s %8s %8s %8s %8s %8s %7s\n", "implementation", "count", "p50 us", "p99 us", "max us", "min us",
                "CPU");
    Print("SyncManager, automatic", ours);
    Print("clock_nanosleep to each due time", plain);

    if (jsonPath) {
        std::ofstream out(jsonPath);
        out << "{\"seconds\": " << seconds << ", \"freq\": " << Freq << ", \"period\": " << Period
            << ", \"realtime\": " << (realtime ? "true" : "false") << ", \"results\": [\n";
        Json(out, "ours", ours, false);
        Json(out, "clock_nanosleep", plain, true);
        out << "]}\n";
    }
    return 0;
}
