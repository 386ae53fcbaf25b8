// Time for `profile` (injectable, so that tests never sleep) and the one-line
// progress display shown on a terminal.
#ifndef ORU_TOOLS_ORU_HOST_PROGRESS_H
#define ORU_TOOLS_ORU_HOST_PROGRESS_H

#include <cstdint>
#include <string>

namespace analysis::orbx::hosttool {

// Used by the jobs of a device list at once: implementations are thread-safe.
class Clock {
  public:
    virtual ~Clock() = default;
    virtual uint64_t NowMs() = 0;  // monotonic
    virtual void SleepMs(uint64_t ms) = 0;
    virtual std::string WallTimeUtc() = 0;  // ISO 8601
};

class SystemClock : public Clock {
  public:
    uint64_t NowMs() override;
    void SleepMs(uint64_t ms) override;
    std::string WallTimeUtc() override;
};

struct ProgressCounts {
    uint64_t elapsedMs = 0;
    uint64_t chunks = 0;
    uint64_t bytes = 0;
    uint64_t files = 0;
};

// "12.3 s  chunks 120  1.20 MiB  files 340  97.5 KiB/s" (rate over the elapsed time).
std::string FormatProgress(const ProgressCounts& counts);

// 5000 → "5 s", 2500 → "2.5 s", 125 → "0.125 s".
std::string FormatSeconds(uint64_t ms);

// 1536 → "1.50 KiB"; below 1 KiB the plain byte count.
std::string FormatBytes(uint64_t bytes);

}  // namespace analysis::orbx::hosttool

#endif  // ORU_TOOLS_ORU_HOST_PROGRESS_H
