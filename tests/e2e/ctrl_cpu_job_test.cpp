// The control-CPU recording end to end, through the simulated card's collection script (run
// with sudo), which records numbered pieces: every stop is answered, however hard the script
// makes it, no recording outlives its job or its daemon, and no two recordings mix.
#include <gtest/gtest.h>
#include "testing/build_paths.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "common/oru_paths.h"
#include "jobs/device_script.h"
#include "testing/daemon_fixture.h"
#include "testing/host_job.h"
#include "tools/host/profiling_client.h"

namespace {

using namespace analysis::orbx;
using host::HostClient;
namespace fs = std::filesystem;

// The script's output file on device 0; its pieces are this + "." + n.
constexpr char kOutputName[] = "ai_ctrl_cpu.data.0";

const fs::path kScript = analysis::orbx::common::kProfCollectScript;
const fs::path kScriptConf = kScript.parent_path() / "prof_collect.conf";
const fs::path kPerfDataDir = std::string(analysis::orbx::common::kInotifyDir) + "0";

// Processes still recording into this daemon's profiling directory.
std::vector<int> Recordings() {
    return Analysis::Orbx::JobWrapper::FindRecordings(
        [](const std::string& verb, const std::string& file) {
            return verb == "--record" && file.rfind(analysis::orbx::common::kInotifyDir, 0) == 0;
        });
}

// Pieces and their texts in the perf-data directory.
std::vector<std::string> PiecesLeft() {
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(kPerfDataDir)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(std::string(kOutputName) + ".", 0) == 0) {
            left.push_back(name);
        }
    }
    return left;
}

// Waits at most seconds for a reply; false when none came.
template <class T>
bool Within(std::future<T>& reply, int seconds) {
    return reply.wait_for(std::chrono::seconds(seconds)) == std::future_status::ready;
}

// Starts a job of the host recording the control cpus' events on device devId.
::testing::AssertionResult StartCtrlJob(oru_e2e::HostJob& job, HostClient& client,
                                        const std::string& id, int devId,
                                        const std::vector<std::string>& events) {
    job.config = R"({"job_id":")" + id + R"(","cpu_sampling_interval":20})";
    job.events = proto::ReplayStartReq();
    for (const auto& name : events) {
        job.events.add_ctrl_cpu_events(name);
    }
    return job.Start(client, id, devId);
}

// The replay stop's answer, on its own thread (a reply has no time limit).
std::future<proto::Response> StopReplay(oru_e2e::HostJob& job) {
    return std::async(std::launch::async, [&job] {
        proto::Response reply;
        reply.set_status(proto::FAILED);
        reply.set_message("no answer");
        (void)job.ctrl->StopReplay(job.ctx, &reply);
        return reply;
    });
}

// The events named in the lines of a converted text ("<time> cpu<n> <event> <count>").
std::vector<std::string> EventsIn(const std::string& text) {
    std::vector<std::string> events;
    std::istringstream in(text);
    for (std::string time, cpu, event, count; in >> time >> cpu >> event >> count;) {
        if (std::find(events.begin(), events.end(), event) == events.end()) {
            events.push_back(event);
        }
    }
    return events;
}

class CtrlCpuJobTest : public oru_e2e::DaemonChild {
  protected:
    void SetUp() override {
        if (std::system("sudo -n true >/dev/null 2>&1") != 0) {
            GTEST_SKIP() << "the device script runs through sudo, which needs a password "
                            "for this user: control-CPU recording cannot be tested here";
        }
        fs::remove_all(oru_testing::TestTmpDir());
        StartDaemon(2);
    }
    void TearDown() override {
        // Every recording has ended with its job, and no child of the daemon is left.
        if (daemon_ != nullptr && daemon_->Running()) {
            EXPECT_TRUE(oru_testing::ChildrenOf(daemon_->Pid()).empty());
        }
        EXPECT_TRUE(Recordings().empty());
        daemon_.reset();
        fs::remove(kScriptConf);
    }
};

