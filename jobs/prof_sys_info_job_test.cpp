#include "jobs/prof_sys_info_job.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "driver/platform.h"
#include "jobs/proc_timer_handler.h"
#include "message/profile_params.h"
#include "testing/fake_drv.h"
#include "testing/process.h"
#include "testing/sampling_test_support.h"
#include "testing/test_log_capture.h"
#include "transport/uploader_mgr.h"

namespace Analysis::Orbx::JobWrapper {
namespace {

using analysis::orbx::common::TestLogCapture;
using Analysis::Orbx::Common::Platform::Platform;
using analysis::orbx::driver::testing::ScopedFakeDrv;
using analysis::orbx::transport::UploaderMgr;
using oru_testing::WaitUntil;
using testing::MakeJobContext;
using testing::UploadRecorder;

constexpr uint64_t kMs = 1000000;
const char* const kJobId = "job-sysinfo";

class ProfSysInfoJobTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SetRunSide(0);
        UploaderMgr::GetInstance().AddUploader(kJobId, 2, upload_.uploader());
        params_ = std::make_shared<ProfileParams>();
        cfg_ = std::make_shared<CollectionJobCfg>();
        cfg_->commonParams = std::make_shared<CollectionJobCommonParams>();
        cfg_->commonParams->devId = 2;
        cfg_->commonParams->devIdOnHost = 5;
        cfg_->commonParams->params = params_;
        cfg_->commonParams->jobCtx = MakeJobContext(kJobId, "5", "tg");
    }
    void TearDown() override {
        UploaderMgr::GetInstance().DelUploader(kJobId, 2);
        SetRunSide(0);
    }

    void SetRunSide(uint32_t side) {
        drv_.hooks().getPlatformInfo = [side](uint32_t* info) {
            *info = side;
            return DRV_ERROR_NONE;
        };
        ASSERT_EQ(Platform::GetInstance().InitRunSide(), 0);
    }

    ScopedFakeDrv drv_;
    UploadRecorder upload_;
    std::shared_ptr<ProfileParams> params_;
    std::shared_ptr<CollectionJobCfg> cfg_;
};

TEST_F(ProfSysInfoJobTest, IntervalComesFromEachJobsFieldAndIsAtLeast100Ms) {
    params_->sys_profiling = "on";
    params_->pid_profiling = "on";
    params_->cpu_sampling_interval = 300;
    params_->sys_sampling_interval = 50;
    params_->pid_sampling_interval = 250;
    ProfSysStatJob stat;
    ProfSysMemJob mem;
    ProfAllPidsJob pids;
    ASSERT_EQ(stat.Init(cfg_), 0);
    ASSERT_EQ(mem.Init(cfg_), 0);
    ASSERT_EQ(pids.Init(cfg_), 0);
    EXPECT_EQ(stat.GetSampleIntervalNs(), 300 * kMs);
    EXPECT_EQ(mem.GetSampleIntervalNs(), 100 * kMs);
    EXPECT_EQ(pids.GetSampleIntervalNs(), 250 * kMs);

    for (auto [field, expectedMs] :
         std::vector<std::pair<int32_t, uint64_t>>{{99, 100}, {101, 101}, {0, 100}}) {
        params_->sys_sampling_interval = field;
        ProfSysMemJob job;
        ASSERT_EQ(job.Init(cfg_), 0);
        EXPECT_EQ(job.GetSampleIntervalNs(), expectedMs * kMs) << field;
    }
}

TEST_F(ProfSysInfoJobTest, GxprofKeepsTheMemoryJobOffButNotTheCpuJobWhichNeedsAnUploader) {
    TestLogCapture log;
    params_->sys_profiling = "on";
    params_->gxprof = "on";
    ProfSysStatJob stat;
    ProfSysMemJob mem;
    EXPECT_EQ(stat.Init(cfg_), 0);
    EXPECT_EQ(mem.Init(cfg_), -1);
    EXPECT_EQ(mem.GetSampleIntervalNs(), 0u);
    EXPECT_EQ(log.Count("sys mem profiling not enabled", DLOG_INFO), 1u);

    cfg_->commonParams->jobCtx->job_id = "no-such-job";
    ProfSysStatJob orphan;
    EXPECT_EQ(orphan.Init(cfg_), -1);
    EXPECT_EQ(log.Count("Failed to get devId(2) upLoader, devIdOnHost : 5", DLOG_ERROR), 1u);
}

