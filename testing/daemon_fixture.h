// End-to-end test pieces: a job as the host drives it, and the daemon's HDC and profiling
// components inside the test process against the simulated card.
#ifndef ORU_TESTING_DAEMON_FIXTURE_H
#define ORU_TESTING_DAEMON_FIXTURE_H

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/ide_common_util.h"
#include "common/oru_paths.h"
#include "daemon/ide_daemon.h"
#include "daemon/ide_daemon_hdc.h"
#include "device/prof_device_core.h"
#include "ostrel/sim_control.h"
#include "testing/build_paths.h"
#include "testing/host_job.h"
#include "testing/sim_test_util.h"
#include "testing/test_fake_clock.h"
#include "tools/host/profiling_client.h"

namespace oru_e2e {

using namespace analysis::orbx;
using oru_testing::IsDir;
using oru_testing::LlcConfig;
using oru_testing::LlcEvents;
using oru_testing::OpenControl;
using oru_testing::OpenData;
using oru_testing::ThreadsNamed;
using oru_testing::WaitUntil;

inline std::string JobDir(const std::string& jobId) {
    return std::string(common::kInotifyDir) + jobId;
}

// The host's view of one job; the data channel is read on its own thread until its finish.
struct HostJob {
    using Files = std::map<std::string, host::CollectedFile>;

    std::string config;                          // the job's; LlcConfig(jobId) when empty
    proto::ReplayStartReq events = LlcEvents();  // what its replay asks for
    bool read = true;                            // the data channel is read from the start
    std::string jobId;
    std::string ctx;
    std::unique_ptr<host::ControlChannel> ctrl;
    std::unique_ptr<host::DataChannel> data;
    std::future<std::pair<int, Files>> collected;
    std::atomic<int> chunks{0};  // read so far
    uint32_t answerMs = 10000;   // the bound on each command's answer

    // Opens the channels (ctrl: one already handshaken) and starts job and replay; the host
    // knows the device as hostNumber (devId when negative).
    ::testing::AssertionResult Start(host::HostClient& client, const std::string& id, int devId = 0,
                                     const std::string& mode = "", int hostNumber = -1,
                                     std::unique_ptr<host::ControlChannel> opened = nullptr) {
        jobId = id;
        hostNumber = hostNumber < 0 ? devId : hostNumber;
        ctx = host::MakeJobContext(id, std::to_string(hostNumber), "t");
        host::Handshake hs{id, hostNumber, mode};
        ctrl = opened != nullptr ? std::move(opened) : OpenControl(client, hs, devId);
        if (ctrl == nullptr) {
            return ::testing::AssertionFailure() << "no control channel for " << id;
        }
        data = OpenData(client, hs, devId);
        if (data == nullptr) {
            return ::testing::AssertionFailure() << "no data channel for " << id;
        }
        if (read) {
            Collect();
        }
        proto::JobStartReq start;
        start.set_sampleconfig(config.empty() ? LlcConfig(id) : config);
        proto::ReplayStartReq replay = events;
        ::testing::AssertionResult ok = Command(start);
        return ok ? Command(replay) : ok;
    }

    // Sends a command with the job's context; SUCCESS within answerMs.
    template <typename Request>
    ::testing::AssertionResult Command(Request& request) {
        request.mutable_hdr()->set_job_ctx(ctx);
        const std::string name = request.GetDescriptor()->name();
        proto::Response reply;
        if (ctrl->Session().SendMessage(request) != 0) {
            return ::testing::AssertionFailure() << name << " of " << jobId << " not sent";
        }
        if (ctrl->AwaitResponse(&reply, answerMs) != host::kRecvOk) {
            return ::testing::AssertionFailure()
                   << "no answer to " << name << " of " << jobId << " within " << answerMs << " ms";
        }
        if (reply.status() != proto::SUCCESS) {
            return ::testing::AssertionFailure()
                   << name << " of " << jobId << ": " << reply.ShortDebugString();
        }
        return ::testing::AssertionSuccess();
    }

    void Collect() {
        collected = std::async(std::launch::async, [this] {
            Files files;
            proto::FileChunkReq chunk;
            bool finished = false;
            int rc = host::kRecvOk;
            while ((rc = data->Next(&chunk, &finished)) == host::kRecvOk && !finished) {
                files[chunk.filename()].data += chunk.chunk();
                ++chunks;
            }
            return std::make_pair(rc, std::move(files));
        });
    }

