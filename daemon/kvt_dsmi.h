// Device-id mapping between the driver's logical ids (device indexes) and
// physical ids. Stateless; safe from any thread.
#ifndef ORU_DAEMON_KVT_DSMI_H
#define ORU_DAEMON_KVT_DSMI_H

#include <cstdint>

// Size of every device-id array handed to these routines; also the largest
// device count accepted.
constexpr uint32_t IDE_MAX_DEV_NUM = 1124;

// The device count and, when it is 1 to IDE_MAX_DEV_NUM, the logical ids
// (the driver fills at most 64). len must be IDE_MAX_DEV_NUM. 0 or -1.
int IdeGetDevList(uint32_t* devNum, uint32_t* ids, uint32_t len);

// The device count and the physical id of each of the first devNum logical
// ids (none are converted when the count is above IDE_MAX_DEV_NUM). 0 or -1.
int IdeGetPhyDevList(uint32_t* devNum, uint32_t* phyIds, uint32_t len);

// The logical id whose physical id is phyId. 0 or -1 (also when none matches).
int IdeGetLogIdByPhyId(uint32_t phyId, uint32_t* logId);

// The driver's device index of a physical id not above IDE_MAX_DEV_NUM. 0 or -1.
int IdeGetDevIdIndexByPhyId(uint32_t phyId, uint32_t* index);

#endif  // ORU_DAEMON_KVT_DSMI_H
