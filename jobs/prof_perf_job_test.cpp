#include "jobs/prof_perf_job.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/oru_paths.h"
#include "common/test_log_capture.h"
#include "jobs/upload_capture.h"
#include "message/config_manager.h"
#include "message/job_context.h"
#include "message/platform.h"
#include "message/profile_params.h"
#include "ostrel/sim_control.h"

namespace Analysis::Orbx::JobWrapper {
namespace {

using Paths = std::vector<std::string>;

TEST(CtrlCpuCommandTest, FrequencyFollowsTheSamplingInterval) {
    EXPECT_EQ(CtrlCpuSampleFrequency(0), 100);
    EXPECT_EQ(CtrlCpuSampleFrequency(-5), 100);
    EXPECT_EQ(CtrlCpuSampleFrequency(20), 50);
    EXPECT_EQ(CtrlCpuSampleFrequency(3), 333);
    EXPECT_EQ(CtrlCpuSampleFrequency(1), 1000);
    EXPECT_EQ(CtrlCpuSampleFrequency(1000), 1);
    // Longer than a second still records: once a second, never "0 per second".
    EXPECT_EQ(CtrlCpuSampleFrequency(2500), 1);
}

TEST(CtrlCpuCommandTest, EventsBecomeRawEventNames) {
    EXPECT_EQ(CtrlCpuEventsText({"0x11", "0x8"}), "{r11,r8}");
    EXPECT_EQ(CtrlCpuEventsText({"0x11"}), "{r11}");
    EXPECT_EQ(CtrlCpuEventsText({}), "{}");
    // Only the first two characters are replaced, whatever they are.
    EXPECT_EQ(CtrlCpuEventsText({"x0x", "0x"}), "{rx,r}");
}

TEST(CtrlCpuPieceTest, OnlyNamesWithThreePointsArePieces) {
    EXPECT_TRUE(IsCtrlCpuPiece("/d/ai_ctrl_cpu.data.0.1"));
    EXPECT_TRUE(IsCtrlCpuPiece("ai_ctrl_cpu.data.3.17"));
    // The script's output file itself.
    EXPECT_FALSE(IsCtrlCpuPiece("/d/ai_ctrl_cpu.data.0"));
    // A converted piece.
    EXPECT_FALSE(IsCtrlCpuPiece("/d/ai_ctrl_cpu.data.0.1.txt"));
    EXPECT_FALSE(IsCtrlCpuPiece("/d/llc.data.0.1"));
    EXPECT_FALSE(IsCtrlCpuPiece("/d/perf.log"));
    // Points in the folder do not count.
    EXPECT_TRUE(IsCtrlCpuPiece("/a.b/c.d/ai_ctrl_cpu.data.0.1"));
    EXPECT_FALSE(IsCtrlCpuPiece("/a.b/ai_ctrl_cpu.data.0"));
}

TEST(CtrlCpuPieceTest, TheLastPieceWaitsUntilRecordingEnds) {
    const Paths listed = {"/d/ai_ctrl_cpu.data.0.2", "/d/ai_ctrl_cpu.data.0",
                          "/d/ai_ctrl_cpu.data.0.1", "/d/perf.log", "/d/ai_ctrl_cpu.data.0.1.txt"};
    EXPECT_EQ(SelectCtrlCpuPieces(listed, false), Paths({"/d/ai_ctrl_cpu.data.0.1"}));
    EXPECT_EQ(SelectCtrlCpuPieces(listed, true),
              Paths({"/d/ai_ctrl_cpu.data.0.1", "/d/ai_ctrl_cpu.data.0.2"}));
}

TEST(CtrlCpuPieceTest, ASinglePieceIsStillBeingWritten) {
    const Paths listed = {"/d/ai_ctrl_cpu.data.0", "/d/ai_ctrl_cpu.data.0.0"};
    EXPECT_TRUE(SelectCtrlCpuPieces(listed, false).empty());
    EXPECT_EQ(SelectCtrlCpuPieces(listed, true), Paths({"/d/ai_ctrl_cpu.data.0.0"}));
    EXPECT_TRUE(SelectCtrlCpuPieces({"/d/ai_ctrl_cpu.data.0"}, true).empty());
}

TEST(CtrlCpuPieceTest, PiecesComeInRecordingOrderPastNine) {
    Paths listed;
    for (int n = 12; n >= 0; --n) {
        listed.push_back("/d/ai_ctrl_cpu.data.0." + std::to_string(n));
    }
    Paths expected;
    for (int n = 0; n <= 11; ++n) {
        expected.push_back("/d/ai_ctrl_cpu.data.0." + std::to_string(n));
    }
    // Piece 12 is the one being written, not piece 9.
    EXPECT_EQ(SelectCtrlCpuPieces(listed, false), expected);
    expected.push_back("/d/ai_ctrl_cpu.data.0.12");
    EXPECT_EQ(SelectCtrlCpuPieces(listed, true), expected);
}

TEST(CtrlCpuPieceTest, OddNamesStillSortConsistently) {
    // Mixed numeric and other endings must not break the ordering.
    const Paths listed = {"/d/ai_ctrl_cpu.data.0.1a", "/d/ai_ctrl_cpu.data.0.10",
                          "/d/ai_ctrl_cpu.data.0.9", "/d/ai_ctrl_cpu.data.0.007",
                          "/d/ai_ctrl_cpu.data.1.0"};
    EXPECT_EQ(
        SelectCtrlCpuPieces(listed, true),
        Paths({"/d/ai_ctrl_cpu.data.0.007", "/d/ai_ctrl_cpu.data.0.9", "/d/ai_ctrl_cpu.data.0.10",
               "/d/ai_ctrl_cpu.data.0.1a", "/d/ai_ctrl_cpu.data.1.0"}));
}

// ---- PerfExtraTask ----------------------------------------------------------

using analysis::orbx::common::TestLogCapture;

bool Logged(const TestLogCapture& log, const std::string& text) {
    return log.Count(text) > 0;
}
using Analysis::Orbx::Common::Config::ConfigManager;
using Analysis::Orbx::Common::Platform::Platform;
using analysis::orbx::message::JobContext;
using analysis::orbx::message::ProfileParams;
namespace fs = std::filesystem;

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
}

// Lets the task thread take one turn per permit, or every turn once opened.
class Gate {
  public:
    void Wait() {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait(lock, [this] { return open_ || permits_ > 0; });
        if (!open_) {
            --permits_;
        }
        ++turns_;
        cv_.notify_all();
    }
    void Permit() {
        std::lock_guard<std::mutex> lock(mutex_);
        ++permits_;
        cv_.notify_all();
    }
    void Open() {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = true;
        cv_.notify_all();
    }
    // Blocks until the thread has been let through n times.
    void AwaitTurns(int n) {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait(lock, [this, n] { return turns_ >= n; });
    }

