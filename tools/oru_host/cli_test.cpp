#include "tools/oru_host/cli.h"

#include <gtest/gtest.h>
#include <chrono>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>

#include "common/test_temp_dir.h"
#include "tools/oru_host/options.h"

namespace analysis::orbx::hosttool {
namespace {

namespace fs = std::filesystem;

class StillClock : public Clock {
  public:
    uint64_t NowMs() override { return now_; }
    void SleepMs(uint64_t ms) override { now_ += ms; }
    std::string WallTimeUtc() override { return "2026-01-01T00:00:00Z"; }

  private:
    uint64_t now_ = 0;
};

// Accepts both sessions and refuses the job start, keeping what it was sent.
class RefusingLink : public DeviceLink {
  public:
    explicit RefusingLink(std::string* sampleConfig) : sampleConfig_(sampleConfig) {}
    bool OpenControl(uint32_t, uint32_t, const proto::CtrlChannelHandshake&, Reply* r,
                     std::string*) override {
        *r = Reply{false, 0, "{\"status\":0}"};
        return true;
    }
    bool OpenData(uint32_t, uint32_t, const proto::DataChannelHandshake&, Reply* r,
                  std::string*) override {
        *r = Reply{false, 0, "{\"status\":0}"};
        return true;
    }
    bool Command(const google::protobuf::Message& m, Reply* r, std::string*) override {
        *sampleConfig_ = static_cast<const proto::JobStartReq&>(m).sampleconfig();
        *r = Reply{false, 1, "{\"status\":1,\"info\":\"invalid sample configuration\"}"};
        return true;
    }
    bool ReadData(std::shared_ptr<google::protobuf::Message>*, std::string* e) override {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!cv_.wait_for(lock, std::chrono::seconds(5), [this] { return closed_; })) {
            ADD_FAILURE() << "the host did not close the data session within 5 s";
        }
        *e = "closed";
        return false;
    }
    void CloseControl() override {}
    void CloseData() override {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
        cv_.notify_all();
    }

  private:
    std::string* sampleConfig_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool closed_ = false;
};

class CliTest : public ::testing::Test {
  protected:
    void SetUp() override {
        context_.clock = &clock_;
        context_.out = &out_;
        context_.err = &err_;
        context_.makeLink = [this] { return std::make_unique<RefusingLink>(&sent_); };
    }
    common::TestTempDir tmp_;
    fs::path dir_ = tmp_.Path();
    StillClock clock_;
    std::ostringstream out_;
    std::ostringstream err_;
    std::string sent_;
    CliContext context_;
};

TEST_F(CliTest, ConfigurationFileIsSentUnchanged) {
    std::string text = "{\"job_id\":\"j-1\", \"sys_profiling\":\"on\"}\n  trailing";
    std::ofstream(dir_ / "c.json", std::ios::binary) << text;
    int code =
        RunCli({"profile", "--device", "0", "--job-id", "j-1", "--out", (dir_ / "o").string(),
                "--duration", "1", "--config", (dir_ / "c.json").string()},
               context_);
    EXPECT_EQ(code, kExitDeviceRefused);
    EXPECT_EQ(sent_, text);
    EXPECT_EQ(err_.str(),
              "oru-host: device 0 refused the job start: invalid sample configuration\n");
    EXPECT_NE(out_.str().find("job j-1 on device 0: refused"), std::string::npos) << out_.str();
}

TEST_F(CliTest, ConfigurationFilesTheDeviceWouldRefuseAreUsageErrors) {
    std::ofstream(dir_ / "empty.json");
    std::ofstream(dir_ / "big.json") << std::string((1 << 20) + 1, ' ');
    for (const char* name : {"empty.json", "big.json"}) {
        err_.str("");
        EXPECT_EQ(
            RunCli({"profile", "--device", "0", "--job-id", "j", "--out", (dir_ / "o").string(),
                    "--duration", "1", "--config", (dir_ / name).string()},
                   context_),
            kExitUsage)
            << name;
        EXPECT_TRUE(sent_.empty());
    }
}

}  // namespace
}  // namespace analysis::orbx::hosttool
