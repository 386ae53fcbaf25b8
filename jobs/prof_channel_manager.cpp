#include "jobs/prof_channel_manager.h"

#include "common/log.h"
#include "common/make_shared.h"

namespace Analysis::Orbx::JobWrapper {

using analysis::orbx::transport::ChannelPoll;

ProfChannelManager::~ProfChannelManager() {
    std::lock_guard<std::mutex> lock(mutex_);
    StopPollLocked();
}

int ProfChannelManager::Init() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++index_;
    ORU_LOGI("ProfChannelManager Init index:%lu", static_cast<unsigned long>(index_));
    if (drvChannelPoll_ != nullptr) {
        ORU_LOGI("ProfChannelManager already inited");
        return 0;
    }
    drvChannelPoll_ = analysis::orbx::common::MakeShared<ChannelPoll>();
    if (drvChannelPoll_ == nullptr) {
        return -1;
    }
    int ret = drvChannelPoll_->Start();
    if (ret != 0) {
        ORU_LOGI("drvChannelPoll start thread pool failed");
        return ret;
    }
    ORU_LOGI("Init Poll Succ");
    return 0;
}

void ProfChannelManager::UnInit(bool force) {
    std::lock_guard<std::mutex> lock(mutex_);
    ORU_LOGI("ProfChannelManager UnInit index:%lu", static_cast<unsigned long>(index_));
    if (force) {
        index_ = 0;
    } else {
        if (index_ == 0) {
            return;
        }
        if (--index_ != 0) {
            return;
        }
    }
    StopPollLocked();
}

void ProfChannelManager::StopPollLocked() {
    if (drvChannelPoll_ == nullptr) {
        return;
    }
    if (drvChannelPoll_->Stop() != 0) {
        ORU_LOGE("drvChannelPoll_ stop failed");
    }
    drvChannelPoll_.reset();
    ORU_LOGI("UnInit Poll Succ");
}

std::shared_ptr<ChannelPoll> ProfChannelManager::GetChannelPoll() {
    std::lock_guard<std::mutex> lock(mutex_);
    return drvChannelPoll_;
}

}  // namespace Analysis::Orbx::JobWrapper
