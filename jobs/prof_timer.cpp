#include "jobs/prof_timer.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <utility>

#include "common/log.h"
#include "common/make_shared.h"
#include "common/utils.h"

namespace Analysis::Orbx::JobWrapper {

using analysis::orbx::common::MakeShared;
using analysis::orbx::common::Utils;

TimeSource DefaultTimeSource() {
    return [] { return Utils::GetTimeNs(); };
}

TimerWait DefaultTimerWait() {
    // The condition variable waits on the steady clock, which is the
    // monotonic clock of Utils::GetTimeNs.
    return [](std::condition_variable& cv, std::unique_lock<std::mutex>& lock, uint64_t ns) {
        (void)cv.wait_for(lock, std::chrono::nanoseconds(ns));
    };
}

ProfTimer::ProfTimer(std::shared_ptr<TimerParam> param, TimerWait wait)
    : pauseNs_((param != nullptr ? param->pauseUs : kDefaultPauseUs) * 1000),
      wait_(wait ? std::move(wait) : DefaultTimerWait()) {}

ProfTimer::~ProfTimer() {
    (void)Stop();
}

void ProfTimer::RegisterTimerHandler(uint32_t tag, std::shared_ptr<TimerHandler> handler) {
    ORU_LOGI("ProfTimer RegisterTimerHandler tag %u", tag);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        handlers_[tag] = std::move(handler);
    }
    // The new handler samples at once, not when the others are next due.
    wake_.notify_all();
}

void ProfTimer::RemoveTimerHandler(uint32_t tag) {
    ORU_LOGI("ProfTimer RemoveTimerHandler tag %u begin", tag);
    std::shared_ptr<TimerHandler> removed;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = handlers_.find(tag);
        if (it != handlers_.end()) {
            removed = std::move(it->second);
            handlers_.erase(it);
        }
    }
    wake_.notify_all();
    // Off the timer now: its last data goes out without holding up the
    // other jobs' passes.
    if (removed != nullptr) {
        (void)removed->Uninit();
    }
    ORU_LOGI("ProfTimer RemoveTimerHandler tag %u succ", tag);
}

int ProfTimer::Start() {
    ORU_LOGI("Start ProfTimer begin");
    int ret = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (isStarted_.load()) {
            ORU_LOGE("ProfTimer is running");
            ret = -1;
        } else {
            isStarted_.store(true);
            SetThreadName("KTRX_ProfTimer");
            if (Thread::Start() != 0) {
                isStarted_.store(false);
                ret = -1;
            } else {
                ORU_LOGI("Start ProfTimer succ");
            }
        }
    }
    ORU_LOGI("Start ProfTimer end");
    return ret;
}

int ProfTimer::Stop() {
    ORU_LOGI("Stop ProfTimer begin");
    int ret = 0;
    if (isStarted_.exchange(false)) {
        Wake();
        ret = Thread::Stop();
        std::map<uint32_t, std::shared_ptr<TimerHandler>> handlers;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            handlers.swap(handlers_);
        }
        for (auto& entry : handlers) {
            if (entry.second != nullptr) {
                (void)entry.second->Uninit();
            }
        }
        ORU_LOGI("Stop ProfTimer succ");
    }
    ORU_LOGI("Stop ProfTimer end");
    return ret;
}

void ProfTimer::Wake() {
    { std::lock_guard<std::mutex> lock(mutex_); }
    wake_.notify_all();
}

void ProfTimer::Run(const analysis::orbx::common::thread::ErrorContext& /*context*/) {
    std::unique_lock<std::mutex> lock(mutex_);
    do {
        RunPass();
        // Stop clears isStarted_ before it takes the mutex to wake the
        // thread: seen here, or the wake comes while the thread waits.
        if (!isStarted_.load() || IsQuit()) {
            break;
        }
        wait_(wake_, lock, NextWaitNs());
    } while (isStarted_.load() && !IsQuit());
}

void ProfTimer::RunPass() {
    for (auto& entry : handlers_) {
        if (entry.second == nullptr) {
            continue;
        }
        // A failed allocation while sampling costs that sample, not the daemon.
        try {
            entry.second->Execute();
        } catch (const std::exception& e) {
            ORU_LOGE("ProfTimer handler tag %u failed: %s", entry.first, e.what());
        }
    }
}

uint64_t ProfTimer::NextWaitNs() const {
    uint64_t wait = kLongestWaitNs;
    for (const auto& entry : handlers_) {
        if (entry.second != nullptr) {
            wait = std::min(wait, entry.second->DueInNs());
        }
    }
    return std::max(wait, pauseNs_);
}

int TimerManager::StartProfTimer() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (refCount_ == 0) {
        auto param = MakeShared<TimerParam>(kTimerPauseUs);
        if (param == nullptr) {
            return -1;
        }
        auto timer = MakeShared<ProfTimer>(param);
        if (timer == nullptr) {
            return -1;
        }
        timer_ = timer;
        if (timer_->Start() != 0) {
            ORU_LOGE("StartProfTimer failed");
            return -1;
        }
        ORU_LOGI("StartProfTimer end");
    }
    refCount_++;
    return 0;
}

void TimerManager::StopProfTimer() {
    std::shared_ptr<ProfTimer> last;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (refCount_ == 0) {
            ORU_LOGW("StopProfTimer without a user");
            return;
        }
        refCount_--;
        if (refCount_ == 0) {
            last = timer_;  // stays stored until the next start replaces it
        }
    }
    // Joined outside the mutex: a start meanwhile makes a new timer.
    if (last != nullptr) {
        ORU_LOGI("StopProfTimer begin");
        if (last->Stop() != 0) {
            ORU_LOGE("StopProfTimer failed");
        }
        ORU_LOGI("StopProfTimer end");
    }
}

void TimerManager::RegisterTimerHandler(uint32_t tag, std::shared_ptr<TimerHandler> handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (timer_ != nullptr && handler != nullptr) {
        timer_->RegisterTimerHandler(tag, std::move(handler));
    }
}

void TimerManager::RemoveTimerHandler(uint32_t tag) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (timer_ != nullptr) {
        timer_->RemoveTimerHandler(tag);
    }
}

}  // namespace Analysis::Orbx::JobWrapper
