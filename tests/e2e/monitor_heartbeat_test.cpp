// The monitor component against the simulated monitor service.
#include <gtest/gtest.h>
#include <unistd.h>
#include "testing/build_paths.h"

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/ide_common_util.h"
#include "common/oru_paths.h"
#include "common/utils.h"
#include "daemon/ide_daemon_monitor.h"
#include "ostrel/sim_control.h"
#include "testing/daemon_fixture.h"
#include "testing/process.h"
#include "testing/sim_test_util.h"
#include "testing/test_fake_clock.h"
#include "testing/test_log_capture.h"

namespace {

using analysis::orbx::common::Clock;
using analysis::orbx::common::FakeClock;
using analysis::orbx::common::kAppmonSocket;
using analysis::orbx::common::kMonitorScript;
using analysis::orbx::common::TestLogCapture;
using oru_testing::Child;
using oru_testing::CountIn;
using oru_testing::ReadText;
using oru_testing::WaitForText;

const std::string kTmp = oru_testing::TestTmpDir();

class MonitorHeartbeat : public ::testing::Test {
  protected:
    void SetUp() override {
        ostrel::simtest::ResetSim();
        unlink(kAppmonSocket);
        ASSERT_EQ(0, analysis::orbx::common::Utils::CreateDir(kTmp));
        Clock::SetDefault(&clock_);
    }
    void TearDown() override {
        Release();
        IdeMonitorStop();
        Clock::SetDefault(nullptr);
        service_.reset();
        unlink(kAppmonSocket);
    }
    void StartService(std::vector<std::string> extra = {}) {
        serviceLog_ =
            kTmp + "/" + ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".log";
        unlink(serviceLog_.c_str());
        std::vector<std::string> args = {oru_testing::BinDir() + "/ostrel-sim-monitor", "--socket",
                                         kAppmonSocket, "--log", serviceLog_};
        args.insert(args.end(), extra.begin(), extra.end());
        service_ = std::make_unique<Child>(args, std::vector<std::string>{}, serviceLog_ + ".out");
        ASSERT_GT(service_->Pid(), 0);
        ASSERT_TRUE(WaitForText(serviceLog_, "listening on"));
    }
    // Once `after` pauses of ms were recorded, further ones wait until Release.
    void Hold(uint32_t ms, size_t after) {
        std::lock_guard<std::mutex> lock(mu_);
        holdMs_ = ms;
        holdAfter_ = after;
    }
    void Release() {
        std::lock_guard<std::mutex> lock(mu_);
        released_ = true;
        cv_.notify_all();
    }
    std::vector<uint32_t> Sleeps() { return clock_.Sleeps(); }
    bool WaitSleeps(uint32_t ms, size_t n) { return clock_.AwaitSleeps(ms, n); }

