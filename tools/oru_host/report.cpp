#include "tools/oru_host/report.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "tools/oru_host/chunk_writer.h"
#include "tools/oru_host/device_text.h"
#include "tools/oru_host/proc_text.h"
#include "tools/oru_host/records.h"

namespace analysis::orbx::hosttool {
namespace {

namespace fs = std::filesystem;

constexpr const char* kSystemCpuFile = "data/SystemCpuUsage.data";
constexpr const char* kSystemMemFile = "data/Memory.data";
constexpr const char* kPidCpuSuffix = "-CpuUsage.data";
constexpr const char* kPidMemSuffix = "-Memory.data";
constexpr const char* kLlcFile = "data/llc.data";
constexpr const char* kCtrlCpuFile = "data/ai_ctrl_cpu.data";

// Lines of the device script's text; the counts of lines read and refused go
// into the file's account.
template <class Line, class Parse, class Use>
void ReadLines(std::string_view bytes, FileAccount* file, Parse parse, Use use) {
    size_t start = 0;
    size_t number = 0;
    while (start < bytes.size()) {
        size_t nl = bytes.find('\n', start);
        std::string_view line =
            bytes.substr(start, nl == std::string_view::npos ? bytes.size() - start : nl - start);
        start = nl == std::string_view::npos ? bytes.size() : nl + 1;
        ++number;
        if (line.find_first_not_of(" \t\r") == std::string_view::npos) {
            continue;
        }
        Line parsed;
        std::string why;
        if (!parse(line, &parsed, &why)) {
            file->bad += 1;
            if (file->problems.size() < 20) {
                file->problems.push_back("line " + std::to_string(number) + ": " + why);
            }
            continue;
        }
        file->records += 1;
        use(parsed);
    }
}

void CacheStats(std::string_view bytes, FileAccount* file, Report* report) {
    std::map<std::string, CacheEventSeries> series;
    uint64_t first = 0;
    bool haveFirst = false;
    ReadLines<CacheStatLine>(bytes, file, ParseCacheStatLine, [&](const CacheStatLine& line) {
        if (!haveFirst) {
            first = line.timeUs;
            haveFirst = true;
        }
        double t = line.timeUs >= first ? static_cast<double>(line.timeUs - first) / 1e6 : 0.0;
        for (const CacheStat& stat : line.stats) {
            CacheEventSeries& s = series[stat.event];
            s.event = stat.event;
            s.points.push_back({t, stat.hits, stat.misses, stat.hitRatePct});
        }
    });
    report->cacheLines += file->records;
    for (auto& [event, s] : series) {
        report->cache.push_back(std::move(s));
    }
}

void CtrlCpu(std::string_view bytes, FileAccount* file, Report* report) {
    std::map<std::string, std::map<uint64_t, uint64_t>> perEvent;  // event → time → count
    std::map<std::pair<uint32_t, std::string>, uint64_t> perCpuEvent;
    uint64_t first = std::numeric_limits<uint64_t>::max();
    ReadLines<CtrlCpuLine>(bytes, file, ParseCtrlCpuLine, [&](const CtrlCpuLine& line) {
        first = std::min(first, line.timeUs);
        perEvent[line.event][line.timeUs] += line.count;
        perCpuEvent[{line.cpu, line.event}] += line.count;
        report->ctrlCpuPerCpu[line.cpu] += line.count;
    });
    report->ctrlCpuLines += file->records;
    for (const auto& [event, counts] : perEvent) {
        CtrlCpuEventSeries s;
        s.event = event;
        for (const auto& [us, count] : counts) {
            s.points.push_back({static_cast<double>(us - first) / 1e6, count});
            s.total += count;
        }
        report->ctrlCpu.push_back(std::move(s));
    }
    for (const auto& [key, count] : perCpuEvent) {
        report->ctrlCpuBusiest.push_back({key.first, key.second, count});
    }
    std::stable_sort(
        report->ctrlCpuBusiest.begin(), report->ctrlCpuBusiest.end(),
        [](const CtrlCpuTotal& a, const CtrlCpuTotal& b) { return a.count > b.count; });
}

// The cache data: the device script's text lines (a chip without a cache
// channel), or the driver's channel records.
void CacheData(const std::string& rel, std::string_view bytes, FileAccount* file,
               const std::map<std::string, std::vector<std::pair<uint64_t, uint64_t>>>& arrivals,
               Report* report) {
    CacheStatLine probe;
    std::string why;
    size_t nl = bytes.find('\n');
    if (bytes.find('\0') == std::string_view::npos &&
        ParseCacheStatLine(bytes.substr(0, nl), &probe, &why)) {
        CacheStats(bytes, file, report);
        return;
    }
    ChannelData channel;
    channel.name = rel;
    channel.bytes = bytes.size();
    std::vector<CounterRecord> records;
    if (ParseCounterRecords(bytes, &records)) {
        channel.counterLayout = true;
        channel.records = records.size();
        uint64_t lo = records.front().timeNs;
        uint64_t hi = lo;
        for (const CounterRecord& r : records) {
            lo = std::min(lo, r.timeNs);
            hi = std::max(hi, r.timeNs);
        }
        channel.spanS = static_cast<double>(hi - lo) / 1e9;
        file->records = records.size();
    }
    auto it = arrivals.find(rel);
    if (it != arrivals.end()) {
        for (const auto& [ms, received] : it->second) {
            channel.received.push_back({static_cast<double>(ms) / 1000.0, received});
        }
    }
    report->channels.push_back(std::move(channel));
}

bool ReadFile(const fs::path& path, std::string* bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    std::ostringstream ss;
    ss << in.rdbuf();
    *bytes = ss.str();
    return !in.bad();
}

// "data/<pid><suffix>" → pid.
bool PidFileName(const std::string& rel, const std::string& suffix, uint32_t* pid) {
    const std::string prefix = "data/";
    if (rel.size() <= prefix.size() + suffix.size() || rel.compare(0, prefix.size(), prefix) != 0 ||
        rel.compare(rel.size() - suffix.size(), suffix.size(), suffix) != 0) {
        return false;
    }
    std::string digits = rel.substr(prefix.size(), rel.size() - prefix.size() - suffix.size());
    if (digits.empty() || digits.size() > 10 ||
        digits.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    uint64_t v = std::stoull(digits);
    if (v > std::numeric_limits<uint32_t>::max()) {
        return false;
    }
    *pid = static_cast<uint32_t>(v);
    return true;
}

void Problem(FileAccount* file, const std::string& text) {
    file->bad += 1;
    constexpr size_t kKeep = 20;  // per file; the count stays exact
    if (file->problems.size() < kKeep) {
        file->problems.push_back(text);
    }
}

// Parses the records of a file into the account; returns them by time.
std::vector<Record> LoadRecords(const std::string& bytes, FileAccount* file) {
    RecordFile parsed = ParseRecords(bytes);
    for (const RecordProblem& p : parsed.problems) {
        Problem(file, "byte " + std::to_string(p.offset) + ": " + p.reason);
    }
    std::stable_sort(
        parsed.records.begin(), parsed.records.end(),
        [](const Record& a, const Record& b) { return a.timestampNs < b.timestampNs; });
    file->records = parsed.records.size();
    return std::move(parsed.records);
}

std::string RecordLabel(const Record& r) {
    return "record index " + std::to_string(r.index);
}

struct Loaded {
    std::string rel;
    std::string bytes;
};

struct Builder {
    Report* report = nullptr;
    uint64_t t0 = std::numeric_limits<uint64_t>::max();

    double Seconds(uint64_t ns) const {
        return ns >= t0 ? static_cast<double>(ns - t0) / 1e9 : 0.0;
    }

    void SystemCpu(const std::vector<Record>& records, FileAccount* file) {
        bool havePrev = false;
        CpuTimes prev;
        uint64_t prevTs = 0;
        std::map<std::string, std::pair<CpuTimes, CpuTimes>> perCpu;  // first and last
        for (const Record& r : records) {
            std::vector<CpuTimes> cpus;
            std::string why;
            if (!ParseSystemCpu(r.data, &cpus, &why)) {
                Problem(file, RecordLabel(r) + ": " + why);
                continue;
            }
            report->cpuSamples += 1;
            report->cpuCount = std::max(report->cpuCount, cpus.size() - 1);
            for (size_t i = 1; i < cpus.size(); ++i) {
                auto [it, fresh] = perCpu.try_emplace(cpus[i].name, cpus[i], cpus[i]);
                if (!fresh) {
                    it->second.second = cpus[i];
                }
            }
            const CpuTimes& now = cpus.front();
            if (havePrev) {
                Interval(prev, prevTs, now, r.timestampNs, file, r);
            }
            prev = now;
            prevTs = r.timestampNs;
            havePrev = true;
        }
        for (const auto& [name, span] : perCpu) {
            const CpuTimes& a = span.first;
            const CpuTimes& b = span.second;
            if (b.Total() <= a.Total() || b.Idle() < a.Idle()) {
                continue;
            }
            double total = static_cast<double>(b.Total() - a.Total());
            double busy = total - static_cast<double>(b.Idle() - a.Idle());
            report->perCpuBusyPct.push_back({name, std::clamp(100.0 * busy / total, 0.0, 100.0)});
        }
    }

    void Interval(const CpuTimes& a, uint64_t aTs, const CpuTimes& b, uint64_t bTs,
                  FileAccount* file, const Record& r) {
        if (b.Total() < a.Total() || b.Idle() < a.Idle() || b.user + b.nice < a.user + a.nice ||
            b.system + b.irq + b.softirq < a.system + a.irq + a.softirq) {
            Problem(file, RecordLabel(r) + ": cpu counters went backwards");
            return;
        }
        double total = static_cast<double>(b.Total() - a.Total());
        if (total <= 0) {
            return;  // no tick between the two samples: no utilisation to tell
        }
        CpuInterval iv;
        iv.startS = Seconds(aTs);
        iv.endS = Seconds(bTs);
        double busy = total - static_cast<double>(b.Idle() - a.Idle());
        iv.busyPct = std::clamp(100.0 * busy / total, 0.0, 100.0);
        iv.userPct = 100.0 * static_cast<double>((b.user + b.nice) - (a.user + a.nice)) / total;
        iv.systemPct =
            100.0 *
            static_cast<double>((b.system + b.irq + b.softirq) - (a.system + a.irq + a.softirq)) /
            total;
        iv.iowaitPct = 100.0 * static_cast<double>(b.iowait - a.iowait) / total;
        report->cpu.push_back(iv);
    }

    void SystemMemory(const std::vector<Record>& records, FileAccount* file) {
        for (const Record& r : records) {
            std::map<std::string, uint64_t> m;
            std::string why;
            if (!ParseMeminfo(r.data, &m, &why)) {
                Problem(file, RecordLabel(r) + ": " + why);
                continue;
            }
            MemPoint p;
            p.timeS = Seconds(r.timestampNs);
            p.totalKib = m["MemTotal"];
            p.freeKib = m.count("MemFree") != 0 ? m["MemFree"] : 0;
            if (m.count("MemAvailable") != 0) {
                p.availableKib = m["MemAvailable"];
            } else {
                p.availableKib = p.freeKib + m["Buffers"] + m["Cached"];
            }
            p.usedKib = p.totalKib > p.availableKib ? p.totalKib - p.availableKib : 0;
            report->memory.push_back(p);
        }
    }

    // Processes by pid and start time, and for each pid the time of every
    // CPU record with the start time it carried (to place memory records).
    std::map<std::pair<uint32_t, uint64_t>, ProcessSummary> processes;
    std::map<uint32_t, std::vector<std::pair<uint64_t, uint64_t>>> cpuTimeline;

    void ProcessCpu(uint32_t pid, const std::vector<Record>& records, FileAccount* file) {
        struct Span {
            PidCpuSample first, last;
            uint64_t firstTs = 0, lastTs = 0;
            size_t samples = 0;
        };
        std::map<uint64_t, PidCpuSample> previous;  // by start time
        std::map<uint64_t, Span> spans;             // by start time
        std::vector<std::pair<uint64_t, uint64_t>>& timeline = cpuTimeline[pid];
        for (const Record& r : records) {
            PidCpuSample sample;
            std::string why;
            if (!ParsePidCpuRecord(r.data, &sample, &why)) {
                Problem(file, RecordLabel(r) + ": " + why);
                continue;
            }
            ProcessSummary& s = processes[{pid, sample.startTicks}];
            s.pid = pid;
            s.startTicks = sample.startTicks;
            s.cpuSamples += 1;
            if (!sample.name.empty()) {
                s.name = sample.name;
            } else if (s.name.empty()) {
                s.name = sample.comm;
            }
            auto prev = previous.find(sample.startTicks);
            if (prev != previous.end()) {
                const PidCpuSample& a = prev->second;
                uint64_t pa = a.utime + a.stime;
                uint64_t pb = sample.utime + sample.stime;
                if (pb >= pa && sample.system.Total() > a.system.Total()) {
                    s.cpuTrack.push_back(
                        {r.timestampNs, std::clamp(100.0 * static_cast<double>(pb - pa) /
                                                       static_cast<double>(sample.system.Total() -
                                                                           a.system.Total()),
                                                   0.0, 100.0)});
                }
            }
            previous[sample.startTicks] = sample;
            Span& span = spans[sample.startTicks];
            if (span.samples++ == 0) {
                span.first = sample;
                span.firstTs = r.timestampNs;
            }
            span.last = sample;
            span.lastTs = r.timestampNs;
            timeline.push_back({r.timestampNs, sample.startTicks});
        }
        for (const auto& [start, span] : spans) {
            ProcessSummary& s = processes[{pid, start}];
            s.pidReused = spans.size() > 1;
            if (span.samples < 2) {
                continue;
            }
            uint64_t p0 = span.first.utime + span.first.stime;
            uint64_t p1 = span.last.utime + span.last.stime;
            uint64_t t0s = span.first.system.Total();
            uint64_t t1s = span.last.system.Total();
            if (p1 < p0 || t1s <= t0s) {
                if (p1 < p0 || t1s < t0s) {
                    Problem(file, "cpu counters went backwards between the first and last record");
                }
                continue;
            }
            s.hasCpuShare = true;
            s.cpuTicks = p1 - p0;
            s.cpuSharePct = std::clamp(
                100.0 * static_cast<double>(p1 - p0) / static_cast<double>(t1s - t0s), 0.0, 100.0);
            s.cpuSpanS = static_cast<double>(span.lastTs - span.firstTs) / 1e9;
        }
    }

    // The start time of the process that had the pid at time ts: that of the
    // CPU record nearest in time (both samplers of a pid run in the same
    // pass), or 0 when the pid has no CPU record.
    uint64_t StartAt(uint32_t pid, uint64_t ts) const {
        auto it = cpuTimeline.find(pid);
        if (it == cpuTimeline.end() || it->second.empty()) {
            return 0;
        }
        const auto& line = it->second;
        auto next = std::lower_bound(line.begin(), line.end(), std::make_pair(ts, uint64_t{0}));
        if (next == line.end()) {
            return line.back().second;
        }
        if (next == line.begin()) {
            return next->second;
        }
        auto prev = std::prev(next);
        return ts - prev->first <= next->first - ts ? prev->second : next->second;
    }

    void ProcessMemory(uint32_t pid, const std::vector<Record>& records, FileAccount* file) {
        auto kib = [this](uint64_t pages) { return pages * report->pageSize / 1024; };
        std::sort(cpuTimeline[pid].begin(), cpuTimeline[pid].end());
        for (const Record& r : records) {
            PidMemSample sample;
            std::string why;
            if (!ParsePidMemRecord(r.data, &sample, &why)) {
                Problem(file, RecordLabel(r) + ": " + why);
                continue;
            }
            uint64_t start = StartAt(pid, r.timestampNs);
            ProcessSummary& s = processes[{pid, start}];
            s.pid = pid;
            s.startTicks = start;
            s.memSamples += 1;
            if (s.name.empty()) {
                s.name = sample.name;
            }
            uint64_t rss = kib(sample.residentPages);
            s.rssPeakKib = std::max(s.rssPeakKib, rss);
            s.rssLastKib = rss;
            s.rssTrack.push_back({r.timestampNs, rss});
            s.sizePeakKib = std::max(s.sizePeakKib, kib(sample.sizePages));
        }
    }
};

using Arrivals = std::map<std::string, std::vector<std::pair<uint64_t, uint64_t>>>;

void ReadJobJson(const fs::path& path, Report* report, Arrivals* arrivals) {
    std::string text;
    if (!ReadFile(path, &text)) {
        return;
    }
    nlohmann::json j = nlohmann::json::parse(text, nullptr, false);
    if (j.is_discarded() || !j.is_object()) {
        return;
    }
    auto str = [&j](const char* key) -> std::string {
        auto it = j.find(key);
        if (it == j.end()) {
            return "";
        }
        return it->is_string() ? it->get<std::string>() : it->dump();
    };
    report->jobId = str("job_id");
    report->device = str("device");
    report->outcome = str("outcome");
    report->startedAt = str("started_at");
    if (j.contains("collections") && j["collections"].is_array()) {
        for (const auto& c : j["collections"]) {
            if (c.is_object() && c.contains("name") && c["name"].is_string() &&
                c.contains("missing") && c["missing"].is_string()) {
                report->silentCollections.push_back(
                    {c["name"].get<std::string>(), c["missing"].get<std::string>()});
            }
        }
    }
    if (j.contains("card_wide_collections_on_device") &&
        j["card_wide_collections_on_device"].is_number_integer()) {
        report->cardWideDevice = j["card_wide_collections_on_device"].get<int>();
    }
    auto data = j.find("data");
    if (data == j.end() || !data->is_object() || !data->contains("files") ||
        !(*data)["files"].is_object()) {
        return;
    }
    for (const auto& [name, stats] : (*data)["files"].items()) {
        if (!stats.is_object() || !stats.contains("arrivals") || !stats["arrivals"].is_array()) {
            continue;
        }
        for (const auto& point : stats["arrivals"]) {
            if (point.is_array() && point.size() == 2 && point[0].is_number_unsigned() &&
                point[1].is_number_unsigned()) {
                (*arrivals)[name].push_back({point[0].get<uint64_t>(), point[1].get<uint64_t>()});
            }
        }
    }
}

}  // namespace

std::vector<std::pair<uint32_t, std::string>> DeviceFolders(const std::string& dir) {
    std::vector<std::pair<uint32_t, std::string>> out;
    std::error_code ec;
    if (fs::exists(fs::path(dir) / "data", ec) || fs::exists(fs::path(dir) / "job.json", ec)) {
        return out;
    }
    for (const auto& e : fs::directory_iterator(dir, ec)) {
        std::string name = e.path().filename().string();
        if (!e.is_directory(ec) || name.size() < 4 || name.size() > 5 ||
            name.compare(0, 3, "dev") != 0 ||
            name.find_first_not_of("0123456789", 3) != std::string::npos) {
            continue;
        }
        out.push_back({static_cast<uint32_t>(std::stoul(name.substr(3))), e.path().string()});
    }
    std::sort(out.begin(), out.end());
    return out;
}

bool BuildReport(const std::string& dir, uint32_t pageSize, Report* report, std::string* error) {
    Report out;
    out.dir = dir;
    out.pageSize = pageSize;
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) {
        *error = dir + ": not a folder";
        return false;
    }
    Arrivals arrivals;
    ReadJobJson(fs::path(dir) / "job.json", &out, &arrivals);

