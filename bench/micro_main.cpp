// oru_bench_micro: the micro benchmarks, each beside its baseline in the
// same run, turned into result rows (bench_rows.h).
//
// Without Google Benchmark options of its own the program runs every
// benchmark nine times in random interleaving, so that the load of a shared
// machine falls on oru and its baseline alike, and compares the fastest
// repetition of each side in the measuring thread's CPU time: the
// repetition least disturbed by other programs (cache and TLB refills after
// preemption inflate CPU time too) is the closest to the code's own cost.
// Any --benchmark_* option is passed on.
//
// Large blocks (the 4 MiB chunks of the codec) are kept in the heap rather
// than mapped and unmapped on every allocation: otherwise the figures are
// those of the kernel's page faults, which on this kind of virtual machine
// cost as much as everything else together and vary with the heap's history.
#include <malloc.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench/bench_rows.h"

namespace {

using oru::bench::BenchRow;

// Every repetition of one benchmark.
struct Measured {
    struct Run {
        double cpuSeconds = 0;  // per iteration
        std::map<std::string, double> counters;
    };
    std::vector<Run> runs;
    std::string error;
};

// Reports to the console as usual and keeps every repetition of every
// benchmark.
class CollectingReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration) {
                continue;
            }
            Measured& m = results_[run.run_name.function_name];
            if (run.error_occurred) {
                m.error = run.error_message;
                continue;
            }
            Measured::Run r;
            r.cpuSeconds =
                run.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
            for (const auto& [key, counter] : run.counters) {
                r.counters[key] = counter.value;
            }
            m.runs.push_back(std::move(r));
        }
        ConsoleReporter::ReportRuns(runs);
    }

    const std::map<std::string, Measured>& Results() const { return results_; }

  private:
    std::map<std::string, Measured> results_;
};

constexpr int kRepetitions = 9;

struct RowPlan {
    const char* row;
    const char* oruBench;
    const char* baselineBench;
    const char* unit;
    double unitSeconds;      // one unit of the figures, in seconds
    const char* perCounter;  // divide each figure by this counter (empty: none)
    double goalRatio;        // oru / baseline must not exceed it
    const char* goal;
};

const RowPlan kRows[] = {
    {"per-process sampling", "BM_SamplingOru", "BM_SamplingBaseline", "us per process", 1e-6,
     "processes", 0.7, "oru <= 0.7 x baseline"},
    {"JSON parse", "BM_JsonParseOru", "BM_JsonParseBaseline", "us per parse", 1e-6, "", 0.5,
     "oru <= 0.5 x baseline (2x faster)"},
    {"codec", "BM_CodecOru", "BM_CodecBaseline", "ms per encode + decode (4 MiB)", 1e-3, "", 1.2,
     "oru <= 1.2 x baseline"},
};

// The figures of one side, one per repetition, in the row's unit; false
// when they were not measured.
bool Figures(const std::map<std::string, Measured>& results, const RowPlan& plan, const char* bench,
             std::vector<double>& figures, std::string& why) {
    auto it = results.find(bench);
    if (it == results.end() || (it->second.runs.empty() && it->second.error.empty())) {
        why = std::string(bench) + " did not run";
        return false;
    }
    const Measured& m = it->second;
    if (!m.error.empty()) {
        why = std::string(bench) + ": " + m.error;
        return false;
    }
    figures.clear();
    for (const Measured::Run& run : m.runs) {
        double per = 1;
        if (plan.perCounter[0] != '\0') {
            auto c = run.counters.find(plan.perCounter);
            if (c == run.counters.end() || c->second <= 0) {
                why = std::string(bench) + " counted no " + plan.perCounter;
                return false;
            }
            per = c->second;
        }
        double figure = run.cpuSeconds / per / plan.unitSeconds;
        if (!std::isfinite(figure) || figure <= 0) {
            why = std::string(bench) + " measured no time";
            return false;
        }
        figures.push_back(figure);
    }
    return true;
}

double Fastest(const std::vector<double>& v) {
    return *std::min_element(v.begin(), v.end());
}

double Round(double v, int digits) {
    double scale = std::pow(10.0, digits);
    return std::round(v * scale) / scale;
}

bool HasBenchmarkOption(int argc, char** argv, const char* option) {
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], option, std::strlen(option)) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string jsonPath = oru::bench::TakeJsonOption(argc, argv);
    (void)mallopt(M_MMAP_THRESHOLD, 64 << 20);
    (void)mallopt(M_TRIM_THRESHOLD, 256 << 20);
    std::vector<char*> args(argv, argv + argc);
    std::string defaults[] = {"--benchmark_repetitions=" + std::to_string(kRepetitions),
                              "--benchmark_enable_random_interleaving=true",
                              "--benchmark_min_time=0.1"};
    for (std::string& option : defaults) {
        std::string name = option.substr(0, option.find('=') + 1);
        if (!HasBenchmarkOption(argc, argv, name.c_str())) {
            args.push_back(option.data());
        }
    }
    int count = static_cast<int>(args.size());
    args.push_back(nullptr);
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) {
        return 2;
    }
    CollectingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    std::vector<BenchRow> rows;
    bool allMeasured = true;
    for (const RowPlan& plan : kRows) {
        std::vector<double> oru;
        std::vector<double> baseline;
        std::string why;
        if (!Figures(reporter.Results(), plan, plan.oruBench, oru, why) ||
            !Figures(reporter.Results(), plan, plan.baselineBench, baseline, why)) {
            std::fprintf(stderr, "%s: not measured (%s)\n", plan.row, why.c_str());
            allMeasured = false;
            continue;
        }
        double oruFigure = Fastest(oru);
        double baselineFigure = Fastest(baseline);
        BenchRow row;
        row.row = plan.row;
        row.oru = Round(oruFigure, 3);
        row.baseline = Round(baselineFigure, 3);
        row.unit = plan.unit;
        row.ratio = Round(oruFigure / baselineFigure, 3);
        row.goal = plan.goal;
        row.pass = oruFigure / baselineFigure <= plan.goalRatio;
        row.note = "CPU time, fastest of " + std::to_string(oru.size()) + " interleaved runs";
        if (plan.perCounter[0] != '\0') {
            const Measured::Run& last = reporter.Results().at(plan.oruBench).runs.back();
            row.note += "; " +
                        std::to_string(static_cast<long>(last.counters.at(plan.perCounter))) + " " +
                        plan.perCounter;
        }
        rows.push_back(row);
    }
    if (!jsonPath.empty() && !oru::bench::WriteBenchRows(jsonPath, rows)) {
        return 1;
    }
    return allMeasured ? 0 : 1;
}
