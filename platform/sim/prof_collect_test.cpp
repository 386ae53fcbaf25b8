// The simulated card's collection script, run as the daemon runs it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include "testing/build_paths.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/oru_paths.h"
#include "testing/process.h"

namespace {

const std::string kScript = analysis::orbx::common::kProfCollectScript;
const std::string kPidFile =
    std::string(analysis::orbx::common::kRootPrefix) + "/var/prof_collect.pid";

pid_t Spawn(const std::vector<std::string>& args, int out = -1) {
    pid_t pid = fork();
    if (pid == 0) {
        if (out >= 0) {
            dup2(out, STDOUT_FILENO);
            close(out);
        }
        std::vector<char*> argv;
        for (const auto& a : args) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

int RunScriptOutput(const std::vector<std::string>& args, std::string& out) {
    int fds[2];
    if (pipe(fds) != 0) {
        return -1;
    }
    fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    pid_t pid = Spawn(args, fds[1]);
    close(fds[1]);
    out.clear();
    char buf[65536];
    for (ssize_t n; (n = read(fds[0], buf, sizeof(buf))) > 0;) {
        out.append(buf, static_cast<size_t>(n));
    }
    close(fds[0]);
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

int RunScript(const std::vector<std::string>& args) {
    std::string ignored;
    return RunScriptOutput(args, ignored);
}

bool Exists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}

// Waits for the file while its writer runs; false once the writer ends or 20 s pass.
bool WaitForFile(const std::string& path, pid_t writer) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!Exists(path)) {
        if (std::chrono::steady_clock::now() > deadline || waitpid(writer, nullptr, WNOHANG) != 0) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

class ProfCollectScriptTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(oru_testing::TestTmpDir());
        RunScript({kScript, "--kill"});
    }
    void TearDown() override { RunScript({kScript, "--kill"}); }

    std::string Output(const std::string& name) {
        std::string path = oru_testing::TestTmpDir() + "/" + name;
        unlink(path.c_str());
        return path;
    }
};

TEST_F(ProfCollectScriptTest, RecordWritesPiecesOneAfterAnotherWithEverySample) {
    const std::string out = Output("ai_ctrl_cpu.data.0");
    for (int n = 0; n < 8; ++n) {
        unlink((out + "." + std::to_string(n)).c_str());
    }
    std::ofstream(out).close();
    pid_t record = Spawn({kScript, "--record", out, "200", "{r11,r8}"});
    ASSERT_GT(record, 0);
    // Piece 2 exists only once pieces 0 and 1 are complete.
    ASSERT_TRUE(WaitForFile(out + ".2", record));
    EXPECT_EQ(0, RunScript({kScript, "--kill"}));
    int status = 0;
    ASSERT_EQ(record, waitpid(record, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
    EXPECT_EQ(oru_testing::ReadText(out), "");

    size_t pieces = 0;
    while (Exists(out + "." + std::to_string(pieces))) {
        ++pieces;
    }
    ASSERT_GE(pieces, 3u);
    EXPECT_FALSE(Exists(out + "." + std::to_string(pieces + 1)));

    // Every 5 ms each control cpu reports both events, none missing or repeated across pieces.
    const std::regex sample(R"(^(\d+)\.(\d{6}) cpu([0-3]) (r11|r8) (\d+)$)");
    long long previous = -1;
    for (size_t n = 0; n < pieces; ++n) {
        std::string text;
        ASSERT_EQ(0, RunScriptOutput({kScript, "--script", out + "." + std::to_string(n)}, text));
        std::istringstream in(text);
        std::map<long long, std::set<std::string>> samples;
        for (std::string line; std::getline(in, line);) {
            std::smatch m;
            ASSERT_TRUE(std::regex_match(line, m, sample)) << line;
            const long long us = std::stoll(m[1]) * 1000000 + std::stoll(m[2]);
            EXPECT_TRUE(samples[us].insert(m[3].str() + m[4].str()).second) << line;
            EXPECT_GT(std::stoll(m[5]), 0) << line;
        }
        ASSERT_FALSE(samples.empty()) << "piece " << n;
        for (const auto& [us, seen] : samples) {
            EXPECT_EQ(8u, seen.size()) << "piece " << n;
            if (previous >= 0) {
                EXPECT_EQ(5000, us - previous) << "piece " << n;
            }
            previous = us;
        }
        if (n + 1 < pieces) {
            // A finished piece spans about a second.
            EXPECT_GE(samples.size(), 150u) << "piece " << n;
        }
    }
}

bool EndsWithin20s(pid_t pid) {
    return oru_testing::WaitUntil([pid] { return waitpid(pid, nullptr, WNOHANG) != 0; });
}

// --kill also ends recordings still starting (no pid recorded yet, or killed right after the
// start); a pid in the pid file that does not run the script, and a recording into another file
// than the one the kill names, are left alone.
TEST_F(ProfCollectScriptTest, KillEndsStartsInProgressAndOnlyThem) {
    const std::string rec = Output("ai_ctrl_cpu.data.3");
    const pid_t starting = fork();
    if (starting == 0) {
        execl("/bin/sh", "sh", "-c", "while :; do sleep 0.05; done", kScript.c_str(), "--record",
              rec.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    const pid_t stranger = Spawn({"/bin/sleep", "30"});
    ASSERT_TRUE(starting > 0 && stranger > 0);
    const std::string cmdline = "/proc/" + std::to_string(starting) + "/cmdline";
    ASSERT_TRUE(oru_testing::WaitUntil([&] {
        return oru_testing::ReadText(cmdline).find("--record") != std::string::npos;
    })) << "the shell did not start";
    std::ofstream(kPidFile) << stranger << "\n";
    const std::string cache = Output("llc.data.3");
    const pid_t other = Spawn({kScript, "--stat", cache, "read", "10"});
    const pid_t started = Spawn({kScript, "--record", rec, "100", "{r11}"});
    ASSERT_TRUE(other > 0 && started > 0);
    EXPECT_EQ(0, RunScript({kScript, "--kill", rec}));
    EXPECT_TRUE(EndsWithin20s(starting)) << "a recording still starting was missed";
    EXPECT_TRUE(EndsWithin20s(started)) << "a recording started just before the kill was missed";
    int status = 0;
    EXPECT_EQ(0, waitpid(stranger, &status, WNOHANG)) << "a process not running the script ended";
    EXPECT_EQ(0, waitpid(other, &status, WNOHANG)) << "a kill naming another file ended it";
    EXPECT_EQ(0, RunScript({kScript, "--kill"}));
    EXPECT_TRUE(EndsWithin20s(other)) << "the plain kill missed a recording";
    kill(stranger, SIGKILL);
    EXPECT_EQ(stranger, waitpid(stranger, &status, 0));
    kill(starting, SIGKILL);
    kill(started, SIGKILL);
}

}  // namespace
