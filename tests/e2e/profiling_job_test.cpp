// Two jobs on one device in the two modes: the second's refusal does not disturb the first.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "ostrel/sim_control.h"
#include "testing/daemon_fixture.h"
#include "testing/host_job.h"
#include "tools/host/profiling_client.h"

namespace {

using namespace analysis::orbx;

// Monotonic time of the last counter record in a channel's data, 0 when none.
uint64_t LastRecordTimeNs(const std::string& data) {
    constexpr size_t kRecordSize = sizeof(OstrelSimCounterRecord);
    if (data.size() < kRecordSize) {
        return 0;
    }
    OstrelSimCounterRecord last;
    std::memcpy(&last, data.data() + (data.size() / kRecordSize - 1) * kRecordSize, kRecordSize);
    return last.timestampNs;
}

class ProfilingJobTest : public oru_e2e::DaemonChild {};

TEST_F(ProfilingJobTest, ARefusedReplayOnABusyDeviceLeavesTheOtherJobCollecting) {
    ASSERT_NO_FATAL_FAILURE(StartDaemon(1));
    oru_e2e::HostJob jobA;
    ASSERT_TRUE(jobA.Start(*client_, "jobA", 0, "def_mode"));

    // The device's cache counters are taken: B's replay is refused and its job reset.
    oru_e2e::HostJob jobB;
    EXPECT_TRUE(oru_e2e::ReplayRefused(jobB.Start(*client_, "jobB", 0, "system-wide")));
    const uint64_t refusedAt =
        static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                  std::chrono::steady_clock::now().time_since_epoch())
                                  .count());
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // let the channel produce

    ASSERT_TRUE(jobA.Stop());
    auto result = jobA.Collected();
    ASSERT_EQ(result.first, host::kRecvOk) << "no DataChannelFinish within 20 s of the job stop";
    // Job A's channel kept producing after B was refused.
    EXPECT_GT(LastRecordTimeNs(result.second["data/llc.data"].data), refusedAt);
}

}  // namespace
