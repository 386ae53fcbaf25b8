// The uploader of one profiling job: a thread that owns the job's data
// session (through its transport) and a bounded queue of chunks. Producers
// queue chunks with UploadData; the thread takes them out in order and sends
// each one, unchanged (kChunkModuleMessage) or as a FileChunkReq. The
// uploader thread is the only writer of its data session: everything meant
// for the host on that session, replies included, goes through the queue.
//
// The queue is bounded by chunks and by bytes (payload, names and a fixed
// overhead per chunk), so a host that reads slowly costs the daemon at most
// kUploaderQueueBytes per job. Producers that must not lose data wait for
// room (UploadData); producers that must not wait try (UploadDataWithin) and
// keep what was refused; the last data of an ending producer and the
// DataChannelFinish go in whatever the bounds (ForceUploadData, Finish).
//
// Threading: UploadData may be called from any number of threads and blocks
// while the queue is full. Init, Start, Stop, Flush and Finish are called by
// the owner. The destructor stops and joins the thread; it must not run on
// the uploader thread itself.
#ifndef ORU_TRANSPORT_UPLOADER_H
#define ORU_TRANSPORT_UPLOADER_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "common/bound_queue.h"
#include "common/thread.h"
#include "transport/profile_file_chunk.h"
#include "transport/transport.h"

namespace analysis::orbx::transport {

// Bounds of a job's upload queue: by bytes, so that only a few channel chunks
// (kReaderBufferSize each) queue, and by count, so that thousands of small
// sampler chunks still fit.
constexpr uint64_t kUploaderQueueChunks = 8192;
constexpr uint64_t kUploaderQueueBytes = 32ull * 1024 * 1024;
// What a queued chunk costs beside its payload and names (record, control
// block, allocator), counted against the byte bound.
constexpr uint64_t kChunkOverheadBytes = 256;
// The longest a job's stop waits for its host to take the data still queued.
constexpr uint64_t kFlushTimeoutMs = 15000;

// The bytes a chunk is counted for in an upload queue.
uint64_t QueuedBytesOf(const ProfileFileChunk& chunk);

class Uploader : public common::thread::Thread {
  public:
    using ChunkQueue = common::queue::BoundQueue<std::shared_ptr<ProfileFileChunk>>;

    explicit Uploader(std::shared_ptr<ITransport> transport);
    ~Uploader() override;

    // Creates the queue ("UploaderQueue") of capacity chunks and at most
    // byteCapacity bytes (0: no byte bound): 0 or -1.
    int Init(uint64_t capacity, uint64_t byteCapacity = kUploaderQueueBytes);

    // Queues length bytes to be sent unchanged (a complete message): 0 or -1.
    int UploadData(const void* data, int length);
    // Queues a chunk, waiting while the queue is full: 0, or -1 when not
    // inited, for a null chunk, or once the uploader is stopping.
    int UploadData(std::shared_ptr<ProfileFileChunk> chunk);
    // Queues chunk when there is room within waitMs (0: now): 0; 1 when there
    // was none (chunk is still the caller's); -1 as UploadData.
    int UploadDataWithin(std::shared_ptr<ProfileFileChunk>& chunk, uint64_t waitMs);
    // Queues chunk whatever the bounds, without waiting: 0, or -1 as
    // UploadData. For the last data of a producer that is ending.
    int ForceUploadData(std::shared_ptr<ProfileFileChunk> chunk);

    // Waits until everything queued so far has been sent (the chunk in hand
    // included), the thread has ended, or the flush bound has passed: true
    // when all was sent.
    bool Flush();
    // Queues length bytes (the data session's last message) behind
    // everything else, whatever the bounds, and waits until the thread sent
    // it, at most the flush bound: 0 when it was written to the session. When
    // the bound passes first the session is ended (the host is not reading)
    // and -1 returned; -1 too when it could not be queued or sent.
    int Finish(const void* data, int length);

    // Ends the thread: with forceQuit false after everything queued was sent,
    // with true after at most the chunk in hand. Further UploadData calls
    // fail. Always 0; later calls do nothing.
    int Stop(bool forceQuit);
    int Stop() override { return Stop(true); }

    // True once the host has closed the session this uploader sends on.
    bool SessionEnded() const { return transport_ != nullptr && transport_->PeerClosed(); }

    // Replaces the flush bound (tests). Before Flush or Finish.
    void SetFlushTimeoutMs(uint64_t ms) { flushTimeoutMs_ = ms; }

    // The thread body: sends what is queued, in order, until stopped.
    void Run(const common::thread::ErrorContext& context) override;

  private:
    // True when the chunk was handed to the session whole.
    bool Send(const std::shared_ptr<ProfileFileChunk>& chunk);
    // Counts a chunk sent (or given up), and the finish when it is that one.
    void NoteSent(const ProfileFileChunk* chunk, bool ok);
    // Counts a queued chunk before it is queued; false when refused.
    bool Enqueue(const std::shared_ptr<ProfileFileChunk>& chunk);
    // Waits on sentCv_ until done() holds or the thread ended: false on the
    // flush bound.
    bool WaitSent(const std::function<bool()>& done);

    std::shared_ptr<ITransport> transport_;  // written by the owner only
    std::shared_ptr<ChunkQueue> queue_;      // set by Init, before Start
    std::atomic<bool> inited_{false};
    std::atomic<bool> forceQuit_{false};  // written by Stop, read by the thread
    std::atomic<bool> stopping_{false};
    uint64_t flushTimeoutMs_ = kFlushTimeoutMs;  // owner only

    // What the thread has sent, for Flush and Finish.
    std::mutex sentMutex_;  // after the queue's mutex is released; a leaf
    std::condition_variable sentCv_;
    uint64_t unsent_ = 0;                       // guarded: queued and not yet sent
    const ProfileFileChunk* finish_ = nullptr;  // guarded: the finish being waited for
    int finishResult_ = 1;                      // guarded: 1 pending, 0 sent, -1 failed
    bool runEnded_ = false;                     // guarded: set when Run returns
};

}  // namespace analysis::orbx::transport

#endif  // ORU_TRANSPORT_UPLOADER_H
