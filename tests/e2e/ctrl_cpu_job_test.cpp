// The control-CPU recording end to end: a job whose replay asks for the
// control cpus' events 0x11 and 0x8 runs on the daemon over the simulated
// card, whose collection script (kProfCollectScript, through sudo) records
// numbered pieces. The simulated script keeps a copy of every piece it
// completes, so the test knows independently what was recorded and converts
// each copy itself: the host must get exactly those texts, in piece order,
// each once, and the device must keep no piece. Then the stops the script
// makes hard (a kill that misses the recording, a recording that ignores
// SIGTERM) and a daemon killed mid-recording: every stop is answered, no
// recording outlives its job or its daemon, and no two recordings mix.
#include "oru_build_paths.h"
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/oru_paths.h"
#include "daemon/testing/host_job.h"
#include "jobs/device_script.h"
#include "tools/host/profiling_client.h"

namespace {

using namespace analysis::orbx;
using host::Handshake;
using host::HostClient;
namespace fs = std::filesystem;

constexpr char kJobId[] = "ctrlcpu1";
constexpr char kConfig[] = R"({"job_id":"ctrlcpu1","cpu_sampling_interval":20})";
constexpr char kDataName[] = "data/ai_ctrl_cpu.data";
// The script's output file on device 0; its pieces are this + "." + n.
constexpr char kOutputName[] = "ai_ctrl_cpu.data.0";

const fs::path kScript = analysis::orbx::common::kProfCollectScript;
const fs::path kScriptConf = kScript.parent_path() / "prof_collect.conf";
const fs::path kPerfDataDir = std::string(analysis::orbx::common::kInotifyDir) + "0";

// Pids of the live or unreaped children of pid.
std::vector<std::string> ChildrenOf(pid_t pid) {
    std::vector<std::string> children;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string stat = oru_testing::ReadText(entry.path() / "stat");
        const size_t end = stat.rfind(')');
        if (end != std::string::npos &&
            std::atoi(stat.c_str() + stat.find(' ', end + 2) + 1) == pid) {
            children.push_back(entry.path().filename().string());
        }
    }
    return children;
}

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

// One job as its host runs it: control and data channels, and the data
// channel's text read on its own thread until DataChannelFinish.
struct CtrlJob {
    std::string ctx;
    std::unique_ptr<host::ControlChannel> ctrl;
    std::unique_ptr<host::DataChannel> data;
    std::future<std::pair<int, std::string>> collected;
    std::atomic<int> chunks{0};

    // A reader still waiting for data fails once its session is closed.
    ~CtrlJob() {
        if (data != nullptr) {
            data->Session().Close();
        }
        if (collected.valid()) {
            collected.wait();
        }
    }

    ::testing::AssertionResult Start(HostClient& client, const std::string& id, int devId,
                                     const std::string& config,
                                     const proto::ReplayStartReq& events) {
        Handshake hs{id, devId, ""};
        ctx = host::MakeJobContext(id, std::to_string(devId), "t1");
        ctrl = oru_testing::OpenControl(client, hs, devId);
        data = ctrl != nullptr ? oru_testing::OpenData(client, hs, devId) : nullptr;
        if (data == nullptr) {
            return ::testing::AssertionFailure() << "no channels for " << id;
        }
        host::DataChannel* channel = data.get();
        collected = std::async(std::launch::async, [channel, this] {
            std::string text;
            proto::FileChunkReq chunk;
            bool finished = false;
            int rc = host::kRecvOk;
            while ((rc = channel->Next(&chunk, &finished)) == host::kRecvOk && !finished) {
                text += chunk.chunk();
                ++chunks;
            }
            return std::make_pair(rc, text);
        });
        proto::Response reply;
        if (ctrl->StartJob(ctx, config, &reply) != host::kRecvOk ||
            reply.status() != proto::SUCCESS) {
            return ::testing::AssertionFailure() << "job start: " << reply.ShortDebugString();
        }
        if (ctrl->StartReplay(ctx, events, &reply) != host::kRecvOk ||
            reply.status() != proto::SUCCESS) {
            return ::testing::AssertionFailure() << "replay start: " << reply.ShortDebugString();
        }
        return ::testing::AssertionSuccess();
    }
    // The replay stop's answer, on its own thread (a reply has no time limit).
    std::future<proto::Response> StopReplay() {
        return std::async(std::launch::async, [this] {
            proto::Response reply;
            reply.set_status(proto::FAILED);
            reply.set_message("no answer");
            (void)ctrl->StopReplay(ctx, &reply);
            return reply;
        });
    }
    // Waits (bounded) until data has arrived.
    bool AwaitData() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (chunks == 0 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return chunks > 0;
    }
};

