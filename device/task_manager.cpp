#include "device/task_manager.h"

#include <vector>

#include "common/log.h"
#include "common/make_shared.h"
#include "device/task_relationship_mgr.h"

namespace analysis::orbx::device {

using Analysis::Orbx::TaskHandle::TaskRelationshipMgr;

int TaskManager::Init() {
    inited_ = true;
    return 0;
}

int TaskManager::UnInit() {
    if (inited_) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& entry : tasks_) {
            entry.second->OnConnectionReset();
        }
        tasks_.clear();
        inited_ = false;
    }
    return 0;
}

std::shared_ptr<ProfJobHandler> TaskManager::CreateTask(
    int hostId, const std::string& key, std::shared_ptr<transport::ITransport> transport) {
    if (transport == nullptr) {
        ORU_LOGE("CreateTask failed, transport is nullptr");
        return nullptr;
    }
    if (!inited_) {
        ORU_LOGE("TaskManager is not inited yet");
        return nullptr;
    }
    ORU_LOGI("CreateTask, hostId(%d), JobId(%s)", hostId, key.c_str());
    if (GetTask(key) != nullptr) {
        ORU_LOGI("JobId(%s) task exist, don't create again", key.c_str());
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    auto task = common::MakeShared<ProfJobHandler>();
    if (task == nullptr) {
        return nullptr;
    }
    int devIndex = TaskRelationshipMgr::GetInstance().GetDevIdByHostId(hostId);
    if (task->Init(devIndex, key, std::move(transport)) != 0) {
        return nullptr;
    }
    task->SetDevIdOnHost(hostId);
    // The existence check above and this insertion are separate critical
    // sections: a concurrent creation of the same key keeps the first task.
    auto inserted = tasks_.emplace(key, task);
    if (!inserted.second) {
        ORU_LOGI("JobId(%s) task exist, don't create again", key.c_str());
        return nullptr;
    }
    return task;
}

std::shared_ptr<ProfJobHandler> TaskManager::GetTask(const std::string& key) {
    if (!inited_) {
        ORU_LOGE("TaskManager is not inited yet");
        return nullptr;
    }
    ORU_LOGI("GetTask, JobId(%s)", key.c_str());
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = tasks_.find(key);
    return it == tasks_.end() ? nullptr : it->second;
}

bool TaskManager::DeleteTask(const std::string& key) {
    if (!inited_) {
        ORU_LOGE("TaskManager is not inited yet");
        return false;
    }
    ORU_LOGI("DeleteTask, JobId(%s)", key.c_str());
    std::shared_ptr<ProfJobHandler> removed;  // a task may end its engine: not under the mutex
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = tasks_.find(key);
    if (it == tasks_.end()) {
        return false;
    }
    removed = std::move(it->second);
    tasks_.erase(it);
    return true;
}

void TaskManager::ConnectionReset(const std::shared_ptr<transport::ITransport>& transport) {
    if (transport == nullptr) {
        ORU_LOGE("ConnectionReset failed, transport is null");
        return;
    }
    // Stopping a task waits for its host (the last data, up to the flush
    // bound): take the tasks out first, so that no other job waits for the
    // mutex meanwhile.
    std::vector<std::shared_ptr<ProfJobHandler>> reset;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = tasks_.begin(); it != tasks_.end();) {
            if (it->second->GetTransport() == transport) {
                reset.push_back(std::move(it->second));
                it = tasks_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& task : reset) {
        task->OnConnectionReset();
    }
}

}  // namespace analysis::orbx::device
