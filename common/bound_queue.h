// A bounded blocking FIFO that carries work and data between threads (chunks
// to an uploader, tasks to a pool worker). It is bounded by its item count
// and, when given a byte capacity, by the bytes its items hold (each push
// says how many). A full queue blocks its producers and never drops an item;
// producers that must not wait try a push and keep the item when there is no
// room. Quit is final: later pushes are refused, blocked callers wake up, and
// what is still stored can be popped.
//
// Safe for concurrent use by any number of producers and consumers. Items
// are moved in and out; T is in practice a shared pointer.
#ifndef ORU_COMMON_BOUND_QUEUE_H
#define ORU_COMMON_BOUND_QUEUE_H

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <utility>

#include "common/log.h"
#include "common/queue_base.h"

namespace analysis::orbx::common::queue {

template <class T>
class BoundQueue : public QueueBase<T> {
  public:
    // Results of PushWithin.
    static constexpr int kPushed = 0;
    static constexpr int kNoRoom = 1;  // item is still the caller's
    static constexpr int kQuit = -1;

    // A capacity of 0 accepts nothing: every push waits until Quit. A byte
    // capacity of 0 bounds the count alone. An item larger than the whole
    // byte capacity is taken when the queue is empty.
    explicit BoundQueue(uint64_t capacity, uint64_t byteCapacity = 0)
        : QueueBase<T>(capacity, "BoundQueue"), byteCapacity_(byteCapacity) {}
    ~BoundQueue() override = default;

    // Appends item (holding bytes), waiting while there is no room for it.
    // False (item dropped here, nothing stored) once the queue is quit.
    bool Push(T item, uint64_t bytes = 0);
    // Appends item when there is room for it within waitMs. With waitMs 0
    // it does not wait, and finds no room while other producers wait for
    // some. On kNoRoom and kQuit item is left with the caller.
    int PushWithin(T& item, uint64_t bytes, uint64_t waitMs);
    // Appends item whatever the bounds (the last data of a producer that is
    // ending, which must neither wait nor be lost). False once quit.
    bool ForcePush(T item, uint64_t bytes);

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
    // Bytes held by the queued items.
    uint64_t Bytes();

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
    bool HasRoomLocked(uint64_t bytes) const;
    void NoteSizeLocked();
    void AppendLocked(T item, uint64_t bytes);
    // After a pop: one slot freed lets one producer on; freed bytes may let
    // on a producer other than the first waiter.
    void WakeProducers();
    T TakeFrontLocked();
    double PercentLocked() const;

    const uint64_t byteCapacity_;
    // Guarded by mutex_: the bytes of each stored item, in queue order, and
    // their sum.
    std::deque<uint64_t> itemBytes_;
    uint64_t bytes_ = 0;
    uint32_t waiting_ = 0;  // producers waiting for room

    std::condition_variable notEmpty_;  // waited on by Pop
    std::condition_variable notFull_;   // waited on by Push
};

template <class T>
void BoundQueue<T>::NoteSizeLocked() {
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
}

template <class T>
bool BoundQueue<T>::Push(T item, uint64_t bytes) {
    std::unique_lock<std::mutex> lock(mutex_);
    NoteSizeLocked();
    bool room = HasRoomLocked(bytes);
    if (!room && capacity_ != 0) {
        (void)IsFullLocked();
        ORU_LOGW("QueueFull,QueueName: %s, QueueCapacity:%zu, QueueSize:%zu, Percent:%-7.4f%%",
                 name_.c_str(), static_cast<size_t>(capacity_), queue_.size(), PercentLocked());
    }
    while (!room && !quit_) {
        ++waiting_;
        notFull_.wait(lock);
        --waiting_;
        room = HasRoomLocked(bytes);
    }
    if (quit_) {
        return false;
    }
    AppendLocked(std::move(item), bytes);
    lock.unlock();
    // One item in, so one consumer can make progress.
    notEmpty_.notify_one();
    return true;
}

template <class T>
int BoundQueue<T>::PushWithin(T& item, uint64_t bytes, uint64_t waitMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    bool room = false;
    if (waitMs == 0) {
        // A producer that does not wait never overtakes one that does.
        room = waiting_ == 0 && HasRoomLocked(bytes);
    } else {
        ++waiting_;
        room = notFull_.wait_for(lock, std::chrono::milliseconds(waitMs),
                                 [&] { return quit_ || HasRoomLocked(bytes); });
        --waiting_;
    }
    if (quit_) {
        return kQuit;
    }
    if (!room) {
        return kNoRoom;
    }
    NoteSizeLocked();
    AppendLocked(std::move(item), bytes);
    lock.unlock();
    notEmpty_.notify_one();
    return kPushed;
}

template <class T>
bool BoundQueue<T>::ForcePush(T item, uint64_t bytes) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (quit_) {
        return false;
    }
    NoteSizeLocked();
    AppendLocked(std::move(item), bytes);
    lock.unlock();
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
    WakeProducers();
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
    WakeProducers();
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
uint64_t BoundQueue<T>::Bytes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return bytes_;
}

template <class T>
bool BoundQueue<T>::HasRoomLocked(uint64_t bytes) const {
    if (queue_.size() >= capacity_) {
        return false;
    }
    return byteCapacity_ == 0 || queue_.empty() || bytes_ + bytes <= byteCapacity_;
}

template <class T>
void BoundQueue<T>::AppendLocked(T item, uint64_t bytes) {
    queue_.push_back(std::move(item));
    itemBytes_.push_back(bytes);
    bytes_ += bytes;
}

template <class T>
void BoundQueue<T>::WakeProducers() {
    if (byteCapacity_ == 0) {
        notFull_.notify_one();
    } else {
        notFull_.notify_all();
    }
}

template <class T>
bool BoundQueue<T>::IsFullLocked() const {
    if (queue_.size() < capacity_ && (byteCapacity_ == 0 || bytes_ < byteCapacity_)) {
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
    bytes_ -= itemBytes_.front();
    itemBytes_.pop_front();
    return front;
}

template <class T>
double BoundQueue<T>::PercentLocked() const {
    return static_cast<double>(queue_.size()) / static_cast<double>(capacity_) * 100.0;
}

}  // namespace analysis::orbx::common::queue

#endif  // ORU_COMMON_BOUND_QUEUE_H
