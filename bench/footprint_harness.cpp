// What the daemon costs the card it shares with the workload.
//
// Idle: the daemon serving two simulated devices, registered with the
// (simulated) application monitor, with no job, for 10 s once its servers
// are up: CPU time used as a share of one core, resident memory, threads.
// Busy: the daemon during a job that samples the system, every process of
// the machine and the cache-counter channel every 100 ms, for 10 s: CPU
// share and peak resident memory. The host side (this process) drains the
// data session meanwhile.
//
// There is no baseline: the goals are absolute budgets of the card.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <future>
#include <string>
#include <thread>

#include "bench/harness.h"

namespace {

using namespace analysis::orbx;
using oru_bench::Row;

constexpr auto kWindow = std::chrono::seconds(10);
constexpr auto kSettle = std::chrono::seconds(1);
constexpr double kIdleCpuGoal = 0.5;   // % of one core
constexpr double kIdleRssGoal = 16.0;  // MiB
constexpr double kBusyCpuGoal = 3.0;   // % of one core
constexpr char kCpuUnit[] = "% of one core";
constexpr char kRssUnit[] = "MiB resident";
constexpr char kPeakUnit[] = "MiB peak resident";
constexpr char kBusyJob[] = "busy";
constexpr char kBusyConfig[] =
    R"({"job_id":"busy","sys_profiling":"on","pid_profiling":"on",)"
    R"("cpu_sampling_interval":100,"sys_sampling_interval":100,"pid_sampling_interval":100,)"
    R"("gxprof_llc_profiling":"on","llc_interval":100})";

// Waits until the daemon's HDC servers of devices 0 .. devices-1 listen.
bool WaitForServers(const oru_bench::ScratchDir& dir, int devices) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (int dev = 0; dev < devices; ++dev) {
        std::string socket = dir.File("sim") + "/hdc-" + std::to_string(dev) + "-" +
                             std::to_string(host::kProfilingServiceType) + ".sock";
        while (!std::filesystem::exists(socket)) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    return true;
}

int CountProcesses() {
    int n = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        n += name.find_first_not_of("0123456789") == std::string::npos ? 1 : 0;
    }
    return n;
}

struct Window {
    double cpuPercent = 0;
    oru_bench::ProcUsage end;
    bool ok = false;
};

// CPU share of one core used by pid over the window, and its usage at the
// end. The scheduler's per-thread accounting is used when every thread lives
// through the window (exact), the clock ticks of /proc/PID/stat otherwise.
Window Measure(pid_t pid) {
    Window w;
    oru_bench::ProcUsage before = oru_bench::ReadUsage(pid);
    double schedBefore = oru_bench::SchedulerCpuNs(pid);
    auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(kWindow);
    double schedAfter = oru_bench::SchedulerCpuNs(pid);
    w.end = oru_bench::ReadUsage(pid);
    double seconds = oru_bench::SecondsSince(start);
    if (!before.ok || !w.end.ok) {
        return w;
    }
    double cpu = w.end.cpuSeconds - before.cpuSeconds;
    if (schedBefore >= 0 && schedAfter >= schedBefore && before.threads == w.end.threads) {
        cpu = std::max(cpu, (schedAfter - schedBefore) / 1e9);
    }
    w.cpuPercent = cpu / seconds * 100.0;
    w.ok = true;
    return w;
}

std::vector<Row> Idle(const oru_bench::ScratchDir& dir) {
    // Rows of the one benchmark, told apart by their unit.
    const char* kRow = "idle footprint";
    auto daemon = oru_bench::StartDaemon(dir, 2, {});
    Window w;
    std::string error = "the daemon's servers did not come up";
    if (daemon->Pid() > 0 && WaitForServers(dir, 2)) {
        std::this_thread::sleep_for(kSettle);
        w = Measure(daemon->Pid());
        error = "the daemon ended";
    }
    if (!w.ok || !daemon->Running()) {
        return {oru_bench::Unmeasured(kRow, kCpuUnit, "< 0.5 %", error),
                oru_bench::Unmeasured(kRow, kRssUnit, "< 16 MiB", error),
                oru_bench::Unmeasured(kRow, "threads", "report", error)};
    }
    const char* note = "2 devices, no job, 10 s";
    return {Row{kRow, w.cpuPercent, std::nullopt, kCpuUnit, std::nullopt, "< 0.5 %",
                w.cpuPercent < kIdleCpuGoal, note},
            Row{kRow, w.end.rssMiB, std::nullopt, kRssUnit, std::nullopt, "< 16 MiB",
                w.end.rssMiB < kIdleRssGoal, note},
            Row{kRow, static_cast<double>(w.end.threads), std::nullopt, "threads", std::nullopt,
                "report", std::nullopt, note}};
}

