// The oru executable as a process: single instance and start-up failure.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include "testing/build_paths.h"

#include <memory>
#include <string>
#include <vector>

#include "common/memory_utils.h"
#include "common/oru_paths.h"
#include "common/utils.h"
#include "daemon/ide_platform_util.h"
#include "hdc/hdc_api.h"
#include "testing/process.h"
#include "testing/sim_test_util.h"

namespace {

using analysis::orbx::common::kAppmonSocket;
using analysis::orbx::common::Utils;
using oru_testing::Child;
using oru_testing::CountIn;
using oru_testing::ReadText;
using oru_testing::WaitForText;

const std::string kTmp = oru_testing::TestTmpDir();
const std::string kOru = oru_testing::BinDir() + "/oru";

ino_t InodeOf(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

class OruProcess : public ::testing::Test {
  protected:
    void SetUp() override {
        ostrel::simtest::ResetSim();
        ASSERT_EQ(0, Utils::CreateDir(kTmp));
        unlink(kAppmonSocket);
        Utils::RemoveFile(IdeLockFilePath());
    }
    void TearDown() override {
        children_.clear();
        Utils::RemoveFile(IdeLockFilePath());
    }

    Child& Start(const std::string& name, std::vector<std::string> env = {}) {
        std::string log = kTmp + "/" + name + ".log";
        unlink(log.c_str());
        env.push_back("OSTREL_LOG_FILE=" + log);
        env.push_back("OSTREL_LOG_LEVEL=info");
        children_.push_back(std::make_unique<Child>(std::vector<std::string>{kOru}, env,
                                                    kTmp + "/" + name + ".out"));
        return *children_.back();
    }
    static std::string Out(const std::string& name) { return ReadText(kTmp + "/" + name + ".out"); }
    static std::string Log(const std::string& name) { return ReadText(kTmp + "/" + name + ".log"); }
    static bool WaitServing(const std::string& name) {
        return WaitForText(kTmp + "/" + name + ".log", "create HDC server successfully");
    }

    std::vector<std::unique_ptr<Child>> children_;
};

// True once the daemon closed a session it has no component for (it is serving).
bool ServedByDaemon() {
    HDC_CLIENT client = HdcClientCreate(HDC_SERVICE_TYPE_IDE);
    HDC_SESSION session = nullptr;
    bool served = false;
    if (client != nullptr && HdcSessionConnect(0, 0, client, &session) == 0) {
        IdeTlvReq* packet = nullptr;
        uint32_t len = 0;
        if (IdeCreatePacket(IDE_HOOK_REG_REQ, "x", 1, &packet, &len) == 0 &&
            HdcSessionWrite(session, packet, len) == 0) {
            void* buf = nullptr;
            uint32_t got = 0;
            served = HdcSessionRead(session, &buf, &got) == IDE_READ_SESSION_CLOSED;
            IdeXfree(buf);
        }
        IdeFreePacket(&packet);
        HdcSessionClose(session);
    }
    HdcClientDestroy(client);
    return served;
}

TEST_F(OruProcess, SecondAndThirdStartsExitWhileTheFirstKeepsServing) {
    Child& first = Start("first");
    ASSERT_TRUE(WaitServing("first")) << Log("first");
    std::string lock = IdeLockFilePath();
    ino_t inode = InodeOf(lock);
    ASSERT_NE(0u, inode);

    for (const std::string name : {"second", "third"}) {
        Child& again = Start(name);
        EXPECT_EQ(255, again.Wait()) << name;
        EXPECT_EQ("oru is exist, don't start again\n", Out(name)) << name;
        EXPECT_EQ(1, CountIn(Log(name), "single process start error")) << name;
        EXPECT_EQ(inode, InodeOf(lock)) << name;
    }
    EXPECT_TRUE(first.Running());
    EXPECT_TRUE(ServedByDaemon());
    EXPECT_EQ("", Out("first"));
}

TEST_F(OruProcess, AnHdcInitFailureEndsTheStartAfterDestroyingEveryComponent) {
    Child& oru = Start("hdcfail", {"OSTREL_SIM_FAULTS=client_create:3:1"});
    EXPECT_EQ(255, oru.Wait());
    EXPECT_EQ("init [hdc] failed\noru init failed, exit\n", Out("hdcfail"));
    std::string log = Log("hdcfail");
    // The monitor (slot 17) comes after HDC: never started, yet destroyed, last slot first.
    EXPECT_EQ(0, CountIn(log, "ide daemon monitor thread starting..."));
    size_t monitor = log.find("call ideComponents Funcs destroy[default] success");
    size_t hdc = log.find("call ideComponents Funcs destroy[hdc] success");
    ASSERT_NE(std::string::npos, monitor);
    ASSERT_NE(std::string::npos, hdc);
    EXPECT_LT(monitor, hdc);
    EXPECT_NE(std::string::npos, log.find("oru start up exit"));
    EXPECT_FALSE(Utils::IsFileExist(IdeLockFilePath()));
}

}  // namespace
