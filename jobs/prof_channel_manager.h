// Owner of the process's channel poller. Collections share one poller; the
// manager counts them and stops the poller when the last one lets go.
#ifndef ORU_JOBS_PROF_CHANNEL_MANAGER_H
#define ORU_JOBS_PROF_CHANNEL_MANAGER_H

#include <cstdint>
#include <memory>
#include <mutex>

#include "common/singleton.h"
#include "jobs/prof_channel.h"

namespace Analysis::Orbx::JobWrapper {

// Safe for concurrent use. The manager's mutex is held while a poller starts,
// never while anything waits for the driver's poll: the last collection only
// asks the poll thread to end, and a forced stop joins it after unlocking.
// The poll and pool threads never take the mutex.
class ProfChannelManager : public analysis::orbx::common::singleton::Singleton<ProfChannelManager> {
  public:
    ProfChannelManager() = default;
    ~ProfChannelManager() override;

    // One more collection uses the poller; the first one starts it. 0, or the
    // poller's start result, or -1 when it cannot be created.
    int Init();
    // One collection less (force: none at all). With the last, the poll
    // thread is asked to end once its driver poll returns (it stays stored
    // for the next collection to take back until then); a forced UnInit
    // waits for it.
    void UnInit(bool force);
    // The poller while a collection uses it, or empty.
    std::shared_ptr<analysis::orbx::transport::ChannelPoll> GetChannelPoll();

  private:
    std::mutex mutex_;
    // Guarded by mutex_. Kept while its thread winds down after the last
    // collection (index_ 0), so that the next one can take it back.
    std::shared_ptr<analysis::orbx::transport::ChannelPoll> drvChannelPoll_;
    uint64_t index_ = 0;
};

}  // namespace Analysis::Orbx::JobWrapper

#endif  // ORU_JOBS_PROF_CHANNEL_MANAGER_H
