#include "common/ide_common_util.h"

#include <chrono>

#include "common/clock.h"

using analysis::orbx::common::Clock;

void IdeSleep(uint32_t milliseconds) {
    Clock::Default().SleepFor(std::chrono::milliseconds(milliseconds));
}

int IdeCreateTask(mmThread* thread, mmThreadFunc func, void* arg, bool detach) {
    mmThreadAttr attr{};
    attr.detach = detach ? 1 : 0;
    attr.stackFlag = 1;
    attr.stackSize = kIdeThreadStackSize;
    return mmCreateTaskWithThreadAttr(thread, func, arg, &attr);
}

bool IdeStopEvent::WaitFor(uint32_t milliseconds) {
    std::unique_lock<std::mutex> lock(mu_);
    return !Clock::Default().WaitFor(lock, cv_, std::chrono::milliseconds(milliseconds),
                                     [this] { return set_; });
}

void IdeStopEvent::Set() {
    {
        std::lock_guard<std::mutex> lock(mu_);
        set_ = true;
    }
    cv_.notify_all();
}

void IdeStopEvent::Reset() {
    std::lock_guard<std::mutex> lock(mu_);
    set_ = false;
}

bool IdeStopEvent::IsSet() {
    std::lock_guard<std::mutex> lock(mu_);
    return set_;
}
