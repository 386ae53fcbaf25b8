// Owner of the process's channel poller. Collections share one poller; the
// manager counts them and stops the poller when the last one lets go.
#ifndef ORU_JOBS_PROF_CHANNEL_MANAGER_H
#define ORU_JOBS_PROF_CHANNEL_MANAGER_H

#include <cstdint>
#include <memory>
#include <mutex>

#include "common/singleton.h"
#include "transport/prof_channel.h"

namespace Analysis::Orbx::JobWrapper {

// Safe for concurrent use. The manager's mutex is held while the poller
// starts or stops (joining its threads); the poll and pool threads never take
// it.
class ProfChannelManager : public analysis::orbx::common::singleton::Singleton<ProfChannelManager> {
  public:
    ProfChannelManager() = default;
    ~ProfChannelManager() override;

    // One more collection uses the poller; the first one starts it. 0, or the
    // poller's start result, or -1 when it cannot be created.
    int Init();
    // One collection less (force: none at all); the poller stops with the
    // last.
    void UnInit(bool force);
    // The running poller, or empty.
    std::shared_ptr<analysis::orbx::transport::ChannelPoll> GetChannelPoll();

  private:
    // REQUIRES: mutex_ held.
    void StopPollLocked();

    std::mutex mutex_;
    // Guarded by mutex_.
    std::shared_ptr<analysis::orbx::transport::ChannelPoll> drvChannelPoll_;
    uint64_t index_ = 0;
};

}  // namespace Analysis::Orbx::JobWrapper

#endif  // ORU_JOBS_PROF_CHANNEL_MANAGER_H
