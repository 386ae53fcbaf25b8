// The oru-host and oru executables as child processes, on a simulated card of two devices: a
// job with every collection and its report, refusals in words, a busy device, a device list,
// card-wide collections held by another device's job, and a run until Ctrl-C.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>
#include "testing/build_paths.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
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
using oru_testing::ReadText;

// An oru-host run: its exit code, its standard output then error, and its standard error.
struct Result {
    int code;
    std::string out;
    std::string err;
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
        setenv("OSTREL_SIM_DEVICES", "2", 1);
        fs::remove_all(simDir);
        fs::create_directories(fs::path(analysis::orbx::common::kAppmonSocket).parent_path());
        monitor_ = std::make_unique<Child>(
            std::vector<std::string>{oru_testing::BinDir() + "/ostrel-sim-monitor", "--socket",
                                     analysis::orbx::common::kAppmonSocket},
            std::vector<std::string>{}, tmp_ / "monitor.out");
        daemon_ = oru_testing::StartOru(oru_testing::BinDir(), tmp_, 2, "");
        // The daemon is ready once its device servers listen.
        ASSERT_TRUE(oru_testing::WaitUntil(
            [simDir] { return ServerListening(simDir, 0) && ServerListening(simDir, 1); },
            std::chrono::seconds(10)))
            << ReadText(tmp_ / "oru.log");
        ASSERT_TRUE(daemon_->Running()) << "oru ended: " << ReadText(tmp_ / "oru.out");
    }

    static void TearDownTestSuite() {
        daemon_.reset();
        monitor_.reset();
        unsetenv("OSTREL_SIM_DEVICES");
    }

    static bool ServerListening(const char* simDir, int device) {
        std::error_code ec;
        const std::string prefix = "hdc-" + std::to_string(device) + "-";
        for (const auto& e : fs::directory_iterator(simDir, ec)) {
            if (e.path().filename().string().rfind(prefix, 0) == 0) {
                return true;
            }
        }
        return false;
    }

    // oru-host with args as a child whose standard error goes to name.err.
    static std::unique_ptr<Child> StartOruHost(const std::vector<std::string>& args,
                                               const std::string& name) {
        std::vector<std::string> argv = {
            "/bin/sh", "-c", "exec \"$0\" \"$@\" 2>'" + (tmp_ / (name + ".err")).string() + "'",
            kOruHost};
        argv.insert(argv.end(), args.begin(), args.end());
        return std::make_unique<Child>(argv, std::vector<std::string>{}, tmp_ / (name + ".out"));
    }

    // The run's result once it ended, within 30 s; else it is killed, and the test fails.
    static Result Finished(Child& child, const std::string& name) {
        const bool ended =
            oru_testing::WaitUntil([&] { return !child.Running(); }, std::chrono::seconds(30));
        EXPECT_TRUE(ended) << "oru-host " << name << " did not end within 30 s";
        int code = ended ? child.Wait() : (child.Kill(SIGKILL), -1);
        std::string err = ReadText(tmp_ / (name + ".err"));
        return {code, ReadText(tmp_ / (name + ".out")) + err, err};
    }

    static Result OruHost(const std::vector<std::string>& args, const std::string& name) {
        return Finished(*StartOruHost(args, name), name);
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
    std::vector<std::string> args = {"profile", "--device",   "0",          "--job-id", "e2e-1",
                                     "--out",   run.string(), "--duration", "2",        "--sys",
                                     "--pid",   "--interval", "100",        "--llc",    "read"};
    // The control-CPU recording too where the device script can run (it needs sudo): the
    // script's own text must be read whole by the report.
    const bool ctrlCpu = std::system("sudo -n true >/dev/null 2>&1") == 0;
    if (ctrlCpu) {
        args.insert(args.end(), {"--ctrl-cpu", "0x11"});
    } else {
        std::printf("NOTE: sudo needs a password here: no control-CPU recording in this run\n");
    }
    Result profile = OruHost(args, "profile");
    ASSERT_EQ(profile.code, 0) << profile.out << ReadText(tmp_ / "oru.log");
    EXPECT_EQ(profile.out.find('\r'), std::string::npos) << "a progress line, not on a terminal";

    std::string pid = std::to_string(daemon_->Pid());
    for (const std::string& f :
         {std::string("data/SystemCpuUsage.data"), std::string("data/Memory.data"),
          "data/" + pid + "-CpuUsage.data", "data/" + pid + "-Memory.data"}) {
        EXPECT_TRUE(fs::is_regular_file(run / f)) << f;
        EXPECT_GT(fs::file_size(run / f), 0u) << f;
    }

    nlohmann::json job = nlohmann::json::parse(ReadText(run / "job.json"), nullptr, false);
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
    // The cache channel's records, counted in the simulated driver's 48-byte layout, and charted.
    const uint64_t llcBytes = job["data"]["files"]["data/llc.data"]["bytes"].get<uint64_t>();
    ASSERT_GT(llcBytes, 0u);
    EXPECT_NE(report.out.find(", " + std::to_string(llcBytes / 48) + " counter records over"),
              std::string::npos)
        << report.out;
    EXPECT_NE(ReadText(run / "report.html").find("Bytes received over time from data/llc.data"),
              std::string::npos);
    if (ctrlCpu) {
        EXPECT_GT(fs::file_size(run / "data/ai_ctrl_cpu.data"), 0u);
        EXPECT_NE(report.out.find("\nControl CPU "), std::string::npos) << report.out;
        EXPECT_NE(report.out.find(" r11 "), std::string::npos) << report.out;
    }

    auto system = Csv(ReadText(run / "system.csv"));
    size_t intervals = 0;
    for (size_t i = 1; i < system.size(); ++i) {
        if (!system[i][2].empty()) {
            double busy = std::stod(system[i][2]);
            EXPECT_GE(busy, 0.0);
            EXPECT_LE(busy, 100.0);
            ++intervals;
        }
    }
    EXPECT_GE(intervals, 5u) << "sampled every 100 ms for two seconds";

    auto processes = Csv(ReadText(run / "processes.csv"));
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
    nlohmann::json job =
        nlohmann::json::parse(ReadText(tmp_ / "container/job.json"), nullptr, false);
    EXPECT_EQ(job["outcome"], "refused");
    EXPECT_EQ(job["replies"][0]["message"], "MESSAGE_CONTAINER_NO_SUPPORT");
    EXPECT_EQ(job["replies"].size(), 1u) << "more was sent after the refusal";
}