    std::vector<std::string> names;
    for (auto it = fs::recursive_directory_iterator(dir, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (!it->is_regular_file(ec)) {
            continue;
        }
        std::string rel = fs::relative(it->path(), dir, ec).generic_string();
        if (!ec && ReservedNames().count(rel) == 0) {
            names.push_back(rel);
        }
    }
    if (ec) {
        *error = dir + ": " + ec.message();
        return false;
    }
    std::sort(names.begin(), names.end());

    // Parse everything first: the time base is the earliest sample of any file.
    struct Parsed {
        FileAccount account;
        std::vector<Record> records;
        int kind;  // 0 system cpu, 1 system memory, 2 pid cpu, 3 pid memory
        uint32_t pid;
    };
    std::vector<Parsed> parsed;
    Builder b;
    b.report = &out;
    for (const std::string& rel : names) {
        FileAccount account;
        account.name = rel;
        std::string bytes;
        if (!ReadFile(fs::path(dir) / rel, &bytes)) {
            Problem(&account, "cannot read the file");
            out.otherFiles.push_back(account);
            continue;
        }
        account.bytes = bytes.size();
        uint32_t pid = 0;
        int kind = rel == kSystemCpuFile                   ? 0
                   : rel == kSystemMemFile                 ? 1
                   : PidFileName(rel, kPidCpuSuffix, &pid) ? 2
                   : PidFileName(rel, kPidMemSuffix, &pid) ? 3
                                                           : -1;
        if (rel == kLlcFile || rel == kCtrlCpuFile) {
            if (rel == kLlcFile) {
                CacheData(rel, bytes, &account, arrivals, &out);
            } else {
                CtrlCpu(bytes, &account, &out);
            }
            out.totalRecords += account.records;
            out.badRecords += account.bad;
            out.dataFiles.push_back(std::move(account));
            continue;
        }
        if (kind < 0) {
            out.otherFiles.push_back(account);
            continue;
        }
        Parsed p{account, {}, kind, pid};
        p.records = LoadRecords(bytes, &p.account);
        for (const Record& r : p.records) {
            b.t0 = std::min(b.t0, r.timestampNs);
        }
        parsed.push_back(std::move(p));
    }
    if (parsed.empty() && out.otherFiles.empty() && out.dataFiles.empty()) {
        *error = dir + ": no data files (was it written by oru-host profile?)";
        return false;
    }
    // A pid's CPU records tell its processes apart; its memory records follow.
    std::stable_sort(parsed.begin(), parsed.end(),
                     [](const Parsed& x, const Parsed& y) { return x.kind < y.kind; });
    for (Parsed& p : parsed) {
        switch (p.kind) {
            case 0:
                b.SystemCpu(p.records, &p.account);
                break;
            case 1:
                b.SystemMemory(p.records, &p.account);
                break;
            case 2:
                b.ProcessCpu(p.pid, p.records, &p.account);
                break;
            default:
                b.ProcessMemory(p.pid, p.records, &p.account);
                break;
        }
        out.totalRecords += p.account.records;
        out.badRecords += p.account.bad;
        out.dataFiles.push_back(std::move(p.account));
    }
    std::sort(out.dataFiles.begin(), out.dataFiles.end(),
              [](const FileAccount& x, const FileAccount& y) { return x.name < y.name; });
    out.t0Ns = b.t0 == std::numeric_limits<uint64_t>::max() ? 0 : b.t0;
    for (auto& [key, summary] : b.processes) {
        out.processes.push_back(summary);
    }
    for (const FileAccount& f : out.otherFiles) {
        out.badRecords += f.bad;
    }
    *report = std::move(out);
    return true;
}

std::string DisplayName(const ProcessSummary& p) {
    if (!p.pidReused) {
        return p.name;
    }
    return p.name + " (started at tick " + std::to_string(p.startTicks) + ")";
}

std::vector<ProcessSummary> TopByCpu(const Report& report, size_t n) {
    std::vector<ProcessSummary> list;
    for (const ProcessSummary& p : report.processes) {
        if (p.hasCpuShare) {
            list.push_back(p);
        }
    }
    std::stable_sort(list.begin(), list.end(), [](const auto& a, const auto& b) {
        if (a.cpuSharePct != b.cpuSharePct) {
            return a.cpuSharePct > b.cpuSharePct;
        }
        return a.cpuTicks != b.cpuTicks ? a.cpuTicks > b.cpuTicks : a.pid < b.pid;
    });
    if (list.size() > n) {
        list.resize(n);
    }
    return list;
}

std::vector<ProcessSummary> TopByMemory(const Report& report, size_t n) {
    std::vector<ProcessSummary> list;
    for (const ProcessSummary& p : report.processes) {
        if (p.memSamples > 0) {
            list.push_back(p);
        }
    }
    std::stable_sort(list.begin(), list.end(), [](const auto& a, const auto& b) {
        return a.rssPeakKib != b.rssPeakKib ? a.rssPeakKib > b.rssPeakKib : a.pid < b.pid;
    });
    if (list.size() > n) {
        list.resize(n);
    }
    return list;
}

}  // namespace analysis::orbx::hosttool
