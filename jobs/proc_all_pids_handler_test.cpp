#include "jobs/proc_all_pids_handler.h"

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testing/process.h"
#include "testing/sampling_test_support.h"
#include "testing/test_log_capture.h"

namespace Analysis::Orbx::JobWrapper {
namespace {

using analysis::orbx::common::TestLogCapture;
using testing::FakeProc;
using testing::MakeJobContext;
using testing::ManualClock;
using testing::UploadRecorder;

constexpr uint64_t kMs = 1000000;
constexpr uint64_t kInterval = 100 * kMs;

long OpenDescriptors() {
    return oru_testing::CountDirEntries("/proc/self/fd");
}

class ProcAllPidsTest : public ::testing::Test {
  protected:
    void SetUp() override { proc_.Write("stat", "cpu  1 2 3\ncpu0 1 2 3\nintr 9\n"); }

    std::shared_ptr<ProcAllPidsFileHandler> Make(uint64_t keptDescriptors = 100) {
        auto handler = std::make_shared<ProcAllPidsFileHandler>(
            2, 0, kInterval, nullptr, MakeJobContext("j", "0", "t"), upload_.uploader());
        handler->SetProcRoot(proc_.Root());
        kept_ = std::make_shared<KeptDescriptors>(keptDescriptors);
        handler->SetKeptDescriptors(kept_);
        handler->SetTimeSource(clock_.Source());
        EXPECT_EQ(handler->Init(), 0);
        return handler;
    }

