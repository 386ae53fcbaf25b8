// The script-based cache job on a mini-class chip (platform type 0), running the simulated
// card's collection script through sudo as the daemon does.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <thread>

#include "common/oru_paths.h"
#include "driver/config_manager.h"
#include "driver/platform.h"
#include "jobs/collection_register.h"
#include "jobs/prof_hardware_mem_job.h"
#include "message/job_context.h"
#include "message/profile_params.h"
#include "ostrel/sim_control.h"
#include "testing/chunk_capture.h"
#include "testing/process.h"
#include "testing/sim_test_util.h"
#include "testing/test_log_capture.h"

namespace Analysis::Orbx::JobWrapper {
namespace {

using analysis::orbx::common::TestLogCapture;
using analysis::orbx::transport::testing::ChunkCapture;
using analysis::orbx::transport::testing::SameBytes;
using Common::Config::ConfigManager;

const char kJobId[] = "mini-job";

std::shared_ptr<CollectionJobCfg> MiniCfg(const EventList& events, int32_t interval) {
    auto cfg = std::make_shared<CollectionJobCfg>();
    cfg->jobTag = 3;
    cfg->events = std::make_shared<EventList>(events);
    auto common = std::make_shared<CollectionJobCommonParams>();
    common->devId = 0;
    common->devIdOnHost = 4;
    common->hostDevId = 4;
    common->params = std::make_shared<analysis::orbx::message::ProfileParams>();
    common->params->gxprof_llc_profiling = "on";
    common->params->llc_interval = interval;
    common->jobCtx = std::make_shared<analysis::orbx::message::JobContext>();
    common->jobCtx->job_id = kJobId;
    common->jobCtx->dev_id = "4";
    common->jobCtx->tag = "11";
    cfg->commonParams = common;
    return cfg;
}

std::string OutputFile() {
    return ConfigManager::GetInstance().GetPerfDataDir(0) + "/llc.data.4";
}

class MiniLlcJobTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ostrel::simtest::ResetSim();
        ostrel::simtest::UseSetting("OSTREL_SIM_CHIP_VERSION", "0x0005");
        ASSERT_EQ(0u, ConfigManager::GetInstance().GetPlatformType());
        ASSERT_EQ(0, Analysis::Orbx::Common::Platform::Platform::GetInstance().InitRunSide());
        // An earlier case's file would let the wait for the first line pass too soon.
        std::filesystem::remove(OutputFile());
    }
    void TearDown() override { ostrel::simtest::ResetSim(); }

    TestLogCapture logs_;
};

TEST_F(MiniLlcJobTest, OnlyTheScriptJobRunsOnAMiniChip) {
    ProfLlcJob channelJob;
    EXPECT_EQ(-1, channelJob.Init(MiniCfg({"read"}, 10)));
    EXPECT_TRUE(logs_.Has("Mini LLC Profiling not transport by driver channel"));

    ProfMiniLlcJob job;
    auto off = MiniCfg({"read"}, 10);
    off->commonParams->params->gxprof_llc_profiling = "";
    EXPECT_EQ(-1, job.Init(off));
    EXPECT_EQ(0, job.Init(MiniCfg({"read"}, 10)));

    ostrel::simtest::UseSetting("OSTREL_SIM_RUN_SIDE", "1");
    ASSERT_EQ(0, Analysis::Orbx::Common::Platform::Platform::GetInstance().InitRunSide());
    ProfMiniLlcJob hostSide;
    EXPECT_EQ(-1, hostSide.Init(MiniCfg({"read"}, 10)));
    EXPECT_TRUE(logs_.Has("Not run in device Side, Mini LLC Profiling not enabled"));
}

TEST_F(MiniLlcJobTest, TheScriptRecordsUntilTheJobStopsAndItsFileIsShipped) {
    ChunkCapture capture(kJobId);
    auto job = std::make_shared<ProfMiniLlcJob>();
    ASSERT_EQ(0, job->Init(MiniCfg({"read", "write"}, 10)));
    auto& registry = CollectionRegisterMgr::GetInstance();
    ASSERT_EQ(0, registry.CollectionJobRegisterAndRun(0, 3, job));
    std::string cmd = std::string("sudo ") + analysis::orbx::common::kProfCollectScript +
                      " --stat " + OutputFile() + " read,write 10";
    EXPECT_TRUE(logs_.Has("Begin to start profiling llc, cmd=" + cmd));

    // One job for the whole card: another device cannot start a second.
    auto second = std::make_shared<ProfMiniLlcJob>();
    ASSERT_EQ(0, second->Init(MiniCfg({"read"}, 10)));
    EXPECT_EQ(-1, registry.CollectionJobRegisterAndRun(1, 3, second));
    EXPECT_EQ(-1, registry.CollectionJobUnregisterAndStop(1, 3));

    ASSERT_TRUE(oru_testing::WaitUntil([] {
        return oru_testing::CountIn(oru_testing::ReadText(OutputFile()), "\n") >= 3;
    })) << "the script recorded no three lines";

    EXPECT_EQ(0, registry.CollectionJobUnregisterAndStop(0, 3));
    EXPECT_TRUE(logs_.Has("Succeeded to kill process, ret=0, exitCode=0"));
    EXPECT_TRUE(logs_.Has("exited, exit code="));
    const std::string content = oru_testing::ReadText(OutputFile());

    auto chunks = capture.Finish();
    ASSERT_EQ(1u, chunks.size());  // a file shorter than one chunk
    EXPECT_TRUE(SameBytes(content, ChunkCapture::Joined(chunks)));
    EXPECT_EQ("data/llc.data.11", chunks[0].fileName);
    EXPECT_EQ("mini-job.4", chunks[0].extraInfo);
    const std::regex sample(R"(^\S+ \S+ read: hits=\d+ .* write: hits=\d+ .*$)");
    std::istringstream lines(content);
    for (std::string line; std::getline(lines, line);) {
        EXPECT_TRUE(std::regex_match(line, sample)) << line;
    }
}

}  // namespace
}  // namespace Analysis::Orbx::JobWrapper
