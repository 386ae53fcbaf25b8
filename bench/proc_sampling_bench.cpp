// Cost of the /proc sampling on this machine: one pass of the all-processes
// sampler over every live process (list /proc, merge, read /proc/stat once,
// then each process's statm, stat and comm, frame and buffer the records),
// reported per process. The uploader sends to a transport that drops
// everything, so buffer sends (and their chunk allocations) are included.
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>

#include <benchmark/benchmark.h>

#include "jobs/proc_all_pids_handler.h"
#include "jobs/proc_file_handlers.h"
#include "message/job_context.h"
#include "transport/transport.h"
#include "transport/uploader.h"

// Every allocation of the program is counted, to report how many a pass costs.
namespace {
std::atomic<uint64_t> g_allocations{0};
}  // namespace

void* operator new(size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}
// The replaced operator new allocates with malloc.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, size_t /*size*/) noexcept {
    std::free(p);
}
#pragma GCC diagnostic pop

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

std::shared_ptr<JobContext> BenchContext() {
    auto ctx = std::make_shared<JobContext>();
    ctx->job_id = "bench";
    ctx->dev_id = "0";
    ctx->tag = "0";
    return ctx;
}

void BM_AllProcessesPass(benchmark::State& state) {
    auto uploader = std::make_shared<Uploader>(std::make_shared<DroppingTransport>());
    if (uploader->Init(512) != 0 || uploader->Start() != 0) {
        state.SkipWithError("uploader");
        return;
    }
    // Interval 0 and a clock that always moves: every pass samples everything.
    ProcAllPidsFileHandler handler(2, 0, 0, nullptr, BenchContext(), uploader);
    uint64_t now = 1;
    handler.SetTimeSource([&now] { return ++now; });
    (void)handler.Init();
    handler.Execute();  // first pass: buffers and readers reach their size
    double processes = static_cast<double>(handler.GetSampledPids().size());

    uint64_t allocationsBefore = g_allocations.load();
    for (auto _ : state) {
        handler.Execute();
    }
    double allocations = static_cast<double>(g_allocations.load() - allocationsBefore);

    state.counters["processes"] = processes;
    // Includes the chunks of the buffers sent (one per process about every
    // 25 passes) and the samplers of processes that appeared meanwhile.
    state.counters["allocs_per_pass"] = allocations / static_cast<double>(state.iterations());
    state.counters["time_per_process"] = benchmark::Counter(
        processes, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    (void)handler.Uninit();
    (void)uploader->Stop(true);
}
BENCHMARK(BM_AllProcessesPass)->Unit(benchmark::kMicrosecond);

// The system CPU sampler's pass, for comparison.
void BM_SystemCpuPass(benchmark::State& state) {
    auto uploader = std::make_shared<Uploader>(std::make_shared<DroppingTransport>());
    if (uploader->Init(512) != 0 || uploader->Start() != 0) {
        state.SkipWithError("uploader");
        return;
    }
    ProcStatFileHandler handler(0, 0, 8192, 0, "/proc/stat", "SystemCpuUsage.data", nullptr,
                                BenchContext(), uploader);
    uint64_t now = 1;
    handler.SetTimeSource([&now] { return ++now; });
    (void)handler.Init();
    for (auto _ : state) {
        handler.Execute();
    }
    (void)handler.Uninit();
    (void)uploader->Stop(true);
}
BENCHMARK(BM_SystemCpuPass)->Unit(benchmark::kMicrosecond);

}  // namespace
