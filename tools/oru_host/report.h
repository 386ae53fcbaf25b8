// What `oru-host report` computes from a folder written by `profile`: system
// CPU use per sample interval, system memory over time, per-process CPU share
// and resident memory, and an account of every record that did not parse.
#ifndef ORU_TOOLS_ORU_HOST_REPORT_H
#define ORU_TOOLS_ORU_HOST_REPORT_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace analysis::orbx::hosttool {

// Busy share of all CPUs between two consecutive /proc/stat samples.
struct CpuInterval {
    double startS = 0;  // seconds from the first sample of the run
    double endS = 0;
    double busyPct = 0;
    double userPct = 0;    // user + nice
    double systemPct = 0;  // system + irq + softirq
    double iowaitPct = 0;
};

struct MemPoint {
    double timeS = 0;
    uint64_t totalKib = 0;
    uint64_t usedKib = 0;  // total - available (or - free - buffers - cached)
    uint64_t availableKib = 0;
    uint64_t freeKib = 0;
};

// One process: a pid and its start time, since a pid can be reused within a
// job by a process started later.
struct ProcessSummary {
    uint32_t pid = 0;
    uint64_t startTicks = 0;  // clock ticks since boot; 0 when no CPU record told it
    bool pidReused = false;   // another process of the job had the same pid
    std::string name;
    size_t cpuSamples = 0;
    bool hasCpuShare = false;  // needs two samples with time between them
    double cpuSharePct = 0;    // of all CPUs over the sampled span
    uint64_t cpuTicks = 0;     // utime + stime used over that span
    double cpuSpanS = 0;
    size_t memSamples = 0;
    uint64_t rssPeakKib = 0;
    uint64_t rssLastKib = 0;
    uint64_t sizePeakKib = 0;
    // Per sample, by the device's monotonic time in ns: the CPU share of all
    // CPUs since the process's previous sample, and the resident memory.
    std::vector<std::pair<uint64_t, double>> cpuTrack;
    std::vector<std::pair<uint64_t, uint64_t>> rssTrack;
};

// Cache statistics of one event at one sample (the device script's lines).
struct CachePoint {
    double timeS = 0;  // seconds since the first line
    uint64_t hits = 0;
    uint64_t misses = 0;
    double hitRatePct = 0;
};
struct CacheEventSeries {
    std::string event;
    std::vector<CachePoint> points;
};

// Control-CPU counts of one event at one time stamp, summed over the CPUs.
struct CtrlCpuPoint {
    double timeS = 0;  // seconds since the first line
    uint64_t count = 0;
};
struct CtrlCpuEventSeries {
    std::string event;
    std::vector<CtrlCpuPoint> points;
    uint64_t total = 0;
};
struct CtrlCpuTotal {
    uint32_t cpu = 0;
    std::string event;
    uint64_t count = 0;
};

// Data of the cache channel as the driver delivers it.
struct ChannelData {
    std::string name;
    uint64_t bytes = 0;
    bool counterLayout = false;  // the simulated driver's 48-byte counter records
    size_t records = 0;
    double spanS = 0;  // between the first and last record
    // (seconds since the run started, bytes received so far), from job.json.
    std::vector<std::pair<double, uint64_t>> received;
};

// One data file and how well it parsed.
struct FileAccount {
    std::string name;  // relative to the folder, e.g. "data/Memory.data"
    uint64_t bytes = 0;
    size_t records = 0;  // records read
    size_t bad = 0;      // stretches or records that did not parse
    std::vector<std::string> problems;
};

struct Report {
    std::string dir;
    uint32_t pageSize = 4096;
    // From job.json, when it is there and readable.
    std::string jobId;
    std::string device;
    std::string outcome;
    std::string startedAt;
    // Collections that were asked for and sent nothing: (name, why).
    std::vector<std::pair<std::string, std::string>> silentCollections;
    int cardWideDevice = -1;  // the device asked for the card-wide collections

    // The device's monotonic time (ns) of the earliest sample: the zero of
    // every "seconds" field of the /proc samples.
    uint64_t t0Ns = 0;
    size_t cpuCount = 0;  // per-CPU lines of /proc/stat
    size_t cpuSamples = 0;
    std::vector<CpuInterval> cpu;
    // Busy share of each CPU ("cpu0", ...) between its first and last sample.
    std::vector<std::pair<std::string, double>> perCpuBusyPct;
    std::vector<MemPoint> memory;
    std::vector<ProcessSummary> processes;  // by pid, then start time
    std::vector<CacheEventSeries> cache;    // by event, from the device script's lines
    size_t cacheLines = 0;
    std::vector<CtrlCpuEventSeries> ctrlCpu;     // by event
    std::vector<CtrlCpuTotal> ctrlCpuBusiest;    // by count, largest first
    std::map<uint32_t, uint64_t> ctrlCpuPerCpu;  // every event's count, per CPU
    size_t ctrlCpuLines = 0;
    std::vector<ChannelData> channels;
    std::vector<FileAccount> dataFiles;   // the files read
    std::vector<FileAccount> otherFiles;  // everything else received (bytes only)
    size_t totalRecords = 0;
    size_t badRecords = 0;
};

// The folders dir/dev<N> that a run on several devices wrote, by device;
// empty when dir holds one device's run.
std::vector<std::pair<uint32_t, std::string>> DeviceFolders(const std::string& dir);

// Reads dir; false with the reason when dir has no data files to report on.
bool BuildReport(const std::string& dir, uint32_t pageSize, Report* report, std::string* error);

// The process's name as the tables show it: with its start time when its pid
// was reused within the job.
std::string DisplayName(const ProcessSummary& process);

// The n processes with the largest CPU share (those with a share) and with
// the largest peak resident memory; ties go to the lower pid.
std::vector<ProcessSummary> TopByCpu(const Report& report, size_t n);
std::vector<ProcessSummary> TopByMemory(const Report& report, size_t n);

}  // namespace analysis::orbx::hosttool

#endif  // ORU_TOOLS_ORU_HOST_REPORT_H
