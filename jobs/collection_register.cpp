#include "jobs/collection_register.h"

#include "common/log.h"

namespace Analysis::Orbx::JobWrapper {

namespace {

bool ValidSlot(int devId, int jobTag) {
    return devId >= 0 && jobTag >= 0 && jobTag <= kMaxJobTag;
}

}  // namespace

bool CollectionRegisterMgr::IsGlobalJobLevelLocked(int& devId, int jobTag) {
    if (!ValidSlot(devId, jobTag)) {
        return false;
    }
    for (const auto& device : jobs_) {
        auto slot = device.second.find(jobTag);
        if (slot != device.second.end() && slot->second != nullptr &&
            slot->second->IsGlobalJobLevel()) {
            devId = device.first;
            ORU_LOGW("IsGlobalJobLevel, devId:%d jobTag:%d", devId, jobTag);
            return false;
        }
    }
    auto device = jobs_.find(devId);
    if (device == jobs_.end()) {
        return true;
    }
    auto slot = device->second.find(jobTag);
    return slot == device->second.end() || slot->second == nullptr;
}

bool CollectionRegisterMgr::InsertLocked(int devId, int jobTag,
                                         const std::shared_ptr<ICollectionJob>& job) {
    if (!ValidSlot(devId, jobTag) || job == nullptr) {
        return false;
    }
    int holder = devId;
    if (!IsGlobalJobLevelLocked(holder, jobTag)) {
        return false;
    }
    jobs_[devId][jobTag] = job;
    return true;
}

bool CollectionRegisterMgr::GetAndDelLocked(int devId, int jobTag,
                                            std::shared_ptr<ICollectionJob>& job) {
    if (!ValidSlot(devId, jobTag)) {
        return false;
    }
    int holder = devId;
    if (IsGlobalJobLevelLocked(holder, jobTag) || holder != devId) {
        return false;  // nothing there, or a global job another device holds
    }
    auto device = jobs_.find(devId);
    if (device == jobs_.end()) {
        return false;
    }
    auto slot = device->second.find(jobTag);
    if (slot == device->second.end()) {
        return false;
    }
    job = slot->second;
    device->second.erase(slot);
    return true;
}

bool CollectionRegisterMgr::IsGlobalJobLevel(int& devId, int jobTag) {
    std::lock_guard<std::mutex> lock(mutex_);
    return IsGlobalJobLevelLocked(devId, jobTag);
}

bool CollectionRegisterMgr::IsJobRegistered(int devId, int jobTag,
                                            const std::shared_ptr<ICollectionJob>& job) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto device = jobs_.find(devId);
    if (job == nullptr || device == jobs_.end()) {
        return false;
    }
    auto slot = device->second.find(jobTag);
    return slot != device->second.end() && slot->second == job;
}

bool CollectionRegisterMgr::InsertCollectionJob(int devId, int jobTag,
                                                const std::shared_ptr<ICollectionJob>& job) {
    std::lock_guard<std::mutex> lock(mutex_);
    return InsertLocked(devId, jobTag, job);
}

bool CollectionRegisterMgr::GetAndDelCollectionJob(int devId, int jobTag,
                                                   std::shared_ptr<ICollectionJob>& job) {
    std::lock_guard<std::mutex> lock(mutex_);
    return GetAndDelLocked(devId, jobTag, job);
}

int CollectionRegisterMgr::CollectionJobRegisterAndRun(int devId, int jobTag,
                                                       const std::shared_ptr<ICollectionJob>& job) {
    if (!ValidSlot(devId, jobTag) || job == nullptr) {
        return -1;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (!InsertLocked(devId, jobTag, job)) {
        return -1;
    }
    ORU_LOGD("Collection Job Registeter, devId:%d jobTag:%d", devId, jobTag);
    return job->Process();
}

int CollectionRegisterMgr::CollectionJobUnregisterAndStop(int devId, int jobTag) {
    if (!ValidSlot(devId, jobTag)) {
        return -1;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    std::shared_ptr<ICollectionJob> job;
    if (!GetAndDelLocked(devId, jobTag, job) || job == nullptr) {
        return -1;
    }
    ORU_LOGD("Collection Job Unregisteter, devId:%d jobTag:%d", devId, jobTag);
    return job->Uninit();
}

}  // namespace Analysis::Orbx::JobWrapper