  private:
    std::mutex mutex_;
    std::condition_variable cv_;
    int permits_ = 0;
    int turns_ = 0;
    bool open_ = false;
};

class PerfExtraTaskTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = std::string(ORU_TEST_TMP_DIR) + "/perf_data";
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        jobCtx_ = std::make_shared<JobContext>();
        jobCtx_->job_id = "job-7";
        jobCtx_->tag = "5";
        jobCtx_->dev_id = "1";
        params_ = std::make_shared<ProfileParams>();
        task_ = std::make_shared<PerfExtraTask>(0x40001, dir_, jobCtx_, params_);
        // A converter that stands in for the script: "text of" + the piece.
        task_->SetConvertFunc([this](const std::string& piece, int& exitCode) {
            std::lock_guard<std::mutex> lock(mutex_);
            converted_.push_back(fs::path(piece).filename().string());
            exitCode = 0;
            auto it = conversions_.find(converted_.back());
            WriteAll(piece + ".txt",
                     it != conversions_.end() ? it->second : "text of " + ReadAll(piece));
            return 0;
        });
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string Piece(const std::string& name, const std::string& data = "") {
        std::string path = dir_ + "/" + name;
        WriteAll(path, data.empty() ? name : data);
        return path;
    }
    std::vector<std::string> Left() {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir_)) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    std::vector<std::string> Converted() {
        std::lock_guard<std::mutex> lock(mutex_);
        return converted_;
    }

    TestLogCapture log_;
    std::string dir_;
    std::shared_ptr<JobContext> jobCtx_;
    std::shared_ptr<ProfileParams> params_;
    std::shared_ptr<PerfExtraTask> task_;
    std::mutex mutex_;
    std::vector<std::string> converted_;              // guarded by mutex_
    std::map<std::string, std::string> conversions_;  // set before the task runs
};

