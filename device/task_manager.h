// Keeps the task (ProfJobHandler) of every running profiling job under its key,
// job id + "_" + host device number. Create, get and delete run on receiver
// threads, ConnectionReset on a receiver whose session broke, Init and UnInit on
// the main thread. The map is touched only under mutex_; a task is stopped
// (OnConnectionReset) after it left the map and mutex_ was released, since the
// stop may wait for its host.
#ifndef ORU_DEVICE_TASK_MANAGER_H
#define ORU_DEVICE_TASK_MANAGER_H

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "common/singleton.h"
#include "device/prof_job_handler.h"

namespace analysis::orbx::device {

class TaskManager : public common::singleton::Singleton<TaskManager> {
  public:
    int Init();
    int UnInit();
    // Empty when the manager is not inited, the transport is null, a task of that
    // key exists already, or the task fails to initialise.
    std::shared_ptr<ProfJobHandler> CreateTask(int hostId, const std::string& key,
                                               std::shared_ptr<transport::ITransport> transport);
    std::shared_ptr<ProfJobHandler> GetTask(const std::string& key);
    bool DeleteTask(const std::string& key);
    // Stops and removes every task started over this transport.
    void ConnectionReset(const std::shared_ptr<transport::ITransport>& transport);

  private:
    friend class common::singleton::Singleton<TaskManager>;
    TaskManager() = default;
    ~TaskManager() override = default;

    std::atomic<bool> inited_{false};
    // Guards tasks_. Held while a task's OnConnectionReset stops its
    // collection, so it comes before every lock a stop takes (the directory,
    // job registry, channel manager, timer and uploader locks) and before
    // TaskRelationshipMgr's; it is never taken under a CollectionEntry lock.
    std::mutex mutex_;
    std::map<std::string, std::shared_ptr<ProfJobHandler>> tasks_;
};

}  // namespace analysis::orbx::device

#endif  // ORU_DEVICE_TASK_MANAGER_H
