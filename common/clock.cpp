#include "common/clock.h"

#include <atomic>
#include <climits>

#include "ostrel/mm.h"

namespace analysis::orbx::common {

namespace {

std::atomic<Clock*> g_default{nullptr};

}  // namespace

uint64_t Clock::NowNs() {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(Now().time_since_epoch()).count());
}

Clock& Clock::Default() {
    Clock* clock = g_default.load(std::memory_order_acquire);
    return clock != nullptr ? *clock : RealClock::Instance();
}

void Clock::SetDefault(Clock* clock) {
    g_default.store(clock, std::memory_order_release);
}

RealClock& RealClock::Instance() {
    static RealClock clock;
    return clock;
}

Clock::TimePoint RealClock::Now() {
    return std::chrono::steady_clock::now();
}

void RealClock::SleepFor(std::chrono::milliseconds ms) {
    const auto count = ms.count();
    (void)mmSleep(count <= 0 ? 0 : count > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(count));
}

bool RealClock::WaitFor(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                        std::chrono::milliseconds ms, const std::function<bool()>& pred) {
    return cv.wait_for(lock, ms, pred);
}

}  // namespace analysis::orbx::common
