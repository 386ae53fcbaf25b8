// oru-host against the daemon on the simulated card: a profiling job with
// system, process and cache-counter collection, its report, and a container
// that the device refuses. Runs the real executables as child processes.
#include "oru_build_paths.h"
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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
#include "common/test_emulator.h"
#include "tools/host/profiling_client.h"

namespace {

namespace fs = std::filesystem;

std::string Slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Starts argv[0] with standard output and error into files, in folder cwd
// when given; the child's pid.
pid_t Spawn(const std::vector<std::string>& argv, const fs::path& out, const fs::path& err,
            const fs::path& cwd = {}) {
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) {
            _exit(127);
        }
        int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (o < 0 || e < 0 || dup2(o, STDOUT_FILENO) < 0 || dup2(e, STDERR_FILENO) < 0) {
            _exit(127);
        }
        std::vector<char*> args;
        for (const std::string& a : argv) {
            args.push_back(const_cast<char*>(a.c_str()));
        }
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    return pid;
}

int Wait(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) {
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void Stop(pid_t pid) {
    if (pid > 0) {
        kill(pid, SIGTERM);
        Wait(pid);
    }
}

struct Result {
    int code;
    std::string out;
    std::string err;
};

class OruHostEndToEnd : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        tmp_ = fs::path(ORU_TEST_TMP_DIR);
        fs::remove_all(tmp_);
        fs::create_directories(tmp_);
        const char* simDir = std::getenv("OSTREL_SIM_DIR");
        ASSERT_NE(simDir, nullptr) << "the test runs with its own OSTREL_SIM_DIR";
        // Two devices on the card, for the jobs on several devices; the
        // daemon and every oru-host started here see them.
        setenv("OSTREL_SIM_DEVICES", "2", 1);
        fs::remove_all(simDir);
        fs::create_directories(fs::path(analysis::orbx::common::kAppmonSocket).parent_path());
        monitor_ = Spawn({std::string(ORU_BIN_DIR) + "/ostrel-sim-monitor", "--socket",
                          analysis::orbx::common::kAppmonSocket},
                         tmp_ / "monitor.out", tmp_ / "monitor.err");
        setenv("OSTREL_LOG_FILE", (tmp_ / "oru.log").c_str(), 1);
        daemon_ = Spawn({std::string(ORU_BIN_DIR) + "/oru"}, tmp_ / "oru.out", tmp_ / "oru.err");
        unsetenv("OSTREL_LOG_FILE");
        // The daemon is ready once its device server listens.
        for (int i = 0; i < 1000 && !(ServerListening(simDir, 0) && ServerListening(simDir, 1));
             ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_TRUE(ServerListening(simDir, 0) && ServerListening(simDir, 1))
            << Slurp(tmp_ / "oru.log");
        ASSERT_EQ(kill(daemon_, 0), 0) << "oru ended: " << Slurp(tmp_ / "oru.out");
    }

    static void TearDownTestSuite() {
        Stop(daemon_);
        Stop(monitor_);
        unsetenv("OSTREL_SIM_DEVICES");
    }

    // True while a thread of the daemon has this name.
    static bool DaemonThreadRuns(const std::string& name) {
        std::error_code ec;
        fs::path tasks = "/proc/" + std::to_string(daemon_) + "/task";
        for (const auto& e : fs::directory_iterator(tasks, ec)) {
            std::string comm = Slurp(e.path() / "comm");
            if (comm == name + "\n") {
                return true;
            }
        }
        return false;
    }

    static bool ServerListening(const char* simDir, int device) {
        std::error_code ec;
        std::string prefix = "hdc-" + std::to_string(device) + "-";
        for (const auto& e : fs::directory_iterator(simDir, ec)) {
            if (e.path().filename().string().rfind(prefix, 0) == 0) {
                return true;
            }
        }
        return false;
    }

    static Result OruHost(const std::vector<std::string>& args, const std::string& name) {
        std::vector<std::string> argv = {std::string(ORU_BIN_DIR) + "/oru-host"};
        argv.insert(argv.end(), args.begin(), args.end());
        fs::path out = tmp_ / (name + ".out");
        fs::path err = tmp_ / (name + ".err");
        int code = Wait(Spawn(argv, out, err));
        return {code, Slurp(out), Slurp(err)};
    }

    static inline fs::path tmp_;
    static inline pid_t monitor_ = -1;
    static inline pid_t daemon_ = -1;
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
    ASSERT_EQ(profile.code, 0) << profile.err << Slurp(tmp_ / "oru.log");
    // Not a terminal: no progress line.
    EXPECT_EQ(profile.err.find('\r'), std::string::npos);

    std::string pid = std::to_string(daemon_);
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
    ASSERT_EQ(report.code, 0) << report.err;
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
    EXPECT_EQ(again.code, 0) << again.err;
}

