// What the harness programs share: their result rows and the JSON file they
// write, a private simulator folder, the daemon as a child process, and what
// /proc tells about it.
//
// A harness runs `oru` from this build against the simulated card and plays
// the host in its own process, through the host library. It is a program,
// not a test: every figure it reports comes with a baseline measured in the
// same run, since the machines it runs on are shared and noisy.
#ifndef ORU_BENCH_HARNESS_H
#define ORU_BENCH_HARNESS_H

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#include "testing/build_paths.h"

#include <dirent.h>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_rows.h"
#include "common/oru_paths.h"
#include "testing/host_job.h"
#include "tools/host/profiling_client.h"

namespace oru_bench {

using Row = oru::bench::BenchRow;

// Prints the rows and writes them to --json FILE when given. The exit status
// of the program: 0 when every row was measured (whether or not it met its
// goal), 1 when one was not or the file cannot be written.
inline int ReportRows(int argc, char** argv, const std::vector<Row>& rows) {
    bool measured = true;
    auto text = [](std::optional<double> v) {
        char buf[32] = "-";
        if (v.has_value() && std::isfinite(*v)) {
            std::snprintf(buf, sizeof(buf), "%.4g", *v);
        }
        return std::string(buf);
    };
    for (const Row& r : rows) {
        measured = measured && std::isfinite(r.oru);
        std::printf("%-20s oru %-10s baseline %-10s %-22s ratio %-8s goal %s: %s (%s)\n",
                    r.row.c_str(), text(r.oru).c_str(), text(r.baseline).c_str(), r.unit.c_str(),
                    text(r.ratio).c_str(), r.goal.c_str(),
                    r.pass.has_value() ? (*r.pass ? "pass" : "FAIL") : "-", r.note.c_str());
    }
    std::string path = oru::bench::TakeJsonOption(argc, argv);
    if (!path.empty() && !oru::bench::WriteBenchRows(path, rows)) {
        return 1;
    }
    return measured ? 0 : 1;
}

// A row that could not be measured: no figures (written as null), the
// reason as note.
inline Row Unmeasured(const std::string& row, const std::string& unit, const std::string& goal,
                      const std::string& why) {
    return Row{row,          std::nan(""), std::nullopt, unit,
               std::nullopt, goal,         std::nullopt, "not measured: " + why};
}

inline double Percentile(std::vector<double> values, double fraction) {
    if (values.empty()) {
        return std::nan("");
    }
    std::sort(values.begin(), values.end());
    size_t index = static_cast<size_t>(std::ceil(fraction * values.size()));
    return values[std::min(values.size() - 1, index == 0 ? 0 : index - 1)];
}

inline double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A private folder under /tmp (short, for the simulator's socket paths),
// removed with everything in it when destroyed (kept, and named on standard
// error, when ORU_BENCH_KEEP is set).
class ScratchDir {
  public:
    ScratchDir() {
        char pattern[] = "/tmp/oru-bench-XXXXXX";
        if (mkdtemp(pattern) != nullptr) {
            path_ = pattern;
        }
    }
    ~ScratchDir() {
        if (std::getenv("ORU_BENCH_KEEP") != nullptr) {
            std::fprintf(stderr, "kept %s\n", path_.c_str());
        } else if (!path_.empty()) {
            std::error_code ec;
            std::filesystem::remove_all(path_, ec);
        }
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    bool Ok() const { return !path_.empty(); }
    const std::string& Path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// Points this process's simulated card at the scratch folder with `devices`
// devices. Must come before the first call into the simulator.
inline void UseSimulator(const ScratchDir& dir, int devices) {
    setenv("OSTREL_SIM_DIR", dir.File("sim").c_str(), 1);
    setenv("OSTREL_SIM_DEVICES", std::to_string(devices).c_str(), 1);
}

// The daemon's log level: ORU_BENCH_LOG_LEVEL, warning by default.
inline const char* LogLevel() {
    const char* level = std::getenv("ORU_BENCH_LOG_LEVEL");
    return level != nullptr ? level : "warning";
}

// The daemon of this build as a child, sharing the scratch folder's
// simulator; extraEnv adds simulator settings. Its log goes to oru.log.
// ORU_BENCH_DAEMON_PREFIX, when set, holds words run before the daemon's
// program, the first a full path (a profiler: "/usr/bin/valgrind
// --tool=callgrind --callgrind-out-file=F");
// its figures then measure the profiler too.
inline std::unique_ptr<oru_testing::Child> StartDaemon(const ScratchDir& dir, int devices,
                                                       const std::vector<std::string>& extraEnv) {
    std::vector<std::string> env = {"OSTREL_SIM_DIR=" + dir.File("sim")};
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    const char* prefix = std::getenv("ORU_BENCH_DAEMON_PREFIX");
    if (prefix == nullptr || *prefix == '\0') {
        return oru_testing::StartOru(oru_testing::BinDir(), dir.Path(), devices, LogLevel(), env);
    }
    std::vector<std::string> args;
    std::istringstream words(prefix);
    for (std::string word; words >> word;) {
        args.push_back(word);
    }
    args.push_back(oru_testing::BinDir() + "/oru");
    env.push_back("OSTREL_LOG_FILE=" + dir.File("oru.log"));
    env.push_back("OSTREL_SIM_DEVICES=" + std::to_string(devices));
    env.push_back(std::string("OSTREL_LOG_LEVEL=") + LogLevel());
    return std::make_unique<oru_testing::Child>(args, env, dir.File("oru.out"));
}

// The simulated application-monitor service at the daemon's socket, so that
// the daemon registers and sends its heartbeats as on a card.
inline std::unique_ptr<oru_testing::Child> StartMonitor(const ScratchDir& dir) {
    std::filesystem::create_directories(
        std::filesystem::path(analysis::orbx::common::kAppmonSocket).parent_path());
    return std::make_unique<oru_testing::Child>(
        std::vector<std::string>{oru_testing::BinDir() + "/ostrel-sim-monitor", "--socket",
                                 analysis::orbx::common::kAppmonSocket},
        std::vector<std::string>{}, dir.File("monitor.out"));
}

using oru_testing::OpenControl;
using oru_testing::OpenData;

// A host client with the control and data channels of one job on device 0;
// ctrl and data are both set only when both opened.
struct JobChannels {
    std::shared_ptr<analysis::orbx::host::HostClient> client;
    std::unique_ptr<analysis::orbx::host::ControlChannel> ctrl;
    std::unique_ptr<analysis::orbx::host::DataChannel> data;
};

inline JobChannels OpenJob(const analysis::orbx::host::Handshake& hs) {
    JobChannels job;
    job.client = analysis::orbx::host::HostClient::Create();
    job.ctrl = job.client != nullptr ? OpenControl(*job.client, hs) : nullptr;
    job.data = job.ctrl != nullptr ? OpenData(*job.client, hs) : nullptr;
    if (job.data == nullptr) {
        job.ctrl.reset();
    }
    return job;
}

// Kills a process when a deadline passes first, so that a harness whose
// daemon stalls ends (its host reads then fail) instead of hanging.
class Watchdog {
  public:
    Watchdog(pid_t pid, std::chrono::seconds limit)
        : thread_([this, pid, limit] {
              std::unique_lock<std::mutex> lock(mutex_);
              if (!cv_.wait_for(lock, limit, [this] { return done_; })) {
                  std::fprintf(stderr, "time limit reached, stopping the daemon\n");
                  kill(pid, SIGKILL);
              }
          }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

  private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool done_ = false;  // guarded by mutex_
    std::thread thread_;
};

// What /proc tells about a process.
struct ProcUsage {
    double cpuSeconds = 0;  // user + system, all threads, living and ended
    double rssMiB = 0;      // resident now
    double peakRssMiB = 0;  // highest resident
    int threads = 0;
    bool ok = false;
};

inline ProcUsage ReadUsage(pid_t pid) {
    ProcUsage usage;
    std::string dir = "/proc/" + std::to_string(pid);
    std::string stat = oru_testing::ReadText(dir + "/stat");
    size_t close = stat.rfind(')');
    if (close == std::string::npos) {
        return usage;
    }
    // Fields after the command: state is field 3, utime 14, stime 15.
    std::istringstream fields(stat.substr(close + 2));
    std::vector<std::string> values;
    for (std::string v; fields >> v;) {
        values.push_back(v);
    }
    if (values.size() < 13) {
        return usage;
    }
    double ticks = std::stod(values[11]) + std::stod(values[12]);
    usage.cpuSeconds = ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
    std::istringstream status(oru_testing::ReadText(dir + "/status"));
    for (std::string line; std::getline(status, line);) {
        auto field = [&line](const char* name) {
            return line.rfind(name, 0) == 0 ? std::stod(line.substr(std::strlen(name))) : -1.0;
        };
        if (double v = field("VmRSS:"); v >= 0) {
            usage.rssMiB = v / 1024.0;
        } else if (double hwm = field("VmHWM:"); hwm >= 0) {
            usage.peakRssMiB = hwm / 1024.0;
        } else if (double n = field("Threads:"); n >= 0) {
            usage.threads = static_cast<int>(n);
        }
    }
    usage.ok = true;
    return usage;
}

// CPU time of the living threads of a process in nanoseconds, from the
// scheduler's own accounting (finer than the clock ticks of /proc/PID/stat);
// -1 when the kernel does not keep it.
inline double SchedulerCpuNs(pid_t pid) {
    std::string taskDir = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = opendir(taskDir.c_str());
    if (dir == nullptr) {
        return -1;
    }
    double total = 0;
    bool any = false;
    while (struct dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') {
            continue;
        }
        std::istringstream in(oru_testing::ReadText(taskDir + "/" + entry->d_name + "/schedstat"));
        double runNs = 0;
        if (in >> runNs) {
            total += runNs;
            any = true;
        }
    }
    closedir(dir);
    return any ? total : -1;
}

}  // namespace oru_bench

#endif  // ORU_BENCH_HARNESS_H