proto::ReplayStartReq CtrlCpuEvents(const std::vector<std::string>& names) {
    proto::ReplayStartReq events;
    for (const auto& name : names) {
        events.add_ctrl_cpu_events(name);
    }
    return events;
}

std::string CtrlCpuConfig(const std::string& id) {
    return R"({"job_id":")" + id + R"(","cpu_sampling_interval":20})";
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

class CtrlCpuJobTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { setenv("OSTREL_SIM_DEVICES", "2", 1); }

    void SetUp() override {
        if (std::system("sudo -n true >/dev/null 2>&1") != 0) {
            GTEST_SKIP() << "the device script runs through sudo, which needs a password "
                            "for this user: control-CPU recording cannot be tested here";
        }
        tmp_ = ORU_TEST_TMP_DIR;
        fs::remove_all(tmp_);
        fs::create_directories(tmp_ / "pieces");
        std::ofstream(kScriptConf) << "keep_pieces=" << (tmp_ / "pieces").string() << "\n";
        log_ = tmp_ / "oru.log";
        daemon_ = oru_testing::StartOru(ORU_BIN_DIR, tmp_.string(), 2);
        client_ = HostClient::Create();
        ASSERT_NE(client_, nullptr);
    }
    void TearDown() override {
        // Every recording has ended with its job, and no child of the daemon
        // is left.
        if (daemon_ != nullptr && daemon_->Running()) {
            EXPECT_TRUE(ChildrenOf(daemon_->Pid()).empty());
        }
        EXPECT_TRUE(Recordings().empty());
        daemon_.reset();
        fs::remove(kScriptConf);
    }

    // The text the script makes of every kept piece, in piece order; the
    // kept pieces must be numbered 0, 1, ... without a gap.
    std::string ExpectedText(size_t* pieces) {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(tmp_ / "pieces")) {
            names.push_back(entry.path().filename().string());
        }
        *pieces = names.size();
        std::string text;
        for (size_t n = 0; n < names.size(); ++n) {
            const fs::path piece =
                tmp_ / "pieces" / (std::string(kOutputName) + "." + std::to_string(n));
            EXPECT_TRUE(fs::exists(piece)) << piece;
            const fs::path out = tmp_ / "converted";
            oru_testing::Child convert({kScript.string(), "--script", piece.string()}, {},
                                       out.string());
            EXPECT_EQ(convert.Wait(), 0) << oru_testing::ReadText(out);
            text += oru_testing::ReadText(out);
        }
        return text;
    }

    fs::path tmp_;
    fs::path log_;
    std::unique_ptr<oru_testing::Child> daemon_;
    std::shared_ptr<HostClient> client_;
};

