// JSON parse: ProfileParams::FromString of a full configuration (all 110
// keys, every switch on, event lists, paths and intervals set), against
// nlohmann::json parsing the same text into its document.
#include <string>
#include <type_traits>

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include "message/profile_params.h"

namespace {

using analysis::orbx::message::ProfileParams;

// A value for every key, of the kind a host sends.
void Fill(std::string& field, const std::string& key) {
    if (key.find("events") != std::string::npos) {
        field = "0x11,0x12,0x13,0x14,0x15,0x16,0x17,0x18";
    } else if (key.find("dir") != std::string::npos || key == "app_location") {
        field = "/var/log/npu/profiling/JOB0123456789ABCDEF";
    } else if (key == "job_id" || key == "jobInfo") {
        field = "JOB0123456789ABCDEF";
    } else if (key.find("metrics") != std::string::npos || key.find("mode") != std::string::npos) {
        field = "PipeUtilization";
    } else {
        field = "on";
    }
}
void Fill(int32_t& field, const std::string& /*key*/) {
    field = field > 0 ? field * 2 : 1234;
}
void Fill(bool& field, const std::string& /*key*/) {
    field = true;
}

const std::string& ConfigText() {
    static const std::string text = [] {
        ProfileParams params;
#define ORU_BENCH_FILL(type, key, value) Fill(params.key, #key);
        ORU_PROFILE_PARAMS_FIELDS(ORU_BENCH_FILL)
#undef ORU_BENCH_FILL
        return params.ToString();
    }();
    return text;
}

void BM_JsonParseOru(benchmark::State& state) {
    const std::string& text = ConfigText();
    for (auto _ : state) {
        ProfileParams params;
        bool ok = params.FromString(text);
        benchmark::DoNotOptimize(ok);
        if (!ok || params.pid_profiling != "on") {
            state.SkipWithError("ProfileParams::FromString failed");
            break;
        }
    }
    state.counters["bytes"] = static_cast<double>(text.size());
}
BENCHMARK(BM_JsonParseOru)->Unit(benchmark::kMicrosecond);

void BM_JsonParseBaseline(benchmark::State& state) {
    const std::string& text = ConfigText();
    for (auto _ : state) {
        nlohmann::json doc = nlohmann::json::parse(text, nullptr, false);
        if (doc.is_discarded() || doc.size() != ProfileParams::kKeyCount) {
            state.SkipWithError("nlohmann::json::parse failed");
            break;
        }
        benchmark::DoNotOptimize(doc);
    }
    state.counters["bytes"] = static_cast<double>(text.size());
}
BENCHMARK(BM_JsonParseBaseline)->Unit(benchmark::kMicrosecond);

}  // namespace
