#include "common/perf_count.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "testing/test_log_capture.h"

namespace Analysis::Orbx::Common::Statistics {
namespace {

using analysis::orbx::common::TestLogCapture;

constexpr uint64_t kMs = 1000000;

std::string StatisticsLine(const std::string& name, uint64_t min, uint64_t max, uint64_t sum,
                           uint64_t count, uint64_t bytes, const std::string& throughput) {
    return "moduleName: " + name + ", overhead Min: " + std::to_string(min) +
           " ns, overhead Max: " + std::to_string(max) +
           " ns, overhead Avg: " + std::to_string(sum / count) +
           " ns, overhead Sum_: " + std::to_string(sum) +
           " ns, package nums: " + std::to_string(count) +
           ", package size: " + std::to_string(bytes) + ", throughput: " + throughput + " B/ms";
}

std::string WaterLineLine(const std::string& name, uint64_t exceeded) {
    return "moduleName: " + name +
           ", overHeadWaiterLine: 0, exceedWaterLineCounter: " + std::to_string(exceeded);
}

TEST(PerfCountTest, StartAfterEndIsLoggedAndChangesNothing) {
    TestLogCapture log;
    PerfCount perf("HdcSend");
    perf.UpdatePerfInfo(1000, 1000 + 2 * kMs, 100);
    perf.UpdatePerfInfo(5 * kMs, 3 * kMs, 999);
    EXPECT_EQ(log.Count("[UpdatePerfInfo] startTime:5000000ns is larger than endTime:3000000ns"),
              1u);

    perf.OutPerfInfo("");
    EXPECT_EQ(log.Count(StatisticsLine("HdcSend", 2 * kMs, 2 * kMs, 2 * kMs, 1, 100, "50.0")), 1u);
}

TEST(PerfCountTest, PrintsAndStartsAfreshAtItsPrintFrequency) {
    TestLogCapture log;
    PerfCount perf("ChannelReaderSpeed", 128);
    uint64_t sum = 0;
    uint64_t clock = 1;
    for (uint64_t i = 1; i <= 128; ++i) {
        if (i == 128) {
            EXPECT_EQ(log.Count("moduleName:"), 0u);
        }
        perf.UpdatePerfInfo(clock, clock + i * kMs, 1000);
        clock += i * kMs;
        sum += i * kMs;
    }
    const uint64_t bytes = 128 * 1000;
    const uint64_t ms = sum / kMs;
    const std::string throughput =
        std::to_string(bytes / ms) + "." + std::to_string(bytes % ms * 10 / ms);
    EXPECT_EQ(log.Count(StatisticsLine("ChannelReaderSpeed", kMs, 128 * kMs, sum, 128, bytes,
                                       throughput)),
              1u);
    EXPECT_EQ(log.Count(WaterLineLine("ChannelReaderSpeed", 128)), 1u);

    // The 129th package is the first of new statistics.
    perf.UpdatePerfInfo(clock, clock + 7 * kMs, 70);
    log.Clear();
    perf.OutPerfInfo("ChannelReaderSpeed[1 : 0 : 2]");
    EXPECT_EQ(log.Count(StatisticsLine("ChannelReaderSpeed[1 : 0 : 2]", 7 * kMs, 7 * kMs, 7 * kMs,
                                       1, 70, "10.0")),
              1u);
    EXPECT_EQ(log.Count(WaterLineLine("ChannelReaderSpeed[1 : 0 : 2]", 1)), 1u);
}

TEST(PerfCountTest, PrintsNothingBeforeAMillisecondOfOverhead) {
    TestLogCapture log;
    PerfCount perf("Quick");
    perf.OutPerfInfo("");
    perf.UpdatePerfInfo(10, 10 + kMs - 1, 4096);
    perf.OutPerfInfo("");
    EXPECT_EQ(log.Count("moduleName:"), 0u);

    perf.UpdatePerfInfo(20, 20, 4096);  // takes no time: does not exceed the water line
    perf.UpdatePerfInfo(30, 30 + 2 * kMs + 1, 1);
    perf.OutPerfInfo("");
    EXPECT_EQ(log.Count(StatisticsLine("Quick", 0, 2 * kMs + 1, 3 * kMs, 3, 8193, "2731.0")), 1u);
    EXPECT_EQ(log.Count(WaterLineLine("Quick", 2)), 1u);
}

}  // namespace
}  // namespace Analysis::Orbx::Common::Statistics
