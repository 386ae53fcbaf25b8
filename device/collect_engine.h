// Runs the collection of one profiling job on one device: parses the sample
// configuration, creates the job's directories, starts and releases the
// channel poller, and registers and stops the collection jobs the
// configuration switches on. Used by one task at a time.
#ifndef ORU_DEVICE_COLLECT_ENGINE_H
#define ORU_DEVICE_COLLECT_ENGINE_H

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "jobs/collection_register.h"
#include "jobs/prof_comm_job.h"
#include "message/job_context.h"
#include "message/profile_params.h"
#include "message/status_info.h"

namespace analysis::orbx::device {

class CollectEngine {
  public:
    using EventList = std::shared_ptr<std::vector<std::string>>;
    static constexpr int kJobTagCount = 39;

    CollectEngine() = default;
    virtual ~CollectEngine();

    int Init(int devIndex);
    void SetDevIdOnHost(int devIdOnHost);
    int CollectStart(const std::string& sampleConfig, message::StatusInfo& status);
    int CollectStartReplay(EventList ctrlCpuEvents, message::StatusInfo& status,
                           EventList llcEvents);
    int CollectStopReplay(message::StatusInfo& status);
    int CollectStop(message::StatusInfo& status);

  private:
    struct JobEntry {
        int jobTag = 0;
        std::shared_ptr<Analysis::Orbx::JobWrapper::CollectionJobCfg> cfg;
        std::shared_ptr<Analysis::Orbx::JobWrapper::ICollectionJob> job;
        // Registered by this engine: only then is the registry's entry at
        // (device, tag) this job's, and this engine's to unregister.
        bool registered = false;
    };

    void CreateCollectionJobArray();
    int Prepare(const std::string& sampleConfig, message::StatusInfo& status);
    int CreateDirs();
    int RemoveDirs();
    // Unregisters and stops the jobs this engine registered: how many of them
    // did not stop cleanly, or -1 when the engine has not been started.
    int StopJobs(message::StatusInfo& status);
    int RegisterAndRunJobs(message::StatusInfo& status);
    bool CheckPmuEventIsValid(const EventList& ctrlCpuEvents, const EventList& llcEvents);

    std::string sampleConfig_;
    std::shared_ptr<Analysis::Orbx::JobWrapper::CollectionJobCommonParams> commonParams_;
    std::array<JobEntry, kJobTagCount> jobs_;
    bool inited_ = false;
    std::string tmpResultDir_;
    bool started_ = false;
};

}  // namespace analysis::orbx::device

#endif  // ORU_DEVICE_COLLECT_ENGINE_H
