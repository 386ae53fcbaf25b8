#include "daemon/ide_common_util.h"

#include <atomic>
#include <chrono>

namespace {

std::atomic<IdeSleepFunc> g_sleepFunc{nullptr};

}  // namespace

void IdeSetSleepFunc(IdeSleepFunc fn) {
    g_sleepFunc.store(fn);
}

void IdeSleep(uint32_t milliseconds) {
    IdeSleepFunc fn = g_sleepFunc.load();
    if (fn != nullptr) {
        fn(milliseconds);
        return;
    }
    (void)mmSleep(milliseconds);
}

int IdeCreateTask(mmThread* thread, mmThreadFunc func, void* arg, bool detach) {
    mmThreadAttr attr{};
    attr.detach = detach ? 1 : 0;
    attr.stackFlag = 1;
    attr.stackSize = kIdeThreadStackSize;
    return mmCreateTaskWithThreadAttr(thread, func, arg, &attr);
}

bool IdeStopEvent::WaitFor(uint32_t milliseconds) {
    IdeSleepFunc fn = g_sleepFunc.load();
    if (fn != nullptr) {
        if (IsSet()) {
            return false;
        }
        fn(milliseconds);
        return !IsSet();
    }
    std::unique_lock<std::mutex> lock(mu_);
    return !cv_.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return set_; });
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
