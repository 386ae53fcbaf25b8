#include "jobs/prof_comm_job.h"

#include <gtest/gtest.h>

#include "jobs/prof_channel_manager.h"
#include "testing/test_log_capture.h"

namespace Analysis::Orbx::JobWrapper {
namespace {

using analysis::orbx::common::TestLogCapture;

class ReaderJob : public ProfDrvJob {
  public:
    explicit ReaderJob(std::shared_ptr<CollectionJobCfg> cfg) {
        collectionJobCfg_ = std::move(cfg);
    }
    int Init(const std::shared_ptr<CollectionJobCfg>) override { return 0; }
    int Process() override { return 0; }
    int Uninit() override { return 0; }
    using ProfDrvJob::AddReader;
    using ProfDrvJob::RemoveReader;
};

TEST(ProfDrvJobTest, ReadersNameTheirDataRelativeToTheResultDirectory) {
    TestLogCapture logs;
    auto cfg = std::make_shared<CollectionJobCfg>();
    cfg->commonParams = std::make_shared<CollectionJobCommonParams>();
    ReaderJob job(cfg);
    // No poller runs: the reader is made, then left out.
    job.AddReader("k1", 0, 8, "data/llc.data");
    EXPECT_TRUE(logs.Has("Channel reader data/llc.data, buffer size"));
    EXPECT_TRUE(
        logs.Has("ProfDrvJob AddReader failed, key:k1, devId:0, channel:8, filepath:llc.data"));

    cfg->commonParams->resultDir = "/var/log/npu/profiling/0";
    job.AddReader("k2", 0, 8, "/var/log/npu/profiling/0//data/ddr.data");
    EXPECT_TRUE(logs.Has("Channel reader data/ddr.data, buffer size"));
    job.AddReader("k3", 0, 8, "/elsewhere/hbm.data");
    EXPECT_TRUE(logs.Has("Channel reader , buffer size"));

    job.RemoveReader("k1", 0, 8);
    EXPECT_TRUE(logs.Has("ProfDrvJob RemoveReader, key:k1, devId:0, channel:8"));
    EXPECT_EQ(nullptr, ProfChannelManager::GetInstance().GetChannelPoll());
}

}  // namespace
}  // namespace Analysis::Orbx::JobWrapper
