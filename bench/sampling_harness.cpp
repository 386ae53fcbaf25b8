// Per-process sampling on 2,000 extra sleeping processes started here.
//
// The daemon runs a job that samples every process of the machine every
// 100 ms (and nothing else). Two windows of 10 s follow each other:
// 1. "sampling vs top": `top -b -d 0.1` runs beside the daemon over the same
//    processes.
//    - oru: the daemon's CPU time over the window divided by the passes it
//      made in it, counted from the records of the daemon's own process
//      (stamped when read), which the host collects.
//    - top: its CPU time over the window (from /proc of its process) divided
//      by the frames it printed in it.
// 2. "per-process sampling at 2,000 processes", the daemon alone: the passes
//    it missed of the 100 the interval asks for, from the gaps between the
//    stamps of its own process's records (a gap of k intervals misses k - 1),
//    and the pass time: from the first to the last record stamp of one pass
//    over every process.
#include <dirent.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <future>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/harness.h"

namespace {

using namespace analysis::orbx;
using oru_bench::Row;

constexpr int kSleepers = 2000;
constexpr auto kWindow = std::chrono::seconds(10);
constexpr auto kSettle = std::chrono::seconds(2);
constexpr uint64_t kIntervalNs = 100000000;
constexpr double kGoalRatio = 0.5;
constexpr char kRow[] = "sampling vs top";
constexpr char kUnit[] = "ms CPU per pass";
constexpr char kGoal[] = "oru <= 0.5 x top";
constexpr char kMissRow[] = "per-process sampling at 2,000 processes";
constexpr char kMissUnit[] = "missed passes";
constexpr char kMissGoal[] = "0 of 100 at 100 ms";
constexpr char kPassTimeUnit[] = "ms pass time (max)";
constexpr char kJob[] = "pids";
constexpr char kConfig[] = R"({"job_id":"pids","pid_profiling":"on","pid_sampling_interval":100})";

// Processes that sleep until killed, or until this program ends.
class Sleepers {
  public:
    explicit Sleepers(int count) {
        for (int i = 0; i < count; ++i) {
            pid_t pid = fork();
            if (pid == 0) {
                prctl(PR_SET_PDEATHSIG, SIGKILL);
                for (;;) {
                    pause();
                }
            }
            if (pid < 0) {
                break;
            }
            pids_.push_back(pid);
        }
    }
    ~Sleepers() {
        for (pid_t pid : pids_) {
            kill(pid, SIGKILL);
        }
        for (pid_t pid : pids_) {
            waitpid(pid, nullptr, 0);
        }
    }
    Sleepers(const Sleepers&) = delete;
    Sleepers& operator=(const Sleepers&) = delete;
    size_t Count() const { return pids_.size(); }

  private:
    std::vector<pid_t> pids_;
};

uint64_t MonotonicNs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

// CPU seconds of a process: the scheduler's account when it has one, the
// clock ticks of /proc/PID/stat otherwise.
double CpuSeconds(pid_t pid) {
    double ns = oru_bench::SchedulerCpuNs(pid);
    return ns >= 0 ? ns / 1e9 : oru_bench::ReadUsage(pid).cpuSeconds;
}

// Frames top has printed so far to its output file.
int TopFrames(const std::string& file) {
    std::ifstream in(file);
    int frames = 0;
    for (std::string line; std::getline(in, line);) {
        frames += line.rfind("top - ", 0) == 0 ? 1 : 0;
    }
    return frames;
}

// Appends the stamps of the records in one process data file to *stamps.
void AddStamps(const std::string& data, std::vector<uint64_t>* stamps) {
    const std::string key = "TimeStamp:";
    for (size_t pos = data.find(key); pos != std::string::npos; pos = data.find(key, pos + 1)) {
        stamps->push_back(std::strtoull(data.c_str() + pos + key.size(), nullptr, 10));
    }
}

std::vector<uint64_t> Stamps(const std::string& data) {
    std::vector<uint64_t> stamps;
    AddStamps(data, &stamps);
    return stamps;
}

// Run and run-queue wait (ns) of every thread of a process, by thread name,
// from the scheduler's account (/proc/PID/task/TID/schedstat).
std::map<std::string, std::pair<double, double>> ThreadSched(pid_t pid) {
    std::map<std::string, std::pair<double, double>> out;
    const std::string taskDir = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = opendir(taskDir.c_str());
    if (dir == nullptr) {
        return out;
    }
    while (struct dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') {
            continue;
        }
        const std::string task = taskDir + "/" + entry->d_name;
        std::string name = oru_testing::ReadText(task + "/comm");
        while (!name.empty() && name.back() == '\n') {
            name.pop_back();
        }
        std::istringstream in(oru_testing::ReadText(task + "/schedstat"));
        double run = 0;
        double wait = 0;
        if (in >> run >> wait) {
            out[name].first += run;
            out[name].second += wait;
        }
    }
    closedir(dir);
    return out;
}

