#include "jobs/prof_comm_job.h"

#include <gtest/gtest.h>

#include "driver/log_capture.h"
#include "message/job_context.h"
#include "message/profile_params.h"

namespace Analysis::Orbx::JobWrapper {
namespace {

using analysis::orbx::driver::testing::LogCapture;

std::shared_ptr<CollectionJobCfg> Configured() {
    auto cfg = std::make_shared<CollectionJobCfg>();
    cfg->commonParams = std::make_shared<CollectionJobCommonParams>();
    return cfg;
}

TEST(ProfCommJobTest, ACfgWithoutCommonParametersIsNotConfigured) {
    LogCapture logs;
    EXPECT_FALSE(CheckJobCommonParam(nullptr));
    EXPECT_FALSE(CheckJobCommonParam(std::make_shared<CollectionJobCfg>()));
    EXPECT_EQ(2, logs.Count("Job check comm param failed", DLOG_INFO));
    EXPECT_TRUE(CheckJobCommonParam(Configured()));
}

TEST(ProfCommJobTest, EventsMustBePresentAndNonEmpty) {
    LogCapture logs;
    auto cfg = Configured();
    EXPECT_FALSE(CheckJobEventParam(cfg));
    cfg->events = std::make_shared<EventList>();
    EXPECT_FALSE(CheckJobEventParam(cfg));
    EXPECT_EQ(2, logs.Count("Job check event param not pass"));
    cfg->events->push_back("read");
    EXPECT_TRUE(CheckJobEventParam(cfg));
    cfg->commonParams.reset();
    EXPECT_FALSE(CheckJobEventParam(cfg));
}

TEST(ProfCommJobTest, HostProfilingAndJobIdComeFromTheSharedParameters) {
    auto cfg = Configured();
    EXPECT_FALSE(IsHostProfiling(cfg));
    EXPECT_EQ("", JobIdOf(cfg));
    cfg->commonParams->params = std::make_shared<analysis::orbx::message::ProfileParams>();
    EXPECT_FALSE(IsHostProfiling(cfg));
    cfg->commonParams->params->hostProfiling = true;
    EXPECT_TRUE(IsHostProfiling(cfg));
    cfg->commonParams->jobCtx = std::make_shared<analysis::orbx::message::JobContext>();
    cfg->commonParams->jobCtx->job_id = "42";
    EXPECT_EQ("42", JobIdOf(cfg));
}

}  // namespace
}  // namespace Analysis::Orbx::JobWrapper
