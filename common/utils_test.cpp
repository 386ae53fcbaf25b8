#include "common/utils.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <vector>

#include "ostrel/mm.h"
#include "testing/process.h"
#include "testing/test_emulator.h"
#include "testing/test_fake_clock.h"
#include "testing/test_log_capture.h"
#include "testing/test_temp_dir.h"

using analysis::orbx::common::Clock;
using analysis::orbx::common::ExecCmdParams;
using analysis::orbx::common::FakeClock;
using analysis::orbx::common::TestLogCapture;
using analysis::orbx::common::Utils;

namespace {

using oru_testing::ReadText;

class UtilsFs : public ::testing::Test {
  protected:
    analysis::orbx::common::TestTempDir tmp_;
    std::string root_ = tmp_.Path().string();
};

TEST(UtilsNumber, AcceptsExactlyTheNonNegativeIntRange) {
    TestLogCapture logs;
    for (const char* good : {"0", "2147483647", "0000000001"}) {
        EXPECT_TRUE(Utils::CheckStringIsNonNegativeIntNum(good)) << good;
    }
    EXPECT_TRUE(logs.Entries().empty());
    for (const char* bad : {"2147483648", "12a", "-1", "00000000001", ""}) {
        EXPECT_FALSE(Utils::CheckStringIsNonNegativeIntNum(bad)) << bad;
    }
    EXPECT_TRUE(logs.Has("numberStr(2147483648) is over than 2147483647"));
    EXPECT_TRUE(logs.Has("numberStr(12a) is not a number"));
    EXPECT_TRUE(logs.Has("numberStr(00000000001) is too long"));
}

TEST(UtilsText, SplitKeepsOrSkipsPieces) {
    using V = std::vector<std::string>;
    EXPECT_EQ((V{"a", "b"}), Utils::Split("a,,b", true, "", ","));
    EXPECT_EQ((V{"a", "", "b"}), Utils::Split("a,,b", false, "", ","));
    EXPECT_EQ((V{"a", "", "b", ""}), Utils::Split("a,,b,", false, "", ","));
    EXPECT_EQ((V{"a", "c"}), Utils::Split("a b c", true, "b"));
    EXPECT_TRUE(Utils::Split("", false, "", ",").empty());
}

TEST(UtilsText, PathAfterAMarker) {
    TestLogCapture logs;
    std::string out = "unchanged";
    Utils::GetPathAfter("/var/log/npu//\\job/dev0", "/npu", out);
    EXPECT_EQ("job/dev0", out);
    out = "unchanged";
    Utils::GetPathAfter("/var/log/x/y", "/npu", out);
    EXPECT_EQ("unchanged", out);
    EXPECT_TRUE(logs.Has("Failed to find \"npu\" from \"y\""));
}

TEST(UtilsHome, ExpandsOnlyATildeSlashPrefix) {
    EXPECT_EQ("", Utils::ExpandHome(""));
    EXPECT_EQ(Utils::HomeDir() + "/x/y", Utils::ExpandHome("~/x/y"));
    EXPECT_EQ("~x/y", Utils::ExpandHome("~x/y"));
    EXPECT_EQ("/abs/~/y", Utils::ExpandHome("/abs/~/y"));
}

TEST_F(UtilsFs, CreateDirMakesEveryMissingLevelWithMode750) {
    mmUmask(077);
    std::string deep = root_ + "/a/b/c";
    EXPECT_EQ(0, Utils::CreateDir(deep));
    for (const std::string& p : {root_ + "/a", root_ + "/a/b", deep}) {
        struct stat st {};
        ASSERT_EQ(0, stat(p.c_str(), &st)) << p;
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        EXPECT_EQ(0750u, st.st_mode & 0777u) << p;
    }
    mmUmask(022);
    EXPECT_EQ(0, Utils::CreateDir(deep));

    EXPECT_EQ(-1, Utils::CreateDir(""));
    std::ofstream(root_ + "/file") << "x";
    EXPECT_EQ(-1, Utils::CreateDir(root_ + "/file/sub"));
}

TEST_F(UtilsFs, RemoveDirEmptiesOrRemovesAndRefusesRootAndEmpty) {
    TestLogCapture logs;
    Utils::RemoveDir("/", false);
    Utils::RemoveDir("", true);
    EXPECT_EQ(2u, logs.Count("empty compare failed."));
    EXPECT_FALSE(logs.Has("RemoveDir dir"));

    // Files and (empty) subdirectories go, the directory itself stays.
    std::string dir = root_ + "/d";
    ASSERT_EQ(0, Utils::CreateDir(dir + "/sub"));
    std::ofstream(dir + "/f1") << "1";
    std::ofstream(dir + "/f2") << "2";
    Utils::RemoveDir(dir, false);
    EXPECT_TRUE(Utils::IsDir(dir));
    std::vector<std::string> left;
    Utils::ListFiles(dir, true, left, 0);
    Utils::ListDirs(dir, true, left, 0);
    EXPECT_TRUE(left.empty());

    Utils::RemoveDir(dir, true);
    EXPECT_FALSE(Utils::IsFileExist(dir));
}

TEST_F(UtilsFs, ListFilesStopsBelowDepthTenAndSkipsDirectories) {
    // Level i holds file fi; level 0 is root_.
    std::string dir = root_;
    for (int i = 0; i <= 12; ++i) {
        if (i > 0) {
            dir += "/l" + std::to_string(i);
            ASSERT_EQ(0, Utils::CreateDir(dir));
        }
        std::ofstream(dir + "/f" + std::to_string(i)) << "x";
    }
    std::vector<std::string> files;
    Utils::ListFiles(root_, true, files, 0);
    ASSERT_EQ(11u, files.size());
    for (int i = 0; i <= 10; ++i) {
        bool found = false;
        for (const auto& f : files) {
            found = found || Utils::BaseName(f) == "f" + std::to_string(i);
        }
        EXPECT_TRUE(found) << i;
    }

    std::vector<std::string> dirs;
    Utils::ListDirs(root_, true, dirs, 0);
    EXPECT_EQ(11u, dirs.size());  // l1 .. l11: levels 0 to 10 are scanned
}

TEST(UtilsTime, UsleepRoundsDownToMilliseconds) {
    FakeClock clock;
    Clock::SetDefault(&clock);
    EXPECT_EQ(0, Utils::Usleep(1000));
    EXPECT_EQ(0, Utils::Usleep(999));
    EXPECT_EQ(0, Utils::Usleep(2500));
    Clock::SetDefault(nullptr);
    EXPECT_EQ((std::vector<uint32_t>{1, 0, 2}), clock.Sleeps());
}

class UtilsExec : public UtilsFs {
  protected:
    void SetUp() override {
        char buf[4096];
        ASSERT_NE(nullptr, getcwd(buf, sizeof(buf)));
        cwd_ = buf;
    }
    void TearDown() override { ASSERT_EQ(0, chdir(cwd_.c_str())); }
    std::string cwd_;
};

TEST_F(UtilsExec, WaitsForTheChildAndReportsItsExitCode) {
    ExecCmdParams cmd{"/bin/sh", false, ""};
    int exitCode = 0;
    int pid = 0;
    ASSERT_EQ(0, Utils::ExecCmd(cmd, {"-c", "exit 7"}, {}, exitCode, pid));
    EXPECT_EQ(7, exitCode);
    EXPECT_GT(pid, 0);

    if (analysis::orbx::common::NativeOnly(
            "qemu-user runs vfork as fork: a failed exec is not reported")) {
        EXPECT_EQ(-1, Utils::ExecCmd(ExecCmdParams{root_ + "/missing", false, ""}, {}, {}, exitCode,
                                     pid));
    }

    const std::string out = root_ + "/out.txt";
    ASSERT_EQ(0, Utils::ExecCmd(ExecCmdParams{"/bin/sh", false, out},
                                {"-c", "echo \"$0|$1|$ORU_X|${HOME:-none}\"", "a0", "a1"},
                                {"ORU_X=42"}, exitCode, pid));
    EXPECT_EQ(0, exitCode);
    EXPECT_EQ("a0|a1|42|none\n", ReadText(out));
}

TEST_F(UtilsExec, AsynchronousRunReturnsTheRunningChildsPid) {
    std::string out = root_ + "/async.txt";
    std::string gate = root_ + "/gate";
    ExecCmdParams cmd{"/bin/sh", true, out};
    int exitCode = -1;  // not examined by an asynchronous run
    int pid = 0;
    ASSERT_EQ(
        0, Utils::ExecCmd(cmd, {"-c", "while [ ! -e \"$0\" ]; do sleep 0.01; done; echo $$", gate},
                          {}, exitCode, pid));
    ASSERT_GT(pid, 0);
    EXPECT_EQ(0, waitpid(pid, nullptr, WNOHANG));
    std::ofstream(gate) << "";
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(std::to_string(pid) + "\n", ReadText(out));
    EXPECT_EQ(-1, exitCode);
}

}  // namespace
