// Moving driver channel data to the host. One poll thread (ChannelPoll) waits
// on the driver for channels holding data and hands each ready channel to its
// ChannelReader, a task on a small pool that drains the channel into a buffer
// of kReaderBufferSize and passes buffers to the job's uploader as file chunks.
//
// Lock order (outer first): the poller's map mutex -> a reader's mutex -> the
// reader's read mutex; a reader's mutex -> the uploader manager's mutex and
// the uploader queue's (its uploads). RemoveReader runs the reader's Uninit
// (and so its final upload) under the map mutex. Callers may hold the job
// registry's mutex around AddReader and RemoveReader; nothing here takes it.
#ifndef ORU_JOBS_PROF_CHANNEL_H
#define ORU_JOBS_PROF_CHANNEL_H

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "common/byte_buffer_pool.h"
#include "common/clock.h"
#include "common/perf_count.h"
#include "common/thread.h"
#include "common/thread_pool.h"
#include "ostrel/hal.h"

#include "transport/profile_file_chunk.h"

namespace analysis::orbx::message {
class JobContext;
}

namespace analysis::orbx::transport {

// Reader buffers, and the sizes that trigger an upload.
constexpr uint32_t kReaderBufferSize = 0x400000;     // 4 MiB
constexpr uint32_t kReaderDryUploadSize = 0x100000;  // upload once dry from 1 MiB
constexpr uint64_t kReaderPassLimit = 0x2000000;     // one pass yields at 32 MiB
// Executions queued per reader beyond which a dispatch is dropped.
constexpr uint32_t kReaderMaxPending = 2;
// Reader buffers kept for reuse while no reader needs them.
constexpr size_t kReaderIdleBuffers = 4;
// How often a reader waiting for room in its job's upload queue looks
// whether it is being removed.
constexpr uint64_t kReaderQueueWaitMs = 50;

class ChannelReader : public common::thread::Task {
  public:
    // fileName: the data file relative to the collection's result directory.
    ChannelReader(uint32_t deviceId, uint32_t channelId, const std::string& fileName,
                  std::shared_ptr<message::JobContext> jobCtx);
    ~ChannelReader() override = default;

    // 0, or -1 when the speed counters cannot be created.
    int Init();
    // One read pass: drains the channel until it runs dry or kReaderPassLimit
    // bytes have been read. A buffer is sent when full, or from
    // kReaderDryUploadSize when the channel runs dry. Always 0.
    int Execute() override;
    uint32_t HashId() override { return static_cast<uint32_t>(taskKey_); }

    // Executions still to run see the reader quit and read nothing.
    void SetQuit() { quit_.store(true); }
    // More executions are queued than worth adding to.
    bool IsBusy() const { return pendingCount_.load() > kReaderMaxPending; }
    // Called by the poller before it queues an execution; an execution that
    // was not queued after all is given back with OnDispatchFailed.
    void OnDispatched() { pendingCount_.fetch_add(1); }
    void OnDispatchFailed() { FinishExecution(); }

    // Logs the reader's statistics, drains what the (stopped) channel still
    // holds and uploads everything that remains. Waits for a running
    // execution. No execution reads afterwards.
    void Uninit();

  private:
    // Hands the buffer to the job's uploader. The last uploads of a reader
    // being removed go in without waiting for room. REQUIRES: mutex_ held.
    void UploadLocked(bool last);
    // Queues chunk to the uploader of the job on this reader's device: 0 or -1.
    int Queue(const std::string& jobId, std::shared_ptr<ProfileFileChunk> chunk, bool last);
    // Reads once into the free part of the buffer: bytes read, 0 when dry,
    // -1 on error. REQUIRES: mutex_ held.
    int ReadOnceLocked();
    void FinishExecution();

    // Constant after construction.
    const uint32_t deviceId_;
    const uint32_t channelId_;
    const std::string fileName_;
    const uint32_t bufSize_;
    const std::shared_ptr<message::JobContext> jobCtx_;

    std::atomic<bool> quit_{false};
    std::atomic<uint32_t> pendingCount_{0};