// A stop before the recording recorded its pid, or whose kill misses, ends it all the same; one
// whose recording outlives SIGTERM too is answered FAILED once the daemon killed it.
TEST_F(CtrlCpuJobTest, EveryStopIsAnsweredAndLeavesNoRecording) {
    const struct {
        const char* name;
        const char* settings;  // of the simulated script
        bool quick;            // stop at once, before any data
        proto::EumStatus stop;
    } cases[] = {
        {"quick stop", "", true, proto::SUCCESS},
        {"the kill misses, quick", "kill_misses=1\n", true, proto::SUCCESS},
        {"the kill misses", "kill_misses=1\n", false, proto::SUCCESS},
        {"the kill misses, SIGTERM ignored", "kill_misses=1\nignore_term=1\n", false,
         proto::FAILED},
    };
    int round = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::ofstream(kScriptConf) << c.settings;
        const std::string id = "stop" + std::to_string(++round);
        oru_e2e::HostJob job;
        ASSERT_TRUE(StartCtrlJob(job, *client_, id, 0, {"0x11"}));
        if (!c.quick) {
            ASSERT_TRUE(job.AwaitData()) << "nothing arrived while recording";
        }
        auto stop = StopReplay(job);
        oru_e2e::HostJob other;
        if (c.stop == proto::FAILED) {
            // The stop, stuck for seconds, holds up no job of device 1 meanwhile.
            const std::string otherId = "sys" + std::to_string(round);
            auto startedAndStopped = std::async(std::launch::async, [&] {
                other.config = R"({"job_id":")" + otherId + R"(","sys_profiling":"on"})";
                other.events = proto::ReplayStartReq();
                proto::Response reply;
                return other.Start(*client_, otherId, 1) &&
                       other.ctrl->StopReplay(other.ctx, &reply) == host::kRecvOk &&
                       reply.status() == proto::SUCCESS;
            });
            const bool answered = Within(startedAndStopped, 4);
            EXPECT_TRUE(answered) << "device 1's job start or stop waited for device 0's stop";
            EXPECT_FALSE(Within(stop, 0))
                << "device 1's job start and stop were answered only after device 0's stop";
            if (!answered) {
                daemon_->Kill(SIGKILL);  // unblocks every wait below
            }
            EXPECT_TRUE(startedAndStopped.get());
        }
        const bool stopAnswered = Within(stop, 20);
        EXPECT_TRUE(stopAnswered) << "the replay stop was not answered";
        if (!stopAnswered) {
            daemon_->Kill(SIGKILL);
        }
        const proto::Response reply = stop.get();
        ASSERT_TRUE(stopAnswered);
        EXPECT_EQ(reply.status(), c.stop) << reply.message();
        EXPECT_TRUE(oru_testing::ChildrenOf(daemon_->Pid()).empty());
        EXPECT_TRUE(Recordings().empty());
        proto::Response stopped;
        ASSERT_EQ(job.ctrl->StopJob(job.ctx, &stopped), host::kRecvOk);
        EXPECT_EQ(job.Collected().first, host::kRecvOk);
        if (other.ctrl != nullptr) {
            ASSERT_EQ(other.ctrl->StopJob(other.ctx, &stopped), host::kRecvOk);
            EXPECT_EQ(other.Collected().first, host::kRecvOk);
        }
    }
}

// A daemon killed while it records leaves its recording running; the next daemon ends it and
// removes its pieces when it starts, and the next job's host gets only that job's events.
TEST_F(CtrlCpuJobTest, ARecordingOfAKilledDaemonEndsAtTheRestartAndNeverMixesIn) {
    {
        oru_e2e::HostJob killed;
        ASSERT_TRUE(StartCtrlJob(killed, *client_, "killed", 0, {"0x11"}));
        ASSERT_TRUE(killed.AwaitData()) << "nothing arrived while recording";
        daemon_->Kill(SIGKILL);
        EXPECT_NE(killed.Collected().first, host::kRecvOk);
    }
    ASSERT_FALSE(Recordings().empty()) << "the recording did not outlive its daemon";

    StartDaemon(2, {}, oru_testing::TestTmpDir() + "/restarted");
    // The new daemon ends it, and drops its pieces, as it starts.
    oru_e2e::WaitUntil([] { return Recordings().empty() && PiecesLeft().empty(); });
    EXPECT_TRUE(Recordings().empty()) << "the killed daemon's recording still runs";
    EXPECT_TRUE(PiecesLeft().empty()) << "the killed daemon's pieces are still there";
    oru_e2e::HostJob next;
    ASSERT_TRUE(StartCtrlJob(next, *client_, "next", 0, {"0x8"}));
    ASSERT_TRUE(next.AwaitData()) << "nothing arrived while recording";
    auto stop = StopReplay(next);
    ASSERT_TRUE(Within(stop, 20)) << "the replay stop was not answered";
    EXPECT_EQ(stop.get().status(), proto::SUCCESS);
    proto::Response stopped;
    ASSERT_EQ(next.ctrl->StopJob(next.ctx, &stopped), host::kRecvOk);
    EXPECT_EQ(stopped.status(), proto::SUCCESS) << stopped.message();
    auto [rc, files] = next.Collected();
    ASSERT_EQ(rc, host::kRecvOk);
    EXPECT_EQ(EventsIn(files["data/ai_ctrl_cpu.data"].data), std::vector<std::string>({"r8"}));
    EXPECT_EQ(oru_testing::CountIn(Log(), "Failed to convert"), 0);
    EXPECT_TRUE(PiecesLeft().empty());
}

}  // namespace
