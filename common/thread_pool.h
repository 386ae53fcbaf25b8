// A fixed set of worker threads, each with its own bounded task queue.
// Dispatch by key (mode 1, the task's HashId) keeps every task of one key on
// one worker and in dispatch order; any other mode spreads tasks round robin.
// Producers contend only on the queue of the worker they chose.
//
// Threading: Start, Stop and the setters are called by the owner from one
// thread; Dispatch is safe from any number of threads while the pool runs,
// but must not overlap Start or Stop.
#ifndef ORU_COMMON_THREAD_POOL_H
#define ORU_COMMON_THREAD_POOL_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/bound_queue.h"
#include "common/thread.h"

namespace analysis::orbx::common::thread {

class Task {
  public:
    virtual ~Task() = default;
    // The work, run on a pool thread.
    virtual int Execute() = 0;
    // The key by which a pool in mode 1 chooses the thread.
    virtual uint32_t HashId() = 0;
};

class ThreadPool {
  public:
    static constexpr uint32_t kDispatchByHashId = 1;
    static constexpr uint64_t kDefaultQueueCapacity = 64;

    ThreadPool(uint32_t mode, uint32_t threadCount);
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;
    // Stops the pool.
    virtual ~ThreadPool();

    // REQUIRES: before Start. Thread i is named the prefix followed by i.
    void SetThreadPoolNamePrefix(const std::string& prefix) { namePrefix_ = prefix; }
    // REQUIRES: before Start. Capacity of each thread's queue.
    void SetThreadPoolQueueSize(uint64_t size) { queueCapacity_ = size; }

    // Creates and starts the threads; a thread that fails to start is
    // skipped. 0 when the pool runs, -1 when it does not (no threads asked
    // for, or a thread object could not be created).
    int Start();

    // Stops every thread in order (each runs what is queued to it first),
    // then drops them. REQUIRES: not called from a pool thread.
    void Stop();

    // Queues task on the chosen thread, waiting while that queue is full.
    // False (nothing queued) for a null task or a pool that does not run.
    bool Dispatch(const std::shared_ptr<Task>& task);

    bool IsRunning() const { return running_.load(); }

    class InnnerThread : public Thread {
      public:
        explicit InnnerThread(uint64_t queueCapacity) : queueCapacity_(queueCapacity) {}
        ~InnnerThread() override;

        // Creates the task queue, named after the thread, and starts the
        // thread: 0, or -1 on failure.
        int Start() override;
        // Quits the queue, then joins the thread once it has run every task
        // still queued. 0 when not started.
        int Stop() override;

        // Waits while the queue is full; false once the queue is quit.
        bool AddTask(std::shared_ptr<Task> task);

        void Run(const ErrorContext& context) override;

      private:
        using TaskQueue = queue::BoundQueue<std::shared_ptr<Task>>;

        const uint64_t queueCapacity_;
        // Written by the owner only; the queue pointer is set before the
        // thread starts and kept until the object goes.
        bool started_ = false;
        std::shared_ptr<TaskQueue> queue_;
    };

  private:
    const uint32_t threadCount_;
    const uint32_t mode_;
    std::atomic<uint32_t> roundRobin_{0};
    std::atomic<bool> running_{false};
    // Written by Start and Stop only.
    std::vector<std::shared_ptr<InnnerThread>> threads_;
    std::string namePrefix_;
    uint64_t queueCapacity_ = kDefaultQueueCapacity;
};

}  // namespace analysis::orbx::common::thread

#endif  // ORU_COMMON_THREAD_POOL_H
