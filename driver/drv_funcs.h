// The card driver's entry points used by the driver wrappers and the platform
// layer. They are reached through one table so that a test can answer for the
// driver (exact version words, channel lists, poll results); the daemon always
// runs with the driver library's own functions.
#ifndef ORU_DRIVER_DRV_FUNCS_H
#define ORU_DRIVER_DRV_FUNCS_H

#include <cstdint>

#include "ostrel/hal.h"

namespace analysis::orbx::driver {

struct DrvFuncs {
    int (*profDrvGetChannels)(uint32_t deviceId, ProfChannelList* channels);
    int (*profDrvStart)(uint32_t deviceId, uint32_t channelId, ProfStartPara* para);
    int (*profStop)(uint32_t deviceId, uint32_t channelId);
    int (*profChannelRead)(uint32_t deviceId, uint32_t channelId, char* buf, uint32_t bufSize);
    int (*profChannelPoll)(ProfPollInfo* out, int num, int timeoutSec);
    drvError_t (*getDevNum)(uint32_t* num);
    drvError_t (*getDevIDs)(uint32_t* devices, uint32_t len);
    drvError_t (*getPlatformInfo)(uint32_t* info);
    drvError_t (*getDeviceInfo)(uint32_t devId, int32_t moduleType, int32_t infoType,
                                int64_t* value);
    drvError_t (*getApiVersion)(uint32_t* version);
};

// The driver library's functions.
const DrvFuncs& LibraryDrvFuncs();

// The table in use: the library's unless a test replaced it.
const DrvFuncs& Drv();

// Replaces the table in use; null restores the library's. The table must
// outlive its use. Call only while no driver call is in flight.
void SetDrvFuncs(const DrvFuncs* funcs);

}  // namespace analysis::orbx::driver

#endif  // ORU_DRIVER_DRV_FUNCS_H
