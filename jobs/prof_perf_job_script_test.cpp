// The control-CPU job against the simulated card's real collection script
// (kProfCollectScript, through sudo), as the collect engine runs it.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/oru_paths.h"
#include "common/test_log_capture.h"
#include "jobs/prof_perf_job.h"
#include "jobs/upload_capture.h"
#include "message/config_manager.h"
#include "message/job_context.h"
#include "message/platform.h"
#include "message/profile_params.h"
#include "ostrel/sim_control.h"

namespace Analysis::Orbx::JobWrapper {
namespace {

using analysis::orbx::common::TestLogCapture;

bool Logged(const TestLogCapture& log, const std::string& text) {
    return log.Count(text) > 0;
}
using Analysis::Orbx::Common::Config::ConfigManager;
using Analysis::Orbx::Common::Platform::Platform;
using analysis::orbx::message::JobContext;
using analysis::orbx::message::ProfileParams;
namespace fs = std::filesystem;

constexpr uint32_t kDevId = 41;
constexpr uint32_t kDevIdOnHost = 3;
constexpr int kIntervalMs = 20;  // 50 samples a second
constexpr int64_t kSampleStepUs = 20000;
constexpr int kCtrlCpus = 4;

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct Converted {
    std::string piece;  // base name
    std::string text;
};

class ProfCtrlcpuJobScriptTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ostrel_sim_reset();
        ASSERT_EQ(Platform::GetInstance().InitRunSide(), 0);
        ASSERT_TRUE(Platform::GetInstance().IsDeviceSide());
        dir_ = ConfigManager::GetInstance().GetPerfDataDir(kDevId);
        fs::remove_all(dir_);

        cfg_ = std::make_shared<CollectionJobCfg>();
        cfg_->jobTag = 29;
        cfg_->events = std::make_shared<EventList>(EventList{"0x11", "0x8"});
        auto common = std::make_shared<CollectionJobCommonParams>();
        common->devId = kDevId;
        common->devIdOnHost = kDevIdOnHost;
        common->params = std::make_shared<ProfileParams>();
        common->params->cpu_sampling_interval = kIntervalMs;
        common->jobCtx = std::make_shared<JobContext>();
        common->jobCtx->job_id = "job-ctrlcpu";
        common->jobCtx->tag = "29";
        common->jobCtx->dev_id = std::to_string(kDevIdOnHost);
        cfg_->commonParams = common;
    }
    void TearDown() override { fs::remove_all(dir_); }

    // Converts through the script as the job does, keeping what came out.
    PerfExtraTask::ConvertFunc KeepingConverter() {
        return [this](const std::string& piece, int& exitCode) {
            const int ret = PerfExtraTask::ConvertWithScript(piece, exitCode);
            std::lock_guard<std::mutex> lock(mutex_);
            converted_.push_back({fs::path(piece).filename().string(), ReadAll(piece + ".txt")});
            return ret;
        };
    }
    size_t ConvertedCount() {
        std::lock_guard<std::mutex> lock(mutex_);
        return converted_.size();
    }

    TestLogCapture log_;
    std::string dir_;
    std::shared_ptr<CollectionJobCfg> cfg_;
    std::mutex mutex_;
    std::vector<Converted> converted_;  // guarded by mutex_
};

