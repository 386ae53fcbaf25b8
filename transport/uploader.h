// The uploader of one profiling job: a thread that owns the job's data
// session (through its transport) and a bounded queue of chunks. Producers
// queue chunks with UploadData; the thread takes them out in order and sends
// each one, unchanged (kChunkModuleMessage) or as a FileChunkReq. The
// uploader thread is the only writer of its data session: everything meant
// for the host on that session, replies included, goes through the queue.
//
// Threading: UploadData may be called from any number of threads and blocks
// while the queue is full. Init, Start, Stop and Flush are called by the
// owner. The destructor stops and joins the thread; it must not run on the
// uploader thread itself.
#ifndef ORU_TRANSPORT_UPLOADER_H
#define ORU_TRANSPORT_UPLOADER_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "common/bound_queue.h"
#include "common/thread.h"
#include "transport/profile_file_chunk.h"
#include "transport/transport.h"

namespace analysis::orbx::transport {

class Uploader : public common::thread::Thread {
  public:
    using ChunkQueue = common::queue::BoundQueue<std::shared_ptr<ProfileFileChunk>>;
    // Sleeps the given microseconds; Flush waits through it.
    using SleepFunc = std::function<void(uint64_t)>;

    explicit Uploader(std::shared_ptr<ITransport> transport);
    ~Uploader() override;

    // Creates the queue ("UploaderQueue") of capacity chunks: 0 or -1.
    int Init(uint64_t capacity);

    // Queues length bytes to be sent unchanged (a complete message): 0 or -1.
    int UploadData(const void* data, int length);
    // Queues a chunk, waiting while the queue is full: 0, or -1 when not
    // inited, for a null chunk, or once the uploader is stopping.
    int UploadData(std::shared_ptr<ProfileFileChunk> chunk);

    // Returns once the queue is empty (the chunk in hand may still be on its
    // way: Stop completes it), or once the thread has ended. No time limit.
    void Flush();

    // Ends the thread: with forceQuit false after everything queued was sent,
    // with true after at most the chunk in hand. Further UploadData calls
    // fail. Always 0; later calls do nothing.
    int Stop(bool forceQuit);
    int Stop() override { return Stop(true); }

    // True once the host has closed the session this uploader sends on.
    bool SessionEnded() const { return transport_ != nullptr && transport_->PeerClosed(); }

    // Replaces the sleep of Flush (tests).
    void SetSleepFunc(SleepFunc sleep) { sleep_ = std::move(sleep); }

    // The thread body: sends what is queued, in order, until stopped.
    void Run(const common::thread::ErrorContext& context) override;

  private:
    void Send(const std::shared_ptr<ProfileFileChunk>& chunk);

    std::shared_ptr<ITransport> transport_;  // written by the owner only
    std::shared_ptr<ChunkQueue> queue_;      // set by Init, before Start
    std::atomic<bool> inited_{false};
    std::atomic<bool> forceQuit_{false};  // written by Stop, read by the thread
    std::atomic<bool> stopping_{false};
    std::atomic<bool> runEnded_{false};  // set by the thread when Run returns
    SleepFunc sleep_;
};

}  // namespace analysis::orbx::transport

#endif  // ORU_TRANSPORT_UPLOADER_H
