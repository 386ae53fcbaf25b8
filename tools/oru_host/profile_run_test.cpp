#include "tools/oru_host/profile_run.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "testing/fake_link.h"
#include "testing/test_temp_dir.h"
#include "tools/oru_host/dialect_json.h"
#include "tools/oru_host/sample_config.h"

namespace analysis::orbx::hosttool {
namespace {

namespace fs = std::filesystem;
using fakes::Chunk;
using fakes::Failed;
using fakes::FakeClock;
using fakes::FakeLink;
using fakes::Finish;

class ProfileRunTest : public ::testing::Test {
  protected:
    void SetUp() override {
        request_.options.device = 3;
        request_.options.jobId = "job-42";
        request_.options.outDir = dir_.string();
        request_.options.durationMs = 5000;
        request_.options.sys = true;
        request_.options.pid = true;
        request_.options.llcEvents = {"read"};
        request_.options.ctrlCpuEvents = {"0x11", "0x8"};
        request_.options.mode = "def_mode";
        request_.sampleConfig = BuildSampleConfig(request_.options);
        request_.configSource = "options";
        Script(&link_);
    }

    static void Script(FakeLink* link) {
        link->dataOn["ReplayStartReq"] = {Chunk("data/Memory.data", "first ")};
        link->dataOn["JobStopReq"] = {Chunk("data/Memory.data", "second"),
                                      Chunk("data/7-CpuUsage.data", "xyz"), Finish()};
    }

    int Run(std::string* message = nullptr, std::ostream* progress = nullptr,
            const std::atomic<bool>* interrupt = nullptr, FakeLink* link = nullptr) {
        ProfileRun run(request_, link != nullptr ? link : &link_, &clock_);
        run.SetProgressStream(progress);
        run.SetNoticeStream(&notices_);
        run.SetInterruptFlag(interrupt);
        int code = run.Run();
        if (message != nullptr) {
            *message = run.Message();
        }
        record_ = run.Record();
        return code;
    }

    nlohmann::json JobJson() {
        std::ifstream in(dir_ / "job.json");
        nlohmann::json j = nlohmann::json::parse(in, nullptr, false);
        EXPECT_FALSE(j.is_discarded());
        return j;
    }

    common::TestTempDir tmp_;
    fs::path dir_ = tmp_.Path();
    ProfileRequest request_;
    FakeLink link_;
    FakeClock clock_;
    JobRecord record_;
    std::ostringstream notices_;
};

TEST_F(ProfileRunTest, AJobRunsFromHandshakesToTheEndOfItsData) {
    link_.dataOn["ReplayStartReq"].push_back(std::make_shared<proto::Response>());
    std::string message;
    std::ostringstream progress;
    ASSERT_EQ(Run(&message, &progress), kExitOk) << message;
    // Progress goes only to the given stream: at least one update per 250 ms
    // of collection (more while the data drains), one line in the end.
    const std::string text = progress.str();
    EXPECT_GE(std::count(text.begin(), text.end(), '\r'), 5000 / 250);
    EXPECT_NE(text.find("chunks "), std::string::npos);
    EXPECT_EQ(text.back(), '\n');
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1);
    EXPECT_EQ(link_.sent, (std::vector<std::string>{"CtrlChannelHandshake", "DataChannelHandshake",
                                                    "JobStartReq", "ReplayStartReq",
                                                    "ReplayStopReq", "JobStopReq"}));
    EXPECT_EQ(link_.ctrlDevice, 3u);
    EXPECT_EQ(link_.ctrlVfid, 0u);
    EXPECT_EQ(link_.ctrlHandshake.jobid(), "job-42");
    EXPECT_EQ(link_.dataHandshake.jobid(), "job-42");

    auto start = link_.Sent<proto::JobStartReq>(0);
    ASSERT_NE(start, nullptr);
    EXPECT_EQ(start->sampleconfig(), request_.sampleConfig);
    std::map<std::string, FlatValue> ctx;
    ASSERT_TRUE(ParseFlatObject(start->hdr().job_ctx(), &ctx));
    EXPECT_EQ(ctx["job_id"].text, "job-42");
    EXPECT_EQ(ctx["dev_id"].text, "3");
    auto replay = link_.Sent<proto::ReplayStartReq>(1);
    ASSERT_NE(replay, nullptr);
    ASSERT_EQ(replay->llc_events_size(), 1);
    EXPECT_EQ(replay->llc_events(0), "read");
    ASSERT_EQ(replay->ctrl_cpu_events_size(), 2);
    EXPECT_EQ(replay->ctrl_cpu_events(1), "0x8");
    for (size_t i = 0; i < 4; ++i) {
        const auto* hdr = link_.commands[i]->GetDescriptor()->FindFieldByName("Hdr");
        ASSERT_NE(hdr, nullptr);
        const auto& h = static_cast<const proto::Header&>(
            link_.commands[i]->GetReflection()->GetMessage(*link_.commands[i], hdr));
        EXPECT_EQ(h.job_ctx(), start->hdr().job_ctx()) << i;
    }
    EXPECT_EQ(link_.Sent<proto::JobStopReq>(3)->jobid(), "job-42");

