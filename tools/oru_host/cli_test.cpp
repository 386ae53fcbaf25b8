#include "tools/oru_host/cli.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <mutex>
#include <sstream>

#include "testing/fake_link.h"
#include "testing/test_temp_dir.h"
#include "tools/oru_host/options.h"

namespace analysis::orbx::hosttool {
namespace {

namespace fs = std::filesystem;
using fakes::Chunk;
using fakes::Failed;
using fakes::FakeClock;
using fakes::FakeLink;
using fakes::Finish;

// Devices that answer every step and send one file, "dev<N>", and the
// finish at the job stop; the device refuseStartOn refuses the job start with
// the info refusal. Each job start is recorded.
class CliTest : public ::testing::Test {
  protected:
    struct Seen {
        uint32_t device;
        std::string jobId;
        std::string sampleConfig;
    };

    void SetUp() override {
        context_.clock = &clock_;
        context_.out = &out_;
        context_.err = &err_;
        context_.makeLink = [this] {
            auto link = std::make_unique<FakeLink>();
            link->onRequest = [this](FakeLink& l, const google::protobuf::Message& m) {
                if (dynamic_cast<const proto::CtrlChannelHandshake*>(&m) != nullptr) {
                    l.dataOn["JobStopReq"] = {
                        Chunk("data/llc.data", "dev" + std::to_string(l.ctrlDevice)), Finish()};
                    if (l.ctrlDevice == refuseStartOn_) {
                        l.replies["JobStartReq"] = Failed(refusal_);
                    }
                } else if (auto* start = dynamic_cast<const proto::JobStartReq*>(&m)) {
                    std::lock_guard<std::mutex> lock(mutex_);
                    seen_.push_back({l.ctrlDevice, l.ctrlHandshake.jobid(), start->sampleconfig()});
                }
            };
            return link;
        };
    }
    std::vector<Seen> Jobs() {
        std::lock_guard<std::mutex> lock(mutex_);
        return seen_;
    }
    // The sample configurations the devices were sent.
    std::vector<std::string> Sent() {
        std::vector<std::string> sent;
        for (const Seen& job : Jobs()) {
            sent.push_back(job.sampleConfig);
        }
        return sent;
    }
    common::TestTempDir tmp_;
    fs::path dir_ = tmp_.Path();
    FakeClock clock_;
    std::ostringstream out_;
    std::ostringstream err_;
    uint32_t refuseStartOn_ = 0;
    std::string refusal_ = "invalid sample configuration";
    CliContext context_;
    std::mutex mutex_;
    std::vector<Seen> seen_;  // guarded by mutex_
};

// A file is sent unchanged, unless the device would refuse it anyway.
TEST_F(CliTest, ConfigurationFilesAreSentUnchangedOrRefusedAsUsageErrors) {
    std::string text = "{\"job_id\":\"j-1\", \"sys_profiling\":\"on\"}\n  trailing";
    tmp_.Write("c.json", text);
    tmp_.Write("empty.json", "");
    tmp_.Write("big.json", std::string((1 << 20) + 1, ' '));
    auto run = [this](const char* name) {
        err_.str("");
        return RunCli(
            {"profile", "--device", "0", "--job-id", "j-1", "--out", (dir_ / "o").string(),
             "--duration", "1", "--config", (dir_ / name).string()},
            context_);
    };
    for (const char* name : {"empty.json", "big.json"}) {
        EXPECT_EQ(run(name), kExitUsage) << name;
        EXPECT_TRUE(Sent().empty());
    }
    EXPECT_EQ(run("c.json"), kExitDeviceRefused);
    EXPECT_EQ(Sent(), std::vector<std::string>{text});
    EXPECT_EQ(err_.str(),
              "oru-host: device 0 refused the job start: invalid sample configuration\n");
    EXPECT_NE(out_.str().find("job j-1 on device 0: refused"), std::string::npos) << out_.str();
}

// Several devices: one job each at once with the same id, each into
// DIR/dev<N>; card-wide collections asked of the first device only; the exit
// code is the worst of the devices'.
TEST_F(CliTest, ADeviceListRunsOneJobPerDevice) {
    refuseStartOn_ = 3;
    refusal_ = "no";
    context_.listDevices = [](std::vector<uint32_t>* d, std::string*) {
        *d = {1, 2, 3};
        return true;
    };
    int code = RunCli({"profile", "--device", "all", "--job-id", "j-9", "--out",
                       (dir_ / "o").string(), "--duration", "1", "--sys", "--llc", "read"},
                      context_);
    EXPECT_EQ(code, kExitDeviceRefused) << err_.str();
    std::vector<Seen> jobs = Jobs();
    ASSERT_EQ(jobs.size(), 3u);
    for (const Seen& j : jobs) {
        EXPECT_EQ(j.jobId, "j-9");
        bool sys = j.sampleConfig.find("\"sys_profiling\":\"on\"") != std::string::npos;
        EXPECT_EQ(sys, j.device == 1) << j.device << ": " << j.sampleConfig;
        EXPECT_NE(j.sampleConfig.find("llc_profiling_events"), std::string::npos);
    }
    EXPECT_EQ(tmp_.Read("o/dev1/data/llc.data"), "dev1");
    EXPECT_EQ(tmp_.Read("o/dev2/data/llc.data"), "dev2");
    std::string job2 = tmp_.Read("o/dev2/job.json");
    EXPECT_NE(job2.find("\"card_wide_collections_on_device\": 1"), std::string::npos) << job2;
    std::string out = out_.str();
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
    EXPECT_NE(out.find("job j-9 on devices 1,2,3: device 1 done, "), std::string::npos) << out;
    EXPECT_NE(out.find("sent nothing: sys"), std::string::npos) << out;
    EXPECT_NE(out.find("; device 2 done, 1 files"), std::string::npos) << out;
    EXPECT_NE(out.find("; device 3 refused"), std::string::npos) << out;
    EXPECT_NE(err_.str().find("oru-host: device 3 refused the job start: no"), std::string::npos)
        << err_.str();

    // Only card-wide collections: the other devices have nothing to do.
    out_.str("");
    EXPECT_EQ(RunCli({"profile", "--device", "1,2", "--job-id", "j-10", "--out",
                      (dir_ / "p").string(), "--duration", "1", "--pid"},
                     context_),
              kExitOk);
    EXPECT_NE(out_.str().find("device 2 skipped (nothing to collect there: card-wide "
                              "collections are asked of device 1)"),
              std::string::npos)
        << out_.str();

    // The report: one page, a section per device and a summary table.
    out_.str("");
    ASSERT_EQ(RunCli({"report", (dir_ / "o").string()}, context_), kExitOk) << err_.str();
    std::string page = tmp_.Read("o/report.html");
    for (const char* section : {"<section id=\"dev1\">", "<section id=\"dev2\">",
                                "<section id=\"dev3\">", "<h2>Summary</h2>"}) {
        EXPECT_NE(page.find(section), std::string::npos) << section;
    }
    EXPECT_TRUE(fs::exists(dir_ / "o/dev2/system.csv"));
    EXPECT_NE(out_.str().find("\nDevices\n"), std::string::npos) << out_.str();
}

}  // namespace
}  // namespace analysis::orbx::hosttool
