// Ending the device script's processes within bounds: children that end by
// themselves, on SIGTERM or only on SIGKILL, and recordings of the simulated
// card's script (kProfCollectScript, through sudo) whose "--kill" misses them.
#include "jobs/device_script.h"
#include "testing/build_paths.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <set>
#include <string>
#include <vector>

#include "common/oru_paths.h"
#include "testing/process.h"
#include "testing/test_log_capture.h"

namespace Analysis::Orbx::JobWrapper {
namespace {

namespace fs = std::filesystem;
using analysis::orbx::common::kProfCollectScript;

const fs::path kScriptConf = fs::path(kProfCollectScript).parent_path() / "prof_collect.conf";

// Runs path with args, argv[0] first.
pid_t Spawn(const char* path, std::vector<std::string> args) {
    const pid_t pid = fork();
    if (pid == 0) {
        std::vector<char*> argv;
        for (auto& arg : args) {
            argv.push_back(&arg[0]);
        }
        argv.push_back(nullptr);
        execv(path, argv.data());
        _exit(127);
    }
    return pid;
}

// Runs f on its own thread; fails the test when it has not returned within
// 20 s (a hang turned into a failure, named by what).
template <class F>
auto WithDeadline(const char* what, F f) -> decltype(f()) {
    auto result = std::async(std::launch::async, f);
    if (result.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        ADD_FAILURE() << what << " did not return within 20 s";
    }
    return result.get();
}

TEST(EndChildTest, AChildEndsByItselfOnSigtermOrOnSigkillAndIsReaped) {
    const struct {
        const char* script;
        ChildEnd end;
        int32_t exitCode;
    } cases[] = {
        {"exit 3", ChildEnd::kExited, 3},
        {"exec sleep 30", ChildEnd::kTerminated, 128 + SIGTERM},
        {"trap '' TERM; while :; do sleep 0.05; done", ChildEnd::kKilled, 128 + SIGKILL},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.script);
        const pid_t pid = Spawn("/bin/sh", {"sh", "-c", c.script});
        ASSERT_GT(pid, 0);
        int32_t exitCode = -1;
        EXPECT_EQ(WithDeadline("EndChild", [&] { return EndChild(pid, 300, 300, exitCode); }),
                  c.end);
        EXPECT_EQ(exitCode, c.exitCode);
        // Reaped: no longer a child of this process.
        int status = 0;
        EXPECT_EQ(waitpid(pid, &status, WNOHANG), -1);
        EXPECT_EQ(errno, ECHILD);
    }
    int32_t exitCode = 0;
    EXPECT_EQ(EndChild(static_cast<int>(getppid()), 0, 0, exitCode), ChildEnd::kLost);
    EXPECT_EQ(EndChild(-1, 0, 0, exitCode), ChildEnd::kLost);
}

// A stand-in for a recording of the script into file: its command line names
// the script, the verb and the file. With ignoreTerm only SIGKILL ends it.
pid_t SpawnRecordingLookalike(const std::string& verb, const std::string& file, bool ignoreTerm) {
    const std::string body =
        std::string(ignoreTerm ? "trap '' TERM; " : "") + "while :; do sleep 0.05; done";
    return Spawn("/bin/sh", {"sh", "-c", body, kProfCollectScript, verb, file});
}

class DeviceScriptTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::remove_all(oru_testing::TestTmpDir());
        fs::create_directories(oru_testing::TestTmpDir());
    }
    void TearDown() override { fs::remove(kScriptConf); }

    std::string File(const std::string& name) const {
        return oru_testing::TestTmpDir() + "/" + name;
    }
    static RecordingMatch Exactly(const std::string& verb, const std::string& file) {
        return [verb, file](const std::string& v, const std::string& f) {
            return v == verb && f == file;
        };
    }
    static bool Sudo() { return std::system("sudo -n true >/dev/null 2>&1") == 0; }
    // Starts the collection script with args through sudo, as the jobs do.
    static int StartScript(ScriptRecording& recording, const std::vector<std::string>& args) {
        analysis::orbx::common::ExecCmdParams exec;
        exec.path = "sudo";
        exec.async = true;
        std::vector<std::string> argv{kProfCollectScript};
        argv.insert(argv.end(), args.begin(), args.end());
        return recording.Start(exec, argv, {"PATH=/usr/bin:/usr/sbin:/var"});
    }

    analysis::orbx::common::TestLogCapture log_;
};

