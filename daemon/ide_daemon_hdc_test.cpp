#include "daemon/ide_daemon_hdc.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/ide_common_util.h"
#include "common/memory_utils.h"
#include "daemon/ide_daemon.h"
#include "hdc/hdc_api.h"
#include "testing/process.h"
#include "testing/sim_session.h"
#include "testing/test_fake_clock.h"
#include "testing/test_log_capture.h"

namespace {

using analysis::orbx::common::FakeClock;
using analysis::orbx::common::TestLogCapture;
using oru_testing::WaitUntil;
using ostrel::simtest::ResetSim;
using ostrel::simtest::UseSetting;

constexpr auto kBound = std::chrono::seconds(60);

// A worker's polling read (waits below 1000 ms) is held until the test has written its request,
// so it never gives up on a request the test is about to send.
std::mutex g_gateMu;
std::condition_variable g_gateCv;
bool g_requestGateOpen = true;  // guarded by g_gateMu

void HoldRequestPolls(uint32_t ms, size_t) {
    if (ms < IDE_DEVICE_WAIT_MS) {
        std::unique_lock<std::mutex> lock(g_gateMu);
        g_gateCv.wait_for(lock, kBound, [] { return g_requestGateOpen; });
    }
}
void SetRequestGate(bool open) {
    std::lock_guard<std::mutex> lock(g_gateMu);
    g_requestGateOpen = open;
    g_gateCv.notify_all();
}

struct Seen {
    HDC_SESSION session;
    uint32_t type;
    uint32_t devId;
    std::string value;
};
std::mutex g_seenMu;
std::condition_variable g_seenCv;
std::vector<Seen> g_seen;

int RecordingProcess(HDC_SESSION session, const IdeTlvReq* req) {
    std::lock_guard<std::mutex> lock(g_seenMu);
    g_seen.push_back({session, req->type, req->dev_id, std::string(req->value, req->len)});
    HdcSessionClose(session);
    g_seenCv.notify_all();
    return 0;
}

bool WaitSeen(size_t n) {
    std::unique_lock<std::mutex> lock(g_seenMu);
    return g_seenCv.wait_for(lock, kBound, [n] { return g_seen.size() >= n; });
}

std::string Packet(uint32_t type, const std::string& value) {
    return oru_testing::Packet(type, value, -1, 77);
}

class HdcComponent : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetSim();
        SetRequestGate(true);
        {
            std::lock_guard<std::mutex> lock(g_seenMu);
            g_seen.clear();
        }
        analysis::orbx::common::Clock::SetDefault(&clock_);
        IdeComponentFuncs profiling;
        profiling.process = RecordingProcess;
        IdeComponentRegister(IDE_COMPONENT_PROFILING, profiling);
    }
    void TearDown() override {
        SetRequestGate(true);
        EXPECT_EQ(0, IdeDaemonHdcDestroy());
        if (loop_.joinable()) {
            loop_.join();
        }
        EXPECT_EQ(0, IdeDaemonHdcRunningThreads());
        EXPECT_EQ(0u, ostrel_sim_open_handles(OSTREL_SIM_HANDLE_SERVER));
        for (HDC_SESSION s : hostSessions_) {
            HdcSessionClose(s);
        }
        HdcClientDestroy(client_);
        IdeComponentsDestroy();
        analysis::orbx::common::Clock::SetDefault(nullptr);
        ResetSim();
    }

    void StartDaemon() {
        ASSERT_EQ(0, IdeDaemonHdcInit());
        loop_ = std::thread(IdeDaemonHdcCreateServers);
    }
    void WaitServer(TestLogCapture& logs, uint32_t phyId, int count = 1) {
        ASSERT_TRUE(logs.WaitFor(
            "phyDevId:" + std::to_string(phyId) + " create HDC server successfully", count));
    }
    HDC_SESSION Send(int logDev, const std::string& bytes) {
        if (client_ == nullptr) {
            client_ = HdcClientCreate(HDC_SERVICE_TYPE_IDE);
        }
        HDC_SESSION s = nullptr;
        SetRequestGate(false);
        EXPECT_EQ(0, HdcSessionConnect(0, logDev, client_, &s));
        if (s != nullptr) {
            hostSessions_.push_back(s);
            if (!bytes.empty()) {
                EXPECT_EQ(0, HdcSessionWrite(s, bytes.data(), bytes.size()));
            }
        }
        SetRequestGate(true);
        return s;
    }
    static bool WaitClosed(HDC_SESSION s) {
        return WaitUntil([s] {
            void* buf = nullptr;
            uint32_t len = 0;
            int ret = HdcSessionRead(s, &buf, &len, HDC_FLAG_NOWAIT);
            IdeXfree(buf);
            return ret == IDE_READ_SESSION_CLOSED;
        });
    }
    static bool WaitRunning(int n) {
        return WaitUntil([n] { return IdeDaemonHdcRunningThreads() == n; });
    }

    FakeClock clock_{HoldRequestPolls};
    std::thread loop_;
    HDC_CLIENT client_ = nullptr;
    std::vector<HDC_SESSION> hostSessions_;
};