std::vector<Row> Busy(const oru_bench::ScratchDir& dir) {
    const char* kRow = "busy footprint";
    auto fail = [&](const std::string& error) {
        return std::vector<Row>{oru_bench::Unmeasured(kRow, kCpuUnit, "< 3 %", error),
                                oru_bench::Unmeasured(kRow, kPeakUnit, "report", error)};
    };
    auto daemon = oru_bench::StartDaemon(dir, 1, {});
    if (daemon->Pid() <= 0) {
        return fail("the daemon did not start");
    }
    oru_bench::Watchdog watchdog(daemon->Pid(), std::chrono::seconds(60));
    oru_bench::JobChannels job = oru_bench::OpenJob(host::Handshake{kBusyJob, 0, ""});
    auto& ctrl = job.ctrl;
    auto& data = job.data;
    if (data == nullptr) {
        return fail("no control or data session");
    }
    auto drained = std::async(std::launch::async, [&data] {
        uint64_t bytes = 0;
        bool finished = false;
        while (!finished) {
            proto::FileChunkReq chunk;
            if (data->Next(&chunk, &finished) != host::kRecvOk) {
                break;
            }
            bytes += chunk.chunk().size();
        }
        return std::make_pair(finished, bytes);
    });
    std::string ctx = host::MakeJobContext(kBusyJob, "0", "bench");
    proto::Response reply;
    proto::ReplayStartReq events = oru_testing::LlcEvents();
    bool started = ctrl->StartJob(ctx, kBusyConfig, &reply) == host::kRecvOk &&
                   reply.status() == proto::SUCCESS &&
                   ctrl->StartReplay(ctx, events, &reply) == host::kRecvOk &&
                   reply.status() == proto::SUCCESS;
    Window w;
    if (started) {
        std::this_thread::sleep_for(kSettle);
        w = Measure(daemon->Pid());
    }
    bool stopped = ctrl->StopReplay(ctx, &reply) == host::kRecvOk &&
                   ctrl->StopJob(ctx, &reply) == host::kRecvOk && reply.status() == proto::SUCCESS;
    if (!stopped) {
        data->Session().Close();
    }
    auto result = drained.get();
    if (!started || !stopped || !w.ok || !result.first) {
        return fail(started ? "the job did not end cleanly" : "job start refused");
    }
    char note[160];
    std::snprintf(note, sizeof(note),
                  "system, all %d processes and LLC at 100 ms, 10 s; %d threads; %.1f MiB sent",
                  CountProcesses(), w.end.threads,
                  static_cast<double>(result.second) / (1024.0 * 1024.0));
    return {Row{kRow, w.cpuPercent, std::nullopt, kCpuUnit, std::nullopt, "< 3 %",
                w.cpuPercent < kBusyCpuGoal, note},
            Row{kRow, w.end.peakRssMiB, std::nullopt, kPeakUnit, std::nullopt, "report",
                std::nullopt, note}};
}

}  // namespace

int main(int argc, char** argv) {
    oru_bench::ScratchDir dir;
    if (!dir.Ok()) {
        std::fprintf(stderr, "no scratch dir\n");
        return 1;
    }
    oru_bench::UseSimulator(dir, 2);
    auto monitor = oru_bench::StartMonitor(dir);
    std::vector<Row> rows = Idle(dir);
    std::vector<Row> busy = Busy(dir);
    rows.insert(rows.end(), busy.begin(), busy.end());
    return oru_bench::ReportRows(argc, argv, rows);
}