TEST_F(OruHostEndToEnd, AContainerIsRefusedInWords) {
    Result r = OruHost({"profile", "--device", "0", "--job-id", "e2e-2", "--out",
                        (tmp_ / "container").string(), "--duration", "1", "--sys", "--vfid", "5"},
                       "container");
    EXPECT_EQ(r.code, 3);
    EXPECT_NE(r.err.find("does not accept profiling from a container"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("retrying"), std::string::npos) << r.err;
    nlohmann::json job = nlohmann::json::parse(Slurp(tmp_ / "container/job.json"), nullptr, false);
    EXPECT_EQ(job["outcome"], "refused");
    EXPECT_EQ(job["replies"][0]["message"], "MESSAGE_CONTAINER_NO_SUPPORT");
}

// A job still holding the device's control session makes the device refuse
// the next control handshake; oru-host waits for it within its bound.
TEST_F(OruHostEndToEnd, ABusyDeviceIsWaitedForThenExplained) {
    using namespace analysis::orbx;
    auto client = host::HostClient::Create();
    ASSERT_NE(client, nullptr);
    std::unique_ptr<host::ControlChannel> holder;
    proto::Response reply;
    ASSERT_EQ(host::ControlChannel::Open(*client, {0, 0}, {"holder", 0, ""}, &holder, &reply),
              host::kRecvOk);
    ASSERT_EQ(reply.status(), proto::SUCCESS) << reply.message();

    // Still held when the wait is over: the device's answer, in words.
    Result busy =
        OruHost({"profile", "--device", "0", "--job-id", "e2e-busy", "--out",
                 (tmp_ / "busy").string(), "--duration", "0.3", "--sys", "--handshake-wait", "0.6"},
                "busy");
    EXPECT_EQ(busy.code, 3) << busy.err;
    EXPECT_NE(busy.err.find("another job still holds device 0 in the default mode"),
              std::string::npos)
        << busy.err;
    EXPECT_NE(busy.err.find("retrying for up to 0.6 s"), std::string::npos) << busy.err;
    EXPECT_NE(busy.err.find("still refused after"), std::string::npos) << busy.err;

    // Released while oru-host waits: the run goes ahead.
    pid_t waiting = Spawn(
        {std::string(ORU_BIN_DIR) + "/oru-host", "profile", "--device", "0", "--job-id", "e2e-wait",
         "--out", (tmp_ / "wait").string(), "--duration", "0.3", "--sys", "--handshake-wait", "20"},
        tmp_ / "wait.out", tmp_ / "wait.err");
    bool announced = false;
    for (int i = 0; i < 1000 && !announced; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        announced = Slurp(tmp_ / "wait.err").find("retrying") != std::string::npos;
    }
    EXPECT_TRUE(announced) << "oru-host did not say it waits: " << Slurp(tmp_ / "wait.err");
    holder.reset();
    EXPECT_EQ(Wait(waiting), 0) << Slurp(tmp_ / "wait.err");
    std::string err = Slurp(tmp_ / "wait.err");
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;

    // The user's case: a refused job start, then at once the next job.
    std::ofstream(tmp_ / "bad.json") << "{not json";
    Result refused = OruHost(
        {"profile", "--device", "0", "--job-id", "e2e-bad", "--out", (tmp_ / "bad").string(),
         "--duration", "0.3", "--config", (tmp_ / "bad.json").string()},
        "bad");
    EXPECT_EQ(refused.code, 3) << refused.err;
    Result next = OruHost({"profile", "--device", "0", "--job-id", "e2e-next", "--out",
                           (tmp_ / "next").string(), "--duration", "0.3", "--sys"},
                          "next");
    EXPECT_EQ(next.code, 0) << next.err;
}

// Only what to collect is given: the job id is the time, the folder is named
// after it, and the job runs until Ctrl-C, which stops it cleanly.
TEST_F(OruHostEndToEnd, WithoutIdFolderOrDurationTheJobRunsUntilCtrlC) {
    fs::path cwd = tmp_ / "defaults";
    fs::create_directories(cwd);
    pid_t child =
        Spawn({std::string(ORU_BIN_DIR) + "/oru-host", "profile", "--sys", "--interval", "100"},
              tmp_ / "defaults.out", tmp_ / "defaults.err", cwd);
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
    ASSERT_FALSE(run.empty()) << "no data arrived: " << Slurp(tmp_ / "defaults.err");
    ASSERT_EQ(kill(child, SIGINT), 0);
    EXPECT_EQ(Wait(child), 0) << Slurp(tmp_ / "defaults.err");
    std::string folder = run.filename().string();
    ASSERT_EQ(folder.rfind("oru-", 0), 0u) << folder;
    nlohmann::json job = nlohmann::json::parse(Slurp(run / "job.json"), nullptr, false);
    ASSERT_FALSE(job.is_discarded());
    EXPECT_EQ(job["job_id"], folder.substr(4));
    EXPECT_EQ(job["interrupted"], true);
    EXPECT_EQ(job["outcome"], "success");
    EXPECT_EQ(job["data"]["finished"], true);
    EXPECT_NE(Slurp(tmp_ / "defaults.err").find("collecting until Ctrl-C"), std::string::npos);
}

// System and process sampling run once per card: while a job on device 0
// holds them, a job on device 1 gets nothing from them, and says so.
TEST_F(OruHostEndToEnd, ACardWideCollectionHeldByAnotherDeviceIsReported) {
    fs::path held = tmp_ / "held";
    pid_t holder = Spawn({std::string(ORU_BIN_DIR) + "/oru-host", "profile", "--device", "0",
                          "--job-id", "e2e-held", "--out", held.string(), "--sys", "--pid"},
                         tmp_ / "held.out", tmp_ / "held.err");
    // The daemon's timer thread runs once the holder's sampling has started.
    bool sampling = false;
    for (int i = 0; i < 1000 && !sampling; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        sampling = DaemonThreadRuns("KTRX_ProfTimer");
    }
    ASSERT_TRUE(sampling) << Slurp(tmp_ / "held.err");
    fs::path second = tmp_ / "second";
    Result r = OruHost({"profile", "--device", "1", "--job-id", "e2e-second", "--out",
                        second.string(), "--duration", "0.5", "--sys", "--pid", "--llc", "read"},
                       "second");
    ASSERT_EQ(kill(holder, SIGINT), 0);
    EXPECT_EQ(Wait(holder), 0) << Slurp(tmp_ / "held.err");
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("done"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("; sent nothing: sys, pid\n"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("device 1: sys asked for but sent nothing"), std::string::npos) << r.err;
    nlohmann::json job = nlohmann::json::parse(Slurp(second / "job.json"), nullptr, false);
    ASSERT_EQ(job["collections"].size(), 3u) << job.dump(2);
    EXPECT_EQ(job["collections"][0]["sent_data"], false);
    EXPECT_NE(job["collections"][0]["missing"].get<std::string>().find("another device"),
              std::string::npos);
    EXPECT_EQ(job["collections"][2]["name"], "llc");
    EXPECT_EQ(job["collections"][2]["sent_data"], true) << job.dump(2);
    Result report = OruHost({"report", second.string()}, "second-report");
    EXPECT_EQ(report.code, 0) << report.err;
    EXPECT_NE(report.out.find("Sent nothing sys: asked for but sent nothing"), std::string::npos)
        << report.out;
    EXPECT_NE(report.out.find("counter records"), std::string::npos) << report.out;
}

// A device list whose only collections are card-wide: asked of the first
// device, written into its folder, reported and exported from the list's
// folder; the other device has nothing to do and is said to be skipped.
TEST_F(OruHostEndToEnd, ADeviceListAsksCardWideCollectionsOfTheFirstDevice) {
    fs::path run = tmp_ / "list";
    Result r = OruHost({"profile", "--device", "1,0", "--job-id", "e2e-list", "--out", run.string(),
                        "--duration", "0.5", "--sys"},
                       "list");
    ASSERT_EQ(r.code, 0) << r.err << r.out;
    EXPECT_NE(r.out.find("job e2e-list on devices 1,0: device 1 done"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("device 0 skipped (nothing to collect there: card-wide collections "
                         "are asked of device 1)"),
              std::string::npos)
        << r.out;
    EXPECT_GT(fs::file_size(run / "dev1/data/SystemCpuUsage.data"), 0u);
    EXPECT_FALSE(fs::exists(run / "dev0"));

    Result report = OruHost({"report", run.string()}, "list-report");
    ASSERT_EQ(report.code, 0) << report.err;
    EXPECT_NE(Slurp(run / "report.html").find("<section id=\"dev1\">"), std::string::npos);
    EXPECT_TRUE(fs::exists(run / "dev1/system.csv"));
    Result trace = OruHost({"export", run.string()}, "list-export");
    ASSERT_EQ(trace.code, 0) << trace.err;
    nlohmann::json t = nlohmann::json::parse(Slurp(run / "trace.json"), nullptr, false);
    ASSERT_FALSE(t.is_discarded());
    ASSERT_FALSE(t["traceEvents"].empty());
    for (const auto& e : t["traceEvents"]) {
        EXPECT_EQ(e["pid"], 1) << e.dump();
    }
}

// One job id on every device at once: card-wide collections on the first,
// the cache channel on each; one report page and one trace for all.
TEST_F(OruHostEndToEnd, AllDevicesRunAtOnceIntoAFolderEach) {
    fs::path run = tmp_ / "all";
    Result r = OruHost({"profile", "--device", "all", "--job-id", "e2e-all", "--out", run.string(),
                        "--duration", "1", "--sys", "--llc", "read"},
                       "all");
    ASSERT_EQ(r.code, 0) << r.err << r.out;
    EXPECT_NE(r.out.find("job e2e-all on devices 0,1: device 0 done"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("; device 1 done"), std::string::npos) << r.out;
    EXPECT_GT(fs::file_size(run / "dev0/data/SystemCpuUsage.data"), 0u);
    EXPECT_FALSE(fs::exists(run / "dev1/data/SystemCpuUsage.data"));
    for (const char* dev : {"dev0", "dev1"}) {
        EXPECT_GT(fs::file_size(run / dev / "data/llc.data"), 0u) << dev;
        nlohmann::json job = nlohmann::json::parse(Slurp(run / dev / "job.json"), nullptr, false);
        EXPECT_EQ(job["job_id"], "e2e-all") << dev;
        EXPECT_EQ(job["outcome"], "success") << dev;
    }
    nlohmann::json job1 = nlohmann::json::parse(Slurp(run / "dev1/job.json"), nullptr, false);
    EXPECT_EQ(job1["card_wide_collections_on_device"], 0);

    Result report = OruHost({"report", run.string()}, "all-report");
    ASSERT_EQ(report.code, 0) << report.err;
    std::string page = Slurp(run / "report.html");
    EXPECT_NE(page.find("<section id=\"dev0\">"), std::string::npos);
    EXPECT_NE(page.find("<section id=\"dev1\">"), std::string::npos);
    EXPECT_NE(page.find("Card-wide collections (system, processes, control CPU) were asked of "
                        "device 0"),
              std::string::npos);

    Result trace = OruHost({"export", run.string()}, "all-export");
    ASSERT_EQ(trace.code, 0) << trace.err;
    nlohmann::json t = nlohmann::json::parse(Slurp(run / "trace.json"), nullptr, false);
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
    EXPECT_NE(r.err.find("cannot connect to device 7"), std::string::npos) << r.err;
}

}  // namespace