TEST_F(HdcComponent, EachDeviceGetsAServerAndRequestsCarryItsPhysicalId) {
    setenv("OSTREL_SIM_DEVICES", "2", 1);
    UseSetting("OSTREL_SIM_PHY_IDS", "0:4,1:5");
    TestLogCapture logs;
    StartDaemon();
    WaitServer(logs, 4);
    WaitServer(logs, 5);

    HDC_SESSION toDev1 = Send(1, Packet(IDE_PROFILING_REQ, "one"));
    ASSERT_TRUE(WaitSeen(1));
    HDC_SESSION toDev0 = Send(0, Packet(IDE_PROFILING_REQ, "zero"));
    ASSERT_TRUE(WaitSeen(2));
    EXPECT_EQ(5u, g_seen[0].devId);
    EXPECT_EQ("one", g_seen[0].value);
    EXPECT_EQ(4u, g_seen[1].devId);
    EXPECT_EQ("zero", g_seen[1].value);
    EXPECT_TRUE(logs.Has("received profiling request, type 5, req->dev_id=77, phyDevId=5."));
    EXPECT_TRUE(WaitClosed(toDev0));
    EXPECT_TRUE(WaitClosed(toDev1));
    EXPECT_TRUE(WaitRunning(2));

    // Destroy while both servers block in accept ends every thread.
    ASSERT_TRUE(WaitUntil([] { return ostrel_sim_call_count(OSTREL_SIM_FAULT_ACCEPT) >= 4; }));
    EXPECT_EQ(0, IdeDaemonHdcDestroy());
    loop_.join();
    EXPECT_EQ(2u, logs.Count("<EXIT thread> IdeDaemonHdcHandleEvent"));
    EXPECT_TRUE(logs.Has("Hdc Create HdcServer Exit"));
    EXPECT_FALSE(logs.Has("Hdc Session Accept Error"));
    EXPECT_EQ(1u, ostrel_sim_open_handles(OSTREL_SIM_HANDLE_CLIENT));  // the host's only
}

TEST_F(HdcComponent, AProfilingRequestWithoutAComponentIsClosed) {
    TestLogCapture logs;
    StartDaemon();
    WaitServer(logs, 0);
    IdeComponentsDestroy();
    HDC_SESSION orphan = Send(0, Packet(IDE_PROFILING_REQ, "x"));
    EXPECT_TRUE(WaitClosed(orphan));
    EXPECT_TRUE(WaitRunning(1));
    std::lock_guard<std::mutex> lock(g_seenMu);
    EXPECT_TRUE(g_seen.empty());
}

long FindThread(const std::string& name) {
    DIR* dir = opendir("/proc/self/task");
    long found = 0;
    while (struct dirent* e = dir != nullptr ? readdir(dir) : nullptr) {
        std::ifstream in(std::string("/proc/self/task/") + e->d_name + "/comm");
        std::string comm;
        if (std::getline(in, comm) && comm == name) {
            found = atol(e->d_name);
        }
    }
    if (dir != nullptr) {
        closedir(dir);
    }
    return found;
}

TEST_F(HdcComponent, ASignalDuringAcceptDoesNotDestroyTheServer) {
    struct sigaction sa {};
    sa.sa_handler = [](int) {};  // no SA_RESTART: the blocked accept sees EINTR
    ASSERT_EQ(0, sigaction(SIGUSR1, &sa, nullptr));
    TestLogCapture logs;
    StartDaemon();
    WaitServer(logs, 0);
    std::atomic<long> tid{0};
    ASSERT_TRUE(WaitUntil([&] { return (tid = FindThread("ide_hdc_server")) != 0; }));
    ASSERT_TRUE(ostrel::simtest::WaitBlockedInPoll(tid));
    ASSERT_EQ(0, syscall(SYS_tgkill, getpid(), tid.load(), SIGUSR1));
    ASSERT_TRUE(logs.WaitFor("Hdc Session Accept Break By EINTR"));
    Send(0, Packet(IDE_PROFILING_REQ, "after signal"));
    ASSERT_TRUE(WaitSeen(1));
    EXPECT_EQ(1u, ostrel_sim_call_count(OSTREL_SIM_FAULT_SERVER_CREATE));
    EXPECT_EQ(0u, ostrel_sim_call_count(OSTREL_SIM_FAULT_SERVER_DESTROY));
    signal(SIGUSR1, SIG_DFL);
}