// What the host collected: the records of the daemon's own process, and the
// CPU records of every process, per file.
struct Collected {
    bool finished = false;
    std::string own;
    std::map<std::string, std::string> cpuFiles;
};

// Passes missed in [from, to): a gap of k intervals between two stamps of
// one file misses k - 1 passes; so do the ends of the window.
int MissedPasses(const std::vector<uint64_t>& stamps, uint64_t from, uint64_t to) {
    uint64_t last = from;
    int missed = 0;
    auto gap = [&missed](uint64_t a, uint64_t b) {
        missed += std::max<int>(0, static_cast<int>((b - a + kIntervalNs / 2) / kIntervalNs) - 1);
    };
    bool any = false;
    for (uint64_t stamp : stamps) {
        if (stamp < from || stamp >= to) {
            continue;
        }
        if (!any) {
            // The first pass may fall anywhere in the first interval.
            missed += static_cast<int>((stamp - from) / kIntervalNs);
        } else {
            gap(last, stamp);
        }
        any = true;
        last = stamp;
    }
    missed += any ? static_cast<int>((to - last) / kIntervalNs)
                  : static_cast<int>((to - from) / kIntervalNs);
    return missed;
}

// The longest and the median time from the first to the last record of one
// pass, over the passes that start in [from, to). A pass reads the processes
// in ascending pid order, so the records of every file, in stamp order, start
// a new pass where the pid falls.
std::pair<double, double> PassTimesMs(std::vector<std::pair<uint64_t, long>> records, uint64_t from,
                                      uint64_t to) {
    std::sort(records.begin(), records.end());
    std::vector<double> spans;
    size_t i = 0;
    while (i < records.size()) {
        size_t j = i;
        while (j + 1 < records.size() && records[j + 1].second > records[j].second) {
            ++j;
        }
        if (records[i].first >= from && records[i].first < to) {
            spans.push_back(static_cast<double>(records[j].first - records[i].first) / 1e6);
        }
        i = j + 1;
    }
    if (spans.empty()) {
        return {0, 0};
    }
    std::sort(spans.begin(), spans.end());
    return {spans.back(), spans[spans.size() / 2]};
}