    std::mutex mu_;
    std::condition_variable cv_;
    uint32_t holdMs_ = 0;    // guarded by mu_
    size_t holdAfter_ = 0;   // guarded by mu_
    bool released_ = false;  // guarded by mu_
    FakeClock clock_{[this](uint32_t ms, size_t) {
        std::unique_lock<std::mutex> lock(mu_);
        if (ms == holdMs_ && clock_.Count(ms) >= holdAfter_) {
            cv_.wait_for(lock, std::chrono::minutes(1), [this] { return released_; });
        }
    }};
    std::unique_ptr<Child> service_;
    std::string serviceLog_;
    const std::string pid_ = std::to_string(getpid());
};

TEST_F(MonitorHeartbeat, RegistersOnceThenBeatsEveryThreeSeconds) {
    StartService();
    TestLogCapture logs;
    Hold(IDE_MONITOR_HEARTBEAT_MS, 3);
    ASSERT_EQ(0, IdeMonitorStart());
    ASSERT_TRUE(WaitSleeps(IDE_MONITOR_HEARTBEAT_MS, 3));
    EXPECT_EQ(IDE_MONITOR_REGISTERED, IdeMonitorGetState());
    EXPECT_EQ(1, oru_e2e::ThreadsNamed("ide_monitor"));
    EXPECT_EQ((std::vector<uint32_t>{3000, 3000, 3000}), Sleeps());
    ASSERT_TRUE(WaitForText(serviceLog_, "heartbeat pid=" + pid_, 3));
    std::string text = ReadText(serviceLog_);
    EXPECT_EQ(1, CountIn(text, "register pid=" + pid_ + " timeout=9000 script=" + kMonitorScript));
    EXPECT_EQ(3, CountIn(text, "heartbeat pid=" + pid_));
    EXPECT_LT(text.find("register pid="), text.find("heartbeat pid="));
    EXPECT_EQ(1u, ostrel_sim_call_count(OSTREL_SIM_FAULT_APPMON_REGISTER));
    EXPECT_EQ(3u, ostrel_sim_call_count(OSTREL_SIM_FAULT_APPMON_HEARTBEAT));

    Release();
    EXPECT_EQ(0, IdeMonitorStop());
    EXPECT_EQ(IDE_MONITOR_STOPPED, IdeMonitorGetState());
    ASSERT_TRUE(WaitForText(serviceLog_, "disconnect pid=" + pid_));
    text = ReadText(serviceLog_);
    EXPECT_EQ(1, CountIn(text, "deregister pid=" + pid_ + " reason=ide daemon monitor exit."));
    EXPECT_EQ(1u, ostrel_sim_call_count(OSTREL_SIM_FAULT_APPMON_DEREGISTER));
    EXPECT_EQ(0, CountIn(text, "heartbeat refused"));
    EXPECT_TRUE(logs.Has("app mon client register sucess."));
    EXPECT_TRUE(logs.Has("ide monitor thread exit."));
}

TEST_F(MonitorHeartbeat, RefusedRegistrationsAreRetriedEverySecondBeforeAnyHeartbeat) {
    StartService({"--refuse", "2"});
    Hold(IDE_MONITOR_HEARTBEAT_MS, 1);
    ASSERT_EQ(0, IdeMonitorStart());
    ASSERT_TRUE(WaitSleeps(IDE_MONITOR_HEARTBEAT_MS, 1));
    EXPECT_EQ((std::vector<uint32_t>{1000, 1000, 3000}), Sleeps());
    ASSERT_TRUE(WaitForText(serviceLog_, "heartbeat pid=" + pid_));
    std::string text = ReadText(serviceLog_);
    EXPECT_EQ(2, CountIn(text, "register refused pid=" + pid_));
    EXPECT_LT(text.find("register pid="), text.find("heartbeat pid="));
}

TEST_F(MonitorHeartbeat, AStopWhileUnregisteredReleasesTheClientWithoutDeregistering) {
    StartService({"--refuse", "1000000"});
    Hold(IDE_MONITOR_REGISTER_RETRY_MS, 2);
    ASSERT_EQ(0, IdeMonitorStart());
    ASSERT_TRUE(WaitSleeps(IDE_MONITOR_REGISTER_RETRY_MS, 2));
    EXPECT_EQ(IDE_MONITOR_CLIENT_READY, IdeMonitorGetState());
    Release();
    EXPECT_EQ(0, IdeMonitorStop());
    ASSERT_TRUE(WaitForText(serviceLog_, "disconnect pid=" + pid_));
    EXPECT_EQ(0u, ostrel_sim_call_count(OSTREL_SIM_FAULT_APPMON_DEREGISTER));
    EXPECT_EQ(0u, ostrel_sim_call_count(OSTREL_SIM_FAULT_APPMON_HEARTBEAT));
}

TEST_F(MonitorHeartbeat, WithoutAServiceOneFailureIsLoggedAndStopIsClean) {
    TestLogCapture logs;
    ASSERT_EQ(0, IdeMonitorStart());
    ASSERT_TRUE(logs.WaitFor("app mon client init failed with"));
    EXPECT_EQ(0, IdeMonitorStop());
    EXPECT_EQ(1u, logs.Count("app mon client init failed with"));
    EXPECT_FALSE(logs.Has("ide monitor thread exit."));
    EXPECT_EQ(IDE_MONITOR_STOPPED, IdeMonitorGetState());
    EXPECT_EQ(0u, ostrel_sim_call_count(OSTREL_SIM_FAULT_APPMON_REGISTER));
    EXPECT_EQ(0u, ostrel_sim_call_count(OSTREL_SIM_FAULT_APPMON_DEREGISTER));
    EXPECT_TRUE(Sleeps().empty());
    EXPECT_EQ(0, IdeMonitorStop());  // no thread any more
}

TEST_F(MonitorHeartbeat, StopWakesTheThreadOutOfARealPause) {
    Clock::SetDefault(nullptr);
    StartService();
    ASSERT_EQ(0, IdeMonitorStart());
    ASSERT_TRUE(WaitForText(serviceLog_, "heartbeat pid=" + pid_));
    EXPECT_EQ(0, IdeMonitorStop());
    ASSERT_TRUE(WaitForText(serviceLog_, "deregister pid=" + pid_));
}

}  // namespace