TEST_F(PerfExtraTaskTest, FinishedPiecesAreShippedAndDeletedTheLastAtTheEnd) {
    UploadCapture capture("job-7");
    ASSERT_TRUE(capture.Ok());
    ASSERT_EQ(task_->Init(), 0);
    Piece("ai_ctrl_cpu.data.1.1", "one");
    Piece("ai_ctrl_cpu.data.1.2", "two");
    Piece("ai_ctrl_cpu.data.1", "");  // the script's output file

    task_->ProcessPieces(false);
    EXPECT_EQ(Converted(), Paths({"ai_ctrl_cpu.data.1.1"}));
    EXPECT_EQ(Left(), Paths({"ai_ctrl_cpu.data.1", "ai_ctrl_cpu.data.1.2"}));
    EXPECT_TRUE(Logged(log_, "PerfExtraTask file: ai_ctrl_cpu.data.1.1"));
    EXPECT_TRUE(Logged(log_, "resolve ctrlcpu data:ai_ctrl_cpu.data.1.1, ret=0, exit_code=0"));

    task_->ProcessPieces(true);
    EXPECT_EQ(Converted(), Paths({"ai_ctrl_cpu.data.1.1", "ai_ctrl_cpu.data.1.2"}));
    EXPECT_EQ(Left(), Paths({"ai_ctrl_cpu.data.1"}));

    const auto& chunks = capture.Finish();
    ASSERT_EQ(chunks.size(), 2u);
    for (const auto& chunk : chunks) {
        EXPECT_EQ(chunk.fileName, "data/ai_ctrl_cpu.data.5");
        EXPECT_EQ(chunk.extraInfo, "job-7.1");
        EXPECT_EQ(chunk.chunkModule, 3);
        EXPECT_EQ(chunk.offset, -1);
        EXPECT_FALSE(chunk.isLastChunk);
        EXPECT_EQ(chunk.chunkSize, chunk.chunk.size());
    }
    EXPECT_EQ(capture.Payload(), "text of onetext of two");
    EXPECT_EQ(task_->GetTotalSize(), static_cast<int64_t>(capture.Payload().size()));
}

TEST_F(PerfExtraTaskTest, AnEmptyConversionIsNotShippedButDeleted) {
    UploadCapture capture("job-7");
    ASSERT_EQ(task_->Init(), 0);
    conversions_["ai_ctrl_cpu.data.1.1"] = "";
    Piece("ai_ctrl_cpu.data.1.1");
    task_->ProcessPieces(true);
    EXPECT_TRUE(Logged(log_, "data file size is invalid"));
    EXPECT_TRUE(Left().empty());
    EXPECT_TRUE(capture.Finish().empty());
    EXPECT_EQ(task_->GetTotalSize(), 0);
}

