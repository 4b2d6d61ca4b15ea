// Shortest double text: cmn::float2ch against std::to_chars on the same array of finite doubles.
// Items are doubles, so items_per_second gives the cost per double.
#include <benchmark/benchmark.h>

#include <charconv>
#include <cstdio>
#include <vector>

#include "bench_docs.h"
#include "util/numtext.h"

namespace {

const std::vector<double>& Values() {
    static const std::vector<double> values = benchdocs::RandomDoubles(4096);
    return values;
}

void Float2chOurs(benchmark::State& state) {
    const std::vector<double>& values = Values();
    char buf[cmn::DblTextBufferSize];
    for (auto _ : state) {
        for (double v : values) {
            benchmark::DoNotOptimize(cmn::float2ch(v, buf));
            benchmark::ClobberMemory();
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * values.size()));
}

void Float2chToChars(benchmark::State& state) {
    const std::vector<double>& values = Values();
    char buf[cmn::DblTextBufferSize];
    for (auto _ : state) {
        for (double v : values) {
            benchmark::DoNotOptimize(std::to_chars(buf, buf + sizeof buf, v).ptr);
            benchmark::ClobberMemory();
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * values.size()));
}

} // namespace

BENCHMARK(Float2chOurs)->Name("float2ch/ours");
BENCHMARK(Float2chToChars)->Name("float2ch/to_chars");

int main(int argc, char** argv) {
    benchmark::AddCustomContext("compiler", __VERSION__);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
