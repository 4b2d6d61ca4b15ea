// JSON parse (UTF-8 bytes to tree) and write (tree to UTF-8 text) against nlohmann/json and
// RapidJSON on the same bytes. Names are "<table>/<implementation>"; scripts/bench builds
// bench/RESULTS.md from them. Throughput is counted in bytes of the source document for both
// directions, so the ratios are ratios of time even where the libraries' output differs.
#include <benchmark/benchmark.h>

#include <nlohmann/json.hpp>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstdio>
#include <functional>
#include <string>
#include <string_view>

#include "bench_docs.h"
#include "json/json_object.h"
#include "json/json_parse.h"
#include "util/utfconv.h"

namespace {

using Body = std::function<void(benchmark::State&, const std::string&)>;

void Finish(benchmark::State& state, const std::string& doc) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(doc.size()));
    state.counters["doc_bytes"] = static_cast<double>(doc.size());
}

// --- parse -----------------------------------------------------------------------------------

void ParseOurs(benchmark::State& state, const std::string& doc) {
    for (auto _ : state) {
        JSON::Value node;
        if (!JSON::Value::Parse(std::string_view(doc), node)) {
            state.SkipWithError("JSON::Value::Parse failed");
            break;
        }
        benchmark::DoNotOptimize(node);
    }
    Finish(state, doc);
}

void ParseNlohmann(benchmark::State& state, const std::string& doc) {
    for (auto _ : state) {
        nlohmann::json j = nlohmann::json::parse(doc.data(), doc.data() + doc.size());
        benchmark::DoNotOptimize(j);
    }
    Finish(state, doc);
}

void ParseRapid(benchmark::State& state, const std::string& doc) {
    for (auto _ : state) {
        rapidjson::Document d;
        d.Parse(doc.data(), doc.size());
        if (d.HasParseError()) {
            state.SkipWithError("rapidjson::Document::Parse failed");
            break;
        }
        benchmark::DoNotOptimize(d);
    }
    Finish(state, doc);
}

// --- write: the tree is built once; output buffers are reused where the API allows ------------

// Wide text, then UTF-8: the two-step path through the wide writer.

void WriteOurs(benchmark::State& state, const std::string& doc) {
    JSON::Value node;
    if (!JSON::Value::Parse(std::string_view(doc), node)) {
        state.SkipWithError("JSON::Value::Parse failed");
        return;
    }
    std::wstring wide;
    std::string out;
    for (auto _ : state) {
        wide.clear();
        node.GetString(wide);
        out.clear();
        if (!text::AppendUTF8(out, wide)) {
            state.SkipWithError("text::AppendUTF8 failed");
            break;
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    Finish(state, doc);
    state.counters["out_bytes"] = static_cast<double>(out.size());
}

// The one-pass UTF-8 writer, what the protocol uses for datagrams.
void WriteOursUtf8(benchmark::State& state, const std::string& doc) {
    JSON::Value node;
    if (!JSON::Value::Parse(std::string_view(doc), node)) {
        state.SkipWithError("JSON::Value::Parse failed");
        return;
    }
    std::string out;
    for (auto _ : state) {
        out.clear();
        node.GetStringUTF8(out);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    Finish(state, doc);
    state.counters["out_bytes"] = static_cast<double>(out.size());
}

void WriteNlohmann(benchmark::State& state, const std::string& doc) {
    const nlohmann::json j = nlohmann::json::parse(doc.data(), doc.data() + doc.size());
    size_t outSize = 0;
    for (auto _ : state) {
        std::string out = j.dump();
        outSize = out.size();
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    Finish(state, doc);
    state.counters["out_bytes"] = static_cast<double>(outSize);
}

void WriteRapid(benchmark::State& state, const std::string& doc) {
    rapidjson::Document d;
    d.Parse(doc.data(), doc.size());
    if (d.HasParseError()) {
        state.SkipWithError("rapidjson::Document::Parse failed");
        return;
    }
    rapidjson::StringBuffer sb;
    for (auto _ : state) {
        sb.Clear();
        rapidjson::Writer<rapidjson::StringBuffer> writer(sb);
        d.Accept(writer);
        benchmark::DoNotOptimize(sb.GetString());
        benchmark::ClobberMemory();
    }
    Finish(state, doc);
    state.counters["out_bytes"] = static_cast<double>(sb.GetSize());
}

// Our output must be JSON another parser accepts, or the write figures compare different work.
void CheckOurOutput(const char* name, const std::string& doc) {
    JSON::Value node;
    if (!JSON::Value::Parse(std::string_view(doc), node)) {
        std::fprintf(stderr, "warning: %s: JSON::Value::Parse rejects the input\n", name);
        return;
    }
    std::string out;
    try {
        out = text::UTF16_UTF8(node.GetString());
    } catch (const JSON::Exception& e) {
        std::fprintf(stderr, "warning: %s: GetString throws: %s\n", name, e.what());
        return;
    }
    rapidjson::Document d;
    d.Parse(out.data(), out.size());
    if (out.empty() || d.HasParseError())
        std::fprintf(stderr, "warning: %s: RapidJSON rejects our output\n", name);
}

} // namespace

int main(int argc, char** argv) {
    static const std::string small = benchdocs::ControlMessage();
    static const std::string large = benchdocs::LargeDocument();
    const struct {
        const char* name;
        const std::string* doc;
    } inputs[] = {{"small", &small}, {"1mb", &large}};
    const struct {
        const char* table;
        const char* impl;
        Body body;
    } cases[] = {
        {"json_parse", "ours", ParseOurs},   {"json_parse", "nlohmann", ParseNlohmann},
        {"json_parse", "rapidjson", ParseRapid}, {"json_write", "ours", WriteOursUtf8},
        {"json_write", "ours_wide", WriteOurs},
        {"json_write", "nlohmann", WriteNlohmann}, {"json_write", "rapidjson", WriteRapid},
    };

    for (const auto& in : inputs) CheckOurOutput(in.name, *in.doc);
    for (const char* table : {"json_parse", "json_write"}) {
        for (const auto& in : inputs) {
            for (const auto& c : cases) {
                if (std::string_view(c.table) != table) continue;
                const std::string name = std::string(table) + "_" + in.name + "/" + c.impl;
                const std::string* doc = in.doc;
                Body body = c.body;
                benchmark::RegisterBenchmark(name.c_str(), [doc, body](benchmark::State& st) { body(st, *doc); });
            }
        }
    }

    benchmark::AddCustomContext("nlohmann_json", std::to_string(NLOHMANN_JSON_VERSION_MAJOR) + "." +
                                                     std::to_string(NLOHMANN_JSON_VERSION_MINOR) + "." +
                                                     std::to_string(NLOHMANN_JSON_VERSION_PATCH));
    benchmark::AddCustomContext("rapidjson", RAPIDJSON_VERSION_STRING);
    benchmark::AddCustomContext("compiler", __VERSION__);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
