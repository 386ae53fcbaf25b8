// Parsers of the /proc texts inside the device's sampled records: the "cpu"
// lines of /proc/stat, /proc/meminfo, and the per-process records
// (/proc/<pid>/stat or statm, then "ProcessName:<name>", and for CPU records
// the first cpu line of /proc/stat). Each parser says why a text is refused.
#ifndef ORU_TOOLS_ORU_HOST_PROC_TEXT_H
#define ORU_TOOLS_ORU_HOST_PROC_TEXT_H

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace analysis::orbx::hosttool {

// One cpu line of /proc/stat, in clock ticks. Guest time is already counted
// in user time by the kernel, so it is left out of the total.
struct CpuTimes {
    std::string name;  // "cpu" for the sum of all, "cpu0", ...
    uint64_t user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0, steal = 0;
    uint64_t Total() const { return user + nice + system + idle + iowait + irq + softirq + steal; }
    uint64_t Idle() const { return idle + iowait; }
};

bool ParseCpuLine(std::string_view line, CpuTimes* cpu, std::string* reason);

// Every cpu line of a system CPU record; the first must be the sum line "cpu".
bool ParseSystemCpu(std::string_view text, std::vector<CpuTimes>* cpus, std::string* reason);

// "Name: value kB" lines, values in KiB (lines without a unit keep their number).
bool ParseMeminfo(std::string_view text, std::map<std::string, uint64_t>* values,
                  std::string* reason);

struct PidCpuSample {
    uint32_t pid = 0;
    std::string comm;  // from the stat line, between the parentheses
    std::string name;  // from "ProcessName:"
    uint64_t utime = 0;
    uint64_t stime = 0;
    // Field 22 of the stat line: when the process started, in clock ticks
    // since boot. Tells apart two processes that had the same pid.
    uint64_t startTicks = 0;
    CpuTimes system;  // the system's first cpu line at the same moment
};
bool ParsePidCpuRecord(std::string_view text, PidCpuSample* sample, std::string* reason);

struct PidMemSample {
    uint64_t sizePages = 0;
    uint64_t residentPages = 0;
    uint64_t sharedPages = 0;
    std::string name;
};
bool ParsePidMemRecord(std::string_view text, PidMemSample* sample, std::string* reason);

std::vector<std::string_view> SplitLines(std::string_view text);

// Plain decimal digits, at most `max`; nothing else (no sign, no spaces).
bool ParseDecimal(std::string_view text, uint64_t max, uint64_t* value);

}  // namespace analysis::orbx::hosttool

#endif  // ORU_TOOLS_ORU_HOST_PROC_TEXT_H
