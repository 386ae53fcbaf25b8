// Test helper: a clock whose pauses are recorded and return at once; OnSleep, when set, runs on
// the sleeping thread after the record (to hold a thread or sleep in part). Install it before
// the threads that use it start and restore the real clock after they end.
#ifndef ORU_TESTING_TEST_FAKE_CLOCK_H
#define ORU_TESTING_TEST_FAKE_CLOCK_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "common/clock.h"

namespace analysis::orbx::common {

class FakeClock : public Clock {
  public:
    // The pause in ms and how many were recorded, this one included.
    using SleepHook = std::function<void(uint32_t ms, size_t count)>;

    FakeClock() = default;
    explicit FakeClock(SleepHook onSleep) : onSleep_(std::move(onSleep)) {}

    TimePoint Now() override { return std::chrono::steady_clock::now(); }

    void SleepFor(std::chrono::milliseconds ms) override {
        const auto value = static_cast<uint32_t>(ms.count());
        size_t count = 0;
        SleepHook hook;
        {
            std::lock_guard<std::mutex> lock(mu_);
            sleeps_.push_back(value);
            count = sleeps_.size();
            hook = onSleep_;
        }
        recorded_.notify_all();
        if (hook) {
            hook(value, count);
        }
    }

    bool WaitFor(std::unique_lock<std::mutex>& lock, std::condition_variable& /*cv*/,
                 std::chrono::milliseconds ms, const std::function<bool()>& pred) override {
        if (pred()) {
            return true;
        }
        lock.unlock();
        SleepFor(ms);
        lock.lock();
        return pred();
    }

    void SetOnSleep(SleepHook onSleep) {
        std::lock_guard<std::mutex> lock(mu_);
        onSleep_ = std::move(onSleep);
    }

    std::vector<uint32_t> Sleeps() const {
        std::lock_guard<std::mutex> lock(mu_);
        return sleeps_;
    }
    size_t Count(uint32_t ms) const {
        std::lock_guard<std::mutex> lock(mu_);
        return CountLocked(ms);
    }
    // Waits at most bound until n pauses of ms were asked for.
    bool AwaitSleeps(uint32_t ms, size_t n,
                     std::chrono::milliseconds bound = std::chrono::seconds(10)) const {
        std::unique_lock<std::mutex> lock(mu_);
        return recorded_.wait_for(lock, bound, [&] { return CountLocked(ms) >= n; });
    }

  private:
    size_t CountLocked(uint32_t ms) const {
        size_t n = 0;
        for (uint32_t s : sleeps_) {
            n += s == ms ? 1 : 0;
        }
        return n;
    }

    mutable std::mutex mu_;
    mutable std::condition_variable recorded_;
    std::vector<uint32_t> sleeps_;  // guarded by mu_
    SleepHook onSleep_;             // guarded by mu_
};

}  // namespace analysis::orbx::common

#endif  // ORU_TESTING_TEST_FAKE_CLOCK_H
