// oru-host against the daemon on the simulated card: a profiling job with
// system, process and cache-counter collection, its report, and a container
// that the device refuses. Runs the real executables as child processes.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>
#include "testing/build_paths.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/oru_paths.h"
#include "testing/host_job.h"
#include "testing/test_emulator.h"

namespace {

namespace fs = std::filesystem;
using oru_testing::Child;

std::string Slurp(const fs::path& p) {
    return oru_testing::ReadText(p);
}

// An oru-host run: its exit code and its standard output and error.
struct Result {
    int code;
    std::string out;
};

const std::string kOruHost = oru_testing::BinDir() + "/oru-host";

class OruHostEndToEnd : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        tmp_ = fs::path(oru_testing::TestTmpDir());
        fs::remove_all(tmp_);
        fs::create_directories(tmp_);
        const char* simDir = std::getenv("OSTREL_SIM_DIR");
        ASSERT_NE(simDir, nullptr) << "the test runs with its own OSTREL_SIM_DIR";
        fs::remove_all(simDir);
        fs::create_directories(fs::path(analysis::orbx::common::kAppmonSocket).parent_path());
        monitor_ = std::make_unique<Child>(
            std::vector<std::string>{oru_testing::BinDir() + "/ostrel-sim-monitor", "--socket",
                                     analysis::orbx::common::kAppmonSocket},
            std::vector<std::string>{}, tmp_ / "monitor.out");
        daemon_ = oru_testing::StartOru(oru_testing::BinDir(), tmp_, 1, "");
        // The daemon is ready once its device server listens.
        for (int i = 0; i < 1000 && !ServerListening(simDir); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_TRUE(ServerListening(simDir)) << Slurp(tmp_ / "oru.log");
        ASSERT_TRUE(daemon_->Running()) << "oru ended: " << Slurp(tmp_ / "oru.out");
    }

    static void TearDownTestSuite() {
        daemon_.reset();
        monitor_.reset();
    }

    static bool ServerListening(const char* simDir) {
        std::error_code ec;
        const std::string prefix = "hdc-0-";
        for (const auto& e : fs::directory_iterator(simDir, ec)) {
            if (e.path().filename().string().rfind(prefix, 0) == 0) {
                return true;
            }
        }
        return false;
    }

    static Result OruHost(const std::vector<std::string>& args, const std::string& name) {
        std::vector<std::string> argv = {kOruHost};
        argv.insert(argv.end(), args.begin(), args.end());
        int code = Child(argv, {}, tmp_ / (name + ".out")).Wait();
        return {code, Slurp(tmp_ / (name + ".out"))};
    }

    static inline fs::path tmp_;
    static inline std::unique_ptr<Child> monitor_;
    static inline std::unique_ptr<Child> daemon_;
};

std::vector<std::vector<std::string>> Csv(const std::string& text) {
    std::vector<std::vector<std::string>> rows;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        std::vector<std::string> cells;
        std::string cell;
        bool quoted = false;
        for (char c : line) {
            if (c == '"') {
                quoted = !quoted;
            } else if (c == ',' && !quoted) {
                cells.push_back(cell);
                cell.clear();
            } else {
                cell += c;
            }
        }
        cells.push_back(cell);
        rows.push_back(cells);
    }
    return rows;
}

