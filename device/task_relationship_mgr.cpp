#include "device/task_relationship_mgr.h"

#include "common/log.h"

namespace Analysis::Orbx::TaskHandle {

void TaskRelationshipMgr::AddHostIdDevIdRelation(int hostId, int devIndex) {
    ORU_LOGI("hostId: %d, devId: %d Entering HostId DeviceId Map...", hostId, devIndex);
    std::lock_guard<std::mutex> lock(mutex_);
    hostIdToDevId_[hostId] = devIndex;
}

int TaskRelationshipMgr::GetDevIdByHostId(int hostId) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = hostIdToDevId_.find(hostId);
    return it == hostIdToDevId_.end() ? hostId : it->second;
}

}  // namespace Analysis::Orbx::TaskHandle