TEST_F(PerfExtraTaskTest, AFailedConversionStillRemovesThePiece) {
    UploadCapture capture("job-7");
    ASSERT_EQ(task_->Init(), 0);
    task_->SetConvertFunc([](const std::string&, int& exitCode) {
        exitCode = 1;
        return -1;
    });
    Piece("ai_ctrl_cpu.data.1.4");
    task_->ProcessPieces(true);
    EXPECT_TRUE(Logged(log_, "resolve ctrlcpu data:ai_ctrl_cpu.data.1.4, ret=-1, exit_code=1"));
    EXPECT_TRUE(Logged(log_, "file:ai_ctrl_cpu.data.1.4.txt is not exist"));
    EXPECT_TRUE(Left().empty());
    EXPECT_TRUE(capture.Finish().empty());
}

TEST_F(PerfExtraTaskTest, LargeConversionsTravelInQuarterMebibyteChunks) {
    UploadCapture capture("job-7");
    ASSERT_EQ(task_->Init(), 0);
    std::string text(2 * 262144 + 5, '\0');
    for (size_t i = 0; i < text.size(); ++i) {
        text[i] = static_cast<char>('a' + (i * 7) % 26);
    }
    conversions_["ai_ctrl_cpu.data.1.1"] = text;
    Piece("ai_ctrl_cpu.data.1.1");
    task_->ProcessPieces(true);
    const auto& chunks = capture.Finish();
    ASSERT_EQ(chunks.size(), 3u);
    EXPECT_EQ(chunks[0].chunkSize, 262144u);
    EXPECT_EQ(chunks[1].chunkSize, 262144u);
    EXPECT_EQ(chunks[2].chunkSize, 5u);
    EXPECT_EQ(capture.Payload(), text);
    EXPECT_EQ(task_->GetTotalSize(), static_cast<int64_t>(text.size()));
}

TEST_F(PerfExtraTaskTest, WithoutAnUploaderTheDataIsDroppedAndThePieceStillGoes) {
    ASSERT_EQ(task_->Init(), 0);
    Piece("ai_ctrl_cpu.data.1.1", "one");
    task_->ProcessPieces(true);
    EXPECT_TRUE(Logged(log_, "Upload cpu data failed , jobId: job-7"));
    EXPECT_TRUE(Left().empty());
}

TEST_F(PerfExtraTaskTest, TheThreadTakesFinishedPiecesAndDrainsAllWhenStopped) {
    UploadCapture capture("job-7");
    Gate gate;
    task_->SetWaitFunc([&gate] { gate.Wait(); });
    ASSERT_EQ(task_->Init(), 0);
    Piece("ai_ctrl_cpu.data.1.0", "a");
    Piece("ai_ctrl_cpu.data.1.1", "b");
    Piece("ai_ctrl_cpu.data.1.2", "c");
    task_->SetThreadName("KTRX_PerfScript");
    ASSERT_EQ(task_->Start(), 0);

    gate.Permit();
    gate.AwaitTurns(1);
    // The thread is in its second wait only after the first look is done.
    gate.Permit();
    gate.AwaitTurns(2);
    EXPECT_EQ(Converted(), Paths({"ai_ctrl_cpu.data.1.0", "ai_ctrl_cpu.data.1.1"}));
    EXPECT_EQ(Left(), Paths({"ai_ctrl_cpu.data.1.2"}));

    gate.Open();
    ASSERT_EQ(task_->Stop(), 0);
    EXPECT_EQ(Converted(),
              Paths({"ai_ctrl_cpu.data.1.0", "ai_ctrl_cpu.data.1.1", "ai_ctrl_cpu.data.1.2"}));
    EXPECT_TRUE(Left().empty());
    EXPECT_EQ(capture.Finish().size(), 3u);
    EXPECT_EQ(capture.Payload(), "text of atext of btext of c");
    EXPECT_TRUE(Logged(log_, "PerfExtraTask running"));
    EXPECT_TRUE(Logged(log_, "PerfExtraTask the total data size: 27"));
}

