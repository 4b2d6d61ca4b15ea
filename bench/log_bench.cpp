// The debug log against spdlog's asynchronous logger, both writing lines of local time, thread id
// and text to a file: the caller's time per record (p50, p99) and the sustained rate at which
// records reach the file. A timing program rather than a Google Benchmark, because percentiles
// of single calls and drains across threads do not fit its loop.
//
// Usage: log_bench <scratch folder> <json output>
//
// Caller time: each producer writes bursts of 64 records with 1 ms pauses between them, a load
// that neither logger's writer falls behind on, so the figure is the cost of a call rather than
// of back-pressure. Every call is timed alone with the steady clock, whose own cost (about 20 ns)
// is in both figures. Sustained rate: the producers write as fast as they can; the clock stops
// when every record is in the file (ours: the log is destroyed, which drains its queue and closes
// the file; spdlog: its thread pool is destroyed, which drains its queue, then the logger).
#include <spdlog/async.h>
#include <spdlog/async_logger.h>
#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <latch>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "diag/debug_log.h"
#include "util/utfconv.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int Repetitions = 3;
constexpr int BurstRecords = 64;
constexpr int Bursts = 600;
constexpr int SustainedRecords = 1000000;  // in total, shared by the producers

const wchar_t* const WideText =
    L"NetManager 'OstrelQm412Device control': socket 17 received 512 bytes from 127.0.0.1:15001";
const std::string Utf8Text = text::UTF16_UTF8(WideText);

// One logger under test: Open starts it on a fresh file, Log writes one record from any thread,
// Close returns once every record is in the file.
struct Logger {
    virtual ~Logger() = default;
    virtual void Open(const fs::path& folder) = 0;
    virtual void Log() = 0;
    virtual void Close() = 0;
};

class OursWide : public Logger {
public:
    void Open(const fs::path& folder) override {
        IDebugLog::CreateParameters p;
        p._LogFolderPath = text::UTF8_UTF16(folder.string());
        p._LogName = L"ours";
        p._EntriesPerMinute = 0;  // a limit would drop records and flatter the rate
        _log = IDebugLog::Create(&p);
    }
    void Log() override { _log->LogRecord(WideText); }
    void Close() override { _log.reset(); }

protected:
    IDebugLogPtr _log;
};

class OursUtf8 : public OursWide {
public:
    void Log() override { _log->LogRecord(Utf8Text); }
};

class Spdlog : public Logger {
public:
    void Open(const fs::path& folder) override {
        _pool = std::make_shared<spdlog::details::thread_pool>(8192, 1);
        auto sink = std::make_shared<spdlog::sinks::basic_file_sink_mt>((folder / "spdlog.log").string(), true);
        _logger = std::make_shared<spdlog::async_logger>("bench", sink, _pool, spdlog::async_overflow_policy::block);
        _logger->set_formatter(std::make_unique<spdlog::pattern_formatter>(
            "%Y/%m/%d %H:%M:%S.%e %t %v", spdlog::pattern_time_type::local, "\r\n"));
    }
    void Log() override { _logger->log(spdlog::level::info, spdlog::string_view_t(Utf8Text)); }
    void Close() override {
        _pool.reset();
        _logger.reset();
    }

private:
    std::shared_ptr<spdlog::details::thread_pool> _pool;
    std::shared_ptr<spdlog::async_logger> _logger;
};

void ClearFolder(const fs::path& folder) {
    fs::remove_all(folder);
    fs::create_directories(folder);
}

// Runs body(thread index) on threads producers started together.
void RunProducers(int threads, const std::function<void(int)>& body) {
    std::latch start(threads + 1);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            start.arrive_and_wait();
            body(t);
        });
    }
    start.arrive_and_wait();
    for (auto& w : workers) w.join();
}

struct Latency {
    double P50 = 0, P99 = 0;
};

Latency MeasureCallerTime(Logger& logger, int threads, const fs::path& folder) {
    ClearFolder(folder);
    logger.Open(folder);
    std::vector<std::vector<int64_t>> samples(static_cast<size_t>(threads));
    RunProducers(threads, [&](int t) {
        auto& mine = samples[static_cast<size_t>(t)];
        mine.reserve(size_t{BurstRecords} * Bursts);
        for (int b = 0; b < Bursts; ++b) {
            for (int i = 0; i < BurstRecords; ++i) {
                const auto t0 = Clock::now();
                logger.Log();
                const auto t1 = Clock::now();
                mine.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(t1 - t0).count());
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    logger.Close();
    std::vector<int64_t> all;
    for (auto& s : samples) all.insert(all.end(), s.begin(), s.end());
    std::sort(all.begin(), all.end());
    auto at = [&](double q) { return static_cast<double>(all[static_cast<size_t>(q * static_cast<double>(all.size() - 1))]); };
    return {at(0.50), at(0.99)};
}

double MeasureSustainedRate(Logger& logger, int threads, const fs::path& folder) {
    ClearFolder(folder);
    logger.Open(folder);
    const int perThread = SustainedRecords / threads;
    const auto t0 = Clock::now();
    RunProducers(threads, [&](int) {
        for (int i = 0; i < perThread; ++i) logger.Log();
    });
    logger.Close();
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    return perThread * threads / seconds;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <scratch folder> <json output>\n", argv[0]);
        return 2;
    }
    const fs::path folder = argv[1];
    struct Impl {
        const char* Name;
        std::unique_ptr<Logger> Under;
    };
    Impl impls[] = {{"ours", std::make_unique<OursWide>()},
                    {"ours_utf8", std::make_unique<OursUtf8>()},
                    {"spdlog", std::make_unique<Spdlog>()}};

    std::string json = "{\"spdlog\": \"" + std::to_string(SPDLOG_VER_MAJOR) + "." + std::to_string(SPDLOG_VER_MINOR) +
                       "." + std::to_string(SPDLOG_VER_PATCH) + "\", \"results\": [";
    bool first = true;
    for (int threads : {1, 2}) {
        for (auto& impl : impls) {
            std::vector<double> p50, p99, rate;
            for (int r = 0; r < Repetitions; ++r) {
                const Latency l = MeasureCallerTime(*impl.Under, threads, folder);
                p50.push_back(l.P50);
                p99.push_back(l.P99);
                rate.push_back(MeasureSustainedRate(*impl.Under, threads, folder));
            }
            char line[256];
            std::snprintf(line, sizeof line,
                          "%s\n  {\"impl\": \"%s\", \"threads\": %d, \"p50_ns\": %.0f, \"p99_ns\": %.0f, "
                          "\"records_per_second\": %.0f}",
                          first ? "" : ",", impl.Name, threads, Median(p50), Median(p99), Median(rate));
            std::printf("%-10s threads %d  p50 %6.0f ns  p99 %6.0f ns  %10.0f records/s\n", impl.Name, threads,
                        Median(p50), Median(p99), Median(rate));
            std::fflush(stdout);
            json += line;
            first = false;
        }
    }
    json += "\n]}\n";
    fs::remove_all(folder);
    std::ofstream(argv[2]) << json;
    return 0;
}
