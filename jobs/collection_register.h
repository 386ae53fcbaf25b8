// The registry of running collection jobs, by device and job tag. Registering
// a job runs its Process, unregistering runs its Uninit. A global job (one
// for the whole card) is held by the device that registered it first and
// blocks that tag on every other device. A job holds its slot from its
// registration until its Uninit has returned.
#ifndef ORU_JOBS_COLLECTION_REGISTER_H
#define ORU_JOBS_COLLECTION_REGISTER_H

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <utility>

#include "common/singleton.h"
#include "jobs/prof_comm_job.h"

namespace Analysis::Orbx::JobWrapper {

// Safe for concurrent use. A job's Process and Uninit run outside the
// registry's mutex (they may wait for the device, within bounds), so one
// job's start or stop never holds up another's; the slot they hold keeps
// the same tag from being registered meanwhile. The mutex is taken under no
// other lock and no other lock is taken under it.
class CollectionRegisterMgr
    : public analysis::orbx::common::singleton::Singleton<CollectionRegisterMgr> {
  public:
    CollectionRegisterMgr() = default;
    ~CollectionRegisterMgr() override = default;

    // Registers the job and runs its Process: that result, or -1 when the
    // arguments are invalid or the tag is taken on the device (or globally).
    // A job whose Process failed stays registered: its caller unregisters it
    // (IsJobRegistered tells the two failures apart).
    int CollectionJobRegisterAndRun(int devId, int jobTag,
                                    const std::shared_ptr<ICollectionJob>& job);
    // Runs the Uninit of the device's job at the tag, then unregisters it:
    // that result, or -1 when the device holds no job there or its stop is
    // already under way.
    int CollectionJobUnregisterAndStop(int devId, int jobTag);

    // True when job itself is registered at (devId, jobTag).
    bool IsJobRegistered(int devId, int jobTag, const std::shared_ptr<ICollectionJob>& job);

    // True when a job may be registered at (devId, jobTag). When another
    // device holds a global job at the tag, devId becomes that device.
    bool IsGlobalJobLevel(int& devId, int jobTag);
    bool InsertCollectionJob(int devId, int jobTag, const std::shared_ptr<ICollectionJob>& job);
    bool GetAndDelCollectionJob(int devId, int jobTag, std::shared_ptr<ICollectionJob>& job);

  private:
    // REQUIRES: mutex_ held.
    bool IsGlobalJobLevelLocked(int& devId, int jobTag);
    bool InsertLocked(int devId, int jobTag, const std::shared_ptr<ICollectionJob>& job);
    bool GetAndDelLocked(int devId, int jobTag, std::shared_ptr<ICollectionJob>& job);
    // The job registered by devId itself at the tag, or null.
    std::shared_ptr<ICollectionJob> FindOwnLocked(int devId, int jobTag);

    std::mutex mutex_;
    // Guarded by mutex_. Device maps are never removed.
    std::map<int, std::map<int, std::shared_ptr<ICollectionJob>>> jobs_;
    // Guarded by mutex_: (device, tag) of the jobs whose Uninit runs.
    std::set<std::pair<int, int>> stopping_;
};

}  // namespace Analysis::Orbx::JobWrapper

#endif  // ORU_JOBS_COLLECTION_REGISTER_H
