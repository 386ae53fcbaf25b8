// Test fixture of the control-CPU job and its task: a job configuration for a device of the
// test's own, its perf-data directory (emptied around each test), and the daemon's log.
#ifndef ORU_TESTING_PROF_PERF_JOB_FIXTURE_H
#define ORU_TESTING_PROF_PERF_JOB_FIXTURE_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "driver/config_manager.h"
#include "driver/platform.h"
#include "jobs/prof_comm_job.h"
#include "message/job_context.h"
#include "message/profile_params.h"
#include "ostrel/sim_control.h"
#include "testing/test_log_capture.h"

namespace Analysis::Orbx::JobWrapper::testing {

inline std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteAll(const std::string& path, const std::string& data) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}

inline std::vector<std::string> Listing(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

class CtrlCpuJobFixture : public ::testing::Test {
  protected:
    // Tests that may run side by side use different devices.
    CtrlCpuJobFixture(uint32_t devId, uint32_t devIdOnHost)
        : devId_(devId), devIdOnHost_(devIdOnHost) {}

    void SetUp() override {
        ostrel_sim_reset();
        ASSERT_EQ(Common::Platform::Platform::GetInstance().InitRunSide(), 0);
        ASSERT_TRUE(Common::Platform::Platform::GetInstance().IsDeviceSide());
        dir_ = Common::Config::ConfigManager::GetInstance().GetPerfDataDir(devId_);
        std::filesystem::remove_all(dir_);
        cfg_ = std::make_shared<CollectionJobCfg>();
        cfg_->jobTag = 29;
        cfg_->events = std::make_shared<EventList>(EventList{"0x11", "0x8"});
        auto common = std::make_shared<CollectionJobCommonParams>();
        common->devId = devId_;
        common->devIdOnHost = devIdOnHost_;
        common->params = std::make_shared<analysis::orbx::message::ProfileParams>();
        common->params->cpu_sampling_interval = 20;
        common->jobCtx = std::make_shared<analysis::orbx::message::JobContext>();
        common->jobCtx->job_id = "job-ctrlcpu";
        common->jobCtx->tag = "29";
        common->jobCtx->dev_id = std::to_string(devIdOnHost_);
        cfg_->commonParams = common;
    }
    void TearDown() override {
        ostrel_sim_reset();
        (void)Common::Platform::Platform::GetInstance().InitRunSide();
        std::filesystem::remove_all(dir_);
    }

    bool Logged(const std::string& text) const { return log_.Count(text) > 0; }
    std::string InDir(const std::string& name) const { return dir_ + "/" + name; }

    const uint32_t devId_;
    const uint32_t devIdOnHost_;
    analysis::orbx::common::TestLogCapture log_;
    std::string dir_;
    std::shared_ptr<CollectionJobCfg> cfg_;
};

}  // namespace Analysis::Orbx::JobWrapper::testing

#endif  // ORU_TESTING_PROF_PERF_JOB_FIXTURE_H
