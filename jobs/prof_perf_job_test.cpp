#include "jobs/prof_perf_job.h"

#include <gtest/gtest.h>
#include <chrono>

#include <algorithm>
#include <filesystem>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/oru_paths.h"
#include "driver/platform.h"
#include "testing/chunk_capture.h"
#include "testing/process.h"
#include "testing/prof_perf_job_fixture.h"
#include "testing/test_fake_clock.h"

namespace Analysis::Orbx::JobWrapper {
namespace {

using analysis::orbx::common::FakeClock;
using Paths = std::vector<std::string>;
using analysis::orbx::transport::testing::ChunkCapture;
using testing::CtrlCpuJobFixture;
using testing::Listing;
using testing::ReadAll;
using testing::WriteAll;
namespace fs = std::filesystem;

TEST(CtrlCpuCommandTest, FrequencyFollowsTheSamplingIntervalAndEventsAreRaw) {
    EXPECT_EQ(CtrlCpuSampleFrequency(0), 100);
    EXPECT_EQ(CtrlCpuSampleFrequency(3), 333);
    EXPECT_EQ(CtrlCpuSampleFrequency(1), 1000);
    // Longer than a second still records: once a second, never "0 per second".
    EXPECT_EQ(CtrlCpuSampleFrequency(2500), 1);
    EXPECT_EQ(CtrlCpuEventsText({"0x11", "0x8"}), "{r11,r8}");
    EXPECT_EQ(CtrlCpuEventsText({}), "{}");
    // Only the first two characters are replaced, whatever they are.
    EXPECT_EQ(CtrlCpuEventsText({"x0x", "0x"}), "{rx,r}");
}

TEST(CtrlCpuPieceTest, PiecesComeInRecordingOrderTheLastOneOnlyAfterTheRecording) {
    auto numbered = [](int from, int to) {
        Paths paths;
        for (int n = from; n <= to; ++n) {
            paths.push_back("/d/ai_ctrl_cpu.data.0." + std::to_string(n));
        }
        return paths;
    };
    Paths pastNine = numbered(0, 12);
    std::reverse(pastNine.begin(), pastNine.end());
    const struct {
        Paths listed;
        Paths whileRecording;
        Paths afterwards;
    } cases[] = {
        {{"/d/ai_ctrl_cpu.data.0.2", "/d/ai_ctrl_cpu.data.0", "/d/ai_ctrl_cpu.data.0.1",
          "/d/perf.log", "/d/ai_ctrl_cpu.data.0.1.txt"},
         {"/d/ai_ctrl_cpu.data.0.1"},
         {"/d/ai_ctrl_cpu.data.0.1", "/d/ai_ctrl_cpu.data.0.2"}},
        {{"/d/ai_ctrl_cpu.data.0", "/d/ai_ctrl_cpu.data.0.0"}, {}, {"/d/ai_ctrl_cpu.data.0.0"}},
        {{"/d/ai_ctrl_cpu.data.0"}, {}, {}},
        // Piece 12 is the one being written, not piece 9.
        {pastNine, numbered(0, 11), numbered(0, 12)},
        {{"/d/ai_ctrl_cpu.data.0.1a", "/d/ai_ctrl_cpu.data.0.10", "/d/ai_ctrl_cpu.data.0.9",
          "/d/ai_ctrl_cpu.data.0.007", "/d/ai_ctrl_cpu.data.1.0"},
         {"/d/ai_ctrl_cpu.data.0.007", "/d/ai_ctrl_cpu.data.0.9", "/d/ai_ctrl_cpu.data.0.10",
          "/d/ai_ctrl_cpu.data.0.1a"},
         {"/d/ai_ctrl_cpu.data.0.007", "/d/ai_ctrl_cpu.data.0.9", "/d/ai_ctrl_cpu.data.0.10",
          "/d/ai_ctrl_cpu.data.0.1a", "/d/ai_ctrl_cpu.data.1.0"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SelectCtrlCpuPieces(c.listed, false), c.whileRecording) << c.listed.front();
        EXPECT_EQ(SelectCtrlCpuPieces(c.listed, true), c.afterwards) << c.listed.front();
    }
    // Only its own pieces: not those of other host numbers, nor names that merely begin alike.
    const Paths mixed = {"/d/ai_ctrl_cpu.data.1.0", "/d/ai_ctrl_cpu.data.0.1",
                         "/d/ai_ctrl_cpu.data.0.0", "/d/ai_ctrl_cpu.data.10.2",
                         "/d/ai_ctrl_cpu.data.0.x"};
    EXPECT_EQ(SelectCtrlCpuPieces(mixed, true, "ai_ctrl_cpu.data.0"),
              Paths({"/d/ai_ctrl_cpu.data.0.0", "/d/ai_ctrl_cpu.data.0.1"}));
    EXPECT_EQ(SelectCtrlCpuPieces(mixed, false, "ai_ctrl_cpu.data.1"), Paths());
}

class PerfExtraTaskTest : public CtrlCpuJobFixture {
  protected:
    PerfExtraTaskTest() : CtrlCpuJobFixture(37, 5) {}

    void SetUp() override {
        CtrlCpuJobFixture::SetUp();
        fs::create_directories(dir_);
        task_ = NewTask();
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

    std::shared_ptr<PerfExtraTask> NewTask(uint64_t bufSize = 0x40001) {
        return std::make_shared<PerfExtraTask>(bufSize, dir_, cfg_->commonParams->jobCtx,
                                               cfg_->commonParams->params);
    }
    void Piece(const std::string& name, const std::string& data = "") {
        WriteAll(InDir(name), data.empty() ? name : data);
    }
    std::vector<std::string> Converted() {
        std::lock_guard<std::mutex> lock(mutex_);
        return converted_;
    }

    std::shared_ptr<PerfExtraTask> task_;
    std::mutex mutex_;
    std::vector<std::string> converted_;              // guarded by mutex_
    std::map<std::string, std::string> conversions_;  // set before the task runs
};

TEST_F(PerfExtraTaskTest,
       FinishedPiecesAreShippedInQuarterMebibyteChunksAndDeletedTheLastAtTheEnd) {
    ChunkCapture capture("job-ctrlcpu");
    ASSERT_EQ(task_->Init(), 0);
    std::string text(2 * 262144 + 5, '\0');
    for (size_t i = 0; i < text.size(); ++i) {
        text[i] = static_cast<char>('a' + (i * 7) % 26);
    }
    conversions_["ai_ctrl_cpu.data.5.2"] = text;
    Piece("ai_ctrl_cpu.data.5.1", "one");
    Piece("ai_ctrl_cpu.data.5.2", "two");
    Piece("ai_ctrl_cpu.data.5", "");  // the script's output file

    task_->ProcessPieces(false);
    EXPECT_EQ(Converted(), Paths({"ai_ctrl_cpu.data.5.1"}));
    EXPECT_EQ(Listing(dir_), Paths({"ai_ctrl_cpu.data.5", "ai_ctrl_cpu.data.5.2"}));
    EXPECT_TRUE(Logged("PerfExtraTask file: ai_ctrl_cpu.data.5.1"));
    EXPECT_TRUE(Logged("resolve ctrlcpu data:ai_ctrl_cpu.data.5.1, ret=0, exit_code=0"));

    task_->ProcessPieces(true);
    EXPECT_EQ(Converted(), Paths({"ai_ctrl_cpu.data.5.1", "ai_ctrl_cpu.data.5.2"}));
    EXPECT_EQ(Listing(dir_), Paths({"ai_ctrl_cpu.data.5"}));

    const auto& chunks = capture.Finish();
    std::vector<uint64_t> sizes;
    for (const auto& chunk : chunks) {
        sizes.push_back(chunk.chunkSize);
        EXPECT_EQ(chunk.fileName, "data/ai_ctrl_cpu.data.29");
        EXPECT_EQ(chunk.extraInfo, "job-ctrlcpu.5");
        EXPECT_EQ(chunk.chunkSize, chunk.data.size());
    }
    EXPECT_EQ(sizes, (std::vector<uint64_t>{11, 262144, 262144, 5}));
    EXPECT_EQ(ChunkCapture::Joined(chunks), "text of one" + text);
    EXPECT_EQ(task_->GetTotalSize(), static_cast<int64_t>(11 + text.size()));
}

// A piece's text goes or is dropped, but the piece and its text are deleted; an
// unconvertible piece is logged and counted, and none of its conversion reaches the host.
TEST_F(PerfExtraTaskTest, EveryPieceIsDeletedWhateverBecomesOfItsText) {
    const struct {
        const char* name;
        int ret;           // of the conversion
        int exitCode;      // of the converter
        const char* text;  // it writes; none when null
        bool uploader;
        const char* logged;
        int64_t total;
        int unconverted;
    } cases[] = {
        {"empty text", 0, 0, "", true, "data file size is invalid", 0, 0},
        {"failed conversion", -1, 0, nullptr, true,
         "Failed to convert ctrl cpu data:ai_ctrl_cpu.data.5.1, ret=-1, exit_code=0", 0, 1},
        {"converter refused the piece", 0, 1, "half a text", true,
         "Failed to convert ctrl cpu data:ai_ctrl_cpu.data.5.1, ret=0, exit_code=1", 0, 1},
        {"no uploader", 0, 0, "one", false, "Upload cpu data failed , jobId: job-ctrlcpu", 3, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto capture = c.uploader ? std::make_unique<ChunkCapture>("job-ctrlcpu") : nullptr;
        auto task = NewTask();
        ASSERT_EQ(task->Init(), 0);
        task->SetConvertFunc([&c](const std::string& piece, int& exitCode) {
            exitCode = c.exitCode;
            if (c.text != nullptr) {
                WriteAll(piece + ".txt", c.text);
            }
            return c.ret;
        });
        Piece("ai_ctrl_cpu.data.5.1");
        task->ProcessPieces(true);
        EXPECT_TRUE(Logged(c.logged));
        EXPECT_TRUE(Logged("resolve ctrlcpu data:ai_ctrl_cpu.data.5.1, ret=" +
                           std::to_string(c.ret) + ", exit_code=" + std::to_string(c.exitCode)));
        EXPECT_TRUE(Listing(dir_).empty());
        EXPECT_EQ(task->GetTotalSize(), c.total);
        EXPECT_EQ(task->GetUnconvertedCount(), c.unconverted);
        if (capture != nullptr) {
            EXPECT_TRUE(capture->Finish().empty());
        }
    }
}

TEST_F(PerfExtraTaskTest, TheThreadTakesFinishedPiecesAndDrainsAllWhenStopped) {
    ChunkCapture capture("job-ctrlcpu");
    std::promise<void> open;
    // Held in its second pause, once the first look is done.
    FakeClock clock([opened = open.get_future().share()](uint32_t, size_t count) {
        if (count >= 2) {
            (void)opened.wait_for(std::chrono::seconds(5));
        }
    });
    task_->SetClock(clock);
    ASSERT_EQ(task_->Init(), 0);
    Piece("ai_ctrl_cpu.data.5.0", "a");
    Piece("ai_ctrl_cpu.data.5.1", "b");
    Piece("ai_ctrl_cpu.data.5.2", "c");
    task_->SetThreadName("KTRX_PerfScript");
    ASSERT_EQ(task_->Start(), 0);

    ASSERT_TRUE(
        oru_testing::WaitUntil([&] { return clock.Sleeps().size() >= 2; }, std::chrono::seconds(5)))
        << "the task thread did not pause after its first look";
    EXPECT_EQ(Converted(), Paths({"ai_ctrl_cpu.data.5.0", "ai_ctrl_cpu.data.5.1"}));
    EXPECT_EQ(Listing(dir_), Paths({"ai_ctrl_cpu.data.5.2"}));

    open.set_value();
    ASSERT_EQ(task_->Stop(), 0);
    EXPECT_EQ(Converted(),
              Paths({"ai_ctrl_cpu.data.5.0", "ai_ctrl_cpu.data.5.1", "ai_ctrl_cpu.data.5.2"}));
    EXPECT_TRUE(Listing(dir_).empty());
    const auto chunks = capture.Finish();
    EXPECT_EQ(chunks.size(), 3u);
    EXPECT_EQ(ChunkCapture::Joined(chunks), "text of atext of btext of c");
    EXPECT_TRUE(Logged("PerfExtraTask running"));
    EXPECT_TRUE(Logged("PerfExtraTask the total data size: 27"));
}

TEST_F(PerfExtraTaskTest, InitAndUninitGuardTheBuffer) {
    EXPECT_EQ(task_->Init(), 0);
    EXPECT_EQ(task_->Init(), -1);
    EXPECT_EQ(task_->Uninit(), 0);
    // Uninited, a piece is still consumed but nothing is read.
    Piece("ai_ctrl_cpu.data.5.1", "x");
    task_->ProcessPieces(true);
    EXPECT_TRUE(Listing(dir_).empty());
    EXPECT_EQ(task_->GetTotalSize(), 0);
    EXPECT_EQ(NewTask(1)->Init(), -1);
}

class ProfCtrlcpuJobTest : public CtrlCpuJobFixture {
  protected:
    ProfCtrlcpuJobTest() : CtrlCpuJobFixture(37, 5) {}

    std::string Command(const std::string& frequencyAndEvents) const {
        return std::string("sudo ") + analysis::orbx::common::kProfCollectScript + " --record " +
               InDir("ai_ctrl_cpu.data.5") + " " + frequencyAndEvents;
    }
};

TEST_F(ProfCtrlcpuJobTest, InitNeedsEventsTheDeviceSideAndNoHostProfiling) {
    ProfCtrlcpuJob job;
    auto noEvents = std::make_shared<CollectionJobCfg>(*cfg_);
    noEvents->events = std::make_shared<EventList>();
    EXPECT_EQ(job.Init(noEvents), -1);
    cfg_->commonParams->params->hostProfiling = true;
    EXPECT_EQ(job.Init(cfg_), -1);
    cfg_->commonParams->params->hostProfiling = false;

    ASSERT_EQ(ostrel_sim_fault_set_value(OSTREL_SIM_FAULT_PLATFORM_INFO, 1, 1), 0);
    ASSERT_EQ(Common::Platform::Platform::GetInstance().InitRunSide(), 0);
    EXPECT_EQ(job.Init(cfg_), -1);
    EXPECT_TRUE(Logged("Not in device Side, aiCtrlcpu Profiling not enabled"));
    EXPECT_FALSE(fs::exists(dir_));
    EXPECT_TRUE(cfg_->commonParams->resultDir.empty());
    EXPECT_EQ(job.Process(), -1);
    EXPECT_TRUE(Logged("Job check comm param failed"));
}

// Building the command empties the output and drops stale pieces; refused events start nothing.
TEST_F(ProfCtrlcpuJobTest, TheRecordCommandCarriesFileFrequencyAndEvents) {
    ProfCtrlcpuJob job;
    ASSERT_EQ(job.Init(cfg_), 0);
    EXPECT_EQ(cfg_->commonParams->resultDir, dir_);
    EXPECT_TRUE(fs::is_directory(dir_));
    WriteAll(InDir("ai_ctrl_cpu.data.5"), "old recording");
    WriteAll(InDir("ai_ctrl_cpu.data.5.7"), "old piece");
    WriteAll(InDir("ai_ctrl_cpu.data.5.7.txt"), "old text");
    WriteAll(InDir("ai_ctrl_cpu.data.5.8.txt"), "old text");
    WriteAll(InDir("llc.data.5"), "cache data");
    EXPECT_EQ(job.BuildCtrlCpuCmd(), Command("50 {r11,r8}"));
    EXPECT_EQ(Listing(dir_), Paths({"ai_ctrl_cpu.data.5", "llc.data.5"}));
    EXPECT_EQ(ReadAll(InDir("ai_ctrl_cpu.data.5")), "");
    EXPECT_EQ(ReadAll(InDir("llc.data.5")), "cache data");
    cfg_->commonParams->params->cpu_sampling_interval = 3;
    *cfg_->events = {"0x11"};
    EXPECT_EQ(job.BuildCtrlCpuCmd(), Command("333 {r11}"));

    for (const EventList& events : {EventList{"0x11", "11"}, EventList(9, "0x11")}) {
        *cfg_->events = events;
        EXPECT_TRUE(job.BuildCtrlCpuCmd().empty());
        EXPECT_EQ(job.Process(), 0);
    }
    EXPECT_FALSE(Logged("start profiling ctrl cpu"));
    EXPECT_FALSE(fs::exists(InDir("perf.log")));
}

}  // namespace
}  // namespace Analysis::Orbx::JobWrapper
