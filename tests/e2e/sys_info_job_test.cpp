// The system-information jobs end to end: a job that switches on
// "sys_profiling" and "pid_profiling" runs on the daemon over the simulated
// card for a few seconds, and the host receives the system CPU and memory
// samples and the samples of every process, the daemon's own and a process
// started during the job included, as well-formed records.
#include <gtest/gtest.h>
#include "oru_build_paths.h"

#include <chrono>
#include <filesystem>
#include <future>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "daemon/testing/host_job.h"
#include "jobs/sampling_test_support.h"
#include "tests/e2e/daemon_fixture.h"
#include "tools/host/profiling_client.h"

namespace {

using namespace analysis::orbx;
using Analysis::Orbx::JobWrapper::testing::ParseRecords;
using Analysis::Orbx::JobWrapper::testing::Record;
using host::CollectedFile;
using host::HostClient;

constexpr char kJobId[] = "sysinfo1";
constexpr uint64_t kIntervalNs = 100000000;  // the configured 100 ms
constexpr char kConfig[] =
    R"({"job_id":"sysinfo1","sys_profiling":"on","pid_profiling":"on",)"
    R"("cpu_sampling_interval":100,"sys_sampling_interval":100,"pid_sampling_interval":100})";

class SysInfoJobTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { setenv("OSTREL_SIM_DEVICES", "1", 1); }

    void SetUp() override {
        std::filesystem::create_directories(ORU_TEST_TMP_DIR);
        log_ = std::string(ORU_TEST_TMP_DIR) + "/oru.log";
        std::filesystem::remove(log_);
        daemon_ = oru_testing::StartOru(ORU_BIN_DIR, ORU_TEST_TMP_DIR, 1);
        client_ = HostClient::Create();
        ASSERT_NE(client_, nullptr);
    }
    void TearDown() override { daemon_.reset(); }

    std::string log_;
    std::unique_ptr<oru_testing::Child> daemon_;
    std::shared_ptr<HostClient> client_;
};

// Checks one data file: well-formed records, indexes and times increasing;
// the system's samples, stamped at the start of their pass, at least the
// interval apart (a process's, stamped when its file is read, may come a
// little later or sooner within the next pass).
std::vector<Record> CheckedRecords(const std::string& name, const CollectedFile& file) {
    const bool perProcess = name.find('-') != std::string::npos;
    std::vector<Record> records;
    EXPECT_TRUE(ParseRecords(file.data, records)) << name;
    for (size_t i = 1; i < records.size(); ++i) {
        EXPECT_GT(records[i].index, records[i - 1].index) << name;
        EXPECT_GE(records[i].timeStamp, records[i - 1].timeStamp + (perProcess ? 1 : kIntervalNs))
            << name;
    }
    return records;
}

TEST_F(SysInfoJobTest, SystemAndEveryProcessReachTheHostAsWellFormedRecords) {
    oru_e2e::HostJob job;
    job.config = kConfig;
    job.events = proto::ReplayStartReq();
    ASSERT_TRUE(job.Start(*client_, kJobId));

    // The job samples for a while; a process starts in the middle of it.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    oru_testing::Child child({"/bin/sleep", "30"}, {},
                             std::string(ORU_TEST_TMP_DIR) + "/child.out");
    ASSERT_GT(child.Pid(), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));

    ASSERT_TRUE(job.Stop());
    auto result = job.Collected();
    ASSERT_EQ(result.first, host::kRecvOk) << "no DataChannelFinish within 20 s of the job stop";
    std::map<std::string, CollectedFile>& files = result.second;

    std::vector<Record> cpu = CheckedRecords("cpu", files["data/SystemCpuUsage.data"]);
    ASSERT_GE(cpu.size(), 5u);
    EXPECT_EQ(cpu[0].index, 0u);
    EXPECT_EQ(cpu[0].data.rfind("cpu ", 0), 0u);
    std::vector<Record> mem = CheckedRecords("mem", files["data/Memory.data"]);
    ASSERT_GE(mem.size(), 5u);
    EXPECT_NE(mem[0].data.find("MemTotal:"), std::string::npos);

    for (pid_t pid : {daemon_->Pid(), child.Pid()}) {
        std::string p = std::to_string(pid);
        std::vector<Record> pidCpu =
            CheckedRecords(p + "-cpu", files["data/" + p + "-CpuUsage.data"]);
        std::vector<Record> pidMem =
            CheckedRecords(p + "-mem", files["data/" + p + "-Memory.data"]);
        ASSERT_GE(pidCpu.size(), 3u) << p;
        ASSERT_GE(pidMem.size(), 3u) << p;
        EXPECT_EQ(pidCpu[0].data.rfind(p + " (", 0), 0u);
        EXPECT_NE(pidCpu[0].data.find("\nProcessName:"), std::string::npos);
        EXPECT_NE(pidCpu[0].data.find("\ncpu "), std::string::npos);
        EXPECT_NE(pidMem[0].data.find("\nProcessName:"), std::string::npos);
    }
    EXPECT_NE(files["data/" + std::to_string(child.Pid()) + "-CpuUsage.data"].data.find(
                  "ProcessName:sleep\n"),
              std::string::npos);

    // Every other process of the machine was sampled as well, in good form.
    size_t processFiles = 0;
    for (const auto& [name, file] : files) {
        if (name.find("-CpuUsage.data") != std::string::npos ||
            name.find("-Memory.data") != std::string::npos) {
            processFiles++;
            (void)CheckedRecords(name, file);
        }
    }
    EXPECT_GE(processFiles, 4u);

    std::string log = oru_testing::ReadText(log_);
    EXPECT_EQ(oru_testing::CountIn(log, "Upload Data Failed"), 0);
    EXPECT_EQ(oru_testing::CountIn(log, "StopProfTimer end"), 1);
}

}  // namespace
