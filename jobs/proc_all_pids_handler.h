// The all-processes sampler: keeps one pair of per-process samplers
// (memory, then CPU) for every live process and runs them.
//
// On each pass whose interval has elapsed it reads the first "cpu" line of
// /proc/stat once for the whole pass, lists /proc, merges the sorted
// listing with the processes it already samples (a process that left has
// its two samplers flushed and released, its descriptors closed; a new one
// gets two samplers that sample at once), and executes every pair in
// increasing pid order, CPU (stat) first: the memory record takes the
// process name from the stat text of the same pass. The samplers decide by
// the pass's time, so each of them samples on every pass that the interval
// lets through, however long the pass takes; each record is stamped when
// its file is read.
//
// The samplers keep their /proc/<pid>/stat and statm descriptors open
// between passes as long as the descriptor budget allows (by default the
// share of the process's limit that KeptDescriptors::ForProcFiles grants);
// beyond it they open, read and close.
//
// All the per-process samplers send through one outbox, which gates the
// passes and offers the chunks of a pass together at its end (see
// SampleOutbox).
//
// Threading: see TimerHandler.
#ifndef ORU_JOBS_PROC_ALL_PIDS_HANDLER_H
#define ORU_JOBS_PROC_ALL_PIDS_HANDLER_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "jobs/proc_file_handlers.h"
#include "jobs/prof_timer.h"

namespace Analysis::Orbx::JobWrapper {

class ProcAllPidsFileHandler : public TimerHandler {
  public:
    static constexpr uint64_t kPidBufSize = 4096;

    ProcAllPidsFileHandler(uint32_t tag, uint32_t devId, uint64_t sampleIntervalNs,
                           std::shared_ptr<ProfileParams> params,
                           std::shared_ptr<JobContext> jobCtx, std::shared_ptr<Uploader> upLoader);
    ~ProcAllPidsFileHandler() override = default;

    void Execute() override;
    // Creates the samplers of every process listed now. Always 0.
    int Init() override;
    // Flushes and releases every sampler, then the uploader. Always 0.
    int Uninit() override;
    // Until the next pass is due, by the pass clock; 0 before the first.
    uint64_t DueInNs() const override;

    // The clock of the passes and of the records' stamps.
    // REQUIRES: before the first Execute.
    void SetTimeSource(TimeSource now) { now_ = std::move(now); }
    // The descriptors the samplers may keep open. REQUIRES: before Init.
    void SetKeptDescriptors(std::shared_ptr<KeptDescriptors> kept) { kept_ = std::move(kept); }
    // The directory listed instead of "/proc". REQUIRES: before Init.
    void SetProcRoot(const std::string& root);

    // The processes that have samplers, increasing.
    std::vector<uint32_t> GetSampledPids() const;

  private:
    struct PidSamplers {
        uint32_t pid = 0;
        std::shared_ptr<ProcPidMemFileHandler> mem;  // both null when creation failed
        std::shared_ptr<ProcPidStatFileHandler> stat;
    };

    void CreateSamplers(uint32_t pid, PidSamplers& entry);
    static void ReleaseSamplers(PidSamplers& entry);
    // Brings samplers_ in line with listed_, in one pass over both, logging
    // each process that came or went when logChanges is set; leaves samplers_
    // as it was when out of memory.
    void Merge(bool logChanges);

    // Constant after construction (the root until Init).
    const uint32_t devId_;
    const uint64_t sampleIntervalNs_;
    const std::shared_ptr<ProfileParams> params_;
    const std::shared_ptr<JobContext> jobCtx_;
    std::string procRoot_ = "/proc";
    std::string systemStatFile_ = "/proc/stat";
    TimeSource now_;
    std::shared_ptr<KeptDescriptors> kept_;

    std::shared_ptr<Uploader> upLoader_;
    std::shared_ptr<SampleOutbox> outbox_;  // shared by every per-process sampler
    uint64_t lastTime_ = 0;
    uint64_t passTime_ = 0;  // the clock of the per-process samplers
    // Every pid of the last listing, increasing, with its samplers.
    std::vector<PidSamplers> samplers_;
    std::vector<PidSamplers> next_;  // reused by Merge
    std::vector<uint32_t> listed_;   // reused by every listing
    // The first "cpu" line of /proc/stat, refreshed once per pass.
    std::shared_ptr<std::string> cpuLine_;
    ProcFileReader statFile_;
};

}  // namespace Analysis::Orbx::JobWrapper

#endif  // ORU_JOBS_PROC_ALL_PIDS_HANDLER_H
