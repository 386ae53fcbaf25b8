#include "jobs/prof_timer.h"

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

SleepFunc DefaultSleep() {
    return [](uint64_t us) { (void)Utils::Usleep(us); };
}

ProfTimer::ProfTimer(std::shared_ptr<TimerParam> param, SleepFunc sleep)
    : param_(std::move(param)), sleep_(sleep ? std::move(sleep) : DefaultSleep()) {}

ProfTimer::~ProfTimer() {
    (void)Stop();
}

void ProfTimer::RegisterTimerHandler(uint32_t tag, std::shared_ptr<TimerHandler> handler) {
    ORU_LOGI("ProfTimer RegisterTimerHandler tag %u", tag);
    std::lock_guard<std::mutex> lock(mutex_);
    handlers_[tag] = std::move(handler);
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

void ProfTimer::Run(const analysis::orbx::common::thread::ErrorContext& /*context*/) {
    do {
        {
            std::lock_guard<std::mutex> lock(mutex_);
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
        sleep_(param_ != nullptr ? param_->pauseUs : kDefaultPauseUs);
    } while (isStarted_.load() && !IsQuit());
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
    std::lock_guard<std::mutex> lock(mutex_);
    if (refCount_ == 0) {
        ORU_LOGW("StopProfTimer without a user");
        return;
    }
    refCount_--;
    if (timer_ != nullptr && refCount_ == 0) {
        ORU_LOGI("StopProfTimer begin");
        if (timer_->Stop() != 0) {
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
