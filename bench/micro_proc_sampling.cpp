// Per-process sampling: one pass of the all-processes sampler over every
// process of this machine, against a minimal reader of the same files.
//
// The sampler's pass reads the first "cpu" line of /proc/stat once, lists
// /proc, merges the listing with the processes it samples, then for each
// process reads stat and statm (with pread, through descriptors kept open
// between passes; the name comes from the stat text), frames the records and
// buffers them; full buffers go as chunks to an uploader whose transport
// drops everything. Interval 0 and a clock that always moves: every pass
// samples everything.
//
// The baseline lists /proc, reads /proc/stat once and, for each process,
// /proc/<pid>/stat, statm and comm with open(2), read(2) and close(2) into one
// buffer, and does nothing else with the bytes.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include <benchmark/benchmark.h>

#include "jobs/proc_all_pids_handler.h"
#include "message/job_context.h"
#include "transport/transport.h"
#include "transport/uploader.h"

namespace {

using namespace Analysis::Orbx::JobWrapper;

class DroppingTransport : public analysis::orbx::transport::ITransport {
  public:
    int SendBuffer(const void* /*buffer*/, int length) override { return length; }
    int SendBuffer(std::shared_ptr<analysis::orbx::ProfileFileChunk> /*chunk*/) override {
        return 0;
    }
    int CloseSession() override { return 0; }
};

void BM_SamplingOru(benchmark::State& state) {
    auto uploader = std::make_shared<Uploader>(std::make_shared<DroppingTransport>());
    if (uploader->Init(512) != 0 || uploader->Start() != 0) {
        state.SkipWithError("uploader");
        return;
    }
    auto ctx = std::make_shared<JobContext>();
    ctx->job_id = "bench";
    ctx->dev_id = "0";
    ctx->tag = "0";
    ProcAllPidsFileHandler handler(2, 0, 0, nullptr, ctx, uploader);
    uint64_t now = 1;
    handler.SetTimeSource([&now] { return ++now; });
    (void)handler.Init();
    handler.Execute();  // first pass: buffers and readers reach their size
    for (auto _ : state) {
        handler.Execute();
    }
    state.counters["processes"] = static_cast<double>(handler.GetSampledPids().size());
    (void)handler.Uninit();
    (void)uploader->Stop(true);
}
BENCHMARK(BM_SamplingOru)->Unit(benchmark::kMicrosecond);

// Reads path whole into buf (as much as fits); the bytes read, 0 on failure.
size_t ReadWhole(const char* path, char* buf, size_t size) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return 0;
    }
    size_t total = 0;
    while (total < size) {
        ssize_t n = read(fd, buf + total, size - total);
        if (n <= 0) {
            break;
        }
        total += static_cast<size_t>(n);
    }
    close(fd);
    return total;
}

void BM_SamplingBaseline(benchmark::State& state) {
    static char buf[65536];
    std::vector<uint32_t> pids;
    pids.reserve(4096);
    char path[64];
    size_t bytes = 0;
    for (auto _ : state) {
        bytes += ReadWhole("/proc/stat", buf, sizeof(buf));
        pids.clear();
        DIR* dir = opendir("/proc");
        if (dir == nullptr) {
            state.SkipWithError("opendir /proc");
            return;
        }
        while (struct dirent* entry = readdir(dir)) {
            char* end = nullptr;
            unsigned long pid = std::strtoul(entry->d_name, &end, 10);
            if (pid != 0 && *end == '\0') {
                pids.push_back(static_cast<uint32_t>(pid));
            }
        }
        closedir(dir);
        for (uint32_t pid : pids) {
            for (const char* file : {"stat", "statm", "comm"}) {
                std::snprintf(path, sizeof(path), "/proc/%u/%s", pid, file);
                bytes += ReadWhole(path, buf, sizeof(buf));
            }
        }
        benchmark::DoNotOptimize(bytes);
    }
    state.counters["processes"] = static_cast<double>(pids.size());
}
BENCHMARK(BM_SamplingBaseline)->Unit(benchmark::kMicrosecond);

}  // namespace
