// The oru executable as a process: single instance, start-up failure, killed mid-job, and its
// monitor service going away and coming back. After each fault the daemon serves a normal job,
// and the host is never told SUCCESS for something that did not happen.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "common/memory_utils.h"
#include "common/oru_paths.h"
#include "common/utils.h"
#include "daemon/ide_platform_util.h"
#include "hdc/hdc_api.h"
#include "testing/build_paths.h"
#include "testing/daemon_fixture.h"
#include "testing/process.h"
#include "testing/sim_test_util.h"

namespace {

using namespace oru_e2e;
using analysis::orbx::common::kAppmonSocket;
using analysis::orbx::common::Utils;
using oru_testing::Child;
using oru_testing::CountIn;
using oru_testing::ReadText;
using oru_testing::WaitForText;

const std::string kTmp = oru_testing::TestTmpDir();

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
        client_ = host::HostClient::Create();
        ASSERT_NE(nullptr, client_);
    }
    void TearDown() override {
        client_.reset();
        children_.clear();
        unlink(kAppmonSocket);
        Utils::RemoveFile(IdeLockFilePath());
    }

    // oru with its log in <name>.log.
    Child& Start(const std::string& name, std::vector<std::string> env = {}) {
        unlink(Log(name).c_str());
        env.push_back("OSTREL_LOG_FILE=" + Log(name));
        env.push_back("OSTREL_LOG_LEVEL=info");
        children_.push_back(
            std::make_unique<Child>(std::vector<std::string>{oru_testing::BinDir() + "/oru"}, env,
                                    kTmp + "/" + name + ".out"));
        return *children_.back();
    }
    // The monitor service, logging to <name>.log.
    Child& StartService(const std::string& name) {
        unlink(Log(name).c_str());
        children_.push_back(std::make_unique<Child>(
            std::vector<std::string>{oru_testing::BinDir() + "/ostrel-sim-monitor", "--socket",
                                     kAppmonSocket, "--log", Log(name)},
            std::vector<std::string>{}, kTmp + "/" + name + ".out"));
        EXPECT_TRUE(WaitForText(Log(name), "listening on"));
        return *children_.back();
    }
    static std::string Out(const std::string& name) { return ReadText(kTmp + "/" + name + ".out"); }
    static std::string Log(const std::string& name) { return kTmp + "/" + name + ".log"; }

    std::shared_ptr<host::HostClient> client_;
    std::vector<std::unique_ptr<Child>> children_;
};

class DaemonProcessFaults : public OruProcess {};

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
    ASSERT_TRUE(WaitForText(Log("first"), "create HDC server successfully"))
        << ReadText(Log("first"));
    std::string lock = IdeLockFilePath();
    ino_t inode = InodeOf(lock);
    ASSERT_NE(0u, inode);

    for (const std::string name : {"second", "third"}) {
        Child& again = Start(name);
        EXPECT_EQ(255, again.Wait()) << name;
        EXPECT_EQ("oru is exist, don't start again\n", Out(name)) << name;
        EXPECT_EQ(1, CountIn(ReadText(Log(name)), "single process start error")) << name;
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
    std::string log = ReadText(Log("hdcfail"));
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

TEST_F(DaemonProcessFaults, AfterASigkillMidJobTheNextStartTakesTheLockAndServes) {
    Child& first = Start("killed");
    {
        HostJob job;
        ASSERT_TRUE(job.Start(*client_, "killedjob"));
        first.Kill(SIGKILL);

        // The host learns that the device has gone; nothing claims success.
        EXPECT_NE(host::kRecvOk, job.Collected().first);
        proto::Response reply;
        EXPECT_NE(host::kRecvOk, job.ctrl->StopJob(job.ctx, &reply));
    }
    // The killed daemon left its lock file and the job's directory behind.
    EXPECT_TRUE(Utils::IsFileExist(IdeLockFilePath()));
    EXPECT_TRUE(IsDir(JobDir("killedjob")));

    Child& second = Start("restarted");
    EXPECT_TRUE(RunNormalJob(*client_, "killedjob"));
    EXPECT_TRUE(second.Running());
    EXPECT_EQ(0, CountIn(ReadText(Log("restarted")), "oru is exist"));
}

TEST_F(DaemonProcessFaults, TheDaemonOutlivesItsMonitorServiceAndRegistersWhenItReturns) {
    Child* service = &StartService("service1");
    Child& oru = Start("monitored");
    std::string pid = std::to_string(oru.Pid());
    ASSERT_TRUE(WaitForText(Log("service1"), "heartbeat pid=" + pid));

    service->Kill(SIGTERM);
    ASSERT_TRUE(WaitForText(Log("monitored"), "app mon client heartbeat failed, connect again."));
    EXPECT_TRUE(RunNormalJob(*client_, "nomonitor"));

    service = &StartService("service2");
    ASSERT_TRUE(WaitForText(Log("service2"), "heartbeat pid=" + pid));
    EXPECT_EQ(1, CountIn(ReadText(Log("service2")), "register pid=" + pid + " timeout=9000"));
    EXPECT_TRUE(oru.Running());
    EXPECT_TRUE(RunNormalJob(*client_, "monitoredagain"));
}

// Runs IdeSingleProcessLock in a child process; its result as exit status.
int LockInChild() {
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        int fd = -1;
        _exit(static_cast<int>(IdeSingleProcessLock(&fd)));
    }
    int status = 0;
    EXPECT_EQ(pid, waitpid(pid, &status, 0));
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Last, as it takes the lock in this process: where the lock lives, its modes, and that an
// unlock removes it.
TEST(SingleInstanceLock, LivesInTheHomeDirectoryUnderTheRootPrefix) {
    const std::string path = IdeLockFilePath();
    EXPECT_EQ(std::string(analysis::orbx::common::kRootPrefix) + Utils::HomeDir() +
                  "/ide_daemon/.ilka.lock",
              path);
    int fd = -1;
    ASSERT_EQ(IDE_LOCK_OK, IdeSingleProcessLock(&fd));
    ASSERT_GE(fd, 0);
    struct stat st {};
    ASSERT_EQ(0, stat(path.c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777u);
    ASSERT_EQ(0, stat(IdeLockDir().c_str(), &st));
    EXPECT_EQ(0750u, st.st_mode & 0777u);
    EXPECT_NE(0, fcntl(fd, F_GETFD) & FD_CLOEXEC);
    EXPECT_EQ(IDE_LOCK_HELD, LockInChild());

    IdeSingleProcessUnlock(fd);
    EXPECT_FALSE(Utils::IsFileExist(path));
    EXPECT_EQ(IDE_LOCK_OK, LockInChild());
    Utils::RemoveFile(path);
}

}  // namespace
