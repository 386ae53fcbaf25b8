#include "jobs/prof_channel_manager.h"

#include "common/log.h"
#include "common/make_shared.h"

namespace Analysis::Orbx::JobWrapper {

using analysis::orbx::transport::ChannelPoll;

ProfChannelManager::~ProfChannelManager() {
    UnInit(true);
}

int ProfChannelManager::Init() {
    std::shared_ptr<ChannelPoll> ended;  // joined once the lock is released
    std::lock_guard<std::mutex> lock(mutex_);
    ++index_;
    ORU_LOGI("ProfChannelManager Init index:%lu", static_cast<unsigned long>(index_));
    if (drvChannelPoll_ != nullptr) {
        // A poller whose last collection has gone is taken back while its
        // thread still runs; one whose thread has ended is replaced.
        if (index_ > 1 || drvChannelPoll_->Resume()) {
            ORU_LOGI("ProfChannelManager already inited");
            return 0;
        }
        ended = std::move(drvChannelPoll_);
    }
    auto poll = analysis::orbx::common::MakeShared<ChannelPoll>();
    int ret = poll != nullptr ? poll->Start() : -1;
    if (ret != 0) {
        // A poller that did not start is not kept, and counts no use.
        --index_;
        if (poll != nullptr) {
            ORU_LOGI("drvChannelPoll start thread pool failed");
        }
        return ret;
    }
    drvChannelPoll_ = std::move(poll);
    ORU_LOGI("Init Poll Succ");
    return 0;
}

void ProfChannelManager::UnInit(bool force) {
    std::shared_ptr<ChannelPoll> stopped;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ORU_LOGI("ProfChannelManager UnInit index:%lu", static_cast<unsigned long>(index_));
        if (force) {
            index_ = 0;
            stopped = std::move(drvChannelPoll_);
        } else if (index_ == 0 || --index_ != 0) {
            return;
        } else if (drvChannelPoll_ != nullptr) {
            // The poll thread may sit in the driver's poll for a while yet:
            // it ends by itself when the poll returns, and the next
            // collection may take it back before that.
            drvChannelPoll_->RequestStop();
            ORU_LOGI("UnInit Poll Succ");
        }
    }
    if (stopped != nullptr) {
        (void)stopped->Stop();  // waits for the driver's poll: outside the lock
        ORU_LOGI("UnInit Poll Succ");
    }
}

std::shared_ptr<ChannelPoll> ProfChannelManager::GetChannelPoll() {
    std::lock_guard<std::mutex> lock(mutex_);
    return index_ > 0 ? drvChannelPoll_ : nullptr;
}

}  // namespace Analysis::Orbx::JobWrapper