TEST_F(CtrlCpuJobTest, TheHostGetsEveryRecordedPieceOnceInOrderAndTheDeviceKeepsNone) {
    Handshake hs{kJobId, 0, ""};
    auto ctrl = oru_testing::OpenControl(*client_, hs);
    ASSERT_NE(ctrl, nullptr);
    ctrl->SetAnswerDeadline(30000);  // the stops wait for the recording script
    auto data = oru_testing::OpenData(*client_, hs);
    ASSERT_NE(data, nullptr);
    proto::Response reply;
    std::atomic<int> chunksSeen{0};
    auto collected = std::async(std::launch::async, [&data, &chunksSeen] {
        std::string text;
        proto::FileChunkReq chunk;
        bool finished = false;
        int rc = host::kRecvOk;
        while ((rc = data->Next(&chunk, &finished)) == host::kRecvOk && !finished) {
            EXPECT_EQ(chunk.filename(), kDataName);
            text += chunk.chunk();
            ++chunksSeen;
        }
        return std::make_pair(rc, text);
    });

    std::string ctx = host::MakeJobContext(kJobId, "0", "t1");
    ASSERT_EQ(ctrl->StartJob(ctx, kConfig, &reply), host::kRecvOk);
    ASSERT_EQ(reply.status(), proto::SUCCESS) << reply.message();
    proto::ReplayStartReq events;
    events.add_ctrl_cpu_events("0x11");
    events.add_ctrl_cpu_events("0x8");
    ASSERT_EQ(ctrl->StartReplay(ctx, events, &reply), host::kRecvOk);
    ASSERT_EQ(reply.status(), proto::SUCCESS) << reply.message();

    // Finished pieces travel while the script still records: wait (bounded)
    // for the first of them before stopping.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (chunksSeen == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_GT(chunksSeen, 0) << "nothing arrived while recording";

    ASSERT_EQ(ctrl->StopReplay(ctx, &reply), host::kRecvOk);
    EXPECT_EQ(reply.status(), proto::SUCCESS) << reply.message();
    // The script has ended and every child of the daemon has been waited for.
    EXPECT_TRUE(ChildrenOf(daemon_->Pid()).empty());
    ASSERT_EQ(ctrl->StopJob(ctx, &reply), host::kRecvOk);
    EXPECT_EQ(reply.status(), proto::SUCCESS) << reply.message();
    bool finished = false;
    auto [rc, text] = oru_testing::FinishedWithin(collected, *data, &finished);
    ASSERT_TRUE(finished) << "no DataChannelFinish within 10 s of the job stop";
    ASSERT_EQ(rc, host::kRecvOk);

    size_t pieces = 0;
    const std::string expected = ExpectedText(&pieces);
    EXPECT_GE(pieces, 2u) << oru_testing::ReadText(tmp_ / "oru.out");
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text, expected);
    EXPECT_EQ(
        oru_testing::CountIn(oru_testing::ReadText(log_), "PerfExtraTask the total data size: " +
                                                              std::to_string(expected.size())),
        1);

    // No piece nor its text is left on the device.
    for (const auto& entry : fs::directory_iterator(kPerfDataDir)) {
        EXPECT_NE(entry.path().filename().string().rfind(std::string(kOutputName) + ".", 0), 0u)
            << entry.path();
    }
}