    // Guards one execution or the final upload at a time, and the state below.
    // After the poller's map mutex, before readMutex_ and the upload's locks.
    std::mutex mutex_;
    uint32_t currLen_ = 0;
    uint32_t spaceSize_ = 0;
    std::shared_ptr<common::memory::ByteBuffer> buffer_;  // kReaderBufferSize bytes, from a pool
    int32_t taskKey_ = 0;
    int64_t totalSize_ = 0;
    bool inited_ = false;
    std::shared_ptr<Analysis::Orbx::Common::Statistics::PerfCount> speed_;
    std::shared_ptr<Analysis::Orbx::Common::Statistics::PerfCount> speedAll_;
    uint64_t lastEndTime_ = 0;
    uint64_t readCount_ = 0;

    // Guards no memory: held only around each driver read. Last in the order.
    std::mutex readMutex_;
};

class ChannelPoll : public common::thread::Thread {
  public:
    static constexpr int kPollRecordNum = 6;
    static constexpr int kPollTimeoutSec = 1;
    static constexpr uint32_t kMinPoolThreads = 4;
    static constexpr uint32_t kMaxPoolThreads = 64;
    static constexpr uint64_t kPoolQueueSize = 8192;
    // Pause before the next poll when no reported channel could be queued.
    static constexpr uint32_t kBusyBackoffMs = 1;

    ChannelPoll() = default;
    ~ChannelPoll() override;

    // Starts a reader pool sized by the device count (4 to 64 threads) and
    // the poll thread. 0 / -1. Owner thread only.
    int Start() override;
    // Stops the poll thread, then the pool (which runs what is queued).
    // Waits for the driver's poll to return (up to kPollTimeoutSec). Always 0.
    // Owner thread only.
    int Stop() override;
    // Asks the poll thread to end without waiting for it: once its current
    // driver poll (and the dispatch of what it reported) is done, the thread
    // stops the pool and ends. Safe from any thread.
    void RequestStop();
    // Withdraws a stop request that the poll thread has not acted on yet:
    // true when the thread runs on, false when it has ended or is ending (or
    // never started). Safe from any thread.
    bool Resume();

    // Registers the channel's reader, replacing an earlier one.
    void AddReader(uint32_t deviceId, uint32_t channelId, std::shared_ptr<ChannelReader> reader);
    // Unregisters the channel's reader, marks it quit and runs its Uninit,
    // which uploads what it still holds.
    void RemoveReader(uint32_t deviceId, uint32_t channelId);
    // Queues one execution of the channel's reader unless it is busy: true
    // when an execution was queued. Called by the poll thread (a test may
    // call it while the poll thread runs and is not asked to stop).
    bool DispatchChannel(uint32_t deviceId, uint32_t channelId);
    // Replaces the clock of the poll thread's pauses (tests); the process
    // clock otherwise. Before Start; clock must outlive the poll thread.
    void SetClock(common::Clock& clock) { clock_ = &clock; }

    // Pool threads for a device count: the count clamped to 4..64.
    static uint32_t PoolSizeForDevices(int deviceNum);

  protected:
    void Run(const common::thread::ErrorContext& context) override;

  private:
    using ReaderMap = std::map<uint32_t, std::map<uint32_t, std::shared_ptr<ChannelReader>>>;

    // The poll thread's life: kRunning -> kStopping (RequestStop) -> back to
    // kRunning (Resume), or -> kEnded, set by the poll thread itself when it
    // sees the request after a poll, or after a poll error.
    enum State : int { kIdle, kRunning, kStopping, kEnded };

    // True (and the state is then kEnded) when a stop was requested.
    bool EndIfStopping();
    common::Clock& UsedClock() const {
        return clock_ != nullptr ? *clock_ : common::Clock::Default();
    }
    // Stops the pool and logs the poll counts. REQUIRES: on the poll thread
    // as it ends, or on the owner's thread once the poll thread has been
    // joined (or never ran).
    void EndPool();

    std::atomic<int> state_{kIdle};

    // Set by Start before the thread runs; dropped by EndPool.
    std::shared_ptr<common::thread::ThreadPool> pool_;
    common::Clock* clock_ = nullptr;  // set before Start; null: the process clock

    // Guards readers_. First of this file's locks: before any reader's mutex.
    std::mutex mapMutex_;
    ReaderMap readers_;

    // Written by the poll thread; read by EndPool.
    uint32_t pollCount_ = 0;
    uint32_t sleepCount_ = 0;
    uint32_t dispatchCount_ = 0;
    uint32_t dispatchChannelCount_ = 0;
};

}  // namespace analysis::orbx::transport

#endif  // ORU_JOBS_PROF_CHANNEL_H
