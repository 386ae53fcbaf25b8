// oru-soak: runs rounds of profiling jobs against one daemon on a simulated
// card of four devices and checks that the daemon gives back what each round
// took.
//
//   oru-soak --bin DIR --work DIR [--minutes M]
//
// DIR holds oru and ostrel-sim-monitor. A round runs one job per device in
// turn, then eight jobs at once (two per device, in the modes "def_mode" and
// "system-wide"), every collection on: system CPU and memory, every process,
// last-level-cache counters, and control-CPU recording when sudo runs without
// a password. Before the first round the eight jobs run once, unmeasured, so
// that the daemon makes what it keeps for its whole life (such as the quit
// receiver of the last job of each device and mode, kept until the next job
// of that device and mode replaces it). After each round the daemon's
// open file descriptors and threads must come back to their count before the
// round, and its resident memory to within kRssToleranceKb. Rounds repeat
// until M minutes have passed (M = 0: one round). Exits 0 when every job was
// served and nothing grew, 1 otherwise.
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/oru_paths.h"
#include "testing/host_job.h"
#include "tools/host/profiling_client.h"

namespace {

using namespace analysis::orbx;
using host::Handshake;
using host::HostClient;
using oru_testing::ProcessFigures;
using Clock = std::chrono::steady_clock;

constexpr int kDevices = 4;
constexpr int kConcurrentJobs = 8;
constexpr auto kJobLength = std::chrono::milliseconds(1200);
// Resident memory moves by up to about 1.5 MiB between rounds (allocations
// held for a moment when the round ends); a reader buffer (4 MiB) kept per
// job would exceed this many times over.
constexpr long kRssToleranceKb = 4096;
// A round that takes longer than this is a hang.
constexpr auto kRoundLimit = std::chrono::minutes(5);

struct Options {
    std::string bin;
    std::string work;
    double minutes = 0;
};

bool ParseOptions(int argc, char** argv, Options* o) {
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string key = argv[i];
        if (key == "--bin") {
            o->bin = argv[i + 1];
        } else if (key == "--work") {
            o->work = argv[i + 1];
        } else if (key == "--minutes") {
            o->minutes = std::atof(argv[i + 1]);
        } else {
            return false;
        }
    }
    return argc % 2 == 1 && !o->bin.empty() && !o->work.empty() && o->minutes >= 0;
}

bool Exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

bool SudoWorks(const std::string& work) {
    oru_testing::Child sudo({"/usr/bin/sudo", "-n", "true"}, {}, work + "/sudo.out");
    return sudo.Pid() > 0 && sudo.Wait() == 0;
}

std::string SampleConfig(const std::string& jobId, bool ctrlCpu) {
    std::string c =
        R"({"job_id":")" + jobId +
        R"(","sys_profiling":"on","pid_profiling":"on","cpu_sampling_interval":100,)"
        R"("sys_sampling_interval":100,"pid_sampling_interval":100,)"
        R"("gxprof_llc_profiling":"on","llc_interval":10,"llc_profiling_events":"read")";
    if (ctrlCpu) {
        c += R"(,"aiCtrlCpuProfiling":"on","ai_ctrl_cpu_profiling_events":"0x11,0x8")";
    }
    return c + "}";
}

struct JobResult {
    std::string jobId;
    std::string failure;  // empty when the job was served
    bool replayed = false;
    std::map<std::string, host::CollectedFile> files;
};

// One job from handshake to finish. A handshake refused because the last
// job of the same device and mode is still going away is tried again.
JobResult RunJob(HostClient& client, int dev, const std::string& mode, const std::string& jobId,
                 bool ctrlCpu) {
    JobResult r;
    r.jobId = jobId;
    Handshake hs{jobId, dev, mode};
    proto::Response reply;
    auto ctrl = oru_testing::OpenControl(client, hs, dev);
    if (ctrl == nullptr) {
        r.failure = "control handshake refused";
        return r;
    }
    auto data = oru_testing::OpenData(client, hs, dev);
    if (data == nullptr) {
        r.failure = "data handshake refused";
        return r;
    }
    auto collected = std::async(std::launch::async, [&data] {
        std::map<std::string, host::CollectedFile> files;
        int rc = data->CollectUntilFinish(&files);
        return std::make_pair(rc, std::move(files));
    });
    std::string ctx = host::MakeJobContext(jobId, std::to_string(dev), "soak");
    proto::ReplayStartReq events = oru_testing::LlcEvents();
    if (ctrlCpu) {
        events.add_ctrl_cpu_events("0x11");
        events.add_ctrl_cpu_events("0x8");
    }
    if (ctrl->StartJob(ctx, SampleConfig(jobId, ctrlCpu), &reply) != host::kRecvOk ||
        reply.status() != proto::SUCCESS) {
        r.failure = "job start failed: " + reply.message();
    } else if (ctrl->StartReplay(ctx, events, &reply) != host::kRecvOk) {
        r.failure = "no answer to the replay start";
    } else {
        // A second job of a device may find the device's and the card's
        // jobs taken: its replay is refused and the job reset, so its stops
        // are refused too ("Profiling is not started on device").
        r.replayed = reply.status() == proto::SUCCESS;
        std::this_thread::sleep_for(kJobLength);
        if (ctrl->StopReplay(ctx, &reply) != host::kRecvOk) {
            r.failure = "no answer to the replay stop";
        } else if (r.replayed && reply.status() != proto::SUCCESS) {
            r.failure = "replay stop failed: " + reply.message();
        } else if (ctrl->StopJob(ctx, &reply) != host::kRecvOk) {
            r.failure = "no answer to the job stop";
        } else if (r.replayed && reply.status() != proto::SUCCESS) {
            r.failure = "job stop failed: " + reply.message();
        } else if (!r.replayed) {
            data->Session().Close();  // a reset job sends no finish
        }
    }
    if (!r.failure.empty()) {
        data->Session().Close();  // the finish will not come
    }
    auto result = collected.get();
    if (r.failure.empty() && r.replayed && result.first != host::kRecvOk) {
        r.failure = "data session ended without its finish";
    }
    r.files = std::move(result.second);
    return r;
}

