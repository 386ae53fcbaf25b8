// Maps the host's number for a device, learnt from a control handshake, to the
// device index used on this side. Entries are added or overwritten, never
// removed. Safe for concurrent use.
#ifndef ORU_DEVICE_TASK_RELATIONSHIP_MGR_H
#define ORU_DEVICE_TASK_RELATIONSHIP_MGR_H

#include <map>
#include <mutex>

#include "common/singleton.h"

namespace Analysis::Orbx::TaskHandle {

class TaskRelationshipMgr
    : public analysis::orbx::common::singleton::Singleton<TaskRelationshipMgr> {
  public:
    void AddHostIdDevIdRelation(int hostId, int devIndex);
    // A host number without a recorded relation maps to itself.
    int GetDevIdByHostId(int hostId);

  private:
    friend class analysis::orbx::common::singleton::Singleton<TaskRelationshipMgr>;
    TaskRelationshipMgr() = default;
    ~TaskRelationshipMgr() override = default;

    // Guards hostIdToDevId_. Last in every order: nothing is called under it.
    std::mutex mutex_;
    std::map<int, int> hostIdToDevId_;
};

}  // namespace Analysis::Orbx::TaskHandle

#endif  // ORU_DEVICE_TASK_RELATIONSHIP_MGR_H
