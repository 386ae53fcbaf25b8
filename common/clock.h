// The daemon's time and waits: one door that tests can replace.
//
// Every pause the daemon takes and every steady time it reads goes through a
// Clock. The process clock (Clock::Default) is the real one unless a test has
// installed its own; objects whose waits a test wants to see on their own
// (the channel poller, the control-CPU task) take a Clock of their own with
// SetClock and otherwise use the process clock.
//
// Waits that end when another thread makes progress (a queue with room, an
// upload sent) are condition waits on that progress, not clock waits.
#ifndef ORU_COMMON_CLOCK_H
#define ORU_COMMON_CLOCK_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

namespace analysis::orbx::common {

class Clock {
  public:
    using TimePoint = std::chrono::steady_clock::time_point;

    virtual ~Clock() = default;

    // Monotonic time.
    virtual TimePoint Now() = 0;
    // Pauses the calling thread for ms milliseconds.
    virtual void SleepFor(std::chrono::milliseconds ms) = 0;
    // Waits on cv until pred holds or ms milliseconds have passed: pred's
    // last value. REQUIRES: lock holds the mutex that guards what pred reads
    // and that the notifier of cv takes.
    virtual bool WaitFor(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                         std::chrono::milliseconds ms, const std::function<bool()>& pred) = 0;

    // Now() as nanoseconds.
    uint64_t NowNs();

    // The process clock: the real one unless a test installed another.
    static Clock& Default();
    // Installs clock as the process clock; nullptr restores the real one.
    // Tests only. The clock must outlive every use, so install it before the
    // threads that use it start and restore the real one after they ended.
    static void SetDefault(Clock* clock);
};

// The system's steady clock; sleeps through the platform (mmSleep).
// Stateless, safe from any thread.
class RealClock final : public Clock {
  public:
    static RealClock& Instance();

    TimePoint Now() override;
    void SleepFor(std::chrono::milliseconds ms) override;
    bool WaitFor(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                 std::chrono::milliseconds ms, const std::function<bool()>& pred) override;
};

}  // namespace analysis::orbx::common

#endif  // ORU_COMMON_CLOCK_H