size_t BytesOf(const JobResult& r, const std::string& prefix) {
    size_t n = 0;
    for (const auto& [name, file] : r.files) {
        if (name.rfind(prefix, 0) == 0) {
            n += file.data.size();
        }
    }
    return n;
}

// What a replayed job must have sent: cache counters of its device and, when
// it holds the card's jobs, the system's and the processes' samples. (The
// control-CPU recording ships a piece about once a second, so a short job
// may see none: the round asks it of one job of four.)
std::string CheckData(const JobResult& r, bool holdsCardJobs) {
    std::vector<std::string> wanted = {"data/llc.data"};
    if (holdsCardJobs) {
        wanted.insert(wanted.end(), {"data/SystemCpuUsage.data", "data/Memory.data"});
    }
    for (const std::string& name : wanted) {
        if (BytesOf(r, name) == 0) {
            return "no " + name;
        }
    }
    if (holdsCardJobs && r.files.size() < wanted.size() + 2) {
        return "no process samples";
    }
    return "";
}

struct Soak {
    Options options;
    std::shared_ptr<HostClient> client;
    bool ctrlCpu = false;
    int round = 0;

    // Runs the jobs of one round (without the sequential ones for the
    // warm-up); the number of failures, each printed.
    int RunRound(bool sequential) {
        int failures = 0;
        auto report = [&failures](const JobResult& r, const std::string& problem) {
            if (!problem.empty()) {
                std::printf("  job %s: %s (replay %s, %zu files)\n", r.jobId.c_str(),
                            problem.c_str(), r.replayed ? "started" : "refused", r.files.size());
                ++failures;
            }
        };
        std::string prefix = "soak-r" + std::to_string(round) + "-";
        int ctrlCpuJobs = 0;
        for (int dev = 0; sequential && dev < kDevices; ++dev) {
            JobResult r =
                RunJob(*client, dev, "def_mode", prefix + "s" + std::to_string(dev), ctrlCpu);
            report(r, !r.failure.empty() ? r.failure
                      : !r.replayed      ? "replay start refused"
                                         : CheckData(r, true));
            ctrlCpuJobs += BytesOf(r, "data/ai_ctrl_cpu.data") > 0 ? 1 : 0;
        }
        if (sequential && ctrlCpu && ctrlCpuJobs == 0) {
            std::printf("  none of the sequential jobs sent control-CPU data\n");
            ++failures;
        }
        std::vector<std::future<JobResult>> running;
        for (int i = 0; i < kConcurrentJobs; ++i) {
            running.push_back(std::async(std::launch::async, [this, i, prefix] {
                return RunJob(*client, i % kDevices, i < kDevices ? "def_mode" : "system-wide",
                              prefix + "c" + std::to_string(i), ctrlCpu);
            }));
        }
        std::vector<int> replayedPerDevice(kDevices, 0);
        int llcPerDevice[kDevices] = {};
        int cardJobHolders = 0;
        for (int i = 0; i < kConcurrentJobs; ++i) {
            JobResult r = running[i].get();
            report(r, r.failure);
            if (r.failure.empty() && r.replayed) {
                ++replayedPerDevice[i % kDevices];
                llcPerDevice[i % kDevices] += BytesOf(r, "data/llc.data") > 0 ? 1 : 0;
                cardJobHolders += BytesOf(r, "data/SystemCpuUsage.data") > 0 ? 1 : 0;
            }
        }
        for (int dev = 0; dev < kDevices; ++dev) {
            if (llcPerDevice[dev] != 1) {
                std::printf("  device %d: %d of the concurrent jobs sent cache counters, not 1\n",
                            dev, llcPerDevice[dev]);
                ++failures;
            }
        }
        if (cardJobHolders != 1) {
            std::printf("  %d of the concurrent jobs sent the system's samples, not 1\n",
                        cardJobHolders);
            ++failures;
        }
        return failures;
    }
};

