// A bounded blocking FIFO that carries work and data between threads (chunks
// to an uploader, tasks to a pool worker). A full queue blocks its producers
// and never drops an item. Quit is final: later pushes are refused, blocked
// callers wake up, and what is still stored can be popped.
//
// Safe for concurrent use by any number of producers and consumers. Items
// are moved in and out; T is in practice a shared pointer.
#ifndef ORU_COMMON_BOUND_QUEUE_H
#define ORU_COMMON_BOUND_QUEUE_H

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>

#include "common/log.h"
#include "common/queue_base.h"

namespace analysis::orbx::common::queue {

template <class T>
class BoundQueue : public QueueBase<T> {
  public:
    // A capacity of 0 accepts nothing: every push waits until Quit.
    explicit BoundQueue(uint64_t capacity) : QueueBase<T>(capacity, "BoundQueue") {}
    ~BoundQueue() override = default;

    // Appends item, waiting while the queue is full. False (item dropped
    // here, nothing stored) once the queue is quit.
    bool Push(T item);

    // Takes the front item into item: true, or false at once when empty.
    // Still hands out the remaining items after Quit.
    bool TryPop(T& item);

    // Waits until an item is there or the queue is quit. True with the front
    // item in item; false, item unchanged, when the queue is quit and empty.
    bool Pop(T& item);

    // Refuses further pushes and wakes every waiting caller. Idempotent.
    void Quit();

    // An empty name is ignored.
    void SetQueueName(const std::string& name);

    // Size equals capacity; a full queue is logged as a warning.
    bool IsFull();
    size_t Size();

  private:
    using QueueBase<T>::capacity_;
    using QueueBase<T>::mutex_;
    using QueueBase<T>::queue_;
    using QueueBase<T>::name_;
    using QueueBase<T>::quit_;
    using QueueBase<T>::pushCount_;
    using QueueBase<T>::hisMaxSize_;

    static constexpr uint64_t kStatisticsPeriod = 500;

    // REQUIRES: mutex_ held.
    bool IsFullLocked() const;
    T TakeFrontLocked();
    double PercentLocked() const;

    std::condition_variable notEmpty_;  // waited on by Pop
    std::condition_variable notFull_;   // waited on by Push
};

template <class T>
bool BoundQueue<T>::Push(T item) {
    std::unique_lock<std::mutex> lock(mutex_);
    ++pushCount_;
    const size_t size = queue_.size();
    if (size > hisMaxSize_) {
        hisMaxSize_ = size;
    }
    if (pushCount_ % kStatisticsPeriod == 0) {
        pushCount_ = 0;
        if (capacity_ != 0) {
            ORU_LOGI(
                "QueueName: %s, QueueCapacity:%zu, QueueSize:%zu, HisMaxCut:%zu, Percent:%-7.4f%%",
                name_.c_str(), static_cast<size_t>(capacity_), size,
                static_cast<size_t>(hisMaxSize_), PercentLocked());
        }
    }
    bool full = IsFullLocked();
    if (full && capacity_ != 0) {
        ORU_LOGW("QueueFull,QueueName: %s, QueueCapacity:%zu, QueueSize:%zu, Percent:%-7.4f%%",
                 name_.c_str(), static_cast<size_t>(capacity_), queue_.size(), PercentLocked());
    }
    while (full && !quit_) {
        notFull_.wait(lock);
        full = IsFullLocked();
    }
    if (quit_) {
        return false;
    }
    queue_.push_back(std::move(item));
    lock.unlock();
    // One item in, so one consumer can make progress.
    notEmpty_.notify_one();
    return true;
}

template <class T>
bool BoundQueue<T>::TryPop(T& item) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (queue_.empty()) {
        return false;
    }
    T front = TakeFrontLocked();
    lock.unlock();
    // One slot freed, so one producer can make progress.
    notFull_.notify_one();
    // Whatever item held before is released outside the lock.
    item = std::move(front);
    return true;
}

template <class T>
bool BoundQueue<T>::Pop(T& item) {
    std::unique_lock<std::mutex> lock(mutex_);
    notEmpty_.wait(lock, [this] { return !queue_.empty() || quit_; });
    if (queue_.empty()) {
        return false;
    }
    T front = TakeFrontLocked();
    lock.unlock();
    notFull_.notify_one();
    item = std::move(front);
    return true;
}

template <class T>
void BoundQueue<T>::Quit() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (quit_) {
            return;
        }
        quit_ = true;
    }
    notEmpty_.notify_all();
    notFull_.notify_all();
}

template <class T>
void BoundQueue<T>::SetQueueName(const std::string& name) {
    if (name.empty()) {
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    name_ = name;
}

template <class T>
bool BoundQueue<T>::IsFull() {
    std::lock_guard<std::mutex> lock(mutex_);
    return IsFullLocked();
}

template <class T>
size_t BoundQueue<T>::Size() {
    std::lock_guard<std::mutex> lock(mutex_);
    return queue_.size();
}

template <class T>
bool BoundQueue<T>::IsFullLocked() const {
    if (queue_.size() != capacity_) {
        return false;
    }
    ORU_LOGW("IsFULL, QueueName: %s, QueueCapacity:%zu, QueueSize:%zu", name_.c_str(),
             static_cast<size_t>(capacity_), queue_.size());
    return true;
}

template <class T>
T BoundQueue<T>::TakeFrontLocked() {
    T front = std::move(queue_.front());
    queue_.pop_front();
    return front;
}

template <class T>
double BoundQueue<T>::PercentLocked() const {
    return static_cast<double>(queue_.size()) / static_cast<double>(capacity_) * 100.0;
}

}  // namespace analysis::orbx::common::queue

#endif  // ORU_COMMON_BOUND_QUEUE_H
