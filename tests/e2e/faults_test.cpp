// Faults around a running job, with the daemon in the test process: after each the daemon
// holds no session of the job and serves the next normally; no failure is answered SUCCESS.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "testing/daemon_fixture.h"
#include "testing/test_log_capture.h"

namespace {

using namespace oru_e2e;
using analysis::orbx::common::TestLogCapture;

constexpr char kUploadFailed[] = "Failed to upload data";

class Faults : public InProcessDaemon {};

// No uploader thread, no job directory and at most the receiver's control session left.
::testing::AssertionResult JobCleanedUp(const std::string& jobId, uint32_t hostSessions) {
    if (!WaitUntil([&] { return !IsDir(JobDir(jobId)); })) {
        return ::testing::AssertionFailure() << "job directory left";
    }
    if (!WaitUntil([&] { return ThreadsNamed("KTRX_Upld_" + jobId.substr(0, 5)) == 0; })) {
        return ::testing::AssertionFailure() << "uploader thread left";
    }
    if (!WaitUntil([&] { return DaemonSessions(hostSessions) <= 1; })) {
        return ::testing::AssertionFailure() << DaemonSessions(hostSessions) << " sessions left";
    }
    return ::testing::AssertionSuccess();
}

bool DataSessionClosedByDevice(HostJob& job) {
    analysis::orbx::message::MessagePtr msg;
    return job.data->Session().RecvMessageWithin(&msg, 20000) == host::kRecvClosed;
}

TEST_F(Faults, FailingDataSendsDropChunksAndTheStopStillCompletes) {
    // A channel that streams as fast as it is read keeps the uploader busy.
    ostrel::simtest::UseSetting("OSTREL_SIM_CHANNEL_MODE", "stream");
    TestLogCapture logs("warning");
    StartDaemon();
    HostJob job;
    ASSERT_TRUE(job.Start(Client(), "sendfail"));

    // Every send fails for a while; the host sends nothing meanwhile.
    ASSERT_EQ(0, ostrel_sim_fault_set(OSTREL_SIM_FAULT_SEND, DRV_ERROR_IO, -1));
    ASSERT_TRUE(logs.WaitFor(kUploadFailed, 3));
    OstrelSimChannelStats before{};
    ASSERT_EQ(0, ostrel_sim_channel_stats(0, oru_testing::kLlcChannel, &before));
    ostrel_sim_fault_clear_all();
    // Data read from now on is sent, whatever the faults dropped.
    EXPECT_TRUE(WaitUntil([&] {
        OstrelSimChannelStats now{};
        return ostrel_sim_channel_stats(0, oru_testing::kLlcChannel, &now) == 0 &&
               now.read > before.read;
    })) << "the channel was not read again after the faults ended";

    EXPECT_TRUE(job.Stop());
    auto result = job.Collected();
    EXPECT_EQ(host::kRecvOk, result.first);
    EXPECT_FALSE(result.second["data/llc.data"].data.empty());
    job.Close();
    EXPECT_TRUE(JobCleanedUp("sendfail", 0));

    EXPECT_TRUE(RunNormalJob(Client(), "sendfail2"));
}

enum class Leave { kStopCommands, kCloseControl };

class HostClosesDataSession : public InProcessDaemon,
                              public ::testing::WithParamInterface<Leave> {};

TEST_P(HostClosesDataSession, TheJobIsCleanedUpAndTheNextOneServed) {
    ostrel::simtest::UseSetting("OSTREL_SIM_CHANNEL_MODE", "stream");
    TestLogCapture logs("warning");
    StartDaemon();
    HostJob job;
    ASSERT_TRUE(job.Start(Client(), "datagone"));
    job.data->Session().Close();
    EXPECT_NE(host::kRecvOk, job.Collected().first);
    ASSERT_TRUE(logs.WaitFor(kUploadFailed));

    if (GetParam() == Leave::kStopCommands) {
        proto::Response reply;
        ASSERT_EQ(host::kRecvOk, job.ctrl->StopReplay(job.ctx, &reply));
        EXPECT_EQ(proto::SUCCESS, reply.status()) << reply.message();
        // The finish never reached the host: the stop cleans up but says so.
        ASSERT_EQ(host::kRecvOk, job.ctrl->StopJob(job.ctx, &reply));
        EXPECT_EQ(proto::FAILED, reply.status()) << reply.message();
        EXPECT_TRUE(JobCleanedUp("datagone", 1));
    }
    job.Close();
    EXPECT_TRUE(JobCleanedUp("datagone", 0));

    EXPECT_TRUE(RunNormalJob(Client(), "datagone2"));
}

INSTANTIATE_TEST_SUITE_P(Faults, HostClosesDataSession,
                         ::testing::Values(Leave::kStopCommands, Leave::kCloseControl));

TEST_F(Faults, ClosingTheControlSessionFinishesTheDataSessionAndFreesTheJob) {
    StartDaemon();
    HostJob job;
    ASSERT_TRUE(job.Start(Client(), "ctrlgone"));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // let the channel produce
    job.ctrl.reset();

    // The daemon stops the job itself: collected data and the finish still arrive.
    auto result = job.Collected();
    EXPECT_EQ(host::kRecvOk, result.first);
    EXPECT_FALSE(result.second["data/llc.data"].data.empty());
    EXPECT_TRUE(DataSessionClosedByDevice(job));
    EXPECT_TRUE(JobCleanedUp("ctrlgone", 1));
    job.Close();

    EXPECT_TRUE(RunNormalJob(Client(), "ctrlgone2"));
}

TEST_F(Faults, ADeviceNotReadyForAWhileIsServedOnceReadyWithoutHoldingUpOthers) {
    ostrel::simtest::UseSetting("OSTREL_SIM_DEVICES", "2");
    TestLogCapture logs("warning");
    ASSERT_EQ(0, ostrel_sim_device_not_ready(1, 3));
    HoldRetries();
    StartDaemon();
    ASSERT_TRUE(WaitUntil([] { return Retries() >= 1; }));

    // Device 0 serves a whole job while device 1 waits for its HDC.
    EXPECT_TRUE(RunNormalJob(Client(), "ready0", 0));
    EXPECT_EQ(1, Retries());

    ReleaseRetries();
    EXPECT_TRUE(RunNormalJob(Client(), "ready1", 1));
    EXPECT_EQ(3, Retries());
    EXPECT_EQ(3u, logs.Count("logDevId 1 phyDevId 1 hdc not ready, sleep 5000 milliseconds"));
    EXPECT_EQ(0u, logs.Count("logDevId 0 phyDevId 0 hdc not ready"));
}

// One device as host 3 for device 0, and two devices with swapped host numbers
// sharing one job id, at once: each device's data and finish come on its own session.
TEST_F(Faults, JobsAreServedWhereHostNumbersAndPhysicalIdsDifferFromDeviceIndices) {
    ostrel::simtest::UseSetting("OSTREL_SIM_DEVICES", "2");
    ostrel::simtest::UseSetting("OSTREL_SIM_PHY_IDS", "0:7,1:6");
    StartDaemon();
    EXPECT_TRUE(RunNormalJob(Client(), "host3", 0, "", 3));

    HostJob swapped[2];
    for (int dev = 0; dev < 2; ++dev) {
        ASSERT_TRUE(swapped[dev].Start(Client(), "swap", dev, "", 1 - dev));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // let the channels produce
    for (HostJob& job : swapped) {
        EXPECT_TRUE(job.Stop());
        auto result = job.Collected();
        EXPECT_EQ(host::kRecvOk, result.first) << "no DataChannelFinish for " << job.ctx;
        EXPECT_FALSE(result.second["data/llc.data"].data.empty()) << job.ctx;
    }
}

TEST_F(Faults, ClosingTheControlSessionOfARefusedJobFinishesItsDataSession) {
    StartDaemon();
    HostJob job;
    host::Handshake hs{"refused", 0, ""};
    job.ctrl = OpenControl(Client(), hs);
    ASSERT_NE(nullptr, job.ctrl);
    job.data = OpenData(Client(), hs);
    ASSERT_NE(nullptr, job.data);
    proto::Response reply;
    ASSERT_EQ(host::kRecvOk,
              job.ctrl->StartJob(host::MakeJobContext("refused", "0"), "not json", &reply));
    EXPECT_EQ(proto::FAILED, reply.status());

    // No task will stop this job: the daemon still ends its data session once the host leaves.
    job.Collect();
    job.ctrl.reset();
    auto result = job.Collected();
    ASSERT_EQ(host::kRecvOk, result.first);
    EXPECT_TRUE(result.second.empty());
    EXPECT_TRUE(DataSessionClosedByDevice(job));
    EXPECT_TRUE(JobCleanedUp("refused", 1));
    job.Close();

    EXPECT_TRUE(RunNormalJob(Client(), "refused2"));
}

}  // namespace