TEST_F(OruHostEndToEnd, ProfileThenReportShowsTheDeviceAndTheDaemon) {
    fs::path run = tmp_ / "run";
    Result profile =
        OruHost({"profile", "--device", "0", "--job-id", "e2e-1", "--out", run.string(),
                 "--duration", "2", "--sys", "--pid", "--interval", "100", "--llc", "read"},
                "profile");
    ASSERT_EQ(profile.code, 0) << profile.out << Slurp(tmp_ / "oru.log");
    // Not a terminal: no progress line.
    EXPECT_EQ(profile.out.find('\r'), std::string::npos);

    std::string pid = std::to_string(daemon_->Pid());
    for (const std::string& f :
         {std::string("data/SystemCpuUsage.data"), std::string("data/Memory.data"),
          "data/" + pid + "-CpuUsage.data", "data/" + pid + "-Memory.data"}) {
        EXPECT_TRUE(fs::is_regular_file(run / f)) << f;
        EXPECT_GT(fs::file_size(run / f), 0u) << f;
    }

    nlohmann::json job = nlohmann::json::parse(Slurp(run / "job.json"), nullptr, false);
    ASSERT_FALSE(job.is_discarded());
    EXPECT_EQ(job["job_id"], "e2e-1");
    EXPECT_EQ(job["device"], 0);
    EXPECT_EQ(job["outcome"], "success");
    ASSERT_EQ(job["replies"].size(), 6u);
    for (const auto& reply : job["replies"]) {
        EXPECT_EQ(reply["status"], 0) << reply.dump();
    }
    EXPECT_EQ(job["data"]["finished"], true);
    EXPECT_GE(job["timings_ms"]["collection"].get<uint64_t>(), 2000u);
    uint64_t total = 0;
    for (const auto& [name, stats] : job["data"]["files"].items()) {
        EXPECT_EQ(stats["bytes"].get<uint64_t>(), fs::file_size(run / name)) << name;
        total += stats["bytes"].get<uint64_t>();
    }
    EXPECT_EQ(job["data"]["bytes"].get<uint64_t>(), total);

    Result report = OruHost({"report", run.string()}, "report");
    ASSERT_EQ(report.code, 0) << report.out;
    EXPECT_NE(report.out.find("Report of job e2e-1 on device 0"), std::string::npos) << report.out;
    EXPECT_NE(report.out.find(" 0 not parsed"), std::string::npos) << report.out;

    auto system = Csv(Slurp(run / "system.csv"));
    size_t intervals = 0;
    for (size_t i = 1; i < system.size(); ++i) {
        if (!system[i][2].empty()) {
            double busy = std::stod(system[i][2]);
            EXPECT_GE(busy, 0.0);
            EXPECT_LE(busy, 100.0);
            ++intervals;
        }
    }
    // Sampled every 100 ms or so for two seconds.
    EXPECT_GE(intervals, 5u);

    auto processes = Csv(Slurp(run / "processes.csv"));
    bool daemonSeen = false;
    for (size_t i = 1; i < processes.size(); ++i) {
        if (processes[i][0] == pid) {
            daemonSeen = true;
            if (analysis::orbx::common::NativeOnly(
                    "an emulated daemon's process name is the emulator's")) {
                EXPECT_EQ(processes[i][1], "oru");
            }
            EXPECT_GT(std::stoull(processes[i][7]), 0u) << "resident memory";
            if (!processes[i][3].empty()) {
                double share = std::stod(processes[i][3]);
                EXPECT_GE(share, 0.0);
                EXPECT_LE(share, 100.0);
            }
        }
    }
    EXPECT_TRUE(daemonSeen);
    EXPECT_TRUE(fs::is_regular_file(run / "report.html"));

    // The device tore the job down: the same job id runs again.
    Result again = OruHost({"profile", "--device", "0", "--job-id", "e2e-1", "--out",
                            (tmp_ / "again").string(), "--duration", "0.3", "--sys"},
                           "again");
    EXPECT_EQ(again.code, 0) << again.out;
}

TEST_F(OruHostEndToEnd, AContainerIsRefusedInWords) {
    Result r = OruHost({"profile", "--device", "0", "--job-id", "e2e-2", "--out",
                        (tmp_ / "container").string(), "--duration", "1", "--sys", "--vfid", "5"},
                       "container");
    EXPECT_EQ(r.code, 3);
    EXPECT_NE(r.out.find("does not accept profiling from a container"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("virtual function 5"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("retrying"), std::string::npos) << r.out;
    nlohmann::json job = nlohmann::json::parse(Slurp(tmp_ / "container/job.json"), nullptr, false);
    EXPECT_EQ(job["outcome"], "refused");
    EXPECT_EQ(job["replies"][0]["message"], "MESSAGE_CONTAINER_NO_SUPPORT");
    EXPECT_EQ(job["replies"].size(), 1u) << "more was sent after the refusal";
}

// Only what to collect is given: the job id is the time, the folder is named
// after it, and the job runs until Ctrl-C, which stops it cleanly.
TEST_F(OruHostEndToEnd, WithoutIdFolderOrDurationTheJobRunsUntilCtrlC) {
    fs::path cwd = tmp_ / "defaults";
    fs::create_directories(cwd);
    Child child({"/bin/sh", "-c",
                 "cd " + cwd.string() + " && exec " + kOruHost + " profile --sys --interval 100"},
                {}, tmp_ / "defaults.out");
    fs::path run;
    for (int i = 0; i < 1000 && run.empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(cwd, ec)) {
            if (fs::exists(e.path() / "data/SystemCpuUsage.data")) {
                run = e.path();
            }
        }
    }
    ASSERT_FALSE(run.empty()) << "no data arrived: " << Slurp(tmp_ / "defaults.out");
    ASSERT_EQ(kill(child.Pid(), SIGINT), 0);
    EXPECT_EQ(child.Wait(), 0) << Slurp(tmp_ / "defaults.out");
    std::string folder = run.filename().string();
    ASSERT_EQ(folder.rfind("oru-", 0), 0u) << folder;
    nlohmann::json job = nlohmann::json::parse(Slurp(run / "job.json"), nullptr, false);
    ASSERT_FALSE(job.is_discarded());
    EXPECT_EQ(job["job_id"], folder.substr(4));
    EXPECT_EQ(job["interrupted"], true);
    EXPECT_EQ(job["outcome"], "success");
    EXPECT_EQ(job["data"]["finished"], true);
    EXPECT_NE(Slurp(tmp_ / "defaults.out").find("collecting until Ctrl-C"), std::string::npos);
}

TEST_F(OruHostEndToEnd, ADeviceWithoutAServerIsAConnectionFailure) {
    Result r =
        OruHost({"profile", "--device", "7", "--job-id", "e2e-3", "--out",
                 (tmp_ / "nodevice").string(), "--duration", "1", "--sys", "--reply-timeout", "5"},
                "nodevice");
    EXPECT_EQ(r.code, 4);
    EXPECT_NE(r.out.find("cannot connect to device 7"), std::string::npos) << r.out;
}

}  // namespace
