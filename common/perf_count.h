// Overhead and throughput statistics of a stream of packages (a send, a
// channel read): minimum, maximum, sum and average time per package, package
// count and bytes, and bytes per millisecond. With a print frequency n, every
// n-th package logs the statistics and starts afresh.
//
// Safe for concurrent use.
#ifndef ORU_COMMON_PERF_COUNT_H
#define ORU_COMMON_PERF_COUNT_H

#include <cstdint>
#include <mutex>
#include <string>

namespace Analysis::Orbx::Common::Statistics {

class PerfCount {
  public:
    explicit PerfCount(const std::string& moduleName);
    // printFrequency 0: never print by itself.
    PerfCount(const std::string& moduleName, uint64_t printFrequency);
    PerfCount(const PerfCount&) = delete;
    PerfCount& operator=(const PerfCount&) = delete;
    virtual ~PerfCount() = default;

    // Counts one package of bytes handled from startTime to endTime
    // (monotonic nanoseconds). A start after the end is logged and ignored.
    void UpdatePerfInfo(uint64_t startTime, uint64_t endTime, uint64_t bytes);

    // Logs the statistics under name, or under the module name when name is
    // empty. Nothing is logged before the packages add up to 1 ms.
    void OutPerfInfo(const std::string& name);

  private:
    // REQUIRES: mutex_ held.
    void PrintLocked(const std::string& name) const;
    void ResetLocked();

    const std::string moduleName_;
    const uint64_t printFrequency_;
    // Packages slower than this are counted; never changed, so with 0 every
    // package that takes any time counts.
    const uint64_t overheadWaterLine_ = 0;

    std::mutex mutex_;
    // State below is protected by mutex_.
    uint64_t overheadMin_ = UINT64_MAX;
    uint64_t overheadMax_ = 0;
    uint64_t overheadSum_ = 0;
    uint64_t packageCount_ = 0;
    uint64_t firstStartTime_ = 0;
    uint64_t lastEndTime_ = 0;
    uint64_t packageBytes_ = 0;
    uint64_t exceedWaterLineCount_ = 0;
};

}  // namespace Analysis::Orbx::Common::Statistics

#endif  // ORU_COMMON_PERF_COUNT_H