    FakeProc proc_;
    ManualClock clock_{1000 * kMs};
    UploadRecorder upload_;
    std::shared_ptr<KeptDescriptors> kept_;
};

TEST_F(ProcAllPidsTest, ProcessesComeAndGoBetweenPassesButNotWhenTheListingIsUnreadable) {
    TestLogCapture log;
    proc_.AddProcess(5, "stays");
    proc_.AddProcess(6, "leaves");
    const long descriptors = OpenDescriptors();
    auto handler = Make();
    EXPECT_EQ(handler->DueInNs(), 0u);
    handler->Execute();
    // Both files of each process stay open for the next pass.
    EXPECT_EQ(OpenDescriptors(), descriptors + 4);
    EXPECT_EQ(handler->DueInNs(), kInterval);

    // An unreadable listing keeps the known processes, sampled through their open files.
    std::filesystem::rename(proc_.Root(), proc_.Root() + ".moved");
    clock_.Advance(kInterval);
    handler->Execute();
    std::filesystem::rename(proc_.Root() + ".moved", proc_.Root());
    EXPECT_EQ(handler->GetSampledPids(), (std::vector<uint32_t>{5, 6}));
    EXPECT_EQ(log.Count("exit Pid"), 0u);

    proc_.RemoveProcess(6);
    proc_.AddProcess(9, "arrives");
    clock_.Advance(kInterval - 1);
    EXPECT_EQ(handler->DueInNs(), 1u);
    handler->Execute();  // too early: nothing is listed
    EXPECT_EQ(handler->GetSampledPids(), (std::vector<uint32_t>{5, 6}));

    clock_.Advance(1);
    EXPECT_EQ(handler->DueInNs(), 0u);
    handler->Execute();
    EXPECT_EQ(handler->GetSampledPids(), (std::vector<uint32_t>{5, 9}));
    EXPECT_EQ(log.Count("exit Pid 6"), 1u);
    EXPECT_EQ(log.Count("New Pid 9"), 1u);
    EXPECT_EQ(log.Count("", DLOG_ERROR), 0u);
    EXPECT_EQ(OpenDescriptors(), descriptors + 4) << "the files of process 6 are still open";
    EXPECT_EQ(kept_->InUse(), 4u);

    auto flushed = upload_.RecordsByFile();
    ASSERT_EQ(flushed["data/6-CpuUsage.data.t"].size(), 2u);
    ASSERT_EQ(flushed["data/6-Memory.data.t"].size(), 2u);
    EXPECT_EQ(flushed["data/6-Memory.data.t"][1].index, 1u);
    // The newcomer sampled in the pass that found it; the others kept theirs.
    EXPECT_EQ(flushed.count("data/9-CpuUsage.data.t"), 0u);
    EXPECT_EQ(flushed.count("data/5-CpuUsage.data.t"), 0u);
}

TEST_F(ProcAllPidsTest, BeyondTheDescriptorBudgetFilesAreOpenedReadAndClosedEachPass) {
    for (uint32_t pid = 1; pid <= 5; ++pid) {
        proc_.AddProcess(pid, "p" + std::to_string(pid));
    }
    const long descriptors = OpenDescriptors();
    auto handler = Make(3);
    handler->Execute();
    EXPECT_EQ(OpenDescriptors(), descriptors + 3);
    for (uint32_t pid = 1; pid <= 5; ++pid) {
        proc_.Write(std::to_string(pid) + "/statm", "2 2 2 2 2 2 " + std::to_string(pid) + "\n");
    }
    clock_.Advance(kInterval);
    handler->Execute();
    EXPECT_EQ(kept_->InUse(), 3u);
    EXPECT_EQ(handler->Uninit(), 0);
    EXPECT_EQ(kept_->InUse(), 0u);
    EXPECT_EQ(OpenDescriptors(), descriptors);

    auto files = upload_.RecordsByFile();
    ASSERT_EQ(files.size(), 10u);
    for (uint32_t pid = 1; pid <= 5; ++pid) {
        std::string id = std::to_string(pid);
        std::string name = "p" + id;
        const auto& cpu = files["data/" + id + "-CpuUsage.data.t"];
        const auto& mem = files["data/" + id + "-Memory.data.t"];
        ASSERT_EQ(cpu.size(), 2u) << pid;
        ASSERT_EQ(mem.size(), 2u) << pid;
        EXPECT_EQ(cpu[1].data,
                  id + " (" + name + ") S 1 2 3\nProcessName:" + name + "\ncpu  1 2 3\n");
        EXPECT_EQ(mem[1].data, "2 2 2 2 2 2 " + id + "\nProcessName:" + name + "\n");
    }
}

TEST_F(ProcAllPidsTest, EveryProcessSamplesOnEveryPassStampedWhenItsFilesAreRead) {
    for (uint32_t pid = 100; pid < 140; ++pid) {
        proc_.AddProcess(pid, "p" + std::to_string(pid));
    }
    // A clock that moves on every read, as a real one does during a long pass.
    uint64_t now = 1000 * kMs;
    auto handler = Make();
    handler->SetTimeSource([&now] { return now += kMs; });
    for (int pass = 0; pass < 3; ++pass) {
        handler->Execute();
        now += kInterval - kMs;  // the next pass comes one interval after this one's end
    }
    EXPECT_EQ(handler->Uninit(), 0);

    auto files = upload_.RecordsByFile();
    ASSERT_EQ(files.size(), 80u);
    for (size_t pass = 0; pass < 3; ++pass) {
        uint64_t previous = 0;
        for (uint32_t pid = 100; pid < 140; ++pid) {
            for (const char* name : {"-CpuUsage.data.t", "-Memory.data.t"}) {
                const auto& records = files["data/" + std::to_string(pid) + name];
                ASSERT_EQ(records.size(), 3u) << pid << name;
                EXPECT_EQ(records[pass].index, pass) << pid << name;
                // Later in the pass, later in time: stat, then statm, pid by pid.
                EXPECT_GT(records[pass].timeStamp, previous) << pid << name << " pass " << pass;
                previous = records[pass].timeStamp;
            }
        }
    }
}

TEST_F(ProcAllPidsTest, TheNameComesFromTheStatTextElseFromOneReadOfComm) {
    TestLogCapture log;
    proc_.AddProcess(7, "first");
    std::filesystem::remove(proc_.Root() + "/7/comm");  // the stat text names the process
    proc_.Write("8/stat", "8 no name S 1\n");
    proc_.Write("8/statm", "1 1\n");
    auto handler = Make();
    handler->Execute();
    // One failed read of comm for the pair of process 8, not one per sampler.
    EXPECT_EQ(log.Count("Open file comm failed"), 1u);

    proc_.Write("8/comm", "second\n");
    clock_.Advance(kInterval);
    handler->Execute();
    EXPECT_EQ(handler->Uninit(), 0);

    auto files = upload_.RecordsByFile();
    for (const char* name : {"Memory.data.t", "CpuUsage.data.t"}) {
        const auto& first = files[std::string("data/7-") + name];
        const auto& second = files[std::string("data/8-") + name];
        ASSERT_EQ(first.size(), 2u) << name;
        ASSERT_EQ(second.size(), 2u) << name;
        EXPECT_NE(first[1].data.find("ProcessName:first\n"), std::string::npos) << name;
        EXPECT_NE(second[0].data.find("ProcessName:self\n"), std::string::npos) << name;
        // The next pass reads the name afresh.
        EXPECT_NE(second[1].data.find("ProcessName:second\n"), std::string::npos) << name;
    }
}

}  // namespace
}  // namespace Analysis::Orbx::JobWrapper