// A job holding device 0 in a mode makes it refuse the next handshake in that mode: oru-host
// waits within its bound, says once why, then fails with the device's reason in words; the
// worst device's code is the run's.
TEST_F(OruHostEndToEnd, ABusyDeviceIsWaitedForThenExplained) {
    using namespace analysis::orbx;
    auto client = host::HostClient::Create();
    ASSERT_NE(client, nullptr);
    std::unique_ptr<host::ControlChannel> holder =
        oru_testing::OpenControl(*client, {"holder", 0, "def_mode"});
    ASSERT_NE(holder, nullptr) << "the holder's control session was not accepted";

    // Still held when the wait is over; device 1 is free and runs.
    Result busy = OruHost(
        {"profile", "--device", "0,1", "--job-id", "e2e-busy", "--out", (tmp_ / "busy").string(),
         "--duration", "0.3", "--llc", "read", "--mode", "def_mode", "--handshake-wait", "0.6"},
        "busy");
    EXPECT_EQ(busy.code, 3) << busy.out;
    EXPECT_NE(busy.err.find("oru-host: device 0 refused the control session: another job still "
                            "holds device 0 in mode \"def_mode\""),
              std::string::npos)
        << busy.err;
    EXPECT_NE(busy.err.find("; retrying for up to 0.6 s"), std::string::npos) << busy.err;
    EXPECT_NE(busy.err.find("(still refused after"), std::string::npos) << busy.err;
    EXPECT_EQ(busy.err.find("retrying", busy.err.find("retrying") + 1), std::string::npos)
        << "said more than once: " << busy.err;
    EXPECT_NE(busy.out.find("job e2e-busy on devices 0,1: device 0 refused"), std::string::npos)
        << busy.out;
    EXPECT_NE(busy.out.find("; device 1 done"), std::string::npos) << busy.out;

    // Released while oru-host waits: the run goes ahead, with one line said.
    auto waiting =
        StartOruHost({"profile", "--job-id", "e2e-wait", "--out", (tmp_ / "wait").string(),
                      "--duration", "0.3", "--sys", "--mode", "def_mode", "--handshake-wait", "20"},
                     "wait");
    EXPECT_TRUE(oru_testing::WaitUntil(
        [&] { return ReadText(tmp_ / "wait.err").find("retrying") != std::string::npos; },
        std::chrono::seconds(10)))
        << "oru-host did not say it waits: " << ReadText(tmp_ / "wait.err");
    holder.reset();
    Result waited = Finished(*waiting, "wait");
    EXPECT_EQ(waited.code, 0) << waited.out;
    EXPECT_EQ(std::count(waited.err.begin(), waited.err.end(), '\n'), 1) << waited.err;

    // A refused job start, then at once the next job on the same device.
    std::ofstream(tmp_ / "bad.json") << "{not json";
    Result refused = OruHost({"profile", "--job-id", "e2e-bad", "--out", (tmp_ / "bad").string(),
                              "--duration", "0.3", "--config", (tmp_ / "bad.json").string()},
                             "bad");
    EXPECT_EQ(refused.code, 3) << refused.out;
    EXPECT_NE(refused.err.find("oru-host: device 0 refused the job start: "), std::string::npos)
        << refused.err;
    EXPECT_EQ(refused.err.find("\"status\""), std::string::npos) << "raw JSON: " << refused.err;
    Result next = OruHost({"profile", "--job-id", "e2e-next", "--out", (tmp_ / "next").string(),
                           "--duration", "0.3", "--sys"},
                          "next");
    EXPECT_EQ(next.code, 0) << next.out;
}

