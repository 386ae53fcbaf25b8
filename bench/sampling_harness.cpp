// Per-process sampling beside procps top, on 2,000 extra sleeping processes.
//
// The daemon runs a job that samples every process of the machine every
// 100 ms (and nothing else) while `top -b -d 0.1` runs beside it over the
// same processes, for 10 s.
// - oru: the daemon's CPU time over the window divided by the passes it made
//   in it, counted from the records of the daemon's own process (stamped when
//   read), which the host collects.
// - top: its CPU time over the window (from /proc of its process) divided by
//   the frames it printed in it.
// A second figure of the row counts the daemon's passes in the window against
// those the interval asks for.
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <future>
#include <iterator>
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
constexpr double kPassesGoal = 0.95;  // share of the passes the interval asks for
constexpr char kRow[] = "sampling vs top";
constexpr char kUnit[] = "ms CPU per pass";
constexpr char kGoal[] = "oru <= 0.5 x top";
constexpr char kPassUnit[] = "passes in 10 s";
constexpr char kPassGoal[] = "oru >= 0.95 x asked";
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

// Stamps of the records in one process data file.
std::vector<uint64_t> Stamps(const std::string& data) {
    std::vector<uint64_t> stamps;
    const std::string key = "TimeStamp:";
    for (size_t pos = data.find(key); pos != std::string::npos; pos = data.find(key, pos + 1)) {
        stamps.push_back(std::strtoull(data.c_str() + pos + key.size(), nullptr, 10));
    }
    return stamps;
}

std::vector<Row> Measure(const oru_bench::ScratchDir& dir) {
    auto fail = [](const std::string& why) {
        return std::vector<Row>{oru_bench::Unmeasured(kRow, kUnit, kGoal, why),
                                oru_bench::Unmeasured(kRow, kPassUnit, kPassGoal, why)};
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
        std::string own;
        bool finished = false;
        while (!finished) {
            proto::FileChunkReq chunk;
            if (data->Next(&chunk, &finished) != host::kRecvOk) {
                break;
            }
            if (chunk.filename().rfind(ownFile, 0) == 0) {
                own += chunk.chunk();
            }
        }
        return std::make_pair(finished, own);
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
    bool stopped = job.ctrl->StopReplay(ctx, &reply) == host::kRecvOk &&
                   job.ctrl->StopJob(ctx, &reply) == host::kRecvOk &&
                   reply.status() == proto::SUCCESS;
    if (!stopped) {
        data->Session().Close();
    }
    auto result = collected.get();
    if (!started || !stopped || !result.first) {
        return fail(started ? "the job did not end cleanly" : "job start refused or top missing");
    }
    int passes = 0;
    for (uint64_t stamp : Stamps(result.second)) {
        passes += stamp >= windowStart && stamp < windowEnd ? 1 : 0;
    }
    if (passes == 0 || frames <= 0) {
        return fail("no pass or no frame in the window");
    }
    const double expected = static_cast<double>(windowEnd - windowStart) / kIntervalNs;
    const double oruPerPass = oruCpu * 1e3 / passes;
    const double topPerFrame = topCpu * 1e3 / frames;
    const double ratio = oruPerPass / topPerFrame;
    char note[200];
    std::snprintf(note, sizeof(note),
                  "%d sleeping + others, 10 s side by side: oru %d passes, %.1f %% of a core; "
                  "top %d frames, %.1f %% of a core",
                  kSleepers, passes, oruCpu * 10.0, frames, topCpu * 10.0);
    return {Row{kRow, oruPerPass, topPerFrame, kUnit, ratio, kGoal, ratio <= kGoalRatio, note},
            Row{kRow, static_cast<double>(passes), expected, kPassUnit, passes / expected,
                kPassGoal, passes >= kPassesGoal * expected, note}};
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