TEST_F(DeviceScriptTest, RecordingsAreFoundByVerbAndFileAndEndedEvenWhenTheyIgnoreSigterm) {
    const std::string mine = File("ai_ctrl_cpu.data.0");
    const pid_t polite = SpawnRecordingLookalike("--record", mine, false);
    const pid_t stubborn = SpawnRecordingLookalike("--record", mine, true);
    const pid_t other = SpawnRecordingLookalike("--stat", mine, true);
    ASSERT_TRUE(polite > 0 && stubborn > 0 && other > 0);
    // The shells are found once their command line is theirs; a child a
    // shell forks for sleep shows the same command line for a moment.
    std::set<int> seen;
    oru_testing::WaitUntil([&] {
        const std::vector<int> pids = FindRecordings(Exactly("--record", mine));
        seen = std::set<int>(pids.begin(), pids.end());
        return seen.count(polite) == 1 && seen.count(stubborn) == 1;
    });
    EXPECT_EQ(seen.count(polite), 1u);
    EXPECT_EQ(seen.count(stubborn), 1u);
    EXPECT_EQ(seen.count(other), 0u);
    EXPECT_TRUE(FindRecordings(Exactly("--record", File("other"))).empty());

    EXPECT_TRUE(WithDeadline("EndRecordings",
                             [&] { return EndRecordings(Exactly("--record", mine), 300); }));
    EXPECT_TRUE(FindRecordings(Exactly("--record", mine)).empty());
    EXPECT_EQ(log_.Count("outlived SIGTERM, killing it"), 1u);
    // Their own children, so reaped on the way; the --stat one is untouched.
    int status = 0;
    EXPECT_EQ(waitpid(polite, &status, WNOHANG), -1);
    EXPECT_EQ(waitpid(stubborn, &status, WNOHANG), -1);
    EXPECT_EQ(waitpid(other, &status, WNOHANG), 0);
    kill(other, SIGKILL);
    EXPECT_EQ(waitpid(other, &status, 0), other);
}

// The recording's stop, whatever the script's "--kill" does: it returns
// within its bounds, leaves no child and no process recording into the file,
// and says whether the recording ended cleanly.
TEST_F(DeviceScriptTest, AStopEndsTheRecordingWithinItsBoundsWhateverTheScriptsKillDoes) {
    if (!Sudo()) {
        GTEST_SKIP() << "the device script runs through sudo, which needs a password here";
    }
    const struct {
        const char* name;
        const char* settings;  // of the simulated script
        bool waitForPiece;     // stop only once the recording has written
        int result;
        const char* logged;
    } cases[] = {
        {"stopped at once", "", false, 0, "Succeeded to kill process, ret=0, exitCode=0"},
        {"recording", "", true, 0, "exited, exit code=0"},
        {"the kill misses it", "kill_misses=1\n", true, 0,
         "outlived the script's kill and ended on SIGTERM"},
        {"the kill misses it and it ignores SIGTERM", "kill_misses=1\nignore_term=1\n", true, -1,
         "ended only on SIGKILL"},
    };
    const ScriptWaits waits{2000, 300, 500};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::ofstream(kScriptConf) << c.settings;
        const std::string file = File("ai_ctrl_cpu.data.7");
        auto recording = std::make_shared<ScriptRecording>("--record", file);
        ASSERT_EQ(StartScript(*recording, {"--record", file, "100", "{r11}"}), 0);
        EXPECT_EQ(RunningRecordings(), 1u);
        EXPECT_TRUE(oru_testing::WaitUntil([&] {
            return !c.waitForPiece || fs::exists(file + ".0");
        })) << "the recording wrote no piece";
        EXPECT_EQ(WithDeadline("Stop", [&] { return recording->Stop(waits); }), c.result);
        EXPECT_GT(log_.Count(c.logged), 0u);
        // Nothing left: no child, no process recording, nothing counted.
        int status = 0;
        EXPECT_EQ(waitpid(-1, &status, WNOHANG), -1);
        EXPECT_TRUE(FindRecordings(Exactly("--record", file)).empty());
        EXPECT_EQ(RunningRecordings(), 0u);
        // A second stop only repeats the first one's result.
        EXPECT_EQ(recording->Stop(waits), c.result);
    }
}

