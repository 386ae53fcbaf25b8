// The daemon as a service manager stops it: SIGTERM finishes every job as a job stop would,
// each host getting all its data and DataChannelFinish, and the daemon exits 0 within the
// stop bound leaving no child and no lock file. A second signal during a teardown that a
// stalled host holds up ends the daemon at once.
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/oru_paths.h"
#include "daemon/ide_platform_util.h"
#include "testing/build_paths.h"
#include "testing/daemon_fixture.h"
#include "testing/host_job.h"
#include "testing/test_emulator.h"
#include "tools/host/profiling_client.h"

namespace {

using namespace analysis::orbx;
using host::Handshake;
namespace fs = std::filesystem;

// The bound a service manager is promised; sanitizers and an emulator slow the daemon down.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr auto kStopBound = std::chrono::seconds(20);
#else
constexpr auto kStopBound = std::chrono::seconds(5);
#endif

const fs::path kScript = common::kProfCollectScript;
const fs::path kScriptConf = kScript.parent_path() / "prof_collect.conf";
constexpr char kCtrlCpuName[] = "data/ai_ctrl_cpu.data";

std::chrono::steady_clock::duration StopBound() {
    return common::TestEmulator().empty() ? kStopBound : kStopBound * 3;
}

bool AliveNotZombie(const std::string& pid) {
    const std::string stat = oru_testing::ReadText("/proc/" + pid + "/stat");
    const size_t end = stat.rfind(')');
    return end != std::string::npos && stat.size() > end + 2 && stat[end + 2] != 'Z';
}

// Every descendant of root, by pid.
std::set<std::string> DescendantsOf(pid_t root) {
    std::set<std::string> found;
    for (const std::string& child : oru_testing::ChildrenOf(root)) {
        const std::set<std::string> below = DescendantsOf(std::atoi(child.c_str()));
        found.insert(child);
        found.insert(below.begin(), below.end());
    }
    return found;
}

// Sends sig to the child; false (and nothing sent) when it never started.
bool Signal(oru_testing::Child& child, int sig) {
    return child.Pid() > 0 && kill(child.Pid(), sig) == 0;
}

// Waits until the child ends; its raw wait status, or -1 past the bound.
int WaitExit(oru_testing::Child& child, std::chrono::steady_clock::duration bound) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(bound);
    return oru_testing::WaitUntil([&] { return !child.Running(); }, ms) ? child.Kill(0) : -1;
}

class OrderlyStopTest : public oru_e2e::DaemonChild {
  protected:
    void SetUp() override {
        fs::remove_all(tmp_);
        fs::create_directories(tmp_ / "pieces");
    }
    void TearDown() override { fs::remove(kScriptConf); }

    // What the device script recorded, converted by the script itself, in piece order.
    std::string RecordedCtrlCpuText() {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(tmp_ / "pieces")) {
            names.insert(entry.path().filename().string());
        }
        std::string text;
        for (size_t n = 0; n < names.size(); ++n) {
            const fs::path piece = tmp_ / "pieces" / ("ai_ctrl_cpu.data.0." + std::to_string(n));
            EXPECT_TRUE(fs::exists(piece)) << piece;
            const fs::path out = tmp_ / "converted";
            oru_testing::Child convert({kScript.string(), "--script", piece.string()}, {},
                                       out.string());
            EXPECT_EQ(convert.Wait(), 0);
            text += oru_testing::ReadText(out);
        }
        return text;
    }

    const fs::path tmp_ = oru_testing::TestTmpDir();
};

