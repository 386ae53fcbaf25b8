// Control sessions that end while other jobs go on, against the daemon
// running as its own process on the simulated card: a job's control session
// replaced by one of the same job in another mode, a refused job whose host
// leaves and the next job on its device and mode right behind it, and jobs in
// the default mode on two devices. Every handshake and command must be
// answered within a few seconds, and the daemon's descriptors and threads
// come back to where they were.
#include <gtest/gtest.h>
#include "testing/build_paths.h"

#include <chrono>
#include <csignal>
#include <filesystem>
#include <future>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "common/oru_paths.h"
#include "testing/daemon_fixture.h"
#include "testing/host_job.h"
#include "tools/host/profiling_client.h"

namespace {

using namespace analysis::orbx;
using host::ControlChannel;
using host::DataChannel;
using host::Handshake;
using host::HostClient;
using host::Target;
using oru_testing::InfoOf;

constexpr uint32_t kAnswerMs = 5000;  // a hung daemon shows up as a missing answer
constexpr char kReceiverEnded[] = "Receiver Unint";

class ControlSessions : public ::testing::Test {
  protected:
    // The host side of the simulated card knows both devices the daemon serves.
    static void SetUpTestSuite() { setenv("OSTREL_SIM_DEVICES", "2", 1); }

    void SetUp() override {
        std::filesystem::create_directories(oru_testing::TestTmpDir());
        log_ = oru_testing::TestTmpDir() + "/oru.log";
        std::filesystem::remove(log_);
        daemon_ = oru_testing::StartOru(oru_testing::BinDir(), oru_testing::TestTmpDir(), 2);
        client_ = HostClient::Create();
        ASSERT_NE(client_, nullptr);
        ASSERT_TRUE(oru_testing::WaitForText(log_, "create HDC server successfully", 2));
    }
    void TearDown() override {
        EXPECT_TRUE(hung_ || daemon_->Running()) << "the daemon died";
        daemon_.reset();
    }

    // A control handshake whose answer must come within kAnswerMs: kRecvOk
    // with *reply, or the failure (kRecvTimedOut when the daemon hangs).
    int Handshaken(const Handshake& hs, std::unique_ptr<ControlChannel>* ctrl,
                   proto::Response* reply) {
        auto opened = std::async(std::launch::async, [this, hs, ctrl, reply] {
            return ControlChannel::Open(*client_, Target{hs.devIdOnHost, 0}, hs, ctrl, reply);
        });
        if (opened.wait_for(std::chrono::milliseconds(kAnswerMs)) != std::future_status::ready) {
            hung_ = true;
            daemon_->Kill(SIGKILL);  // the read fails, and the open returns
            opened.wait();
            ctrl->reset();
            return host::kRecvTimedOut;
        }
        return opened.get();
    }

    // Sends a command and waits (bounded) for its answer.
    static int Ask(ControlChannel& ctrl, const message::Message& msg, proto::Response* reply) {
        if (ctrl.Session().SendMessage(msg) != 0) {
            return host::kRecvFailed;
        }
        return ctrl.AwaitResponse(reply, kAnswerMs);
    }

    // A whole job on a control channel already handshaken, served normally.
    void RunJob(std::unique_ptr<ControlChannel>& ctrl, const Handshake& hs) {
        EXPECT_TRUE(oru_e2e::RunNormalJob(*client_, hs.jobId, hs.devIdOnHost, hs.mode, -1, &ctrl));
    }

