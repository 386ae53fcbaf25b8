// What a job takes from the daemon it gives back, whether its start failed or it ran and
// stopped: the collection tags it registered, the channel poller and its threads. Driver faults
// are set in the daemon process's environment.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "testing/daemon_fixture.h"
#include "testing/test_emulator.h"

namespace {

using namespace oru_e2e;
using oru_testing::ThreadNamesOf;
namespace fs = std::filesystem;

class JobReleaseTest : public DaemonChild {
  protected:
    void TearDown() override {
        daemon_.reset();
        if (!leftover_.empty()) {
            std::error_code ec;
            fs::remove_all(leftover_, ec);
        }
    }

    // The daemon's thread count once a refused data handshake shows it is up and nothing is served.
    long IdleThreads() {
        bool answered = WaitUntil([this] {
            std::unique_ptr<host::DataChannel> data;
            proto::Response reply;
            return host::DataChannel::Open(*client_, host::Target{0, 0}, host::Handshake{"", 0, ""},
                                           &data, &reply) == host::kRecvOk;
        });
        EXPECT_TRUE(answered) << "the daemon never answered a handshake";
        EXPECT_TRUE(WaitUntil([this] { return !Serving(); })) << ThreadNamesOf(daemon_->Pid());
        return oru_testing::FiguresOf(daemon_->Pid()).threads;
    }

    // Some thread of the daemon still serves a session or a job.
    bool Serving() {
        const std::string names = ThreadNamesOf(daemon_->Pid());
        return names.find("KTRX_") != std::string::npos ||
               names.find("ide_hdc_process") != std::string::npos;
    }

    // Waits until the daemon runs exactly its idle threads again.
    ::testing::AssertionResult BackToIdle(long idle) {
        if (WaitUntil([&] {
                return !Serving() && oru_testing::FiguresOf(daemon_->Pid()).threads == idle;
            })) {
            return ::testing::AssertionSuccess();
        }
        return ::testing::AssertionFailure() << "threads left running (" << idle << " when idle):\n"
                                             << ThreadNamesOf(daemon_->Pid());
    }

    fs::path leftover_;  // removed at the end of the test, whatever its outcome
};

// The replay start that meets a failed prof_drv_start leaves device 0's cache-counter tag free.
TEST_F(JobReleaseTest, AChannelThatFailedToStartLeavesItsTagFreeForTheNextJob) {
    StartDaemon(2, {"OSTREL_SIM_FAULTS=prof_start:-1:1"});
    {
        HostJob failed;
        EXPECT_TRUE(ReplayRefused(failed.Start(*client_, "llcfail")));
    }
    EXPECT_EQ(1, oru_testing::CountIn(Log(), "CollectionJobRegisterAndRun failed"));
    EXPECT_TRUE(RunNormalJob(*client_, "llcnext", 0));
    EXPECT_TRUE(RunNormalJob(*client_, "llcthird", 0));
}

// The card's one control-CPU recording fails to start on device 0 (the script's log file cannot
// be opened), and is then free for a job on device 1.
TEST_F(JobReleaseTest, ACardWideRecordingThatFailedToStartIsFreeForAnotherDevice) {
    if (std::system("sudo -n true >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "the device script runs through sudo, which needs a password here";
    }
    if (!common::NativeOnly("qemu-user runs vfork as fork: the script's failed log "
                            "redirect is not reported, so its start cannot fail")) {
        GTEST_SKIP();
    }
    const fs::path perfDir = std::string(common::kInotifyDir) + "0";
    const fs::path blocker = perfDir / "perf.log";
    leftover_ = perfDir;
    fs::remove_all(blocker);  // the script's log of an earlier recording
    fs::create_directories(blocker);
    StartDaemon(2);
    proto::ReplayStartReq events;
    events.add_ctrl_cpu_events("0x11");
    {
        HostJob failed;
        failed.config = R"({"job_id":"cpufail"})";
        failed.events = events;
        EXPECT_TRUE(ReplayRefused(failed.Start(*client_, "cpufail")));
    }
    fs::remove_all(blocker);

    HostJob next;
    next.config = R"({"job_id":"cpunext"})";
    next.events = events;
    ASSERT_TRUE(next.Start(*client_, "cpunext", 1));
    EXPECT_TRUE(next.AwaitData()) << "no recording arrived";
    EXPECT_TRUE(next.Stop());
    // Neither the failed recording nor the stopped one left a child.
    EXPECT_TRUE(oru_testing::ChildrenOf(daemon_->Pid()).empty());
    auto result = next.Collected();
    EXPECT_EQ(result.first, host::kRecvOk);
    EXPECT_FALSE(result.second["data/ai_ctrl_cpu.data"].data.empty());
}

// A failed prof_drv_get_channels fails a job start after its channel poller started: the poller
// and its reader pool still end, and the next job gets data from a poller of its own.
TEST_F(JobReleaseTest, AJobStartThatFailedGivesBackThePollerAndItsThreads) {
    StartDaemon(2, {"OSTREL_SIM_FAULTS=get_channels:-1:1"});
    const long idle = IdleThreads();
    {
        HostJob failed;
        const ::testing::AssertionResult started = failed.Start(*client_, "chanfail");
        EXPECT_EQ(std::string(started.message()).rfind("JobStartReq of chanfail: ", 0), 0u)
            << started.message();
    }
    EXPECT_TRUE(oru_testing::WaitForText(log_, "Failed to GetAllChannels"));
    EXPECT_TRUE(BackToIdle(idle));

    EXPECT_TRUE(RunNormalJob(*client_, "channext", 0));
    EXPECT_TRUE(BackToIdle(idle));
}

}  // namespace
