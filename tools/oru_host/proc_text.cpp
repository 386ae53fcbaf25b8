#include "tools/oru_host/proc_text.h"

#include <limits>

namespace analysis::orbx::hosttool {

bool ParseDecimal(std::string_view text, uint64_t max, uint64_t* value) {
    if (text.empty() || text.size() > 20) {
        return false;
    }
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        uint64_t d = static_cast<uint64_t>(c - '0');
        if (v > (max - d) / 10) {
            return false;
        }
        v = v * 10 + d;
    }
    *value = v;
    return true;
}

namespace {

constexpr std::string_view kProcessName = "ProcessName:";

bool IsSpace(char c) {
    return c == ' ' || c == '\t';
}

std::vector<std::string_view> Words(std::string_view line) {
    std::vector<std::string_view> words;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && IsSpace(line[i])) {
            ++i;
        }
        size_t start = i;
        while (i < line.size() && !IsSpace(line[i])) {
            ++i;
        }
        if (i > start) {
            words.push_back(line.substr(start, i - start));
        }
    }
    return words;
}

bool ToU64(std::string_view word, uint64_t* value) {
    return ParseDecimal(word, std::numeric_limits<uint64_t>::max(), value);
}

std::string Quote(std::string_view text) {
    constexpr size_t kMax = 60;
    std::string out(text.substr(0, kMax));
    return "\"" + out + (text.size() > kMax ? "...\"" : "\"");
}

// Splits a per-process record into its /proc line(s), the name and the rest.
bool SplitProcessRecord(std::string_view text, std::string_view* procLine, std::string* name,
                        std::vector<std::string_view>* rest, std::string* reason) {
    std::vector<std::string_view> lines = SplitLines(text);
    size_t nameAt = lines.size();
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].substr(0, kProcessName.size()) == kProcessName) {
            nameAt = i;
            break;
        }
    }
    if (nameAt == lines.size()) {
        *reason = "no \"ProcessName:\" line";
        return false;
    }
    if (nameAt != 1) {
        *reason =
            "expected one /proc line before \"ProcessName:\", found " + std::to_string(nameAt);
        return false;
    }
    *procLine = lines[0];
    *name = std::string(lines[nameAt].substr(kProcessName.size()));
    rest->assign(lines.begin() + static_cast<long>(nameAt) + 1, lines.end());
    return true;
}

}  // namespace

std::vector<std::string_view> SplitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string_view::npos) {
            nl = text.size();
        }
        lines.push_back(text.substr(start, nl - start));
        start = nl + 1;
    }
    return lines;
}

bool ParseCpuLine(std::string_view line, CpuTimes* cpu, std::string* reason) {
    std::vector<std::string_view> w = Words(line);
    if (w.empty() || w[0].substr(0, 3) != "cpu") {
        *reason = "not a cpu line: " + Quote(line);
        return false;
    }
    if (w.size() < 5) {
        *reason = "cpu line with fewer than 4 counters: " + Quote(line);
        return false;
    }
    CpuTimes parsed;
    uint64_t* out[] = {&parsed.user,   &parsed.nice, &parsed.system,  &parsed.idle,
                       &parsed.iowait, &parsed.irq,  &parsed.softirq, &parsed.steal};
    for (size_t i = 1; i < w.size() && i <= 8; ++i) {
        if (!ToU64(w[i], out[i - 1])) {
            *reason = "bad counter " + Quote(w[i]) + " in cpu line";
            return false;
        }
    }
    for (size_t i = 9; i < w.size(); ++i) {
        uint64_t ignored = 0;
        if (!ToU64(w[i], &ignored)) {
            *reason = "bad counter " + Quote(w[i]) + " in cpu line";
            return false;
        }
    }
    parsed.name = std::string(w[0]);
    *cpu = parsed;
    return true;
}

