// Throughput of the channel data path: the simulated last-level-cache channel
// in stream mode produces 1 GiB (ORU_BENCH_STREAM_MIB MiB when set, for a
// profiled run), which the daemon's poller and reader pool
// drain into 4 MiB chunks, its uploader sends over the job's data session,
// and this process, as the host, receives through the host library, checks
// byte by byte against the stream's sequence and writes to a file.
//
// A second row gives the daemon's peak resident memory (VmHWM) over the whole
// run, read once the host has the last byte.
//
// Baseline, in the same run: a child process writes the same bytes (made by
// the same sequence generator, 4 MiB at a time) to this process over a
// Unix-domain stream socket, which reads, checks and writes them to a file
// in 4 MiB pieces. Both sides thus do the same generating, checking and file
// writing; what differs is everything the daemon and its session add.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/harness.h"
#include "ostrel/sim_control.h"

namespace {

using namespace analysis::orbx;
using oru_bench::Row;

constexpr size_t kPieceBytes = 4u << 20;  // 4 MiB
constexpr uint32_t kDevice = 0;
constexpr uint32_t kLlcChannel = 8;
constexpr char kJobId[] = "datapath";
constexpr double kMiB = 1024.0 * 1024.0;
constexpr double kGoalRatio = 0.8;
constexpr double kPeakRssGoalMiB = 64;

// The stream's length: 1 GiB, or ORU_BENCH_STREAM_MIB MiB made a multiple of
// the piece.
const uint64_t kStreamBytes = [] {
    const char* mib = std::getenv("ORU_BENCH_STREAM_MIB");
    uint64_t n = mib != nullptr ? std::strtoull(mib, nullptr, 10) / 4 * 4 : 0;
    return (n != 0 ? n : 1024) << 20;
}();

bool WriteAll(int fd, const uint8_t* bytes, size_t len) {
    for (size_t done = 0; done < len;) {
        ssize_t n = write(fd, bytes + done, len - done);
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// Checks bytes against the stream at offset and appends them to the file.
bool Consume(int fd, uint64_t offset, const char* bytes, size_t len, std::string* error) {
    const uint8_t* data = reinterpret_cast<const uint8_t*>(bytes);
    int64_t bad = ostrel_sim_stream_verify(kDevice, kLlcChannel, offset, data, len);
    if (bad >= 0) {
        *error = "stream differs at byte " + std::to_string(offset + static_cast<uint64_t>(bad));
        return false;
    }
    if (!WriteAll(fd, data, len)) {
        *error = "file write failed";
        return false;
    }
    return true;
}

// Bytes per second of the socket baseline; 0 with *error set on failure.
double Baseline(const oru_bench::ScratchDir& dir, std::string* error) {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) {
        *error = "socketpair failed";
        return 0;
    }
    std::vector<uint8_t> out(kPieceBytes);
    std::vector<char> in(kPieceBytes);
    pid_t pid = fork();
    if (pid < 0) {
        *error = "fork failed";
        return 0;
    }
    if (pid == 0) {
        close(sv[0]);
        for (uint64_t offset = 0; offset < kStreamBytes; offset += kPieceBytes) {
            ostrel_sim_stream_fill(kDevice, kLlcChannel, offset, out.data(), kPieceBytes);
            if (!WriteAll(sv[1], out.data(), kPieceBytes)) {
                _exit(1);
            }
        }
        _exit(0);
    }
    close(sv[1]);
    std::string file = dir.File("baseline.data");
    int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    auto start = std::chrono::steady_clock::now();
    uint64_t received = 0;
    bool ok = fd >= 0;
    while (ok && received < kStreamBytes) {
        size_t filled = 0;
        while (filled < kPieceBytes) {
            ssize_t n = read(sv[0], in.data() + filled, kPieceBytes - filled);
            if (n <= 0) {
                break;
            }
            filled += static_cast<size_t>(n);
        }
        if (filled == 0) {
            break;
        }
        ok = Consume(fd, received, in.data(), filled, error);
        received += filled;
    }
    double seconds = oru_bench::SecondsSince(start);
    close(sv[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (fd >= 0) {
        close(fd);
    }
    unlink(file.c_str());
    if (!ok || received != kStreamBytes) {
        if (error->empty()) {
            *error = "baseline received " + std::to_string(received) + " bytes";
        }
        return 0;
    }
    return static_cast<double>(kStreamBytes) / seconds;
}

struct OruRun {
    double bytesPerSecond = 0;
    double daemonPeakRssMiB = 0;
    uint32_t chunks = 0;
};

// Bytes per second through the daemon; 0 with *error set on failure.
OruRun Oru(const oru_bench::ScratchDir& dir, std::string* error) {
    OruRun run;
    auto daemon =
        oru_bench::StartDaemon(dir, 1,
                               {"OSTREL_SIM_CHANNEL_MODE=stream", "OSTREL_SIM_CHANNELS=8:llc",
                                "OSTREL_SIM_STREAM_BYTES=" + std::to_string(kStreamBytes)});
    if (daemon->Pid() <= 0) {
        *error = "the daemon did not start";
        return run;
    }
    oru_bench::Watchdog watchdog(daemon->Pid(), std::chrono::seconds(240));
    oru_bench::JobChannels job = oru_bench::OpenJob(host::Handshake{kJobId, 0, ""});
    auto& ctrl = job.ctrl;
    auto& data = job.data;
    if (data == nullptr) {
        *error = "no control or data session";
        return run;
    }
    std::string ctx = host::MakeJobContext(kJobId, "0", "bench");
    proto::Response reply;
    if (ctrl->StartJob(ctx, oru_testing::LlcConfig(kJobId, "", 100), &reply) != host::kRecvOk ||
        reply.status() != proto::SUCCESS) {
        *error = "job start refused: " + reply.message();
        return run;
    }
    std::string file = dir.File("oru.data");
    int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    proto::ReplayStartReq events = oru_testing::LlcEvents();
    auto start = std::chrono::steady_clock::now();
    bool ok = fd >= 0 && ctrl->StartReplay(ctx, events, &reply) == host::kRecvOk &&
              reply.status() == proto::SUCCESS;
    uint64_t received = 0;
    double seconds = 0;
    bool finished = false;
    host::FileChunkView chunk;
    while (ok && !finished) {
        if (data->NextView(&chunk, &finished) != host::kRecvOk) {
            *error = "data session ended early";
            ok = false;
            break;
        }
        const std::string& name = chunk.fields.filename();
        if (finished || name.size() < 8 || name.compare(name.size() - 8, 8, "llc.data") != 0) {
            continue;
        }
        ok = Consume(fd, received, chunk.payload.data(), chunk.payload.size(), error);
        received += chunk.payload.size();
        ++run.chunks;
        if (received >= kStreamBytes && seconds == 0) {
            seconds = oru_bench::SecondsSince(start);
            run.daemonPeakRssMiB = oru_bench::ReadUsage(daemon->Pid()).peakRssMiB;
            // Stop the job; whatever follows up to the finish must be nothing.
            ok = ctrl->StopReplay(ctx, &reply) == host::kRecvOk &&
                 ctrl->StopJob(ctx, &reply) == host::kRecvOk && reply.status() == proto::SUCCESS;
            if (!ok) {
                *error = "job stop failed";
            }
        }
    }
    if (fd >= 0) {
        close(fd);
    }
    unlink(file.c_str());
    if (ok && received != kStreamBytes) {
        *error = "host received " + std::to_string(received) + " bytes";
        ok = false;
    }
    if (ok) {
        run.bytesPerSecond = static_cast<double>(kStreamBytes) / seconds;
    }
    // An orderly stop, so that a profiler around the daemon writes its data.
    daemon->Kill(SIGTERM);
    return run;
}

}  // namespace

int main(int argc, char** argv) {
    oru_bench::ScratchDir dir;
    const char* kRow = "channel data path";
    const char* kUnit = "MiB/s";
    const char* kGoal = "oru >= 0.8 x baseline";
    const char* kRssUnit = "MiB peak resident";
    const char* kRssGoal = "< 64 MiB";
    auto unmeasured = [&](const std::string& why) {
        return std::vector<Row>{oru_bench::Unmeasured(kRow, kUnit, kGoal, why),
                                oru_bench::Unmeasured(kRow, kRssUnit, kRssGoal, why)};
    };
    if (!dir.Ok()) {
        return oru_bench::ReportRows(argc, argv, unmeasured("no scratch dir"));
    }
    oru_bench::UseSimulator(dir, 1);
    std::string error;
    double baseline = Baseline(dir, &error);
    OruRun oru = baseline > 0 ? Oru(dir, &error) : OruRun{};
    if (baseline <= 0 || oru.bytesPerSecond <= 0) {
        return oru_bench::ReportRows(argc, argv, unmeasured(error));
    }
    Row row;
    row.row = kRow;
    row.oru = oru.bytesPerSecond / kMiB;
    row.baseline = baseline / kMiB;
    row.unit = kUnit;
    row.ratio = oru.bytesPerSecond / baseline;
    row.goal = kGoal;
    row.pass = *row.ratio >= kGoalRatio;
    char note[160];
    std::snprintf(note, sizeof(note),
                  "%.0f MiB checked at the host in %u chunks; daemon peak RSS %.1f MiB",
                  static_cast<double>(kStreamBytes) / kMiB, oru.chunks, oru.daemonPeakRssMiB);
    row.note = note;
    Row rss;
    rss.row = kRow;
    rss.oru = oru.daemonPeakRssMiB;
    rss.unit = kRssUnit;
    rss.goal = kRssGoal;
    rss.pass = oru.daemonPeakRssMiB > 0 && oru.daemonPeakRssMiB < kPeakRssGoalMiB;
    rss.note = "the daemon's VmHWM over the whole run";
    return oru_bench::ReportRows(argc, argv, {row, rss});
}
