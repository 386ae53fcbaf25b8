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

std::shared_ptr<ICollectionJob> CollectionRegisterMgr::FindOwnLocked(int devId, int jobTag) {
    if (!ValidSlot(devId, jobTag)) {
        return nullptr;
    }
    int holder = devId;
    if (IsGlobalJobLevelLocked(holder, jobTag) || holder != devId) {
        return nullptr;  // nothing there, or a global job another device holds
    }
    auto device = jobs_.find(devId);
    if (device == jobs_.end()) {
        return nullptr;
    }
    auto slot = device->second.find(jobTag);
    return slot == device->second.end() ? nullptr : slot->second;
}

bool CollectionRegisterMgr::GetAndDelLocked(int devId, int jobTag,
                                            std::shared_ptr<ICollectionJob>& job) {
    std::shared_ptr<ICollectionJob> found = FindOwnLocked(devId, jobTag);
    if (found == nullptr) {
        return false;
    }
    jobs_[devId].erase(jobTag);
    job = std::move(found);
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
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!InsertLocked(devId, jobTag, job)) {
            return -1;
        }
    }
    ORU_LOGD("Collection Job Registeter, devId:%d jobTag:%d", devId, jobTag);
    return job->Process();
}

int CollectionRegisterMgr::CollectionJobUnregisterAndStop(int devId, int jobTag) {
    if (!ValidSlot(devId, jobTag)) {
        return -1;
    }
    std::shared_ptr<ICollectionJob> job;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        job = FindOwnLocked(devId, jobTag);
        if (job == nullptr || !stopping_.emplace(devId, jobTag).second) {
            return -1;
        }
    }
    ORU_LOGD("Collection Job Unregisteter, devId:%d jobTag:%d", devId, jobTag);
    const int ret = job->Uninit();
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_.erase({devId, jobTag});
    auto& slots = jobs_[devId];
    auto slot = slots.find(jobTag);
    if (slot != slots.end() && slot->second == job) {
        slots.erase(slot);
    }
    return ret;
}

}  // namespace Analysis::Orbx::JobWrapper