std::vector<Row> Measure(const oru_bench::ScratchDir& dir) {
    auto fail = [](const std::string& why) {
        return std::vector<Row>{oru_bench::Unmeasured(kRow, kUnit, kGoal, why),
                                oru_bench::Unmeasured(kMissRow, kMissUnit, kMissGoal, why)};
    };
    Sleepers sleepers(kSleepers);
    if (sleepers.Count() < kSleepers) {
        return fail("could not start the sleeping processes");
    }
    auto daemon = oru_bench::StartDaemon(dir, 1, {});
    if (daemon->Pid() <= 0) {
        return fail("the daemon did not start");
    }
    oru_bench::Watchdog watchdog(daemon->Pid(), std::chrono::seconds(90));
    oru_bench::JobChannels job = oru_bench::OpenJob(host::Handshake{kJob, 0, ""});
    if (job.data == nullptr) {
        return fail("no control or data session");
    }
    const std::string ownFile = "data/" + std::to_string(daemon->Pid()) + "-CpuUsage.data";
    auto& data = job.data;
    auto collected = std::async(std::launch::async, [&data, &ownFile] {
        Collected c;
        host::FileChunkView chunk;
        const std::string cpuSuffix = "-CpuUsage.data";
        while (!c.finished) {
            if (data->NextView(&chunk, &c.finished) != host::kRecvOk) {
                break;
            }
            const std::string& name = chunk.fields.filename();
            if (name.rfind(ownFile, 0) == 0) {
                c.own.append(chunk.payload);
            }
            if (name.find(cpuSuffix) != std::string::npos) {
                c.cpuFiles[name].append(chunk.payload);
            }
        }
        return c;
    });
    std::string ctx = host::MakeJobContext(kJob, "0", "bench");
    proto::Response reply;
    bool started = job.ctrl->StartJob(ctx, kConfig, &reply) == host::kRecvOk &&
                   reply.status() == proto::SUCCESS &&
                   job.ctrl->StartReplay(ctx, proto::ReplayStartReq(), &reply) == host::kRecvOk &&
                   reply.status() == proto::SUCCESS;

    const std::string topOut = dir.File("top.out");
    oru_testing::Child top({"/usr/bin/top", "-b", "-d", "0.1"}, {"COLUMNS=200"}, topOut);
    double oruCpu = 0;
    double topCpu = 0;
    int frames = 0;
    uint64_t windowStart = 0;
    uint64_t windowEnd = 0;
    uint64_t aloneStart = 0;
    uint64_t aloneEnd = 0;
    std::map<std::string, std::pair<double, double>> schedBefore;
    std::map<std::string, std::pair<double, double>> schedAfter;
    if (started && top.Pid() > 0) {
        std::this_thread::sleep_for(kSettle);
        double oruBefore = CpuSeconds(daemon->Pid());
        double topBefore = CpuSeconds(top.Pid());
        int framesBefore = TopFrames(topOut);
        windowStart = MonotonicNs();
        std::this_thread::sleep_for(kWindow);
        windowEnd = MonotonicNs();
        oruCpu = CpuSeconds(daemon->Pid()) - oruBefore;
        topCpu = CpuSeconds(top.Pid()) - topBefore;
        frames = TopFrames(topOut) - framesBefore;
    }
    top.Kill(SIGKILL);
    if (started) {
        std::this_thread::sleep_for(kSettle);
        schedBefore = ThreadSched(daemon->Pid());
        aloneStart = MonotonicNs();
        std::this_thread::sleep_for(kWindow);
        aloneEnd = MonotonicNs();
        schedAfter = ThreadSched(daemon->Pid());
    }
    bool stopped = job.ctrl->StopReplay(ctx, &reply) == host::kRecvOk &&
                   job.ctrl->StopJob(ctx, &reply) == host::kRecvOk &&
                   reply.status() == proto::SUCCESS;
    if (!stopped) {
        data->Session().Close();
    }
    Collected result = collected.get();
    if (!started || !stopped || !result.finished) {
        return fail(started ? "the job did not end cleanly" : "job start refused or top missing");
    }
    int passes = 0;
    const std::vector<uint64_t> ownStamps = Stamps(result.own);
    for (uint64_t stamp : ownStamps) {
        passes += stamp >= windowStart && stamp < windowEnd ? 1 : 0;
    }
    std::vector<std::pair<uint64_t, long>> allRecords;
    for (const auto& file : result.cpuFiles) {
        const long pid = std::strtol(file.first.c_str() + 5, nullptr, 10);  // "data/<pid>-..."
        for (uint64_t stamp : Stamps(file.second)) {
            allRecords.emplace_back(stamp, pid);
        }
    }
    if (passes == 0 || frames <= 0 || aloneEnd <= aloneStart) {
        return fail("no pass or no frame in the window");
    }
    const double expected = static_cast<double>(aloneEnd - aloneStart) / kIntervalNs;
    const int missed = MissedPasses(ownStamps, aloneStart, aloneEnd);
    const auto passTimes = PassTimesMs(allRecords, aloneStart, aloneEnd);
    const auto& timerBefore = schedBefore["KTRX_ProfTimer"];
    const auto& timerAfter = schedAfter["KTRX_ProfTimer"];
    std::printf("threads of the daemon over the 10 s alone (ms run, ms waiting for a CPU):\n");
    for (const auto& t : schedAfter) {
        const auto& b = schedBefore[t.first];
        std::printf("  %-16s %8.1f %8.1f\n", t.first.c_str(), (t.second.first - b.first) / 1e6,
                    (t.second.second - b.second) / 1e6);
    }
    const double oruPerPass = oruCpu * 1e3 / passes;
    const double topPerFrame = topCpu * 1e3 / frames;
    const double ratio = oruPerPass / topPerFrame;
    char note[200];
    std::snprintf(note, sizeof(note),
                  "%d sleeping + others, 10 s side by side: oru %d passes, %.1f %% of a core; "
                  "top %d frames, %.1f %% of a core",
                  kSleepers, passes, oruCpu * 10.0, frames, topCpu * 10.0);
    char missNote[300];
    std::snprintf(missNote, sizeof(missNote),
                  "%d sleeping + others, 10 s alone (%zu CPU files): %d of %.0f passes missed; "
                  "pass time median %.1f ms, max %.1f ms; timer thread %.0f ms run, %.0f ms "
                  "waiting for a CPU",
                  kSleepers, result.cpuFiles.size(), missed, expected, passTimes.second,
                  passTimes.first, (timerAfter.first - timerBefore.first) / 1e6,
                  (timerAfter.second - timerBefore.second) / 1e6);
    return {Row{kRow, oruPerPass, topPerFrame, kUnit, ratio, kGoal, ratio <= kGoalRatio, note},
            Row{kMissRow, static_cast<double>(missed), expected, kMissUnit, std::nullopt, kMissGoal,
                missed == 0, missNote},
            Row{kMissRow, passTimes.first, std::nullopt, kPassTimeUnit, std::nullopt, "",
                std::nullopt, missNote}};
}

}  // namespace

int main(int argc, char** argv) {
    oru_bench::ScratchDir dir;
    if (!dir.Ok()) {
        std::fprintf(stderr, "no scratch dir\n");
        return 1;
    }
    oru_bench::UseSimulator(dir, 1);
    return oru_bench::ReportRows(argc, argv, Measure(dir));
}