TEST_F(HdcComponent, AnAcceptErrorRecreatesTheServer) {
    TestLogCapture logs;
    ASSERT_EQ(0, ostrel_sim_fault_set(OSTREL_SIM_FAULT_ACCEPT, DRV_ERROR_IO, 1));
    StartDaemon();
    WaitServer(logs, 0, 2);
    EXPECT_TRUE(logs.Has("Hdc Session Accept Error: 2"));
    EXPECT_EQ(1u, ostrel_sim_call_count(OSTREL_SIM_FAULT_SERVER_DESTROY));
    Send(0, Packet(IDE_PROFILING_REQ, "b"));
    EXPECT_TRUE(WaitSeen(1));
}

TEST_F(HdcComponent, RegisteringAPhysicalIdTwiceGivesOneServer) {
    TestLogCapture logs;
    StartDaemon();
    const uint32_t again[] = {0, 0};
    IdeDaemonHdcRegisterDevices(2, again);
    WaitServer(logs, 0);
    // The loop has seen both notifications once the second "device up" is in.
    ASSERT_TRUE(logs.WaitFor("notify 2 device up"));
    ASSERT_TRUE(WaitUntil([] { return ostrel_sim_call_count(OSTREL_SIM_FAULT_ACCEPT) >= 1; }));
    EXPECT_EQ(1u, logs.Count(") Create HdcServer"));
    EXPECT_EQ(1, IdeDaemonHdcRunningThreads());
    EXPECT_EQ(1u, ostrel_sim_call_count(OSTREL_SIM_FAULT_SERVER_CREATE));

    IdeDaemonHdcRegisterDevices(0, again);
    IdeDaemonHdcRegisterDevices(1125, again);
    EXPECT_TRUE(logs.Has("server register input error; device num is 1125"));
}

TEST_F(HdcComponent, DestroyEndsServersStillWaitingForTheirDevice) {
    TestLogCapture logs;
    ASSERT_EQ(0, ostrel_sim_fault_set(OSTREL_SIM_FAULT_SERVER_CREATE, DRV_ERROR_NOT_READY, -1));
    StartDaemon();
    ASSERT_TRUE(logs.WaitFor("hdc not ready, sleep 5000 milliseconds and retry", 2));
}

TEST_F(HdcComponent, InitWaitsForDevicesAndFailsOnlyWhenTheQueryKeepsFailing) {
    TestLogCapture logs;
    ASSERT_EQ(0, ostrel_sim_fault_set(OSTREL_SIM_FAULT_DEV_NUM, DRV_ERROR_IO, 3));
    StartDaemon();
    EXPECT_EQ(3u, clock_.Count(IDE_DEVICE_WAIT_MS));
    WaitServer(logs, 0);
    EXPECT_EQ(0, IdeDaemonHdcDestroy());
    loop_.join();

    uint64_t queries = ostrel_sim_call_count(OSTREL_SIM_FAULT_DEV_NUM);
    ASSERT_EQ(0, ostrel_sim_fault_set(OSTREL_SIM_FAULT_DEV_NUM, DRV_ERROR_IO, -1));
    EXPECT_EQ(-1, IdeDaemonHdcInit());
    EXPECT_EQ(600u, ostrel_sim_call_count(OSTREL_SIM_FAULT_DEV_NUM) - queries);
    EXPECT_EQ(3u + 599u, clock_.Count(IDE_DEVICE_WAIT_MS));
}

TEST_F(HdcComponent, InitWithNoDevicesSucceedsAfter600QueriesAndFailsOnTooMany) {
    UseSetting("OSTREL_SIM_DEVICES", "0");
    TestLogCapture logs;
    StartDaemon();
    EXPECT_EQ(600u, logs.Count("Device Counts: 0"));
    EXPECT_EQ(599u, clock_.Count(IDE_DEVICE_WAIT_MS));
    EXPECT_EQ(0, IdeDaemonHdcRunningThreads());
    EXPECT_FALSE(logs.Has(") Create HdcServer"));
    EXPECT_EQ(0, IdeDaemonHdcDestroy());
    loop_.join();

    ASSERT_EQ(0, ostrel_sim_fault_set_value(OSTREL_SIM_FAULT_DEV_NUM, 1125, 1));
    EXPECT_EQ(-1, IdeDaemonHdcInit());
    EXPECT_TRUE(logs.Has("device num 1125"));
}

}  // namespace