    bool AwaitData() {
        return WaitUntil([this] { return chunks > 0; });
    }

    ::testing::AssertionResult Stop() {
        proto::ReplayStopReq replay;
        proto::JobStopReq job;
        ::testing::AssertionResult ok = Command(replay);
        return ok ? Command(job) : ok;
    }

    std::pair<int, Files> Collected() {
        if (!collected.valid() ||
            collected.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
            return {host::kRecvTimedOut, {}};
        }
        return collected.get();
    }

    void Close() {
        if (data != nullptr) {
            data->Session().Close();
        }
        if (collected.valid()) {
            collected.wait();
        }
        ctrl.reset();
        data.reset();
    }
    ~HostJob() { Close(); }
};

// A start answered SUCCESS whose replay start was refused.
inline ::testing::AssertionResult ReplayRefused(const ::testing::AssertionResult& started) {
    const std::string why = started.message();
    if (started || why.rfind("ReplayStartReq", 0) != 0 || why.find("FAILED") == std::string::npos) {
        return ::testing::AssertionFailure() << "not a refused replay start: " << why;
    }
    return ::testing::AssertionSuccess();
}

// A job served normally: every command answered SUCCESS, data then DataChannelFinish, its
// directory gone afterwards. With ctrl, runs on that handshaken channel and hands it back.
inline ::testing::AssertionResult RunNormalJob(
    host::HostClient& client, const std::string& jobId, int devId = 0, const std::string& mode = "",
    int hostNumber = -1, std::unique_ptr<host::ControlChannel>* ctrl = nullptr) {
    HostJob job;
    auto run = [&]() -> ::testing::AssertionResult {
        ::testing::AssertionResult started = job.Start(
            client, jobId, devId, mode, hostNumber, ctrl != nullptr ? std::move(*ctrl) : nullptr);
        if (!started) {
            return started;
        }
        if (!IsDir(JobDir(jobId))) {
            return ::testing::AssertionFailure() << "no job directory for " << jobId;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));  // let the channel produce
        ::testing::AssertionResult stopped = job.Stop();
        if (!stopped) {
            return stopped;
        }
        auto result = job.Collected();
        if (result.first != host::kRecvOk) {
            return ::testing::AssertionFailure() << "data channel ended with " << result.first;
        }
        auto llc = result.second.find("data/llc.data");
        if (llc == result.second.end() || llc->second.data.empty()) {
            return ::testing::AssertionFailure() << "no llc data for " << jobId;
        }
        if (IsDir(JobDir(jobId))) {
            return ::testing::AssertionFailure() << "job directory left for " << jobId;
        }
        return ::testing::AssertionSuccess();
    };
    ::testing::AssertionResult ran = run();
    if (ctrl != nullptr) {
        *ctrl = std::move(job.ctrl);
    }
    return ran;
}

// This build's daemon as a child over `devices` simulated devices, all of which the host side
// sees too, logging to dir/oru.log; and a host client.
class DaemonChild : public ::testing::Test {
  protected:
    void StartDaemon(int devices, const std::vector<std::string>& env = {},
                     const std::string& dir = oru_testing::TestTmpDir(),
                     const std::string& logLevel = "info") {
        setenv("OSTREL_SIM_DEVICES", std::to_string(devices).c_str(), 1);
        std::filesystem::create_directories(dir);
        log_ = dir + "/oru.log";
        std::filesystem::remove(log_);
        daemon_ = oru_testing::StartOru(oru_testing::BinDir(), dir, devices, logLevel, env);
        ASSERT_GT(daemon_->Pid(), 0);
        client_ = host::HostClient::Create();
        ASSERT_NE(client_, nullptr);
    }

    std::string Log() const { return oru_testing::ReadText(log_); }

    // The daemon's descriptors and threads come back to at most the baseline's within a bound.
    void ExpectBackTo(const oru_testing::ProcessFigures& baseline,
                      std::chrono::seconds within = std::chrono::seconds(5)) {
        oru_testing::ProcessFigures now;
        WaitUntil(
            [&] {
                now = oru_testing::FiguresOf(daemon_->Pid());
                return now.fds <= baseline.fds && now.threads <= baseline.threads;
            },
            within);
        EXPECT_LE(now.fds, baseline.fds) << "descriptors left open (sessions leaked)";
        EXPECT_LE(now.threads, baseline.threads) << "threads left running:\n"
                                                 << oru_testing::ThreadNamesOf(daemon_->Pid());
    }

