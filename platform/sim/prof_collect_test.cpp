// The simulated card's collection script, run as the daemon runs it.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "common/oru_paths.h"

namespace {

const std::string kScript = analysis::orbx::common::kProfCollectScript;
const std::string kPidFile = std::string(ORU_ROOT_PREFIX) + "/var/prof_collect.pid";

pid_t Spawn(const std::vector<std::string>& args) {
    pid_t pid = fork();
    if (pid == 0) {
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

int RunScript(const std::vector<std::string>& args) {
    pid_t pid = Spawn(args);
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

std::vector<std::string> Lines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// Waits (bounded) until the file holds at least n lines while the writer runs.
bool WaitForLines(const std::string& path, size_t n, pid_t writer) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (Lines(path).size() < n) {
        int status = 0;
        if (std::chrono::steady_clock::now() > deadline || waitpid(writer, &status, WNOHANG) != 0) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

class ProfCollectScriptTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(ORU_TEST_TMP_DIR);
        RunScript({kScript, "--kill"});
    }
    void TearDown() override { RunScript({kScript, "--kill"}); }

    std::string Output(const std::string& name) {
        std::string path = std::string(ORU_TEST_TMP_DIR) + "/" + name;
        unlink(path.c_str());
        return path;
    }
};

TEST_F(ProfCollectScriptTest, StatWritesTimestampedSamplesUntilKill) {
    std::string out = Output("llc.data.0");
    pid_t stat = Spawn({kScript, "--stat", out, "read,write", "10"});
    ASSERT_GT(stat, 0);
    ASSERT_TRUE(WaitForLines(out, 3, stat));
    EXPECT_EQ(0, access(kPidFile.c_str(), F_OK));

    EXPECT_EQ(0, RunScript({kScript, "--kill"}));
    int status = 0;
    ASSERT_EQ(stat, waitpid(stat, &status, 0));
    EXPECT_NE(0, access(kPidFile.c_str(), F_OK));

    std::vector<std::string> lines = Lines(out);
    const std::regex sample(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{6})"
                            R"( read: hits=\d+ misses=\d+ hit_rate=\d+\.\d{2}%)"
                            R"( write: hits=\d+ misses=\d+ hit_rate=\d+\.\d{2}%$)");
    ASSERT_GE(lines.size(), 3u);
    for (const auto& line : lines) {
        EXPECT_TRUE(std::regex_match(line, sample)) << line;
    }
    EXPECT_LE(lines.front(), lines.back());  // timestamps rise
}

TEST_F(ProfCollectScriptTest, KillEndsEveryStatEvenMidWay) {
    std::string fast = Output("fast");
    std::string slow = Output("slow");
    pid_t a = Spawn({kScript, "--stat", fast, "read", "5"});
    // A period far longer than the test: the kill must not wait for it.
    pid_t b = Spawn({kScript, "--stat", slow, "write", "3600000"});
    ASSERT_TRUE(WaitForLines(fast, 2, a));
    ASSERT_TRUE(WaitForLines(slow, 1, b));

    EXPECT_EQ(0, RunScript({kScript, "--kill"}));
    int status = 0;
    EXPECT_EQ(a, waitpid(a, &status, 0));
    EXPECT_EQ(b, waitpid(b, &status, 0));
    size_t written = Lines(fast).size();
    EXPECT_EQ(written, Lines(fast).size());
    EXPECT_EQ(1u, Lines(slow).size());
}

TEST_F(ProfCollectScriptTest, KillWithNothingRunningSucceeds) {
    EXPECT_EQ(0, RunScript({kScript, "--kill"}));
}

TEST_F(ProfCollectScriptTest, BadArgumentsAreRefused) {
    std::string out = Output("bad");
    EXPECT_EQ(2, RunScript({kScript, "--stat", out, "read", "0"}));
    EXPECT_EQ(2, RunScript({kScript, "--stat", out, "read", "ten"}));
    EXPECT_EQ(2, RunScript({kScript, "--stat", out, "", "10"}));
    EXPECT_EQ(2, RunScript({kScript, "--stat", out, "read"}));
    EXPECT_EQ(2, RunScript({kScript, "--record"}));
    EXPECT_EQ(2, RunScript({kScript}));
    EXPECT_TRUE(Lines(out).empty());
}

}  // namespace