TEST_F(ProfCtrlcpuJobScriptTest, EveryPieceReachesTheHostOnceInOrderAndNoneIsLeft) {
    UploadCapture capture("job-ctrlcpu");
    ASSERT_TRUE(capture.Ok());
    ProfCtrlcpuJob job;
    // Look at the directory often rather than once a second.
    job.SetTaskWaitFunc([] { std::this_thread::sleep_for(std::chrono::milliseconds(50)); });
    job.SetTaskConvertFunc(KeepingConverter());
    ASSERT_EQ(job.Init(cfg_), 0);
    ASSERT_EQ(job.Process(), 0);
    ASSERT_TRUE(Logged(log_, "start profiling ctrl cpu, cmd=sudo "));

    // The script starts a piece about every second: wait (bounded) until two
    // finished ones were shipped while it still records.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (ConvertedCount() < 2 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_GE(ConvertedCount(), 2u);
    EXPECT_EQ(job.Uninit(), 0);
    EXPECT_TRUE(Logged(log_, "Succeeded to kill process, ret=0, exitCode=0"));
    EXPECT_TRUE(Logged(log_, "exited, exit code=0"));

    // Every child the job started has been waited for.
    int status = 0;
    EXPECT_EQ(waitpid(-1, &status, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);

    // Pieces 0, 1, 2, ... each converted once, in order; the last one too.
    std::vector<Converted> converted;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        converted = converted_;
    }
    ASSERT_GE(converted.size(), 3u);
    std::string expected;
    for (size_t i = 0; i < converted.size(); ++i) {
        EXPECT_EQ(converted[i].piece, "ai_ctrl_cpu.data.3." + std::to_string(i));
        expected += converted[i].text;
    }

    // The host got exactly the conversions, in piece order.
    const auto& chunks = capture.Finish();
    ASSERT_FALSE(chunks.empty());
    for (const auto& chunk : chunks) {
        EXPECT_EQ(chunk.fileName, "data/ai_ctrl_cpu.data.29");
        EXPECT_EQ(chunk.extraInfo, "job-ctrlcpu.3");
        EXPECT_LE(chunk.chunkSize, 262144u);
    }
    EXPECT_EQ(capture.Payload(), expected);
    EXPECT_TRUE(
        Logged(log_, "PerfExtraTask the total data size: " + std::to_string(expected.size())));

    // The text is the requested recording: every 20 ms, each control cpu and
    // event once, with no sample missing between pieces.
    const std::regex line(R"(^(\d+)\.(\d{6}) cpu(\d+) (r11|r8) (\d+)$)");
    std::map<int64_t, std::set<std::string>> samples;
    std::istringstream in(expected);
    size_t lines = 0;
    for (std::string text; std::getline(in, text); ++lines) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(text, m, line)) << text;
        const int64_t us = std::stoll(m[1]) * 1000000 + std::stoll(m[2]);
        EXPECT_LT(std::stoi(m[3]), kCtrlCpus);
        EXPECT_TRUE(samples[us].insert(m[3].str() + " " + m[4].str()).second) << text;
    }
    ASSERT_GE(samples.size(), 2u);
    int64_t previous = samples.begin()->first;
    for (const auto& [us, seen] : samples) {
        EXPECT_EQ(seen.size(), static_cast<size_t>(kCtrlCpus * 2)) << us;
        if (us != previous) {
            EXPECT_EQ(us - previous, kSampleStepUs);
        }
        previous = us;
    }
    EXPECT_EQ(lines, samples.size() * kCtrlCpus * 2);

    // Only the script's output file and log stay behind.
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(dir_)) {
        left.push_back(entry.path().filename().string());
    }
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, std::vector<std::string>({"ai_ctrl_cpu.data.3", "perf.log"}));
    EXPECT_NE(ReadAll(dir_ + "/perf.log").find("recording"), std::string::npos);
}

TEST_F(ProfCtrlcpuJobScriptTest, StoppingRightAfterTheStartStillShipsTheRecording) {
    UploadCapture capture("job-ctrlcpu");
    ProfCtrlcpuJob job;
    job.SetTaskWaitFunc([] { std::this_thread::sleep_for(std::chrono::milliseconds(50)); });
    job.SetTaskConvertFunc(KeepingConverter());
    ASSERT_EQ(job.Init(cfg_), 0);
    ASSERT_EQ(job.Process(), 0);
    // Once the first piece exists the script is recording.
    const std::string first = dir_ + "/ai_ctrl_cpu.data.3.0";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!fs::exists(first) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(fs::exists(first));
    EXPECT_EQ(job.Uninit(), 0);
    capture.Finish();
    std::lock_guard<std::mutex> lock(mutex_);
    ASSERT_FALSE(converted_.empty());
    EXPECT_EQ(converted_.front().piece, "ai_ctrl_cpu.data.3.0");
    std::string expected;
    for (const auto& c : converted_) {
        expected += c.text;
    }
    EXPECT_EQ(capture.Payload(), expected);
    EXPECT_FALSE(fs::exists(first));
}

}  // namespace
}  // namespace Analysis::Orbx::JobWrapper
