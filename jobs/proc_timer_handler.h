// The generic /proc sampler: at most once per interval it reads its file,
// turns the content into a text (ParseProcFile, given by each concrete
// sampler), frames the text as one record
//
//   "TimeStamp:<ns>\nIndex:<n>\nDataLen:<bytes>\n" <text> "\n"
//
// and batches the records in its buffer, which goes to the job's uploader as
// one file chunk once it is three-quarters full, and at Uninit.
//
// The timer thread serves every job, so a sampler never waits for its job's
// upload queue: a chunk the full queue refuses is kept in the sampler's
// outbox and offered again on later passes, in order. While the outbox holds
// more than kOutboxBytes the sampler skips its passes (counted, and logged at
// Uninit); at Uninit whatever it holds is queued whatever the bounds.
//
// Threading: see TimerHandler. After Init, only the timer thread (under the
// timer's mutex) touches the sampler.
#ifndef ORU_JOBS_PROC_TIMER_HANDLER_H
#define ORU_JOBS_PROC_TIMER_HANDLER_H

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "common/chunk.h"
#include "jobs/proc_file_reader.h"
#include "jobs/prof_timer.h"
#include "message/job_context.h"
#include "message/profile_params.h"
#include "transport/uploader.h"

namespace Analysis::Orbx::JobWrapper {

using ProfileParams = analysis::orbx::message::ProfileParams;
using JobContext = analysis::orbx::message::JobContext;
using Uploader = analysis::orbx::transport::Uploader;

// The chunks of a sampler (or of all the per-process samplers of a job) on
// their way to the job's uploader. Used on the timer thread only, or by
// Uninit once the sampler is off the timer.
class SampleOutbox {
  public:
    // Held bytes beyond which a sampler skips its passes. A pass that began
    // below it may add one pass's worth of chunks.
    static constexpr uint64_t kOutboxBytes = 256 * 1024;

    explicit SampleOutbox(std::shared_ptr<Uploader> upLoader) : upLoader_(std::move(upLoader)) {}

    // Queues chunk behind what is held, without waiting; keeps it when the
    // queue has no room, or while a pass is batched.
    void Send(std::shared_ptr<analysis::orbx::ProfileFileChunk> chunk);
    // Between BeginPass and EndPass every chunk sent is held, and EndPass
    // offers them together: the job's uploader thread is then woken about
    // once per pass instead of once per chunk.
    void BeginPass() { batching_ = true; }
    void EndPass();
    // Offers what is held again; true when a pass may sample (little enough
    // held), else the pass is counted as skipped.
    bool ReadyForPass();
    // Queues everything held whatever the bounds; logs the skipped passes
    // of dataName when there were any; drops the uploader.
    void Close(const std::string& dataName);

    uint64_t SkippedPasses() const { return skipped_; }
    uint64_t HeldBytes() const { return heldBytes_; }

  private:
    // Offers the held chunks in order until one is refused.
    void Drain();

    std::shared_ptr<Uploader> upLoader_;
    std::deque<std::shared_ptr<analysis::orbx::ProfileFileChunk>> held_;
    uint64_t heldBytes_ = 0;
    uint64_t skipped_ = 0;
    bool batching_ = false;
};

class ProcTimerHandler : public TimerHandler {
  public:
    // procFileName may be empty: the parsed text is then stored unframed.
    // The data file is "data/" + dataName; its chunks are named after it,
    // ".", and the job context's tag. devId is not kept.
    ProcTimerHandler(uint32_t tag, uint32_t devId, uint64_t bufSize, uint64_t sampleIntervalNs,
                     const std::string& procFileName, const std::string& dataName,
                     std::shared_ptr<ProfileParams> params, std::shared_ptr<JobContext> jobCtx,
                     std::shared_ptr<Uploader> upLoader);
    ~ProcTimerHandler() override = default;

    // Samples when the interval has elapsed since the last sample (at once
    // the first time).
    void Execute() override;
    // Allocates the buffer: 0, or -1 when already inited or out of memory.
    int Init() override;
    // Sends what is buffered, then releases the buffer and the uploader.
    // Always 0.
    int Uninit() override;
    // Until the interval has elapsed since the last sample, by the interval
    // clock; 0 before the first.
    uint64_t DueInNs() const override;

    // The clock that decides whether the interval has elapsed, and that
    // stamps the records unless a stamp clock is set.
    // REQUIRES: before the first Execute.
    void SetTimeSource(TimeSource now) { now_ = std::move(now); }
    // The clock read for each record just before its file is read.
    // REQUIRES: before the first Execute.
    void SetStampSource(TimeSource stamp) { stamp_ = std::move(stamp); }
    // Sends through outbox, which its owner gates and closes, instead of
    // the sampler's own. REQUIRES: before Init.
    void ShareOutbox(std::shared_ptr<SampleOutbox> outbox) {
        outbox_ = std::move(outbox);
        ownsOutbox_ = false;
    }
    const std::shared_ptr<SampleOutbox>& Outbox() const { return outbox_; }

    // Samples taken so far; safe from any thread.
    uint32_t GetIndex() const { return index_.load(std::memory_order_relaxed); }

  protected:
    // The time of the sample being taken (of the last one between samples),
    // on the interval clock.
    uint64_t GetLastTime() const { return lastTime_; }
    // The stream the /proc file is read with.
    ProcFileReader& ProcFile() { return procFile_; }

    // Turns the opened file (unopened for an empty procFileName) into the
    // text to send; text arrives empty.
    virtual void ParseProcFile(ProcFileReader& file, std::string& text) = 0;

    // Batches one record; sends the pending bytes first when it does not
    // fit, and the record alone when it is larger than the whole buffer.
    void StoreData(const std::string& record);
    // Hands bytes to the uploader as one chunk of the data file.
    void SendData(const char* data, uint64_t length);
    // Sends the pending bytes, if any.
    void FlushBuf();

  private:
    static constexpr size_t kFrameReserve = 100;

    void Frame(const std::string& text);

    // Constant after construction.
    const uint64_t bufSize_;
    const uint64_t sampleIntervalNs_;
    const std::string procFileName_;
    const std::string dataFileName_;
    const std::shared_ptr<ProfileParams> params_;
    const std::shared_ptr<JobContext> jobCtx_;
    const int32_t chunkModule_;
    const std::string chunkFileName_;  // dataFileName_ + "." + tag
    const std::string extraInfo_;      // job id + "." + device id
    TimeSource now_;
    TimeSource stamp_;  // empty: records carry the interval clock's time

    std::unique_ptr<analysis::orbx::common::memory::Chunk> buf_;  // present while inited
    ProcFileReader procFile_;
    std::string text_;    // reused for every sample
    std::string record_;  // reused for every sample
    bool isInited_ = false;
    uint64_t lastTime_ = 0;
    uint64_t stampTime_ = 0;          // of the record being framed
    std::atomic<uint32_t> index_{0};  // written by the sampling thread only
    std::shared_ptr<Uploader> upLoader_;
    std::shared_ptr<SampleOutbox> outbox_;
    bool ownsOutbox_ = true;
};

}  // namespace Analysis::Orbx::JobWrapper

#endif  // ORU_JOBS_PROC_TIMER_HANDLER_H
