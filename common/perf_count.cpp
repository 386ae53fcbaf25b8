#include "common/perf_count.h"

#include "common/log.h"

namespace Analysis::Orbx::Common::Statistics {

namespace {
constexpr uint64_t kNsPerMs = 1000000;
}  // namespace

PerfCount::PerfCount(const std::string& moduleName) : PerfCount(moduleName, 0) {}

PerfCount::PerfCount(const std::string& moduleName, uint64_t printFrequency)
    : moduleName_(moduleName), printFrequency_(printFrequency) {}

void PerfCount::UpdatePerfInfo(uint64_t startTime, uint64_t endTime, uint64_t bytes) {
    if (startTime > endTime) {
        ORU_LOGE("[UpdatePerfInfo] startTime:%luns is larger than endTime:%luns", startTime,
                 endTime);
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    lastEndTime_ = endTime;
    if (firstStartTime_ == 0) {
        firstStartTime_ = startTime;
    }
    const uint64_t overhead = endTime - startTime;
    if (overhead > overheadWaterLine_) {
        ++exceedWaterLineCount_;
    }
    if (overhead < overheadMin_) {
        overheadMin_ = overhead;
    }
    if (overhead > overheadMax_) {
        overheadMax_ = overhead;
    }
    overheadSum_ += overhead;
    ++packageCount_;
    packageBytes_ += bytes;
    if (printFrequency_ != 0 && packageCount_ % printFrequency_ == 0) {
        PrintLocked(moduleName_);
        ResetLocked();
    }
}

void PerfCount::OutPerfInfo(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    PrintLocked(name.empty() ? moduleName_ : name);
}

void PerfCount::PrintLocked(const std::string& name) const {
    const uint64_t ms = overheadSum_ / kNsPerMs;
    if (packageCount_ == 0 || ms == 0) {
        return;
    }
    const uint64_t whole = packageBytes_ / ms;
    // One decimal digit of bytes per millisecond.
    const uint64_t tenths = (packageBytes_ - whole * ms) * 10 / ms;
    ORU_LOGI(
        "moduleName: %s, overhead Min: %lu ns, overhead Max: %lu ns, overhead Avg: %lu ns, "
        "overhead Sum_: %lu ns, package nums: %lu, package size: %lu, throughput: %lu.%lu B/ms",
        name.c_str(), overheadMin_, overheadMax_, overheadSum_ / packageCount_, overheadSum_,
        packageCount_, packageBytes_, whole, tenths);
    ORU_LOGI("moduleName: %s, overHeadWaiterLine: %lu, exceedWaterLineCounter: %lu", name.c_str(),
             overheadWaterLine_, exceedWaterLineCount_);
}

void PerfCount::ResetLocked() {
    overheadMin_ = UINT64_MAX;
    overheadMax_ = 0;
    overheadSum_ = 0;
    packageCount_ = 0;
    firstStartTime_ = 0;
    lastEndTime_ = 0;
    packageBytes_ = 0;
    exceedWaterLineCount_ = 0;
}

}  // namespace Analysis::Orbx::Common::Statistics