    EXPECT_EQ(tmp_.Read("data/Memory.data"), "first second");
    EXPECT_EQ(tmp_.Read("data/7-CpuUsage.data"), "xyz");

    nlohmann::json j = JobJson();
    EXPECT_EQ(j["job_id"], "job-42");
    EXPECT_EQ(j["configuration"]["sample_config"], request_.sampleConfig);
    EXPECT_EQ(j["configuration"]["llc_events"], nlohmann::json::array({"read"}));
    ASSERT_EQ(j["replies"].size(), 6u);
    const char* steps[] = {"control_handshake", "data_handshake", "job_start",
                           "replay_start",      "replay_stop",    "job_stop"};
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(j["replies"][i]["step"], steps[i]);
        EXPECT_EQ(j["replies"][i]["status"], 0);
        EXPECT_EQ(j["replies"][i]["status_name"], "SUCCESS");
        EXPECT_EQ(j["replies"][i]["info"], "");
    }
    EXPECT_EQ(j["data"]["finished"], true);
    EXPECT_EQ(j["data"]["chunks"], 3);
    EXPECT_EQ(j["data"]["bytes"], 15);
    EXPECT_EQ(j["data"]["files"]["data/Memory.data"]["bytes"], 12);
    EXPECT_EQ(j["data"]["files"]["data/Memory.data"]["chunks"], 2);
    EXPECT_EQ(j["data"]["files"]["data/7-CpuUsage.data"]["chunks"], 1);
    EXPECT_EQ(j["data"]["unexpected_messages"], 1);
    EXPECT_EQ(j["timings_ms"]["collection"], 5000);
    EXPECT_EQ(j["outcome"], "success");
    // Asked for, but nothing came: said in job.json.
    ASSERT_EQ(j["collections"].size(), 4u);
    EXPECT_EQ(j["collections"][0]["name"], "sys");
    EXPECT_EQ(j["collections"][0]["sent_data"], true);
    EXPECT_EQ(j["collections"][2]["name"], "llc");
    EXPECT_EQ(j["collections"][2]["sent_data"], false);
    EXPECT_TRUE(j["collections"][2]["missing"].is_string());
}

TEST_F(ProfileRunTest, ARefusedJobStartEndsTheRunWithTheDevicesReason) {
    link_.replies["JobStartReq"] = Failed("invalid sample configuration");
    std::string message;
    EXPECT_EQ(Run(&message), kExitDeviceRefused);
    EXPECT_EQ(message, "device 3 refused the job start: invalid sample configuration");
    EXPECT_EQ(link_.sent.back(), "JobStartReq");
    EXPECT_GE(link_.closeDataCalls, 1);
    EXPECT_GE(link_.closeControlCalls, 1);
    nlohmann::json j = JobJson();
    EXPECT_EQ(j["replies"][2]["status"], 1);
    EXPECT_EQ(j["replies"][2]["status_name"], "FAILED");
    EXPECT_EQ(j["replies"][2]["info"], "invalid sample configuration");
}

TEST_F(ProfileRunTest, ARefusedDataSessionIsReportedInWords) {
    link_.dataReply = Failed("");
    std::string message;
    EXPECT_EQ(Run(&message), kExitDeviceRefused);
    EXPECT_EQ(message.rfind("device 3 refused the data session: the device set up no data "
                            "session for job job-42",
                            0),
              0u)
        << message;
    EXPECT_EQ(link_.sent.size(), 2u);
    nlohmann::json j = JobJson();
    EXPECT_EQ(j["replies"][1]["message"], Failed("").message);
    EXPECT_EQ(j["replies"][1]["reason"], message.substr(message.find(": ") + 2));
}

