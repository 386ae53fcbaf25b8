// The control-CPU job against the simulated card's real collection script
// (kProfCollectScript, through sudo), as the collect engine runs it.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/oru_paths.h"
#include "jobs/device_script.h"
#include "jobs/prof_perf_job.h"
#include "testing/chunk_capture.h"
#include "testing/process.h"
#include "testing/prof_perf_job_fixture.h"
#include "testing/test_fake_clock.h"

namespace Analysis::Orbx::JobWrapper {
namespace {

using analysis::orbx::common::FakeClock;
using analysis::orbx::common::kProfCollectScript;
using analysis::orbx::transport::testing::ChunkCapture;
using testing::CtrlCpuJobFixture;
using testing::Listing;
using testing::ReadAll;

void QuickLooks(uint32_t, size_t) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

class ProfCtrlcpuJobScriptTest : public CtrlCpuJobFixture {
  protected:
    ProfCtrlcpuJobScriptTest() : CtrlCpuJobFixture(41, 3) {}

    // No child of this process is left, and of the recording only its output and log.
    void ExpectNothingLeft() {
        int status = 0;
        EXPECT_EQ(waitpid(-1, &status, WNOHANG), -1);
        EXPECT_EQ(errno, ECHILD);
        EXPECT_EQ(Listing(dir_), std::vector<std::string>({"ai_ctrl_cpu.data.3", "perf.log"}));
    }
};

// The job stops once the first piece exists, in one case after the script's plain "--kill" (which
// ends every recording) ended it: every piece reaches the host once, in order, and the stop
// neither fails nor hangs. A piece whose conversion fails is named in the log, never shipped, and
// makes the stop fail.
TEST_F(ProfCtrlcpuJobScriptTest, StoppingShipsTheWholeRecordingOnce) {
    enum Case { kOwnStop, kEndedByPlainKill, kFirstConversionFails };
    for (const Case c : {kOwnStop, kEndedByPlainKill, kFirstConversionFails}) {
        SCOPED_TRACE(c);
        ChunkCapture capture("job-ctrlcpu", 41);
        FakeClock clock(QuickLooks);
        ProfCtrlcpuJob job;
        job.SetTaskClock(clock);
        std::mutex mutex;
        std::vector<std::string> pieces;  // guarded by mutex
        std::string expected;             // guarded by mutex
        job.SetTaskConvertFunc([&](const std::string& piece, int& exitCode) {
            std::lock_guard<std::mutex> lock(mutex);
            pieces.push_back(std::filesystem::path(piece).filename().string());
            if (c == kFirstConversionFails && pieces.size() == 1) {
                exitCode = 1;
                return -1;
            }
            const int ret = PerfExtraTask::ConvertWithScript(piece, exitCode);
            expected += ReadAll(piece + ".txt");
            return ret;
        });
        cfg_->events = std::make_shared<EventList>(EventList{"0x11", "0x8"});
        ASSERT_EQ(job.Init(cfg_), 0);
        ASSERT_EQ(job.Process(), 0);
        EXPECT_TRUE(Logged("start profiling ctrl cpu, cmd=sudo "));
        oru_testing::WaitUntil(
            [&] { return std::filesystem::exists(InDir("ai_ctrl_cpu.data.3.0")); },
            std::chrono::seconds(30));
        if (c == kEndedByPlainKill) {
            const std::string kill = std::string("sudo -n ") + kProfCollectScript + " --kill";
            ASSERT_EQ(std::system(kill.c_str()), 0);
        }
        EXPECT_EQ(job.Uninit(), c == kFirstConversionFails ? -1 : 0);
        EXPECT_EQ(Logged("Failed to convert ctrl cpu data:ai_ctrl_cpu.data.3.0,"),
                  c == kFirstConversionFails);
        EXPECT_TRUE(Logged("Succeeded to kill process, ret=0, exitCode=0"));
        EXPECT_TRUE(Logged("exited, exit code=0"));
        ExpectNothingLeft();

        const auto& chunks = capture.Finish();
        std::lock_guard<std::mutex> lock(mutex);
        ASSERT_FALSE(pieces.empty());
        for (size_t n = 0; n < pieces.size(); ++n) {
            EXPECT_EQ(pieces[n], "ai_ctrl_cpu.data.3." + std::to_string(n));
        }
        EXPECT_TRUE(c == kFirstConversionFails || !expected.empty());
        EXPECT_EQ(ChunkCapture::Joined(chunks), expected);
        for (const auto& chunk : chunks) {
            EXPECT_EQ(chunk.fileName, "data/ai_ctrl_cpu.data.29");
            EXPECT_EQ(chunk.extraInfo, "job-ctrlcpu.3");
        }
        EXPECT_TRUE(
            Logged("PerfExtraTask the total data size: " + std::to_string(expected.size())));
        EXPECT_NE(ReadAll(InDir("perf.log")).find("recording"), std::string::npos);
    }
}

// An earlier daemon's recording writes this job's very pieces: the job ends it and drops
// them before it starts.
TEST_F(ProfCtrlcpuJobScriptTest, ARecordingLeftBehindIsEndedAndNoneOfItsPiecesShipped) {
    ChunkCapture capture("job-ctrlcpu", 41);
    std::filesystem::create_directories(dir_);
    const std::string output = InDir("ai_ctrl_cpu.data.3");
    const pid_t leftover = fork();
    if (leftover == 0) {
        execl(kProfCollectScript, kProfCollectScript, "--record", output.c_str(), "100", "{r5}",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    ASSERT_GT(leftover, 0);
    ASSERT_TRUE(oru_testing::WaitUntil([&] { return std::filesystem::exists(output + ".1"); },
                                       std::chrono::seconds(30)))
        << "the leftover recorded nothing";

    FakeClock clock(QuickLooks);
    ProfCtrlcpuJob job;
    job.SetTaskClock(clock);
    ASSERT_EQ(job.Init(cfg_), 0);
    ASSERT_EQ(job.Process(), 0);
    int status = 0;
    EXPECT_NE(waitpid(leftover, &status, WNOHANG), 0) << "the leftover still records";
    oru_testing::WaitUntil([&] { return std::filesystem::exists(output + ".0"); },
                           std::chrono::seconds(30));
    EXPECT_EQ(job.Uninit(), 0);
    const std::string payload = ChunkCapture::Joined(capture.Finish());
    EXPECT_NE(payload.find(" r11 "), std::string::npos);
    EXPECT_EQ(payload.find(" r5 "), std::string::npos) << "the leftover's pieces were shipped";
    ExpectNothingLeft();
}

// A job whose task thread cannot start ends its recording and leaves no child nor piece.
TEST_F(ProfCtrlcpuJobScriptTest, ATaskThreadThatCannotStartEndsTheRecording) {
    ProfCtrlcpuJob job;
    job.SetTaskStartFunc([](PerfExtraTask&) { return -1; });
    ASSERT_EQ(job.Init(cfg_), 0);
    EXPECT_EQ(job.Process(), -1);
    EXPECT_TRUE(Logged("Failed to start perfExtraTask_ thread, ret=-1"));
    ExpectNothingLeft();
    const std::string output = InDir("ai_ctrl_cpu.data.3");
    EXPECT_TRUE(FindRecordings([&output](const std::string& verb, const std::string& file) {
                    return verb == "--record" && file == output;
                }).empty());
    EXPECT_EQ(job.Uninit(), 0);
}

}  // namespace
}  // namespace Analysis::Orbx::JobWrapper
