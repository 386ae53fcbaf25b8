// A profiling job driven end to end, as the host tool drives it, against the
// daemon on the simulated card.
#include <gtest/gtest.h>
#include "oru_build_paths.h"

#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "common/oru_paths.h"
#include "daemon/testing/host_job.h"
#include "ostrel/sim_control.h"
#include "tests/e2e/daemon_fixture.h"
#include "tools/host/profiling_client.h"

namespace {

using namespace analysis::orbx;
using host::ControlChannel;
using host::Handshake;
using host::HostClient;
using host::Target;

using oru_testing::InfoOf;
using oru_testing::IsDir;
using oru_testing::LlcConfig;
using oru_testing::LlcEvents;

// Every command is answered within this, or the test fails.
constexpr uint32_t kAnswerMs = 10000;

class ProfilingJobTest : public ::testing::Test {
  protected:
    // The host side of the simulated driver must know every device a test's
    // daemon may serve; connecting to one that is not served fails cleanly.
    static void SetUpTestSuite() { setenv("OSTREL_SIM_DEVICES", "4", 1); }

    void StartDaemon(int devices) {
        std::filesystem::create_directories(ORU_TEST_TMP_DIR);
        daemon_ = oru_testing::StartOru(ORU_BIN_DIR, ORU_TEST_TMP_DIR, devices);
        client_ = HostClient::Create();
        ASSERT_NE(client_, nullptr);
    }

    void TearDown() override { daemon_.reset(); }

    // Opens a control channel once the handshake is answered, whatever its answer.
    std::unique_ptr<ControlChannel> OpenControl(const Handshake& hs, proto::Response* reply,
                                                int devId = 0) {
        auto ctrl = oru_testing::OpenControl(*client_, hs, devId, reply, true, &lastOpen_);
        if (ctrl != nullptr) {
            ctrl->SetAnswerDeadline(kAnswerMs);
        }
        return ctrl;
    }

    std::unique_ptr<oru_testing::Child> daemon_;
    int lastOpen_ = 0;
    std::shared_ptr<HostClient> client_;
};

TEST_F(ProfilingJobTest, CommandsThatCannotBeServedAreRefusedOrIgnored) {
    StartDaemon(1);
    proto::Response reply;
    auto ctrl = OpenControl(Handshake{"job3", 0, "system-wide"}, &reply);
    ASSERT_NE(ctrl, nullptr);

    // A second control session for the same device and mode while the first runs.
    std::unique_ptr<ControlChannel> second;
    ASSERT_EQ(ControlChannel::Open(*client_, Target{0, 0}, Handshake{"job3b", 0, "system-wide"},
                                   &second, &reply),
              host::kRecvOk);
    EXPECT_EQ(reply.status(), proto::FAILED);

    // Contexts naming no valid device, stops of jobs never started and job
    // ids leaving the profiling directory are proven in hostile_host_test;
    // here a configuration that is not JSON is refused, and its task stays.
    std::string ctx = host::MakeJobContext("job3", "0");
    ASSERT_EQ(ctrl->StartJob(ctx, "not json", &reply), host::kRecvOk);
    EXPECT_EQ(reply.status(), proto::FAILED);
    EXPECT_EQ(InfoOf(reply), "invalid sample configuration");
    // The task of the failed start exists but is not started.
    ASSERT_EQ(ctrl->StartReplay(ctx, LlcEvents(), &reply), host::kRecvOk);
    EXPECT_EQ(reply.status(), proto::FAILED);
    EXPECT_EQ(InfoOf(reply), "Profiling is not started on device");
    // A second start of the same job and device while its task exists.
    ASSERT_EQ(ctrl->StartJob(ctx, LlcConfig("job3"), &reply), host::kRecvOk);
    EXPECT_EQ(InfoOf(reply), "Create task failed.");
}

TEST_F(ProfilingJobTest, ClosingAControlSessionStopsOnlyItsOwnJob) {
    StartDaemon(2);
    proto::Response reply;
    auto ctrlA = OpenControl(Handshake{"jobA", 0, ""}, &reply, 0);
    ASSERT_NE(ctrlA, nullptr);
    auto ctrlB = OpenControl(Handshake{"jobB", 1, "system-wide"}, &reply, 1);
    ASSERT_NE(ctrlB, nullptr) << lastOpen_;
    std::string ctxA = host::MakeJobContext("jobA", "0");
    std::string ctxB = host::MakeJobContext("jobB", "1");
    ASSERT_EQ(ctrlA->StartJob(ctxA, LlcConfig("jobA"), &reply), host::kRecvOk);
    ASSERT_EQ(reply.status(), proto::SUCCESS) << reply.message();
    ASSERT_EQ(ctrlB->StartJob(ctxB, LlcConfig("jobB"), &reply), host::kRecvOk);
    ASSERT_EQ(reply.status(), proto::SUCCESS) << reply.message();

    ctrlA.reset();  // the host goes away mid-job
    std::string dirA = std::string(common::kInotifyDir) + "jobA";
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (IsDir(dirA) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_FALSE(IsDir(dirA));
    EXPECT_TRUE(IsDir(std::string(common::kInotifyDir) + "jobB"));

    // Job B still answers; the next job on A's device and mode starts normally.
    // These hosts opened no data session, so their stops report that no
    // DataChannelFinish could be delivered.
    ASSERT_EQ(ctrlB->StopJob(ctxB, &reply), host::kRecvOk);
    EXPECT_EQ(reply.status(), proto::FAILED) << reply.message();
    auto again = OpenControl(Handshake{"jobA2", 0, ""}, &reply, 0);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(reply.status(), proto::SUCCESS);
    std::string ctxA2 = host::MakeJobContext("jobA2", "0");
    ASSERT_EQ(again->StartJob(ctxA2, LlcConfig("jobA2"), &reply), host::kRecvOk);
    EXPECT_EQ(reply.status(), proto::SUCCESS) << reply.message();
    ASSERT_EQ(again->StopJob(ctxA2, &reply), host::kRecvOk);
    EXPECT_EQ(reply.status(), proto::FAILED) << reply.message();
}

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

TEST_F(ProfilingJobTest, ARefusedReplayOnABusyDeviceLeavesTheOtherJobCollecting) {
    StartDaemon(1);
    oru_e2e::HostJob jobA;
    ASSERT_TRUE(jobA.Start(*client_, "jobA", 0, "def_mode"));

    // A second job on the same device, in the other mode: the device's cache
    // counters are taken, so its replay is refused and its job reset.
    proto::Response reply;
    auto ctrlB = OpenControl(Handshake{"jobB", 0, "system-wide"}, &reply);
    ASSERT_NE(ctrlB, nullptr);
    std::string ctxB = host::MakeJobContext("jobB", "0");
    ASSERT_EQ(ctrlB->StartJob(ctxB, LlcConfig("jobB"), &reply), host::kRecvOk);
    ASSERT_EQ(reply.status(), proto::SUCCESS) << reply.message();
    ASSERT_EQ(ctrlB->StartReplay(ctxB, LlcEvents(), &reply), host::kRecvOk);
    EXPECT_EQ(reply.status(), proto::FAILED);
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
