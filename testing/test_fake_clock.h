// Test helper: a clock whose pauses return at once (or do what the test
// says), each one recorded.
//
// Time runs as it really does; the pauses of the code under test are not
// spent. A test hands the clock to the code (Clock::SetDefault, or an
// object's SetClock) and looks at the pauses asked for. OnSleep, when set,
// runs on the sleeping thread after the pause is recorded: it may block (to
// hold a thread at a pause) or really sleep part of the time. A WaitFor is a
// recorded pause between two looks at its condition.
//
// Safe from any thread. Install it before the threads that use it start and
// restore the real clock after they ended.
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
    // Called with the pause in milliseconds and how many pauses were
    // recorded so far, this one included.
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

    // Replaces what each pause does from now on.
    void SetOnSleep(SleepHook onSleep) {
        std::lock_guard<std::mutex> lock(mu_);
        onSleep_ = std::move(onSleep);
    }

    // The pauses asked for so far, in milliseconds, in order.
    std::vector<uint32_t> Sleeps() const {
        std::lock_guard<std::mutex> lock(mu_);
        return sleeps_;
    }
    // How many pauses of ms were asked for.
    size_t Count(uint32_t ms) const {
        std::lock_guard<std::mutex> lock(mu_);
        return CountLocked(ms);
    }
    // Waits at most bound until n pauses of ms were asked for: whether they were.
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