// The daemon's figures once its threads and descriptors have stopped moving
// (workers and sessions of the last jobs end a moment after their replies).
ProcessFigures Settled(pid_t pid, const ProcessFigures* target) {
    ProcessFigures last = oru_testing::FiguresOf(pid);
    int stable = 0;
    for (auto deadline = Clock::now() + std::chrono::seconds(15); Clock::now() < deadline;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ProcessFigures now = oru_testing::FiguresOf(pid);
        bool reached =
            target == nullptr || (now.fds <= target->fds && now.threads <= target->threads);
        stable = (now.fds == last.fds && now.threads == last.threads) ? stable + 1 : 0;
        last = now;
        if (reached && stable >= 5) {
            break;
        }
    }
    return last;
}

}  // namespace

int main(int argc, char** argv) {
    Soak soak;
    if (!ParseOptions(argc, argv, &soak.options)) {
        std::fprintf(stderr, "usage: oru-soak --bin DIR --work DIR [--minutes M]\n");
        return 2;
    }
    const Options& o = soak.options;
    std::string simDir = o.work + "/sim";
    std::string mkdir =
        "mkdir -p '" + simDir + "' '" + std::string(common::kRootPrefix) + "/var/driver'";
    if (std::system(mkdir.c_str()) != 0) {
        std::fprintf(stderr, "soak: cannot create %s\n", simDir.c_str());
        return 1;
    }
    setenv("OSTREL_SIM_DIR", simDir.c_str(), 1);
    setenv("OSTREL_SIM_DEVICES", std::to_string(kDevices).c_str(), 1);

    soak.ctrlCpu = Exists(common::kProfCollectScript) && SudoWorks(o.work);
    std::printf("soak: %d devices, control-CPU recording %s\n", kDevices,
                soak.ctrlCpu ? "on" : "off (sudo needs a password or the script is missing)");
    oru_testing::Child monitor({o.bin + "/ostrel-sim-monitor", "--socket", common::kAppmonSocket},
                               {}, o.work + "/monitor.out");
    for (int i = 0; i < 500 && !Exists(common::kAppmonSocket); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // A fixed mmap threshold keeps the C library from raising it after the
    // first freed 4 MiB reader buffer: large buffers then go back to the
    // system when freed. One allocation arena keeps the library from adding
    // arenas as new threads come, round after round, and no stack cache
    // keeps the stacks of ended threads. The resident memory then shows what
    // is live.
    auto daemon =
        oru_testing::StartOru(o.bin, o.work, 0, "warning",
                              {"GLIBC_TUNABLES=glibc.malloc.mmap_threshold=131072:"
                               "glibc.malloc.arena_max=1:glibc.pthread.stack_cache_size=0"});
    soak.client = HostClient::Create();
    if (daemon->Pid() <= 0 || soak.client == nullptr) {
        std::fprintf(stderr, "soak: cannot start the daemon or a host client\n");
        return 1;
    }

    // A hung job must not hang the soak.
    std::atomic<bool> done{false};
    std::atomic<int64_t> roundStart{Clock::now().time_since_epoch().count()};
    std::thread watchdog([&] {
        while (!done.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            auto started = Clock::time_point(Clock::duration(roundStart.load()));
            if (Clock::now() - started > kRoundLimit) {
                std::printf("soak: round %d hangs\n", soak.round);
                std::fflush(stdout);
                std::_Exit(1);
            }
        }
    });

    int status = 0;
    int warmupFailures = soak.RunRound(false);
    if (warmupFailures != 0) {
        std::printf("soak: warm-up round: %d failures\n", warmupFailures);
        status = 1;
    }
    auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                  std::chrono::duration<double, std::ratio<60>>(o.minutes));
    ProcessFigures before = Settled(daemon->Pid(), nullptr);
    while (status == 0) {
        ++soak.round;
        roundStart.store(Clock::now().time_since_epoch().count());
        auto started = Clock::now();
        int failures = soak.RunRound(true);
        ProcessFigures after = Settled(daemon->Pid(), &before);
        bool grew = after.fds > before.fds || after.threads > before.threads ||
                    after.rssKb - before.rssKb > kRssToleranceKb;
        double seconds = std::chrono::duration<double>(Clock::now() - started).count();
        std::printf(
            "round %d: %.1f s, %d failed jobs; fds %ld -> %ld, threads %ld -> %ld, "
            "VmRSS %ld -> %ld kB (tolerance %ld kB), VmHWM %ld kB%s\n",
            soak.round, seconds, failures, before.fds, after.fds, before.threads, after.threads,
            before.rssKb, after.rssKb, kRssToleranceKb, after.hwmKb, grew ? ": GREW" : "");
        std::fflush(stdout);
        if (failures != 0 || grew || !daemon->Running()) {
            status = 1;
        }
        before = after;
        if (Clock::now() >= end) {
            break;
        }
    }
    done.store(true);
    watchdog.join();
    if (!daemon->Running()) {
        std::printf("soak: the daemon ended\n");
        status = 1;
    }
    std::printf("soak: %s\n", status == 0 ? "passed" : "FAILED");
    return status;
}
