// The registry of running collection jobs, by device and job tag. Registering
// a job runs its Process, unregistering runs its Uninit. A global job (one
// for the whole card) is held by the device that registered it first and
// blocks that tag on every other device.
#ifndef ORU_JOBS_COLLECTION_REGISTER_H
#define ORU_JOBS_COLLECTION_REGISTER_H

#include <map>
#include <memory>
#include <mutex>

#include "common/singleton.h"
#include "jobs/prof_comm_job.h"

namespace Analysis::Orbx::JobWrapper {

// Safe for concurrent use. Lock order: the registry's mutex is held while a
// job's Process or Uninit runs, so it comes before every lock those take (the
// channel manager's, the channel poller's map mutex, a reader's mutexes, the
// uploader's queue). A job must not call back into the registry.
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
    // Unregisters the device's job at the tag and runs its Uninit: that
    // result, or -1 when the device holds no job there.
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

    std::mutex mutex_;
    // Guarded by mutex_. Device maps are never removed.
    std::map<int, std::map<int, std::shared_ptr<ICollectionJob>>> jobs_;
};

}  // namespace Analysis::Orbx::JobWrapper

#endif  // ORU_JOBS_COLLECTION_REGISTER_H
