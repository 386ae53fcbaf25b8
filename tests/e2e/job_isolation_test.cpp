// Jobs of one daemon never hold each other up: a host that stops reading its
// data session costs only its own job. Against the daemon process on a
// simulated card with two devices.
#include <gtest/gtest.h>
#include "testing/build_paths.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <future>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ostrel/sim_control.h"
#include "testing/daemon_fixture.h"
#include "testing/host_job.h"
#include "testing/sampling_test_support.h"
#include "tools/host/profiling_client.h"

namespace {

using namespace analysis::orbx;
using Analysis::Orbx::JobWrapper::testing::ParseRecords;
using Analysis::Orbx::JobWrapper::testing::Record;
using host::CollectedFile;
using host::Handshake;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kAnswerMs = 1000;  // every answer to host B comes within this

class JobIsolationTest : public ::testing::Test {
  protected:
    void StartDaemon(const std::vector<std::string>& env) {
        setenv("OSTREL_SIM_DEVICES", "2", 1);
        const std::string dir = oru_testing::TestTmpDir() + "/" +
                                ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::filesystem::create_directories(dir);
        log_ = dir + "/oru.log";
        std::filesystem::remove(log_);
        daemon_ = oru_testing::StartOru(oru_testing::BinDir(), dir, 2, "info", env);
        ASSERT_GT(daemon_->Pid(), 0);
        client_ = host::HostClient::Create();
        ASSERT_NE(client_, nullptr);
    }
    void TearDown() override { daemon_.reset(); }

    std::string log_;
    std::unique_ptr<oru_testing::Child> daemon_;
    std::shared_ptr<host::HostClient> client_;
};

// Sends a command and waits at most kAnswerMs for its answer, which must be
// SUCCESS.
template <class Request>
::testing::AssertionResult AnsweredInTime(host::ControlChannel& ctrl, Request request,
                                          const std::string& ctx, const char* what) {
    request.mutable_hdr()->set_job_ctx(ctx);
    if (ctrl.Session().SendMessage(request) != 0) {
        return ::testing::AssertionFailure() << what << ": not sent";
    }
    proto::Response reply;
    int rc = ctrl.AwaitResponse(&reply, kAnswerMs);
    if (rc != host::kRecvOk) {
        return ::testing::AssertionFailure()
               << what << ": no answer within " << kAnswerMs << " ms (" << rc << ")";
    }
    if (reply.status() != proto::SUCCESS) {
        return ::testing::AssertionFailure() << what << ": " << reply.message();
    }
    return ::testing::AssertionSuccess();
}

// Host A streams a channel and samples every process on device 0, then stops
// reading its data session: its upload queue fills. Host B then starts a job
// that samples the system on device 1; every answer to B comes within 1 s and
// B's samples keep their 100 ms interval, also while A's control session
// drops and A's job is stopped. When A reads again it gets every byte in
// order and the DataChannelFinish.
TEST_F(JobIsolationTest, StalledHostHoldsUpNoOtherJob) {
    StartDaemon({"OSTREL_SIM_CHANNEL_MODE=stream",
                 "OSTREL_SIM_STREAM_BYTES=" + std::to_string(4ull << 30)});
    oru_e2e::HostJob jobA;
    jobA.config =
        oru_testing::LlcConfig("stallA", R"(,"pid_profiling":"on","pid_sampling_interval":100)");
    jobA.read = false;
    ASSERT_TRUE(jobA.Start(*client_, "stallA", 0));
    // A reads nothing now: its queue fills with stream chunks at once, and its
    // samplers find it full.
    std::this_thread::sleep_for(std::chrono::seconds(3));

    Handshake hsB{"freeB", 1, "system-wide"};
    auto opened = Clock::now();
    auto ctrlB = oru_testing::OpenControl(*client_, hsB, 1);
    ASSERT_NE(ctrlB, nullptr);
    auto dataB = oru_testing::OpenData(*client_, hsB, 1);
    ASSERT_NE(dataB, nullptr);
    EXPECT_LT(Clock::now() - opened, std::chrono::milliseconds(2 * kAnswerMs));
    auto collectedB = std::async(std::launch::async, [&dataB] {
        std::map<std::string, CollectedFile> files;
        int rc = dataB->CollectUntilFinish(&files);
        return std::make_pair(rc, files);
    });
    const std::string ctxB = host::MakeJobContext("freeB", "1", "b");
    proto::JobStartReq start;
    start.set_sampleconfig(R"({"job_id":"freeB","sys_profiling":"on","cpu_sampling_interval":100,)"
                           R"("sys_sampling_interval":100})");
    ASSERT_TRUE(AnsweredInTime(*ctrlB, start, ctxB, "B's job start"));
    ASSERT_TRUE(AnsweredInTime(*ctrlB, proto::ReplayStartReq(), ctxB, "B's replay start"));
    std::this_thread::sleep_for(std::chrono::seconds(1));

    // A's host drops its control session: the daemon stops A's job, whose
    // last data waits for A's host.
    jobA.ctrl->Session().Close();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    ASSERT_TRUE(AnsweredInTime(*ctrlB, proto::ReplayStopReq(), ctxB, "B's replay stop"));
    ASSERT_TRUE(AnsweredInTime(*ctrlB, proto::JobStopReq(), ctxB, "B's job stop"));
    ASSERT_EQ(collectedB.wait_for(std::chrono::seconds(5)), std::future_status::ready)
        << "B's data session did not finish";
    auto resultB = collectedB.get();
    ASSERT_EQ(resultB.first, host::kRecvOk);
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
    const std::string log = oru_testing::ReadText(log_);
    EXPECT_EQ(oru_testing::CountIn(log, "Upload Data Failed"), 0);
    EXPECT_EQ(oru_testing::CountIn(log, "Upload data failed"), 0);
    // A's samplers met the full queue and skipped passes rather than wait.
    EXPECT_NE(log.find("passes: the job's upload queue was full"), std::string::npos);
}

}  // namespace