// Stops that the script makes hard. A stop that comes before the recording
// has recorded its pid, or whose kill misses the recording, ends it all the
// same; one whose recording outlives SIGTERM too is still answered, FAILED,
// once the daemon has killed it. Meanwhile another device's job starts.
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
        CtrlJob job;
        ASSERT_TRUE(job.Start(*client_, id, 0, CtrlCpuConfig(id), CtrlCpuEvents({"0x11"})));
        if (!c.quick) {
            ASSERT_TRUE(job.AwaitData()) << "nothing arrived while recording";
        }
        auto stop = job.StopReplay();
        CtrlJob other;
        if (c.stop == proto::FAILED) {
            // The stuck stop holds up no other job: a job of device 1 starts.
            const std::string otherId = "sys" + std::to_string(round);
            auto started = std::async(std::launch::async, [&] {
                return other.Start(*client_, otherId, 1,
                                   R"({"job_id":")" + otherId + R"(","sys_profiling":"on"})",
                                   proto::ReplayStartReq());
            });
            const bool answered = Within(started, 4);
            EXPECT_TRUE(answered) << "device 1's job start waited for device 0's stop";
            if (!answered) {
                daemon_->Kill(SIGKILL);  // unblocks every wait below
            }
            EXPECT_TRUE(started.get());
        }
        const bool stopAnswered = Within(stop, 20);
        EXPECT_TRUE(stopAnswered) << "the replay stop was not answered";
        if (!stopAnswered) {
            daemon_->Kill(SIGKILL);
        }
        const proto::Response reply = stop.get();
        ASSERT_TRUE(stopAnswered);
        EXPECT_EQ(reply.status(), c.stop) << reply.message();
        EXPECT_TRUE(ChildrenOf(daemon_->Pid()).empty());
        EXPECT_TRUE(Recordings().empty());
        proto::Response stopped;
        ASSERT_EQ(job.ctrl->StopJob(job.ctx, &stopped), host::kRecvOk);
        EXPECT_EQ(job.collected.get().first, host::kRecvOk);
        if (other.ctrl != nullptr) {
            ASSERT_EQ(other.ctrl->StopReplay(other.ctx, &stopped), host::kRecvOk);
            EXPECT_EQ(stopped.status(), proto::SUCCESS) << stopped.message();
            ASSERT_EQ(other.ctrl->StopJob(other.ctx, &stopped), host::kRecvOk);
            EXPECT_EQ(other.collected.get().first, host::kRecvOk);
        }
    }
}

// A daemon killed while it records leaves its recording running; the next
// daemon ends it and removes its pieces when it starts, and the next job's
// host gets only that job's events.
TEST_F(CtrlCpuJobTest, ARecordingOfAKilledDaemonEndsAtTheRestartAndNeverMixesIn) {
    {
        CtrlJob killed;
        ASSERT_TRUE(
            killed.Start(*client_, "killed", 0, CtrlCpuConfig("killed"), CtrlCpuEvents({"0x11"})));
        ASSERT_TRUE(killed.AwaitData()) << "nothing arrived while recording";
        daemon_->Kill(SIGKILL);
        EXPECT_NE(killed.collected.get().first, host::kRecvOk);
    }
    // The recording outlived its daemon.
    ASSERT_FALSE(Recordings().empty());

    fs::create_directories(tmp_ / "restarted");
    log_ = tmp_ / "restarted" / "oru.log";
    daemon_ = oru_testing::StartOru(ORU_BIN_DIR, (tmp_ / "restarted").string(), 2);
    // The new daemon ends it, and drops its pieces, as it starts.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!(Recordings().empty() && PiecesLeft().empty()) &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(Recordings().empty()) << "the killed daemon's recording still runs";
    EXPECT_TRUE(PiecesLeft().empty()) << "the killed daemon's pieces are still there";
    CtrlJob next;
    ASSERT_TRUE(next.Start(*client_, "next", 0, CtrlCpuConfig("next"), CtrlCpuEvents({"0x8"})));
    ASSERT_TRUE(next.AwaitData()) << "nothing arrived while recording";
    auto stop = next.StopReplay();
    ASSERT_TRUE(Within(stop, 20)) << "the replay stop was not answered";
    EXPECT_EQ(stop.get().status(), proto::SUCCESS);
    proto::Response stopped;
    ASSERT_EQ(next.ctrl->StopJob(next.ctx, &stopped), host::kRecvOk);
    EXPECT_EQ(stopped.status(), proto::SUCCESS) << stopped.message();
    auto [rc, text] = next.collected.get();
    ASSERT_EQ(rc, host::kRecvOk);
    EXPECT_EQ(EventsIn(text), std::vector<std::string>({"r8"}));
    EXPECT_EQ(oru_testing::CountIn(oru_testing::ReadText(log_), "Failed to convert"), 0);
    EXPECT_TRUE(PiecesLeft().empty());
}

}  // namespace