TEST_F(OrderlyStopTest, SigtermFinishesEveryJobJoinsEverythingAndExitsZero) {
    const bool ctrlCpu = std::system("sudo -n true >/dev/null 2>&1") == 0;
    if (ctrlCpu) {
        std::ofstream(kScriptConf) << "keep_pieces=" << (tmp_ / "pieces").string() << "\n";
    } else {
        std::printf("[  NOTE    ] sudo needs a password here: no control-CPU recording\n");
    }
    ASSERT_NO_FATAL_FAILURE(StartDaemon(2, {}, tmp_.string()));
    const pid_t pid = daemon_->Pid();

    // Job one: every collection; job two, on the other device: the cache.
    proto::ReplayStartReq all = oru_testing::LlcEvents();
    if (ctrlCpu) {
        all.add_ctrl_cpu_events("0x11");
    }
    oru_e2e::HostJob full;
    full.config = oru_testing::LlcConfig("stopall", R"(,"sys_profiling":"on","pid_profiling":"on",)"
                                                    R"("cpu_sampling_interval":50,)"
                                                    R"("sys_sampling_interval":50,)"
                                                    R"("pid_sampling_interval":50)");
    full.events = all;
    ASSERT_TRUE(full.Start(*client_, "stopall", 0));
    oru_e2e::HostJob cache;
    ASSERT_TRUE(cache.Start(*client_, "stopllc", 1));
    // Job three, beside the cache job: its sessions are open, it never started.
    oru_e2e::HostJob idle;
    idle.jobId = "stopidle";
    const Handshake idleHs{"stopidle", 1, "system-wide"};
    idle.ctrl = oru_testing::OpenControl(*client_, idleHs, 1);
    ASSERT_NE(idle.ctrl, nullptr);
    idle.data = oru_testing::OpenData(*client_, idleHs, 1);
    ASSERT_NE(idle.data, nullptr);
    idle.Collect();
    // Let every collection produce, and the script start its recording.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const std::set<std::string> children = DescendantsOf(pid);
    if (ctrlCpu) {
        EXPECT_FALSE(children.empty()) << "the device script is not running";
    }

    const auto signalled = std::chrono::steady_clock::now();
    ASSERT_TRUE(Signal(*daemon_, SIGTERM));
    const int status = WaitExit(*daemon_, StopBound());
    ASSERT_NE(status, -1) << "the daemon did not exit within the stop bound";
    const auto took = std::chrono::steady_clock::now() - signalled;
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_LE(took, StopBound());

    // Both hosts got DataChannelFinish after their data.
    auto [fullRc, fullFiles] = full.Collected();
    auto [cacheRc, cacheFiles] = cache.Collected();
    EXPECT_EQ(fullRc, host::kRecvOk) << "no DataChannelFinish for the full job";
    EXPECT_EQ(cacheRc, host::kRecvOk) << "no DataChannelFinish for the cache job";
    auto [idleRc, idleFiles] = idle.Collected();
    EXPECT_EQ(idleRc, host::kRecvOk) << "no DataChannelFinish for the job never started";
    EXPECT_TRUE(idleFiles.empty());
    for (const char* name : {"data/llc.data", "data/SystemCpuUsage.data", "data/Memory.data"}) {
        EXPECT_FALSE(fullFiles[name].data.empty()) << name;
    }
    size_t processFiles = 0;
    for (const auto& file : fullFiles) {
        processFiles += file.first.find("-CpuUsage.data") != std::string::npos ? 1 : 0;
    }
    EXPECT_GT(processFiles, 0u) << "no per-process data";
    EXPECT_FALSE(cacheFiles["data/llc.data"].data.empty());
    if (ctrlCpu) {
        // Every piece the script completed reached the host, once, in order.
        const std::string recorded = RecordedCtrlCpuText();
        EXPECT_FALSE(recorded.empty());
        EXPECT_EQ(fullFiles[kCtrlCpuName].data, recorded);
    }

    // The device script and everything it started have ended.
    for (const std::string& child : children) {
        EXPECT_FALSE(AliveNotZombie(child)) << "process " << child << " outlived the daemon";
    }
    const std::string log = oru_testing::ReadText((tmp_ / "oru.log").string());
    EXPECT_EQ(1, oru_testing::CountIn(log, "oru received a stop signal, stopping"));
    EXPECT_EQ(1, oru_testing::CountIn(log, "oru start up exit"));
    EXPECT_FALSE(fs::exists(IdeLockFilePath())) << "the lock file was left behind";

    // A new start serves again, and an idle daemon stops the same way.
    fs::create_directories(tmp_ / "again");
    auto again = oru_testing::StartOru(oru_testing::BinDir(), (tmp_ / "again").string(), 1);
    ASSERT_GT(again->Pid(), 0);
    Handshake hs{"again1", 0, ""};
    EXPECT_NE(oru_testing::OpenControl(*client_, hs), nullptr) << "the new daemon does not serve";
    ASSERT_TRUE(Signal(*again, SIGINT));
    const int againStatus = WaitExit(*again, StopBound());
    EXPECT_TRUE(againStatus != -1 && WIFEXITED(againStatus) && WEXITSTATUS(againStatus) == 0)
        << "status " << againStatus;
}

TEST_F(OrderlyStopTest, ASecondSignalEndsATeardownThatAStalledHostHoldsUp) {
    // A host that never reads its data session fills the job's queue: no finish can be queued.
    ASSERT_NO_FATAL_FAILURE(StartDaemon(
        1,
        {"OSTREL_SIM_CHANNEL_MODE=stream", "OSTREL_SIM_STREAM_BYTES=" + std::to_string(256 << 20)},
        tmp_.string(), ""));
    oru_e2e::HostJob stalled;
    stalled.read = false;
    ASSERT_TRUE(stalled.Start(*client_, "stall1", 0));
    std::this_thread::sleep_for(std::chrono::seconds(1));

    ASSERT_TRUE(Signal(*daemon_, SIGTERM));
    std::this_thread::sleep_for(std::chrono::seconds(1));
    ASSERT_TRUE(daemon_->Running()) << "the teardown did not wait for the stalled host";
    ASSERT_TRUE(Signal(*daemon_, SIGTERM));
    const int status = WaitExit(*daemon_, std::chrono::seconds(2));
    ASSERT_NE(status, -1) << "the second signal did not end the daemon";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 128 + SIGTERM) << status;
}

// A service stop while the daemon still waits for its devices (up to 10 minutes) ends the wait
// at once: the daemon exits 0 and leaves no lock file.
TEST_F(OrderlyStopTest, AStopWhileWaitingForDevicesEndsTheWait) {
    ASSERT_NO_FATAL_FAILURE(StartDaemon(0, {}, tmp_.string()));
    ASSERT_TRUE(oru_testing::WaitUntil([&] {
        return Log().find("Device Counts: 0") != std::string::npos;
    })) << "the daemon does not wait for devices";
    ASSERT_TRUE(Signal(*daemon_, SIGTERM));
    const int status = WaitExit(*daemon_, StopBound());
    ASSERT_NE(status, -1) << "the stop did not end the wait for devices";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    EXPECT_EQ(1, oru_testing::CountIn(Log(), "oru stopped before serving"));
    EXPECT_FALSE(fs::exists(IdeLockFilePath())) << "the lock file was left behind";
}

}  // namespace
