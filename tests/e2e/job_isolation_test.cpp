// Jobs of one daemon process never hold each other up: a host that stops reading its data
// session costs only its own job.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "testing/daemon_fixture.h"
#include "testing/host_job.h"
#include "testing/sampling_test_support.h"

namespace {

using namespace analysis::orbx;
using Analysis::Orbx::JobWrapper::testing::ParseRecords;
using Analysis::Orbx::JobWrapper::testing::Record;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kAnswerMs = 1000;  // every answer to host B comes within this

class JobIsolationTest : public oru_e2e::DaemonChild {};

// Host A streams a channel and samples every process on device 0, then stops
// reading its data session: its upload queue fills. Host B then starts a job
// that samples the system on device 1; every answer to B comes within 1 s and
// B's samples keep their 100 ms interval, also while A's control session
// drops and A's job is stopped. When A reads again it gets every byte in
// order and the DataChannelFinish.
TEST_F(JobIsolationTest, StalledHostHoldsUpNoOtherJob) {
    StartDaemon(2, {"OSTREL_SIM_CHANNEL_MODE=stream",
                    "OSTREL_SIM_STREAM_BYTES=" + std::to_string(4ull << 30)});
    oru_e2e::HostJob jobA;
    jobA.config =
        oru_testing::LlcConfig("stallA", R"(,"pid_profiling":"on","pid_sampling_interval":100)");
    jobA.read = false;
    ASSERT_TRUE(jobA.Start(*client_, "stallA", 0));
    // A reads nothing: its queue fills with stream chunks, and its samplers find it full.
    std::this_thread::sleep_for(std::chrono::seconds(3));

    oru_e2e::HostJob jobB;
    jobB.config = R"({"job_id":"freeB","sys_profiling":"on","cpu_sampling_interval":100,)"
                  R"("sys_sampling_interval":100})";
    jobB.events = proto::ReplayStartReq();
    jobB.answerMs = kAnswerMs;
    const auto opened = Clock::now();
    ASSERT_TRUE(jobB.Start(*client_, "freeB", 1, "system-wide"));
    EXPECT_LT(Clock::now() - opened, std::chrono::milliseconds(3 * kAnswerMs))
        << "B's handshakes waited beside the stalled job";
    std::this_thread::sleep_for(std::chrono::seconds(1));

    // A's host drops its control session: the daemon stops A's job, whose
    // last data waits for A's host.
    jobA.ctrl->Session().Close();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    ASSERT_TRUE(jobB.Stop());
    auto resultB = jobB.Collected();
    ASSERT_EQ(resultB.first, host::kRecvOk) << "B's data session did not finish";
    std::vector<Record> cpu;
    ASSERT_TRUE(ParseRecords(resultB.second["data/SystemCpuUsage.data"].data, cpu));
    ASSERT_GE(cpu.size(), 10u) << "B sampled too seldom beside the stalled job";
    uint64_t longestGapNs = 0;
    for (size_t i = 1; i < cpu.size(); ++i) {
        longestGapNs = std::max(longestGapNs, cpu[i].timeStamp - cpu[i - 1].timeStamp);
    }
    EXPECT_LT(longestGapNs, 500000000u) << "B's samples stalled beside the stalled job";

    // A reads again: everything queued arrives, in order, then the finish.
    auto readA =
        std::async(std::launch::async, [&jobA] { return oru_testing::ReadStream(*jobA.data); });
    ASSERT_EQ(readA.wait_for(std::chrono::seconds(20)), std::future_status::ready)
        << "A's data session did not finish once A read again";
    oru_testing::StreamRead a = readA.get();
    EXPECT_EQ(a.rc, host::kRecvOk);
    EXPECT_EQ(a.firstBad, -1) << "A's stream differs from the byte at this offset on";
    EXPECT_GT(a.bytes, 32ull << 20);
    EXPECT_GT(a.otherChunks, 0u);
    ASSERT_TRUE(oru_testing::WaitForText(log_, "Device(0) leaving finish_collection"));
    const std::string log = Log();
    EXPECT_EQ(oru_testing::CountIn(log, "Upload Data Failed"), 0);
    EXPECT_EQ(oru_testing::CountIn(log, "Upload data failed"), 0);
    // A's samplers met the full queue and skipped passes rather than wait.
    EXPECT_NE(log.find("passes: the job's upload queue was full"), std::string::npos);
}

}  // namespace
