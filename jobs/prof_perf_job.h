// Recording of the device's control CPU. The device script records the
// requested hardware events into numbered pieces ("ai_ctrl_cpu.data.<dev>.<n>")
// of the per-device perf-data directory, a new piece about every second.
// The helpers below decide what the script is asked for and which pieces are
// finished.
#ifndef ORU_JOBS_PROF_PERF_JOB_H
#define ORU_JOBS_PROF_PERF_JOB_H

#include <cstdint>
#include <string>
#include <vector>

namespace Analysis::Orbx::JobWrapper {

// Name of the script's output file, before "." and the host's device number.
constexpr const char kCtrlCpuDataName[] = "ai_ctrl_cpu.data";
// Sampling interval used when the host asks for none.
constexpr int32_t kDefaultCtrlCpuIntervalMs = 10;

// Samples per second for a sampling interval in ms ("cpu_sampling_interval"):
// 1000 / interval, with kDefaultCtrlCpuIntervalMs for an interval not above 0.
// Never below 1: an interval above 1000 ms records once a second.
int CtrlCpuSampleFrequency(int32_t intervalMs);

// The script's event list: "{r11,r8}" for "0x11", "0x8" (each event's first
// two characters become "r").
std::string CtrlCpuEventsText(const std::vector<std::string>& events);

// True when the base name of path is a recorded piece: it contains
// "ai_ctrl_cpu.data." and has exactly three points. The output file itself
// (two points) and converted pieces (".txt", four points) are not pieces.
bool IsCtrlCpuPiece(const std::string& path);

// The pieces among paths, in recording order: by name, except that names
// differing only in their trailing piece number compare by number (piece 10
// comes after piece 9). Without the last one unless includeLast: the script
// may still be writing it.
std::vector<std::string> SelectCtrlCpuPieces(const std::vector<std::string>& paths,
                                             bool includeLast);

}  // namespace Analysis::Orbx::JobWrapper

#endif  // ORU_JOBS_PROF_PERF_JOB_H
