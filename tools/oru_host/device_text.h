// Parsers of what the device's collection script and the cache channel send:
// - cache statistics lines ("--stat"): one line per sample,
//   "YYYY-MM-DD HH:MM:SS.uuuuuu <event>: hits=<n> misses=<n> hit_rate=<p>%"
//   with the "<event>: ..." group repeated for every event;
// - control-CPU lines ("--script" of a recorded piece):
//   "<seconds>.<microseconds> cpu<n> <event> <count>";
// - the simulated driver's counter records on the cache channel (48 bytes,
//   little-endian, magic "CNTR").
// Each line parser says why a line is refused; callers count such lines.
#ifndef ORU_TOOLS_ORU_HOST_DEVICE_TEXT_H
#define ORU_TOOLS_ORU_HOST_DEVICE_TEXT_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace analysis::orbx::hosttool {

struct CacheStat {
    std::string event;
    uint64_t hits = 0;
    uint64_t misses = 0;
    double hitRatePct = 0;
};

struct CacheStatLine {
    uint64_t timeUs = 0;  // the line's time stamp, microseconds since 1970 (its own clock)
    std::vector<CacheStat> stats;
};
bool ParseCacheStatLine(std::string_view line, CacheStatLine* out, std::string* reason);

struct CtrlCpuLine {
    uint64_t timeUs = 0;  // microseconds since 1970 (the device's clock)
    uint32_t cpu = 0;
    std::string event;
    uint64_t count = 0;
};
bool ParseCtrlCpuLine(std::string_view line, CtrlCpuLine* out, std::string* reason);

// A counter record of the simulated driver's cache channel.
constexpr size_t kCounterRecordBytes = 48;
constexpr uint32_t kCounterRecordMagic = 0x52544E43;
struct CounterRecord {
    uint16_t device = 0;
    uint16_t channel = 0;
    uint32_t mode = 0;
    uint32_t periodMs = 0;
    uint64_t sequence = 0;
    uint64_t timeNs = 0;  // the device's monotonic clock
    uint64_t hits = 0;
    uint64_t misses = 0;
};
// The records of bytes when every 48-byte record carries the magic and the
// length is a whole number of records; false otherwise (another layout).
bool ParseCounterRecords(std::string_view bytes, std::vector<CounterRecord>* records);

}  // namespace analysis::orbx::hosttool

#endif  // ORU_TOOLS_ORU_HOST_DEVICE_TEXT_H
