// Latency of the control plane: the time from sending a job start on an open
// control session until its Response arrives, through the daemon on the
// simulated card, over 200 jobs on one session (each stopped again, untimed,
// before the next starts). Then the time from sending the job stop of the
// only job running, with its replay run and stopped and its data session
// read to the end, until its Response arrives, over 100 jobs: each such stop
// also releases the channel poller.
//
// Baseline, in the same run: a child process answers a request of the same
// size as the framed job start with a reply of the same size as the framed
// Response, over a bare Unix-domain socket pair.
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "bench/harness.h"
#include "hdc/hdc_api.h"
#include "wire/codec.h"

namespace {

using namespace analysis::orbx;
using oru_bench::Row;

constexpr int kJobs = 200;
constexpr int kWarmup = 5;
constexpr double kP99GoalMs = 20.0;
constexpr int kStops = 100;
constexpr double kStopP99GoalMs = 50.0;

// Replies travel on the control session of the job named in its handshake,
// so every job of the run has that name; each is stopped before the next.
constexpr char kJobId[] = "roundtrip";
constexpr char kAnchorJobId[] = "anchor";
constexpr int kColdJobs = 10;

struct Sizes {
    size_t request = 0;
    size_t reply = 0;
};

// Starts and stops `count` jobs on the session, timing each start until its
// Response (ms) into *times, after `warmup` untimed ones. The first reply
// and request give *sizes. false with *error set on failure.
bool RunJobs(host::ControlChannel& ctrl, int warmup, int count, std::vector<double>* times,
             Sizes* sizes, std::string* error) {
    std::string ctx = host::MakeJobContext(kJobId, "0");
    std::string config = oru_testing::LlcConfig(kJobId);
    for (int i = 0; i < warmup + count; ++i) {
        proto::Response reply;
        auto start = std::chrono::steady_clock::now();
        int rc = ctrl.StartJob(ctx, config, &reply);
        double ms = oru_bench::SecondsSince(start) * 1000.0;
        if (rc != host::kRecvOk || reply.status() != proto::SUCCESS) {
            *error = "job start " + std::to_string(i) + " failed: " + reply.message();
            return false;
        }
        if (sizes->request == 0) {
            proto::JobStartReq req;
            req.mutable_hdr()->set_job_ctx(ctx);
            req.set_sampleconfig(config);
            sizes->request = IDE_TLV_HEAD_LEN + message::EncodeMessage(req).size();
            sizes->reply = IDE_TLV_HEAD_LEN + message::EncodeMessage(reply).size();
        }
        if (i >= warmup) {
            times->push_back(ms);
        }
        // These jobs have no data session, so the stop answers that their
        // data was not delivered; only its answer matters here.
        if (ctrl.StopJob(ctx, &reply) != host::kRecvOk) {
            *error = "job stop " + std::to_string(i) + " was not answered";
            return false;
        }
    }
    return true;
}

// Runs `count` jobs on the session, each the only job of the daemon: data
// channel, job start, replay start, 20 ms of channel data, replay stop, and
// the job stop, which is timed until its Response (ms) into *times. false with
// *error set on failure.
bool RunStops(host::HostClient& client, host::ControlChannel& ctrl, int count,
              std::vector<double>* times, std::string* error) {
    std::string ctx = host::MakeJobContext(kJobId, "0");
    std::string config = oru_testing::LlcConfig(kJobId);
    for (int i = 0; i < count; ++i) {
        auto data = oru_bench::OpenData(client, host::Handshake{kJobId, 0, ""});
        if (data == nullptr) {
            *error = "no data session for stop " + std::to_string(i);
            return false;
        }
        auto drained = std::async(std::launch::async, [&data] {
            std::vector<proto::FileChunkReq> chunks;
            return data->ReadUntilFinish(&chunks);
        });
        proto::Response reply;
        bool started = ctrl.StartJob(ctx, config, &reply) == host::kRecvOk &&
                       reply.status() == proto::SUCCESS &&
                       ctrl.StartReplay(ctx, oru_testing::LlcEvents(), &reply) == host::kRecvOk &&
                       reply.status() == proto::SUCCESS;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        bool replayStopped = started && ctrl.StopReplay(ctx, &reply) == host::kRecvOk &&
                             reply.status() == proto::SUCCESS;
        auto start = std::chrono::steady_clock::now();
        int rc = ctrl.StopJob(ctx, &reply);
        double ms = oru_bench::SecondsSince(start) * 1000.0;
        if (!replayStopped || rc != host::kRecvOk || reply.status() != proto::SUCCESS) {
            *error = "job " + std::to_string(i) + " of the stops failed: " + reply.message();
            data->Session().Close();
            drained.wait();
            return false;
        }
        if (drained.get() != host::kRecvOk) {
            *error = "the data of stop " + std::to_string(i) + " did not end with its finish";
            return false;
        }
        times->push_back(ms);
    }
    return true;
}

struct OruTimes {
    std::vector<double> warm;   // the channel poller already running
    std::vector<double> cold;   // each start also starts the poller and its pool
    std::vector<double> stops;  // job stops of the only job, releasing the poller
};

// Round trips through the daemon. A job on device 1 keeps the channel poller
// up while the 200 warm starts run; a few cold starts follow, then the stops.
OruTimes Oru(const oru_bench::ScratchDir& dir, Sizes* sizes, std::string* error) {
    OruTimes times;
    auto daemon = oru_bench::StartDaemon(dir, 2, {});
    if (daemon->Pid() <= 0) {
        *error = "the daemon did not start";
        return times;
    }
    oru_bench::Watchdog watchdog(daemon->Pid(), std::chrono::seconds(240));
    auto client = host::HostClient::Create();
    auto ctrl = client != nullptr ? oru_bench::OpenControl(*client, host::Handshake{kJobId, 0, ""})
                                  : nullptr;
    auto anchor = ctrl != nullptr
                      ? oru_bench::OpenControl(*client, host::Handshake{kAnchorJobId, 1, ""}, 1)
                      : nullptr;
    if (anchor == nullptr) {
        *error = "no control session";
        return times;
    }
    std::string anchorCtx = host::MakeJobContext(kAnchorJobId, "1");
    proto::Response reply;
    if (anchor->StartJob(anchorCtx, oru_testing::LlcConfig(kAnchorJobId), &reply) !=
            host::kRecvOk ||
        reply.status() != proto::SUCCESS) {
        *error = "the job on device 1 did not start";
        return times;
    }
    bool ok = RunJobs(*ctrl, kWarmup, kJobs, &times.warm, sizes, error);
    ok = ok && anchor->StopJob(anchorCtx, &reply) == host::kRecvOk &&
         RunJobs(*ctrl, 0, kColdJobs, &times.cold, sizes, error);
    if (!ok) {
        times.warm.clear();
    } else if (!RunStops(*client, *ctrl, kStops, &times.stops, error)) {
        times.stops.clear();
    }
    return times;
}

bool Transfer(int fd, char* buf, size_t len, bool send) {
    for (size_t done = 0; done < len;) {
        ssize_t n = send ? write(fd, buf + done, len - done) : read(fd, buf + done, len - done);
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// Round trips over the bare socket pair in milliseconds.
std::vector<double> Baseline(const Sizes& sizes, std::string* error) {
    std::vector<double> times;
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) {
        *error = "socketpair failed";
        return times;
    }
    std::vector<char> request(sizes.request, 'q');
    std::vector<char> reply(sizes.reply, 'r');
    pid_t pid = fork();
    if (pid < 0) {
        *error = "fork failed";
        return times;
    }
    if (pid == 0) {
        // Only read, write and _exit here: the parent has threads.
        close(sv[0]);
        while (Transfer(sv[1], request.data(), request.size(), false) &&
               Transfer(sv[1], reply.data(), reply.size(), true)) {
        }
        _exit(0);
    }
    close(sv[1]);
    for (int i = 0; i < kWarmup + kJobs; ++i) {
        auto start = std::chrono::steady_clock::now();
        if (!Transfer(sv[0], request.data(), request.size(), true) ||
            !Transfer(sv[0], reply.data(), reply.size(), false)) {
            *error = "baseline exchange failed";
            times.clear();
            break;
        }
        if (i >= kWarmup) {
            times.push_back(oru_bench::SecondsSince(start) * 1000.0);
        }
    }
    close(sv[0]);
    waitpid(pid, nullptr, 0);
    return times;
}

}  // namespace

int main(int argc, char** argv) {
    // Two rows of the one benchmark, told apart by their unit.
    const char* kRow = "control round trip";
    const char* kP50Unit = "ms, median";
    const char* kP99Unit = "ms, 99th percentile";
    const char* kP50Goal = "report";
    const char* kP99Goal = "oru p99 < 20 ms";
    oru_bench::ScratchDir dir;
    std::string error = "no scratch dir";
    Sizes sizes;
    OruTimes oruTimes;
    std::vector<double> base;
    if (dir.Ok()) {
        error.clear();
        oru_bench::UseSimulator(dir, 2);
        oruTimes = Oru(dir, &sizes, &error);
        if (!oruTimes.warm.empty()) {
            base = Baseline(sizes, &error);
        }
    }
    const char* kStopRow = "job stop";
    const char* kStopGoal = "< 50 ms";
    const std::vector<double>& oru = oruTimes.warm;
    if (oru.empty() || base.empty()) {
        return oru_bench::ReportRows(argc, argv,
                                     {oru_bench::Unmeasured(kRow, kP50Unit, kP50Goal, error),
                                      oru_bench::Unmeasured(kRow, kP99Unit, kP99Goal, error),
                                      oru_bench::Unmeasured(kStopRow, kP99Unit, kStopGoal, error)});
    }
    char note[256];
    std::snprintf(note, sizeof(note),
                  "%d job starts with the channel poller up; %d cold starts: p50 %.2f ms, max "
                  "%.2f ms; request %zu B, reply %zu B",
                  kJobs, kColdJobs, oru_bench::Percentile(oruTimes.cold, 0.5),
                  oru_bench::Percentile(oruTimes.cold, 1.0), sizes.request, sizes.reply);
    auto row = [&](double fraction, const char* unit, const char* goal) {
        Row r{kRow,
              oru_bench::Percentile(oru, fraction),
              oru_bench::Percentile(base, fraction),
              unit,
              std::nullopt,
              goal,
              std::nullopt,
              note};
        r.ratio = r.oru / *r.baseline;
        return r;
    };
    Row p50 = row(0.5, kP50Unit, kP50Goal);
    Row p99 = row(0.99, kP99Unit, kP99Goal);
    p99.pass = p99.oru < kP99GoalMs;
    if (oruTimes.stops.empty()) {
        return oru_bench::ReportRows(
            argc, argv, {p50, p99, oru_bench::Unmeasured(kStopRow, kP99Unit, kStopGoal, error)});
    }
    char stopNote[160];
    std::snprintf(stopNote, sizeof(stopNote),
                  "%d stops of the only job, each releasing the channel poller; p50 %.2f ms, "
                  "max %.2f ms; baseline: the bare socket round trip",
                  kStops, oru_bench::Percentile(oruTimes.stops, 0.5),
                  oru_bench::Percentile(oruTimes.stops, 1.0));
    Row stop{kStopRow,
             oru_bench::Percentile(oruTimes.stops, 0.99),
             oru_bench::Percentile(base, 0.99),
             kP99Unit,
             std::nullopt,
             kStopGoal,
             std::nullopt,
             stopNote};
    stop.ratio = stop.oru / *stop.baseline;
    stop.pass = stop.oru < kStopP99GoalMs;
    return oru_bench::ReportRows(argc, argv, {p50, p99, stop});
}