TEST_F(PerfExtraTaskTest, InitAndUninitGuardTheBuffer) {
    EXPECT_EQ(task_->Init(), 0);
    EXPECT_TRUE(Logged(log_, "PerfExtraTask init succ"));
    EXPECT_EQ(task_->Init(), -1);
    EXPECT_TRUE(Logged(log_, "The PerfExtraTask is inited"));
    EXPECT_EQ(task_->Uninit(), 0);
    EXPECT_FALSE(Logged(log_, "PerfExtraTask is uninited"));
    EXPECT_EQ(task_->Uninit(), 0);
    EXPECT_TRUE(Logged(log_, "PerfExtraTask is uninited"));
    // Uninited, a piece is still consumed but nothing is read.
    Piece("ai_ctrl_cpu.data.1.1", "x");
    task_->ProcessPieces(true);
    EXPECT_TRUE(Left().empty());
    EXPECT_EQ(task_->GetTotalSize(), 0);

    PerfExtraTask tiny(1, dir_, jobCtx_, params_);
    EXPECT_EQ(tiny.Init(), -1);
    EXPECT_TRUE(Logged(log_, "Buf init failed"));

    params_->hostProfiling = true;
    PerfExtraTask host(0x40001, dir_, jobCtx_, params_);
    EXPECT_EQ(host.Init(), -1);
}

// ---- ProfCtrlcpuJob (without running the script) -----------------------------

class ProfCtrlcpuJobTest : public ::testing::Test {
  protected:
    // A device of its own, so no other test's data shares the directory.
    static constexpr uint32_t kDevId = 37;
    static constexpr uint32_t kDevIdOnHost = 5;

    void SetUp() override {
        ostrel_sim_reset();
        ASSERT_EQ(Platform::GetInstance().InitRunSide(), 0);
        ASSERT_TRUE(Platform::GetInstance().IsDeviceSide());
        dir_ = ConfigManager::GetInstance().GetPerfDataDir(kDevId);
        fs::remove_all(dir_);
        cfg_ = std::make_shared<CollectionJobCfg>();
        cfg_->jobTag = 29;
        cfg_->events = std::make_shared<EventList>(EventList{"0x11", "0x8"});
        cfg_->commonParams = std::make_shared<CollectionJobCommonParams>();
        cfg_->commonParams->devId = kDevId;
        cfg_->commonParams->devIdOnHost = kDevIdOnHost;
        cfg_->commonParams->params = std::make_shared<ProfileParams>();
        cfg_->commonParams->params->cpu_sampling_interval = 20;
        cfg_->commonParams->jobCtx = std::make_shared<JobContext>();
    }
    void TearDown() override {
        ostrel_sim_reset();
        (void)Platform::GetInstance().InitRunSide();
        fs::remove_all(dir_);
    }

    std::string Command(const std::string& frequencyAndEvents) const {
        return std::string("sudo ") + analysis::orbx::common::kProfCollectScript + " --record " +
               dir_ + "/ai_ctrl_cpu.data.5 " + frequencyAndEvents;
    }

    TestLogCapture log_;
    std::string dir_;
    std::shared_ptr<CollectionJobCfg> cfg_;
};