    std::string log_;
    std::unique_ptr<oru_testing::Child> daemon_;
    std::shared_ptr<host::HostClient> client_;
};

inline uint32_t DaemonSessions(uint32_t hostSessions) {
    return ostrel_sim_open_handles(OSTREL_SIM_HANDLE_SESSION) - hostSessions;
}

// The daemon's HDC and profiling components in the test process; its long waits shrink to
// milliseconds and a test can hold the server retries.
class InProcessDaemon : public ::testing::Test {
  protected:
    void SetUp() override {
        ostrel::simtest::ResetSim();
        {
            std::lock_guard<std::mutex> lock(Gate().mu);
            Gate().holdRetries = false;
            Gate().retries = 0;
        }
        analysis::orbx::common::Clock::SetDefault(&QuickClock());
        IdeComponentFuncs profiling;
        profiling.process = IdeDeviceProfileProcess;
        IdeComponentRegister(IDE_COMPONENT_PROFILING, profiling);
    }

    void TearDown() override {
        ReleaseRetries();
        if (started_) {
            EXPECT_EQ(0, IdeDaemonHdcDestroy());
            loop_.join();
            EXPECT_EQ(0, IdeDaemonHdcRunningThreads());
            EXPECT_EQ(0, IdeDeviceProfileCleanup());
        }
        client_.reset();
        // Every session, server and client is closed once both sides are done.
        EXPECT_EQ(0u, ostrel_sim_open_handles(OSTREL_SIM_HANDLE_SESSION));
        EXPECT_EQ(0u, ostrel_sim_open_handles(OSTREL_SIM_HANDLE_SERVER));
        IdeComponentsDestroy();
        analysis::orbx::common::Clock::SetDefault(nullptr);
        ostrel::simtest::ResetSim();
    }

    void StartDaemon() {
        ASSERT_EQ(0, IdeDeviceProfileInit());
        ASSERT_EQ(0, IdeDaemonHdcInit());
        started_ = true;
        loop_ = std::thread(IdeDaemonHdcCreateServers);
        client_ = host::HostClient::Create();
        ASSERT_NE(nullptr, client_);
    }

    // Server creation retries (the 5 s waits) wait until ReleaseRetries.
    static void HoldRetries() {
        std::lock_guard<std::mutex> lock(Gate().mu);
        Gate().holdRetries = true;
    }
    static void ReleaseRetries() {
        std::lock_guard<std::mutex> lock(Gate().mu);
        Gate().holdRetries = false;
        Gate().cv.notify_all();
    }
    static int Retries() {
        std::lock_guard<std::mutex> lock(Gate().mu);
        return Gate().retries;
    }

    host::HostClient& Client() { return *client_; }

  private:
    struct RetryGate {
        std::mutex mu;
        std::condition_variable cv;
        bool holdRetries = false;
        int retries = 0;
    };
    static RetryGate& Gate() {
        static RetryGate gate;
        return gate;
    }
    // Lives with the process: a thread the daemon does not join may still be pausing.
    static analysis::orbx::common::FakeClock& QuickClock() {
        static analysis::orbx::common::FakeClock clock(&InProcessDaemon::QuickSleep);
        return clock;
    }
    static void QuickSleep(uint32_t ms, size_t) {
        if (ms == IDE_SERVER_RETRY_MS) {
            std::unique_lock<std::mutex> lock(Gate().mu);
            ++Gate().retries;
            Gate().cv.wait_for(lock, std::chrono::minutes(1), [] { return !Gate().holdRetries; });
        }
        // Short waits (request polling, flushing) are kept; long ones shrink.
        std::this_thread::sleep_for(std::chrono::milliseconds(ms < IDE_DEVICE_WAIT_MS ? ms : 5));
    }

    bool started_ = false;
    std::thread loop_;
    std::shared_ptr<host::HostClient> client_;
};

}  // namespace oru_e2e

#endif  // ORU_TESTING_DAEMON_FIXTURE_H