TEST_F(ProfileRunTest, ARefusedControlHandshakeIsTriedAgainWithinTheWait) {
    const std::string busy =
        "device 3 refused the control session: another job still holds device 3 in mode "
        "\"def_mode\" (its control session has not ended yet)";
    struct Case {
        const char* what;
        int refusals;
        uint64_t waitMs;
        int code;
        size_t handshakes;
        uint64_t waitedMs;  // sleeps before the collection
    } cases[] = {
        {"refused twice, then accepted", 2, 5000, kExitOk, 3, 400},
        {"refused beyond the wait", 1000, 1000, kExitDeviceRefused, 6, 1000},
        {"no second try", 1000, 0, kExitDeviceRefused, 1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeLink link;
        Script(&link);
        notices_.str("");
        request_.options.handshakeWaitMs = c.waitMs;
        for (int i = 0; i < c.refusals && i < 100; ++i) {
            link.ctrlReplies.push_back(Failed(""));
        }
        uint64_t before = clock_.NowMs();
        std::string message;
        EXPECT_EQ(Run(&message, nullptr, nullptr, &link), c.code) << message;
        EXPECT_EQ(std::count(link.sent.begin(), link.sent.end(), "CtrlChannelHandshake"),
                  static_cast<long>(c.handshakes));
        uint64_t collected = c.code == kExitOk ? request_.options.durationMs : 0;
        EXPECT_EQ(clock_.NowMs() - before, c.waitedMs + collected);
        std::string notices = notices_.str();
        if (c.waitMs == 0) {
            EXPECT_EQ(notices, "");
        } else {
            // One line, said once, with the reason and the bound.
            EXPECT_EQ(std::count(notices.begin(), notices.end(), '\n'), 1) << notices;
            EXPECT_EQ(notices.rfind("oru-host: " + busy, 0), 0u) << notices;
            EXPECT_NE(notices.find("retrying for up to " + FormatSeconds(c.waitMs)),
                      std::string::npos)
                << notices;
        }
        if (c.code != kExitOk) {
            EXPECT_EQ(message.rfind(busy, 0), 0u) << message;
            EXPECT_EQ(message.find("still refused after") != std::string::npos, c.waitMs > 0)
                << message;
        }
    }
}

TEST_F(ProfileRunTest, ARefusedReplayStillStopsTheJobAndCollectsWhatCame) {
    link_.replies["ReplayStartReq"] = Failed("[Start] pmu event size is not valid!");
    std::string message;
    EXPECT_EQ(Run(&message), kExitDeviceRefused);
    EXPECT_EQ(message, "device 3 refused the replay start: [Start] pmu event size is not valid!");
    EXPECT_EQ(link_.sent,
              (std::vector<std::string>{"CtrlChannelHandshake", "DataChannelHandshake",
                                        "JobStartReq", "ReplayStartReq", "JobStopReq"}));
    EXPECT_EQ(record_.collectionMs, 0u);
    EXPECT_TRUE(record_.dataFinished);
    EXPECT_EQ(tmp_.Read("data/Memory.data"), "first second");
}

TEST_F(ProfileRunTest, ALostControlSessionIsALinkFailure) {
    link_.commandFailure["JobStopReq"] = "session closed by the device";
    std::string message;
    EXPECT_EQ(Run(&message), kExitLinkFailure);
    EXPECT_EQ(message, "job stop: session closed by the device");
    nlohmann::json j = JobJson();
    EXPECT_EQ(j["replies"].back()["received"], false);
    EXPECT_EQ(j["replies"].back()["error"], "session closed by the device");
    EXPECT_EQ(j["outcome"], "failed");
}

TEST_F(ProfileRunTest, DataThatEndsWithoutItsFinishIsALinkFailure) {
    link_.dataOn["JobStopReq"] = {Chunk("data/Memory.data", "second")};
    link_.endDataOn["JobStopReq"] = true;
    std::string message;
    EXPECT_EQ(Run(&message), kExitLinkFailure);
    EXPECT_EQ(message,
              "data session ended before DataChannelFinish: the device closed the session");
    EXPECT_EQ(tmp_.Read("data/Memory.data"), "first second");
    EXPECT_EQ(JobJson()["data"]["finished"], false);
}

TEST_F(ProfileRunTest, ChunksUnderUnsafeNamesAreRefusedAndFailTheRun) {
    link_.dataOn["JobStopReq"] = {Chunk("../../outside", "evil"),
                                  Chunk("data/Memory.data", "second"), Finish()};
    std::string message;
    EXPECT_EQ(Run(&message), kExitLinkFailure);
    EXPECT_NE(message.find("\"../../outside\""), std::string::npos) << message;
    EXPECT_FALSE(fs::exists(dir_.parent_path().parent_path() / "outside"));
    EXPECT_EQ(tmp_.Read("data/Memory.data"), "first second");
    nlohmann::json j = JobJson();
    ASSERT_EQ(j["data"]["refused_chunks"].size(), 1u);
    EXPECT_EQ(j["data"]["refused_chunks"][0]["bytes"], 4);
}

TEST_F(ProfileRunTest, AnInterruptEndsTheCollectionEarlyButStopsCleanly) {
    std::atomic<bool> interrupted{true};
    ASSERT_EQ(Run(nullptr, nullptr, &interrupted), kExitOk);
    EXPECT_TRUE(record_.interrupted);
    EXPECT_EQ(record_.collectionMs, 0u);
    EXPECT_EQ(link_.sent.back(), "JobStopReq");
    EXPECT_TRUE(record_.dataFinished);
}

TEST_F(ProfileRunTest, AnOutputFolderThatCannotBeMadeStopsBeforeTheDevice) {
    fs::remove_all(dir_);
    std::ofstream(dir_) << "a file";
    std::string message;
    EXPECT_EQ(Run(&message), kExitLocalFailure);
    EXPECT_EQ(message.rfind("cannot create the output folder", 0), 0u);
    EXPECT_TRUE(link_.sent.empty());
    fs::remove(dir_);
}

TEST(ProgressTest, LineShowsElapsedChunksBytesFilesAndRate) {
    EXPECT_EQ(FormatProgress({2500, 12, 3 * 1024 * 1024, 4}),
              "2.5 s  chunks 12  3.00 MiB  files 4  1.20 MiB/s");
    EXPECT_EQ(FormatProgress({0, 0, 0, 0}), "0.0 s  chunks 0  0 B  files 0  0 B/s");
}

}  // namespace
}  // namespace analysis::orbx::hosttool