TEST_F(ProfCtrlcpuJobTest, InitNeedsEventsTheDeviceSideAndNoHostProfiling) {
    ProfCtrlcpuJob job;
    EXPECT_TRUE(job.IsGlobalJobLevel());
    EXPECT_EQ(job.Init(nullptr), -1);
    auto noEvents = std::make_shared<CollectionJobCfg>(*cfg_);
    noEvents->events = std::make_shared<EventList>();
    EXPECT_EQ(job.Init(noEvents), -1);
    noEvents->events.reset();
    EXPECT_EQ(job.Init(noEvents), -1);
    EXPECT_EQ(log_.Count("Job check event param not pass"), 3u);

    cfg_->commonParams->params->hostProfiling = true;
    EXPECT_EQ(job.Init(cfg_), -1);
    cfg_->commonParams->params->hostProfiling = false;

    ASSERT_EQ(ostrel_sim_fault_set_value(OSTREL_SIM_FAULT_PLATFORM_INFO, 1, 1), 0);
    ASSERT_EQ(Platform::GetInstance().InitRunSide(), 0);
    EXPECT_EQ(job.Init(cfg_), -1);
    EXPECT_TRUE(Logged(log_, "Not in device Side, aiCtrlcpu Profiling not enabled"));
    EXPECT_FALSE(fs::exists(dir_));
    EXPECT_TRUE(cfg_->commonParams->resultDir.empty());
    // Nothing was kept: the job cannot start.
    EXPECT_EQ(job.Process(), -1);
    EXPECT_TRUE(Logged(log_, "Job check comm param failed"));
}

TEST_F(ProfCtrlcpuJobTest, InitMakesThePerfDataDirectoryTheResultDirectory) {
    ProfCtrlcpuJob job;
    ASSERT_EQ(job.Init(cfg_), 0);
    EXPECT_EQ(cfg_->commonParams->resultDir, dir_);
    EXPECT_TRUE(fs::is_directory(dir_));
}

TEST_F(ProfCtrlcpuJobTest, TheRecordCommandCarriesFileFrequencyAndEvents) {
    ProfCtrlcpuJob job;
    ASSERT_EQ(job.Init(cfg_), 0);
    EXPECT_EQ(job.BuildCtrlCpuCmd(), Command("50 {r11,r8}"));
    cfg_->commonParams->params->cpu_sampling_interval = 0;
    EXPECT_EQ(job.BuildCtrlCpuCmd(), Command("100 {r11,r8}"));
    cfg_->commonParams->params->cpu_sampling_interval = 3;
    *cfg_->events = {"0x11"};
    EXPECT_EQ(job.BuildCtrlCpuCmd(), Command("333 {r11}"));
}

TEST_F(ProfCtrlcpuJobTest, BuildingTheCommandEmptiesTheOutputAndDropsStalePieces) {
    ProfCtrlcpuJob job;
    ASSERT_EQ(job.Init(cfg_), 0);
    WriteAll(dir_ + "/ai_ctrl_cpu.data.5", "old recording");
    WriteAll(dir_ + "/ai_ctrl_cpu.data.5.7", "old piece");
    WriteAll(dir_ + "/ai_ctrl_cpu.data.5.7.txt", "old text");
    WriteAll(dir_ + "/ai_ctrl_cpu.data.5.8.txt", "old text");
    WriteAll(dir_ + "/llc.data.5", "cache data");
    ASSERT_FALSE(job.BuildCtrlCpuCmd().empty());
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(dir_)) {
        left.push_back(entry.path().filename().string());
    }
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, Paths({"ai_ctrl_cpu.data.5", "llc.data.5"}));
    EXPECT_EQ(ReadAll(dir_ + "/ai_ctrl_cpu.data.5"), "");
    EXPECT_EQ(ReadAll(dir_ + "/llc.data.5"), "cache data");
}

TEST_F(ProfCtrlcpuJobTest, RefusedEventsStartNothing) {
    ProfCtrlcpuJob job;
    ASSERT_EQ(job.Init(cfg_), 0);
    *cfg_->events = {"0x11", "11"};
    EXPECT_TRUE(job.BuildCtrlCpuCmd().empty());
    EXPECT_EQ(job.Process(), 0);
    *cfg_->events = EventList(9, "0x11");
    EXPECT_TRUE(job.BuildCtrlCpuCmd().empty());
    EXPECT_EQ(job.Process(), 0);
    EXPECT_FALSE(Logged(log_, "start profiling ctrl cpu"));
    EXPECT_FALSE(fs::exists(dir_ + "/perf.log"));
}

}  // namespace
}  // namespace Analysis::Orbx::JobWrapper