// Only what to collect is given: the job id is the time, the folder is named after it, and the
// job runs until Ctrl-C. While it holds the card's system and process sampling, a job on
// device 1 gets nothing from them, and says so and why.
TEST_F(OruHostEndToEnd, ARunUntilCtrlCHoldsTheCardWideCollectionsAndAnotherDeviceIsTold) {
    fs::path cwd = tmp_ / "defaults";
    fs::create_directories(cwd);
    Child child(
        {"/bin/sh", "-c",
         "cd " + cwd.string() + " && exec " + kOruHost + " profile --sys --pid --interval 100"},
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
    ASSERT_FALSE(run.empty()) << "no data arrived: " << ReadText(tmp_ / "defaults.out");

    fs::path second = tmp_ / "second";
    Result r = OruHost({"profile", "--device", "1", "--job-id", "e2e-second", "--out",
                        second.string(), "--duration", "0.5", "--sys", "--pid", "--llc", "read"},
                       "second");
    ASSERT_EQ(kill(child.Pid(), SIGINT), 0);
    EXPECT_EQ(Finished(child, "defaults").code, 0) << ReadText(tmp_ / "defaults.out");

    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_NE(r.out.find("job e2e-second on device 1: done"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("; sent nothing: sys, pid (most likely held by a job on another device "
                         "of the same card)\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.err.find("device 1: sys asked for but sent nothing"), std::string::npos) << r.err;
    nlohmann::json job = nlohmann::json::parse(ReadText(second / "job.json"), nullptr, false);
    ASSERT_EQ(job["collections"].size(), 3u) << job.dump(2);
    EXPECT_EQ(job["collections"][0]["sent_data"], false);
    EXPECT_NE(job["collections"][0]["missing"].get<std::string>().find("another device"),
              std::string::npos);
    EXPECT_EQ(job["collections"][2]["name"], "llc");
    EXPECT_EQ(job["collections"][2]["sent_data"], true) << job.dump(2);
    Result report = OruHost({"report", second.string()}, "second-report");
    EXPECT_EQ(report.code, 0) << report.out;
    EXPECT_NE(report.out.find("Sent nothing sys: asked for but sent nothing"), std::string::npos)
        << report.out;

    // The run until Ctrl-C kept all its data.
    std::string folder = run.filename().string();
    ASSERT_EQ(folder.rfind("oru-", 0), 0u) << folder;
    job = nlohmann::json::parse(ReadText(run / "job.json"), nullptr, false);
    ASSERT_FALSE(job.is_discarded());
    EXPECT_EQ(job["job_id"], folder.substr(4));
    EXPECT_EQ(job["interrupted"], true);
    EXPECT_EQ(job["outcome"], "success");
    EXPECT_EQ(job["data"]["finished"], true);
    for (const auto& [name, stats] : job["data"]["files"].items()) {
        EXPECT_EQ(stats["bytes"].get<uint64_t>(), fs::file_size(run / name)) << name;
    }
    EXPECT_NE(ReadText(tmp_ / "defaults.out").find("collecting until Ctrl-C"), std::string::npos);
}

// Every device at once under one job id: card-wide collections on the first, the cache channel
// on each; one report page and one trace for all.
TEST_F(OruHostEndToEnd, AllDevicesRunAtOnceIntoAFolderEach) {
    fs::path run = tmp_ / "all";
    Result r = OruHost({"profile", "--device", "all", "--job-id", "e2e-all", "--out", run.string(),
                        "--duration", "1", "--sys", "--llc", "read"},
                       "all");
    ASSERT_EQ(r.code, 0) << r.out;
    EXPECT_NE(r.out.find("job e2e-all on devices 0,1: device 0 done"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("; device 1 done"), std::string::npos) << r.out;
    EXPECT_GT(fs::file_size(run / "dev0/data/SystemCpuUsage.data"), 0u);
    EXPECT_FALSE(fs::exists(run / "dev1/data/SystemCpuUsage.data"));
    for (const char* dev : {"dev0", "dev1"}) {
        EXPECT_GT(fs::file_size(run / dev / "data/llc.data"), 0u) << dev;
        nlohmann::json job =
            nlohmann::json::parse(ReadText(run / dev / "job.json"), nullptr, false);
        EXPECT_EQ(job["job_id"], "e2e-all") << dev;
        EXPECT_EQ(job["outcome"], "success") << dev;
    }
    nlohmann::json job1 = nlohmann::json::parse(ReadText(run / "dev1/job.json"), nullptr, false);
    EXPECT_EQ(job1["card_wide_collections_on_device"], 0);

    Result report = OruHost({"report", run.string()}, "all-report");
    ASSERT_EQ(report.code, 0) << report.out;
    std::string page = ReadText(run / "report.html");
    for (const char* part :
         {"<section id=\"dev0\">", "<section id=\"dev1\">", "<h2>Summary</h2>",
          "Card-wide collections (system, processes, control CPU) were asked of device 0"}) {
        EXPECT_NE(page.find(part), std::string::npos) << part;
    }
    EXPECT_TRUE(fs::exists(run / "dev0/system.csv"));

    Result trace = OruHost({"export", run.string()}, "all-export");
    ASSERT_EQ(trace.code, 0) << trace.out;
    nlohmann::json t = nlohmann::json::parse(ReadText(run / "trace.json"), nullptr, false);
    ASSERT_FALSE(t.is_discarded());
    std::set<int> pids;
    for (const auto& e : t["traceEvents"]) {
        pids.insert(e["pid"].get<int>());
    }
    EXPECT_EQ(pids, (std::set<int>{0, 1}));
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
