// Faults around the oru process itself: killed mid-job, and its monitor
// service going away and coming back. After each, the daemon serves a normal
// job, and the host is never told SUCCESS for something that did not happen.
#include <gtest/gtest.h>
#include <unistd.h>
#include "testing/build_paths.h"

#include <csignal>
#include <memory>
#include <string>
#include <vector>

#include "common/utils.h"
#include "daemon/ide_platform_util.h"
#include "testing/daemon_fixture.h"
#include "testing/process.h"

namespace {

using namespace oru_e2e;
using analysis::orbx::common::kAppmonSocket;
using analysis::orbx::common::Utils;
using oru_testing::Child;
using oru_testing::CountIn;
using oru_testing::ReadText;
using oru_testing::WaitForText;

const std::string kTmp = oru_testing::TestTmpDir();

class DaemonProcessFaults : public ::testing::Test {
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

    // Starts oru with its log in <name>.log.
    Child& StartOru(const std::string& name) {
        std::string log = kTmp + "/" + name + ".log";
        unlink(log.c_str());
        children_.push_back(std::make_unique<Child>(
            std::vector<std::string>{oru_testing::BinDir() + "/oru"},
            std::vector<std::string>{"OSTREL_LOG_FILE=" + log, "OSTREL_LOG_LEVEL=info"},
            kTmp + "/" + name + ".out"));
        return *children_.back();
    }
    // Starts the monitor service, logging to <name>.log.
    Child& StartService(const std::string& name) {
        std::string log = kTmp + "/" + name + ".log";
        unlink(log.c_str());
        children_.push_back(std::make_unique<Child>(
            std::vector<std::string>{oru_testing::BinDir() + "/ostrel-sim-monitor", "--socket",
                                     kAppmonSocket, "--log", log},
            std::vector<std::string>{}, kTmp + "/" + name + ".out"));
        EXPECT_TRUE(WaitForText(log, "listening on"));
        return *children_.back();
    }
    static std::string Log(const std::string& name) { return kTmp + "/" + name + ".log"; }

    std::shared_ptr<host::HostClient> client_;
    std::vector<std::unique_ptr<Child>> children_;
};

TEST_F(DaemonProcessFaults, AfterASigkillMidJobTheNextStartTakesTheLockAndServes) {
    Child& first = StartOru("killed");
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

    Child& second = StartOru("restarted");
    EXPECT_TRUE(RunNormalJob(*client_, "killedjob"));
    EXPECT_TRUE(second.Running());
    EXPECT_EQ(0, CountIn(ReadText(Log("restarted")), "oru is exist"));
}

TEST_F(DaemonProcessFaults, TheDaemonOutlivesItsMonitorServiceAndRegistersWhenItReturns) {
    Child* service = &StartService("service1");
    Child& oru = StartOru("monitored");
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

}  // namespace