TEST_F(ProfSysInfoJobTest, EachJobStaysOffWhereItMustAndSaysWhy) {
    struct Case {
        const char* what;
        std::function<void()> setUp;
        std::vector<std::string> lines;  // one each; none at all when empty
    } cases[] = {
        {"host side", [this] { params_->hostProfiling = true; }, {}},
        {"off the device",
         [this] { SetRunSide(1); },
         {"Not in device Side, SysStat Profiling not enabled",
          "Not in device Side, SysMem Profiling not enabled",
          "Not in device Side, AllPids Profiling not enabled"}},
        {"switches not quite on",  // only "on" is on
         [this] { params_->sys_profiling = params_->pid_profiling = "On"; },
         {"sys_profiling not enabled", "sys mem profiling not enabled",
          "pid_profiling not enabled"}},
    };
    for (const Case& c : cases) {
        params_->sys_profiling = "on";
        params_->pid_profiling = "on";
        params_->hostProfiling = false;
        SetRunSide(0);
        c.setUp();
        TestLogCapture log;
        ProfSysStatJob stat;
        ProfSysMemJob mem;
        ProfAllPidsJob pids;
        EXPECT_EQ(stat.Init(cfg_), -1) << c.what;
        EXPECT_EQ(mem.Init(cfg_), -1) << c.what;
        EXPECT_EQ(pids.Init(cfg_), -1) << c.what;
        if (c.lines.empty()) {
            EXPECT_EQ(log.Count(""), 0u) << c.what;
        }
        for (const std::string& line : c.lines) {
            EXPECT_EQ(log.Count(line), 1u) << line;
        }
    }
}

TEST_F(ProfSysInfoJobTest, JobsShareOneTimerStoppedByTheLastUninit) {
    params_->sys_profiling = "on";
    params_->pid_profiling = "on";
    TestLogCapture log;
    ProfSysStatJob stat;
    ProfSysMemJob mem;
    ProfAllPidsJob pids;
    ProfSysMemJob idle;  // never runs: its uninit leaves the timer to the others
    ASSERT_EQ(idle.Init(cfg_), 0);
    for (ProfSysInfoBase* job : std::vector<ProfSysInfoBase*>{&stat, &mem, &pids}) {
        ASSERT_EQ(job->Init(cfg_), 0);
        ASSERT_EQ(job->Process(), 0);
        ASSERT_NE(job->GetHandler(), nullptr);
    }
    EXPECT_EQ(idle.Uninit(), 0);
    EXPECT_EQ(log.Count("Start ProfTimer succ"), 1u);
    EXPECT_EQ(log.Count("statHandler Init succ, sampleIntervalNs_:100000000"), 1u);
    auto statHandler = std::static_pointer_cast<ProcTimerHandler>(stat.GetHandler());
    auto memHandler = std::static_pointer_cast<ProcTimerHandler>(mem.GetHandler());
    ASSERT_TRUE(WaitUntil([&] { return statHandler->GetIndex() >= 1; }));
    ASSERT_TRUE(WaitUntil([&] { return memHandler->GetIndex() >= 1; }));
    ASSERT_TRUE(WaitUntil([&] { return log.Count("ProcAllPidsFileHandler pass") >= 1; }));

    EXPECT_EQ(stat.Uninit(), 0);
    EXPECT_EQ(mem.Uninit(), 0);
    EXPECT_EQ(stat.GetHandler(), nullptr);
    EXPECT_EQ(log.Count("StopProfTimer begin"), 0u);  // the process job still uses it
    EXPECT_EQ(pids.Uninit(), 0);
    EXPECT_EQ(log.Count("StopProfTimer begin"), 1u);
    EXPECT_EQ(log.Count("FlushBuf SystemCpuUsage.data"), 1u);
    for (const auto& chunk : upload_.Sent()) {
        EXPECT_EQ(chunk.extraInfo, std::string(kJobId) + ".5");
    }
}

}  // namespace
}  // namespace Analysis::Orbx::JobWrapper