bool ParseSystemCpu(std::string_view text, std::vector<CpuTimes>* cpus, std::string* reason) {
    std::vector<CpuTimes> out;
    for (std::string_view line : SplitLines(text)) {
        if (line.empty()) {
            continue;
        }
        CpuTimes cpu;
        if (!ParseCpuLine(line, &cpu, reason)) {
            return false;
        }
        out.push_back(cpu);
    }
    if (out.empty() || out.front().name != "cpu") {
        *reason = "the record does not start with the \"cpu\" sum line";
        return false;
    }
    *cpus = std::move(out);
    return true;
}

bool ParseMeminfo(std::string_view text, std::map<std::string, uint64_t>* values,
                  std::string* reason) {
    std::map<std::string, uint64_t> out;
    for (std::string_view line : SplitLines(text)) {
        if (line.empty()) {
            continue;
        }
        size_t colon = line.find(':');
        if (colon == std::string_view::npos || colon == 0) {
            *reason = "meminfo line without a name: " + Quote(line);
            return false;
        }
        std::vector<std::string_view> w = Words(line.substr(colon + 1));
        uint64_t v = 0;
        if (w.empty() || w.size() > 2 || !ToU64(w[0], &v) || (w.size() == 2 && w[1] != "kB")) {
            *reason = "bad meminfo line: " + Quote(line);
            return false;
        }
        out[std::string(line.substr(0, colon))] = v;
    }
    if (out.count("MemTotal") == 0) {
        *reason = "no MemTotal line";
        return false;
    }
    *values = std::move(out);
    return true;
}

bool ParsePidCpuRecord(std::string_view text, PidCpuSample* sample, std::string* reason) {
    std::string_view stat;
    std::string name;
    std::vector<std::string_view> rest;
    if (!SplitProcessRecord(text, &stat, &name, &rest, reason)) {
        return false;
    }
    // "pid (comm) state ppid ...": comm may hold blanks and parentheses, so it
    // runs to the last ')'.
    size_t open = stat.find('(');
    size_t close = stat.rfind(')');
    uint64_t pid = 0;
    std::vector<std::string_view> head = open == std::string_view::npos
                                             ? std::vector<std::string_view>()
                                             : Words(stat.substr(0, open));
    if (close == std::string_view::npos || close < open || head.size() != 1 ||
        !ToU64(head[0], &pid) || pid > std::numeric_limits<uint32_t>::max()) {
        *reason = "bad /proc/<pid>/stat line: " + Quote(stat);
        return false;
    }
    std::vector<std::string_view> fields = Words(stat.substr(close + 1));
    // fields[0] is the state (field 3); utime and stime are fields 14 and 15.
    constexpr size_t kUtime = 14 - 3;
    constexpr size_t kStime = 15 - 3;
    constexpr size_t kStartTime = 22 - 3;
    PidCpuSample s;
    if (fields.size() <= kStartTime || !ToU64(fields[kUtime], &s.utime) ||
        !ToU64(fields[kStime], &s.stime) || !ToU64(fields[kStartTime], &s.startTicks)) {
        *reason = "no utime, stime and start time in /proc/<pid>/stat line: " + Quote(stat);
        return false;
    }
    if (rest.empty() || !ParseCpuLine(rest[0], &s.system, reason)) {
        if (rest.empty()) {
            *reason = "no system cpu line after \"ProcessName:\"";
        }
        return false;
    }
    s.pid = static_cast<uint32_t>(pid);
    s.comm = std::string(stat.substr(open + 1, close - open - 1));
    s.name = name;
    *sample = s;
    return true;
}

bool ParsePidMemRecord(std::string_view text, PidMemSample* sample, std::string* reason) {
    std::string_view statm;
    std::string name;
    std::vector<std::string_view> rest;
    if (!SplitProcessRecord(text, &statm, &name, &rest, reason)) {
        return false;
    }
    std::vector<std::string_view> w = Words(statm);
    PidMemSample s;
    if (w.size() < 3 || !ToU64(w[0], &s.sizePages) || !ToU64(w[1], &s.residentPages) ||
        !ToU64(w[2], &s.sharedPages)) {
        *reason = "bad /proc/<pid>/statm line: " + Quote(statm);
        return false;
    }
    s.name = name;
    *sample = s;
    return true;
}

}  // namespace analysis::orbx::hosttool
