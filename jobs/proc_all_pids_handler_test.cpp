#include "jobs/proc_all_pids_handler.h"

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/test_log_capture.h"
#include "jobs/sampling_test_support.h"

namespace Analysis::Orbx::JobWrapper {
namespace {

using analysis::orbx::common::TestLogCapture;
using testing::FakeProc;
using testing::MakeJobContext;
using testing::ManualClock;
using testing::UploadRecorder;

constexpr uint64_t kMs = 1000000;
constexpr uint64_t kInterval = 100 * kMs;

class ProcAllPidsTest : public ::testing::Test {
  protected:
    void SetUp() override { proc_.Write("stat", "cpu  1 2 3\ncpu0 1 2 3\nintr 9\n"); }

    std::shared_ptr<ProcAllPidsFileHandler> Make() {
        auto handler = std::make_shared<ProcAllPidsFileHandler>(
            2, 0, kInterval, nullptr, MakeJobContext("j", "0", "t"), upload_.uploader());
        handler->SetProcRoot(proc_.Root());
        handler->SetTimeSource(clock_.Source());
        EXPECT_EQ(handler->Init(), 0);
        return handler;
    }

    FakeProc proc_;
    ManualClock clock_{1000 * kMs};
    UploadRecorder upload_;
};

TEST_F(ProcAllPidsTest, EveryProcessGetsBothSamplersWhichSampleAtOnce) {
    proc_.AddProcess(12, "alpha");
    proc_.AddProcess(3, "beta");
    auto handler = Make();
    EXPECT_EQ(handler->GetSampledPids(), (std::vector<uint32_t>{3, 12}));
    handler->Execute();
    EXPECT_EQ(handler->Uninit(), 0);
    EXPECT_TRUE(handler->GetSampledPids().empty());

    auto files = upload_.RecordsByFile();
    ASSERT_EQ(files.size(), 4u);
    ASSERT_EQ(files["data/3-CpuUsage.data.t"].size(), 1u);
    EXPECT_EQ(files["data/3-CpuUsage.data.t"][0].data,
              "3 (beta) S 1 2 3\nProcessName:beta\ncpu  1 2 3\n");
    ASSERT_EQ(files["data/12-Memory.data.t"].size(), 1u);
    EXPECT_EQ(files["data/12-Memory.data.t"][0].data, "100 20 10 1 0 50 0\nProcessName:alpha\n");
    EXPECT_EQ(files["data/12-Memory.data.t"][0].timeStamp, 1000 * kMs);
}

TEST_F(ProcAllPidsTest, ProcessesComeAndGoBetweenPasses) {
    TestLogCapture log;
    proc_.AddProcess(5, "stays");
    proc_.AddProcess(6, "leaves");
    auto handler = Make();
    handler->Execute();

    proc_.RemoveProcess(6);
    proc_.AddProcess(9, "arrives");
    clock_.Advance(kInterval - 1);
    handler->Execute();  // too early: nothing is listed
    EXPECT_EQ(handler->GetSampledPids(), (std::vector<uint32_t>{5, 6}));

    clock_.Advance(1);
    handler->Execute();
    EXPECT_EQ(handler->GetSampledPids(), (std::vector<uint32_t>{5, 9}));
    EXPECT_EQ(log.Count("exit Pid 6"), 1u);
    EXPECT_EQ(log.Count("New Pid 9"), 1u);
    EXPECT_EQ(log.Count("", DLOG_ERROR), 0u);

    // What process 6 had buffered has gone out before the job ends.
    auto flushed = upload_.RecordsByFile();
    ASSERT_EQ(flushed["data/6-CpuUsage.data.t"].size(), 1u);
    ASSERT_EQ(flushed["data/6-Memory.data.t"].size(), 1u);
    // The newcomer sampled in the pass that found it; the others kept theirs.
    EXPECT_EQ(flushed.count("data/9-CpuUsage.data.t"), 0u);
    EXPECT_EQ(flushed.count("data/5-CpuUsage.data.t"), 0u);
}

TEST_F(ProcAllPidsTest, EveryProcessSamplesOnEveryPassTheIntervalLetsThrough) {
    for (uint32_t pid = 100; pid < 140; ++pid) {
        proc_.AddProcess(pid, "p" + std::to_string(pid));
    }
    // A clock that moves on every read, as a real one does during a long pass.
    uint64_t now = 1000 * kMs;
    auto handler = Make();
    handler->SetTimeSource([&now] { return now += kMs; });
    for (int pass = 0; pass < 3; ++pass) {
        handler->Execute();
        now += kInterval - kMs;  // the next pass comes exactly one interval later
    }
    EXPECT_EQ(handler->Uninit(), 0);

    auto files = upload_.RecordsByFile();
    ASSERT_EQ(files.size(), 80u);
    for (const auto& [name, records] : files) {
        ASSERT_EQ(records.size(), 3u) << name;
        for (size_t i = 0; i < records.size(); ++i) {
            EXPECT_EQ(records[i].index, i) << name;
            // One time for the whole pass.
            EXPECT_EQ(records[i].timeStamp, files.begin()->second[i].timeStamp) << name;
        }
    }
}

TEST_F(ProcAllPidsTest, BothSamplersOfAPassShareOneReadOfTheName) {
    TestLogCapture log;
    proc_.AddProcess(7, "first");
    std::filesystem::remove(proc_.Root() + "/7/comm");
    auto handler = Make();
    handler->Execute();
    // One failed read for the pair, not one per sampler.
    EXPECT_EQ(log.Count("proc comm file size is invalid"), 1u);

    proc_.Write("7/comm", "second\n");
    clock_.Advance(kInterval);
    handler->Execute();
    EXPECT_EQ(handler->Uninit(), 0);

    auto files = upload_.RecordsByFile();
    for (const char* name : {"data/7-Memory.data.t", "data/7-CpuUsage.data.t"}) {
        const auto& records = files[name];
        ASSERT_EQ(records.size(), 2u) << name;
        EXPECT_NE(records[0].data.find("ProcessName:self\n"), std::string::npos) << name;
        // The next pass reads the name afresh.
        EXPECT_NE(records[1].data.find("ProcessName:second\n"), std::string::npos) << name;
    }
}

TEST_F(ProcAllPidsTest, UnreadableListingKeepsTheKnownProcesses) {
    TestLogCapture log;
    proc_.AddProcess(4, "known");
    auto handler = Make();
    handler->Execute();
    std::filesystem::rename(proc_.Root(), proc_.Root() + ".moved");
    clock_.Advance(kInterval);
    handler->Execute();
    std::filesystem::rename(proc_.Root() + ".moved", proc_.Root());
    EXPECT_EQ(handler->GetSampledPids(), (std::vector<uint32_t>{4}));
    EXPECT_EQ(log.Count("exit Pid"), 0u);
    EXPECT_EQ(log.Count("", DLOG_ERROR), 0u);

    clock_.Advance(kInterval);
    handler->Execute();
    EXPECT_EQ(handler->Uninit(), 0);
    auto files = upload_.RecordsByFile();
    ASSERT_EQ(files["data/4-CpuUsage.data.t"].size(), 2u);
    EXPECT_EQ(files["data/4-CpuUsage.data.t"][1].index, 1u);
}

}  // namespace
}  // namespace Analysis::Orbx::JobWrapper
