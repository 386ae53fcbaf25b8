// The result rows of a benchmark program, as scripts/bench collects them.
//
// Every program named oru_bench_<something> in the build's bench folder
// accepts "--json <file>" and writes there a JSON array of rows:
//   {"row": "<row name>", "oru": <number>, "baseline": <number or null>,
//    "unit": "<unit text>", "ratio": <number or null>, "goal": "<goal text>",
//    "pass": <true|false|null>, "note": "<short text>"}
// scripts/bench runs every such program, prints one table and merges the
// rows into results.json. A program that cannot measure a row exits non-zero.
#ifndef ORU_BENCH_BENCH_ROWS_H
#define ORU_BENCH_BENCH_ROWS_H

#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace oru::bench {

struct BenchRow {
    std::string row;
    double oru = 0;
    std::optional<double> baseline;
    std::string unit;
    std::optional<double> ratio;
    std::string goal;
    std::optional<bool> pass;
    std::string note;
};

inline nlohmann::json RowToJson(const BenchRow& r) {
    auto orNull = [](const auto& v) { return v ? nlohmann::json(*v) : nlohmann::json(nullptr); };
    return nlohmann::json{{"row", r.row},
                          {"oru", r.oru},
                          {"baseline", orNull(r.baseline)},
                          {"unit", r.unit},
                          {"ratio", orNull(r.ratio)},
                          {"goal", r.goal},
                          {"pass", orNull(r.pass)},
                          {"note", r.note}};
}

// Writes the rows to path as a JSON array; false (and a line on stderr) when
// the file cannot be written.
inline bool WriteBenchRows(const std::string& path, const std::vector<BenchRow>& rows) {
    nlohmann::json out = nlohmann::json::array();
    for (const BenchRow& r : rows) {
        out.push_back(RowToJson(r));
    }
    std::ofstream file(path, std::ios::trunc);
    file << out.dump(2) << "\n";
    file.close();
    if (!file) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        return false;
    }
    return true;
}

// Takes "--json <file>" (or "--json=<file>") out of argv and returns the
// file; empty when the option is absent.
inline std::string TakeJsonOption(int& argc, char** argv) {
    std::string path;
    int out = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--json") == 0 && i + 1 < argc) {
            path = argv[++i];
        } else if (std::strncmp(argv[i], "--json=", 7) == 0) {
            path = argv[i] + 7;
        } else {
            argv[out++] = argv[i];
        }
    }
    argc = out;
    argv[argc] = nullptr;
    return path;
}

}  // namespace oru::bench

#endif  // ORU_BENCH_BENCH_ROWS_H
