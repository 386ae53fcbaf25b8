// Control sessions that end while other jobs go on, against the daemon as its own process:
// every handshake and command is answered within seconds, and the daemon's descriptors and
// threads come back to where they were.
#include <gtest/gtest.h>
#include "testing/build_paths.h"

#include <chrono>
#include <csignal>
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
using host::Target;
using oru_testing::InfoOf;

constexpr uint32_t kAnswerMs = 5000;  // a hung daemon shows up as a missing answer
constexpr char kReceiverEnded[] = "Receiver Unint";

class ControlSessions : public oru_e2e::DaemonChild {
  protected:
    // Past a first job, what the daemon holds is the baseline every test comes back to.
    void SetUp() override {
        StartDaemon(2);
        ASSERT_TRUE(oru_testing::WaitForText(log_, "create HDC server successfully", 2));
        RunNormalJob(Handshake{"before", 0, ""});
        baseline_ = oru_testing::FiguresOf(daemon_->Pid());
    }
    void TearDown() override {
        EXPECT_TRUE(hung_ || daemon_->Running()) << "the daemon died";
        if (!hung_ && !HasFatalFailure()) {
            ExpectBackTo(baseline_);
        }
        daemon_.reset();
    }

    // A control handshake answered within kAnswerMs: kRecvOk with *reply, or the failure
    // (kRecvTimedOut when the daemon hangs).
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

    // A whole job on a control channel already handshaken, served normally.
    void RunJob(std::unique_ptr<ControlChannel>& ctrl, const Handshake& hs) {
        EXPECT_TRUE(oru_e2e::RunNormalJob(*client_, hs.jobId, hs.devIdOnHost, hs.mode, -1, &ctrl));
    }

    // Handshakes until one is answered SUCCESS; a device and mode whose last session has just
    // ended may refuse for a moment, never for a second (from since). Null when it did.
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

    int LogCount(const std::string& text) const { return oru_testing::CountIn(Log(), text); }

    bool hung_ = false;
    oru_testing::ProcessFigures baseline_;
};

TEST_F(ControlSessions, AJobHandshakenInASecondModeReplacesItsSessionAndEveryJobIsStillServed) {
    // Job J on device 0, first in the default mode, then system-wide: the second session takes
    // J's place on the device, and the replaced one is ended.
    std::unique_ptr<ControlChannel> first = OpenOnceFree(Handshake{"jobJ", 0, ""});
    ASSERT_NE(first, nullptr);
    std::unique_ptr<ControlChannel> second;
    proto::Response reply;
    ASSERT_EQ(Handshaken(Handshake{"jobJ", 0, "system-wide"}, &second, &reply), host::kRecvOk);
    ASSERT_EQ(reply.status(), proto::SUCCESS) << reply.message();
    EXPECT_EQ(first->AwaitResponse(&reply, kAnswerMs), host::kRecvClosed);

    // A third host is told on J's device and mode that J still runs; elsewhere it is served.
    std::unique_ptr<ControlChannel> third;
    ASSERT_EQ(Handshaken(Handshake{"jobK", 0, "system-wide"}, &third, &reply), host::kRecvOk)
        << "the daemon no longer answers handshakes";
    EXPECT_EQ(reply.status(), proto::FAILED);
    third.reset();

    // K on the other device and J on its new session run a whole job at the same time; device 0
    // serves the next job once J has gone.
    auto jobK = std::async(std::launch::async, [this] {
        RunNormalJob(Handshake{"jobK", 1, "system-wide"});
    });
    RunJob(second, Handshake{"jobJ", 0, "system-wide"});
    jobK.get();
    first.reset();
    second.reset();
    RunNormalJob(Handshake{"after", 0, "system-wide"});
}

TEST_F(ControlSessions, AReceiverWhoseHostLeftEndsAtOnceAndTheNextJobIsServedWithinASecond) {
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
            ctrl->SetAnswerDeadline(kAnswerMs);
            ASSERT_EQ(ctrl->StartJob(host::MakeJobContext(refused.jobId, "0"), "not json", &reply),
                      host::kRecvOk);
            EXPECT_EQ(InfoOf(reply), "invalid sample configuration");
            ended = LogCount(kReceiverEnded);
        }  // the host leaves
        const auto left = std::chrono::steady_clock::now();

        if (round % 2 == 0) {
            // Nobody else comes: the daemon ends the receiver by itself.
            EXPECT_TRUE(oru_e2e::WaitUntil([&] { return LogCount(kReceiverEnded) > ended; },
                                           std::chrono::seconds(1)))
                << "the receiver of a departed host was not ended within a second";
        } else {
            // The next host comes a few ms later: it may be told the last job has not exited.
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        const Handshake next{"next" + n, 0, ""};
        auto ctrl = OpenOnceFree(next, left);
        ASSERT_NE(ctrl, nullptr);
        RunJob(ctrl, next);
    }
}

// A device and mode serve one job at a time, and what runs on one device never decides what
// another device may run, in the default mode too.
TEST_F(ControlSessions, TheDefaultModeOfOneDeviceNeitherBlocksNorFreesAnother) {
    struct Step {
        Handshake hs;
        bool served;
    };
    // X runs system-wide on device 0 and in the default mode on device 1; Y then takes device
    // 0's default mode, which nothing else holds.
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

    // X leaves device 1, whose default mode W then takes, while Y still holds device 0's; Y and
    // W run a whole job at the same time.
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
}

}  // namespace
