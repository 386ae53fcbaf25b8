// State shared by the daemon's queues: a fixed capacity, the FIFO store, a
// name for the statistics lines, the quit flag and the fill statistics. All
// fields are guarded by mutex_; the subclass defines the operations.
#ifndef ORU_COMMON_QUEUE_BASE_H
#define ORU_COMMON_QUEUE_BASE_H

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

namespace analysis::orbx::common::queue {

template <class T>
class QueueBase {
  public:
    QueueBase(const QueueBase&) = delete;
    QueueBase& operator=(const QueueBase&) = delete;
    virtual ~QueueBase() = default;

  protected:
    QueueBase(uint64_t capacity, std::string name) : capacity_(capacity), name_(std::move(name)) {}

    const uint64_t capacity_;

    std::mutex mutex_;
    // State below is protected by mutex_.
    std::deque<T> queue_;
    std::string name_;
    bool quit_ = false;
    uint64_t pushCount_ = 0;
    uint64_t hisMaxSize_ = 0;  // largest size seen by a push ("HisMaxCut")
};

}  // namespace analysis::orbx::common::queue

#endif  // ORU_COMMON_QUEUE_BASE_H