// Neither ending what an earlier daemon left nor one recording's stop ends
// another recording of this process, nor one that is still starting (not yet
// counted as running): each kill names its file, where the script's plain
// "--kill" would end every recording.
TEST_F(DeviceScriptTest, NeitherALeftoverSweepNorAStopEndsAnotherRecording) {
    if (!Sudo()) {
        GTEST_SKIP() << "the device script runs through sudo, which needs a password here";
    }
    const std::string starting = File("llc.data.2");
    const std::string cache = File("llc.data.1");
    const std::string ctrl = File("ai_ctrl_cpu.data.2");
    const std::string left = File("ai_ctrl_cpu.data.1");
    // As an earlier daemon left it, and a start of this process in progress.
    const pid_t leftover =
        Spawn(kProfCollectScript, {kProfCollectScript, "--record", left, "100", "{r11}"});
    const pid_t startingPid =
        Spawn(kProfCollectScript, {kProfCollectScript, "--stat", starting, "read", "10"});
    ASSERT_TRUE(leftover > 0 && startingPid > 0);
    EXPECT_TRUE(oru_testing::WaitUntil([&] {
        return fs::exists(left + ".0") && fs::exists(starting);
    })) << "the leftover or the starting recording wrote nothing";
    ASSERT_EQ(RunningRecordings(), 0u);
    const ScriptWaits waits{2000, 300, 500};
    EXPECT_TRUE(WithDeadline("EndLeftoverRecordings", [&] {
        return EndLeftoverRecordings(Exactly("--record", left), waits);
    }));
    EXPECT_TRUE(FindRecordings(Exactly("--record", left)).empty());
    int status = 0;
    EXPECT_NE(waitpid(leftover, &status, WNOHANG), 0);  // reaped, or ended and reaped now
    EXPECT_EQ(waitpid(startingPid, &status, WNOHANG), 0) << "the sweep ended a starting recording";

    auto cacheRecording = std::make_shared<ScriptRecording>("--stat", cache);
    ASSERT_EQ(StartScript(*cacheRecording, {"--stat", cache, "read", "10"}), 0);
    auto ctrlRecording = std::make_shared<ScriptRecording>("--record", ctrl);
    ASSERT_EQ(StartScript(*ctrlRecording, {"--record", ctrl, "100", "{r11}"}), 0);
    EXPECT_TRUE(oru_testing::WaitUntil([&] {
        return fs::exists(ctrl + ".0") && fs::exists(cache);
    })) << "the recordings wrote nothing";
    EXPECT_EQ(WithDeadline("Stop", [&] { return cacheRecording->Stop(waits); }), 0);
    EXPECT_TRUE(FindRecordings(Exactly("--stat", cache)).empty());
    EXPECT_FALSE(FindRecordings(Exactly("--record", ctrl)).empty())
        << "the cache recording's stop ended the control-CPU recording";
    EXPECT_EQ(RunningRecordings(), 1u);
    EXPECT_EQ(WithDeadline("Stop", [&] { return ctrlRecording->Stop(waits); }), 0);
    EXPECT_TRUE(FindRecordings(Exactly("--record", ctrl)).empty());
    EXPECT_EQ(waitpid(startingPid, &status, WNOHANG), 0) << "a stop ended a starting recording";
    kill(startingPid, SIGTERM);
    EXPECT_EQ(waitpid(startingPid, &status, 0), startingPid);
}

}  // namespace
}  // namespace Analysis::Orbx::JobWrapper