    // Handshakes until one is answered SUCCESS. A device and mode whose last
    // session has just ended may refuse for a moment, never for a second
    // (measured from since). Null when it did.
    std::unique_ptr<ControlChannel> OpenOnceFree(
        const Handshake& hs,
        std::chrono::steady_clock::time_point since = std::chrono::steady_clock::now()) {
        for (;;) {
            std::unique_ptr<ControlChannel> ctrl;
            proto::Response reply;
            int rc = Handshaken(hs, &ctrl, &reply);
            if (rc != host::kRecvOk) {
                ADD_FAILURE() << "handshake of " << hs.jobId << " not answered: " << rc;
                return nullptr;
            }
            if (reply.status() == proto::SUCCESS) {
                return ctrl;
            }
            if (std::chrono::steady_clock::now() - since > std::chrono::seconds(1)) {
                ADD_FAILURE() << "handshake of " << hs.jobId << " still refused after a second";
                return nullptr;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    // A normal job on its own control channel.
    void RunNormalJob(const Handshake& hs) {
        auto ctrl = OpenOnceFree(hs);
        ASSERT_NE(ctrl, nullptr);
        RunJob(ctrl, hs);
    }

    int LogCount(const std::string& text) const {
        return oru_testing::CountIn(oru_testing::ReadText(log_), text);
    }

    // The daemon's descriptors and threads once the sessions of a test have
    // wound down: back to what it held after its first job.
    void ExpectBackToBaseline(const oru_testing::ProcessFigures& baseline) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        oru_testing::ProcessFigures now = oru_testing::FiguresOf(daemon_->Pid());
        while ((now.threads > baseline.threads || now.fds > baseline.fds) &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            now = oru_testing::FiguresOf(daemon_->Pid());
        }
        EXPECT_LE(now.threads, baseline.threads) << "threads left running:\n"
                                                 << oru_testing::ThreadNamesOf(daemon_->Pid());
        EXPECT_LE(now.fds, baseline.fds) << "descriptors left open";
    }

    std::string log_;
    bool hung_ = false;
    std::unique_ptr<oru_testing::Child> daemon_;
    std::shared_ptr<HostClient> client_;
};

TEST_F(ControlSessions, AJobHandshakenInASecondModeReplacesItsSessionAndEveryJobIsStillServed) {
    RunNormalJob(Handshake{"before", 0, ""});
    const oru_testing::ProcessFigures baseline = oru_testing::FiguresOf(daemon_->Pid());

    // Job J on device 0, first in the default mode, then system-wide: the
    // second session takes J's place on the device.
    std::unique_ptr<ControlChannel> first = OpenOnceFree(Handshake{"jobJ", 0, ""});
    ASSERT_NE(first, nullptr);
    std::unique_ptr<ControlChannel> second;
    proto::Response reply;
    ASSERT_EQ(Handshaken(Handshake{"jobJ", 0, "system-wide"}, &second, &reply), host::kRecvOk);
    ASSERT_EQ(reply.status(), proto::SUCCESS) << reply.message();

    // The replaced session is ended by the device.
    EXPECT_EQ(first->AwaitResponse(&reply, kAnswerMs), host::kRecvClosed);

    // A third host's handshakes are answered: on J's device and mode it is
    // told J still runs, elsewhere it is served.
    std::unique_ptr<ControlChannel> third;
    ASSERT_EQ(Handshaken(Handshake{"jobK", 0, "system-wide"}, &third, &reply), host::kRecvOk)
        << "the daemon no longer answers handshakes";
    EXPECT_EQ(reply.status(), proto::FAILED);
    third.reset();

    // K on the other device and J on its new session each run a whole job,
    // at the same time; device 0 serves the next job once J has gone.
    auto jobK = std::async(std::launch::async, [this] {
        RunNormalJob(Handshake{"jobK", 1, "system-wide"});
    });
    RunJob(second, Handshake{"jobJ", 0, "system-wide"});
    jobK.get();
    first.reset();
    second.reset();
    RunNormalJob(Handshake{"after", 0, "system-wide"});
    ExpectBackToBaseline(baseline);
}

TEST_F(ControlSessions, AReceiverWhoseHostLeftEndsAtOnceAndTheNextJobIsServedWithinASecond) {
    RunNormalJob(Handshake{"before", 0, ""});
    const oru_testing::ProcessFigures baseline = oru_testing::FiguresOf(daemon_->Pid());
    for (int round = 0; round < 4; ++round) {
        const std::string n = std::to_string(round);
        const Handshake refused{"refused" + n, 0, ""};
        int ended = 0;
        {
            std::unique_ptr<ControlChannel> ctrl = OpenOnceFree(refused);
            ASSERT_NE(ctrl, nullptr);
            std::unique_ptr<DataChannel> data;
            proto::Response reply;
            ASSERT_EQ(DataChannel::Open(*client_, Target{0, 0}, refused, &data, &reply),
                      host::kRecvOk);
            proto::JobStartReq start;
            start.mutable_hdr()->set_job_ctx(host::MakeJobContext(refused.jobId, "0"));
            start.set_sampleconfig("not json");
            ASSERT_EQ(Ask(*ctrl, start, &reply), host::kRecvOk);
            EXPECT_EQ(InfoOf(reply), "invalid sample configuration");
            ended = LogCount(kReceiverEnded);
        }  // the host leaves
        const auto left = std::chrono::steady_clock::now();

        if (round % 2 == 0) {
            // Nobody else comes: the daemon ends the receiver by itself.
            while (LogCount(kReceiverEnded) == ended &&
                   std::chrono::steady_clock::now() - left < std::chrono::seconds(1)) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            EXPECT_GT(LogCount(kReceiverEnded), ended)
                << "the receiver of a departed host was not ended within a second";
        } else {
            // The next host comes a few milliseconds later: it may be told
            // the last job has not exited, but not for long.
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        const Handshake next{"next" + n, 0, ""};
        auto ctrl = OpenOnceFree(next, left);
        ASSERT_NE(ctrl, nullptr);
        RunJob(ctrl, next);
    }
    ExpectBackToBaseline(baseline);
}

// A device and mode serve one job at a time, and what runs on one device
// never decides what another device may run, in the default mode too.
TEST_F(ControlSessions, TheDefaultModeOfOneDeviceNeitherBlocksNorFreesAnother) {
    RunNormalJob(Handshake{"before", 0, ""});
    const oru_testing::ProcessFigures baseline = oru_testing::FiguresOf(daemon_->Pid());
    struct Step {
        Handshake hs;
        bool served;
    };
    // X runs system-wide on device 0 and in the default mode on device 1; Y
    // then takes device 0's default mode, which nothing else holds.
    const Step steps[] = {
        {{"jobX", 0, "system-wide"}, true}, {{"jobX", 1, ""}, true},  {{"jobY", 0, ""}, true},
        {{"jobZ", 0, ""}, false},           {{"jobZ", 1, ""}, false},
    };
    std::map<std::string, std::unique_ptr<ControlChannel>> open;
    for (const Step& step : steps) {
        const std::string name = step.hs.jobId + " on " + std::to_string(step.hs.devIdOnHost) +
                                 " mode '" + step.hs.mode + "'";
        std::unique_ptr<ControlChannel> ctrl;
        proto::Response reply;
        ASSERT_EQ(Handshaken(step.hs, &ctrl, &reply), host::kRecvOk) << name;
        EXPECT_EQ(reply.status() == proto::SUCCESS, step.served) << name << ": " << reply.message();
        if (reply.status() == proto::SUCCESS) {
            open[name] = std::move(ctrl);
        }
    }
    EXPECT_EQ(LogCount("Last profiling job jobY on device 0 has not exited"), 1);
    EXPECT_EQ(LogCount("Last profiling job jobX on device 1 has not exited"), 1);

    // X leaves device 1, whose default mode W then takes, while Y still
    // holds device 0's; Y and W run a whole job at the same time.
    open.erase("jobX on 1 mode ''");
    std::unique_ptr<ControlChannel> w = OpenOnceFree(Handshake{"jobW", 1, ""});
    ASSERT_NE(w, nullptr);
    std::unique_ptr<ControlChannel> refused;
    proto::Response reply;
    ASSERT_EQ(Handshaken(Handshake{"jobV", 0, ""}, &refused, &reply), host::kRecvOk);
    EXPECT_EQ(reply.status(), proto::FAILED) << "a second job ran in device 0's default mode";
    refused.reset();
    auto jobW = std::async(std::launch::async, [this, &w] { RunJob(w, Handshake{"jobW", 1, ""}); });
    ASSERT_NE(open["jobY on 0 mode ''"], nullptr);
    RunJob(open["jobY on 0 mode ''"], Handshake{"jobY", 0, ""});
    jobW.get();
    open.clear();
    w.reset();
    ExpectBackToBaseline(baseline);
}

}  // namespace
