#include "daemon/kvt_dsmi.h"

#include <vector>

#include "common/log.h"
#include "ostrel/hal.h"

namespace {

// Number of logical ids the driver is asked for.
constexpr uint32_t kDriverIdCount = 64;

}  // namespace

int IdeGetDevList(uint32_t* devNum, uint32_t* ids, uint32_t len) {
    if (devNum == nullptr) {
        ORU_LOGE("devNum is nullptr");
        return -1;
    }
    if (ids == nullptr || len != IDE_MAX_DEV_NUM) {
        ORU_LOGE("len is invalid");
        return -1;
    }
    drvError_t err = drvGetDevNum(devNum);
    if (err != DRV_ERROR_NONE) {
        ORU_LOGE("Get physical device number failed, err: %d", err);
        return -1;
    }
    if (*devNum >= 1 && *devNum <= IDE_MAX_DEV_NUM) {
        err = drvGetDeviceLocalIDs(ids, kDriverIdCount);
        if (err != DRV_ERROR_NONE) {
            ORU_LOGE("get device IDs failed, err: %d", err);
            return -1;
        }
    }
    return 0;
}

int IdeGetPhyDevList(uint32_t* devNum, uint32_t* phyIds, uint32_t len) {
    if (devNum == nullptr || phyIds == nullptr || len != IDE_MAX_DEV_NUM) {
        ORU_LOGE("len is invalid");
        return -1;
    }
    std::vector<uint32_t> ids(IDE_MAX_DEV_NUM, 0);
    int ret = IdeGetDevList(devNum, ids.data(), IDE_MAX_DEV_NUM);
    if (ret != 0) {
        ORU_LOGE("IdeGetDevList failed, ret: %d", ret);
        return -1;
    }
    if (*devNum > IDE_MAX_DEV_NUM) {
        return 0;
    }
    for (uint32_t i = 0; i < *devNum; ++i) {
        uint32_t phy = 0;
        drvError_t err = drvDeviceGetPhyIdByIndex(ids[i], &phy);
        if (err != DRV_ERROR_NONE) {
            ORU_LOGE("drvDeviceGetPhyIdByIndex devIds: %u failed, err: %d", ids[i], err);
            return -1;
        }
        phyIds[i] = phy;
    }
    return 0;
}

int IdeGetLogIdByPhyId(uint32_t phyId, uint32_t* logId) {
    if (logId == nullptr) {
        ORU_LOGE("logId is nullptr");
        return -1;
    }
    uint32_t devNum = 0;
    std::vector<uint32_t> ids(IDE_MAX_DEV_NUM, 0);
    if (IdeGetDevList(&devNum, ids.data(), IDE_MAX_DEV_NUM) != 0) {
        ORU_LOGE("IdeGetDevList failed");
        return -1;
    }
    if (devNum == 0 || devNum > IDE_MAX_DEV_NUM) {
        return -1;
    }
    for (uint32_t i = 0; i < devNum; ++i) {
        uint32_t phy = 0;
        drvError_t err = drvDeviceGetPhyIdByIndex(ids[i], &phy);
        if (err != DRV_ERROR_NONE) {
            ORU_LOGE("drvDeviceGetPhyIdByIndex devIds: %u failed, err: %d", ids[i], err);
            return -1;
        }
        if (phy == phyId) {
            ORU_LOGI("the logical ID(%u) is a corresponding physical ID(%u)", ids[i], phyId);
            *logId = ids[i];
            return 0;
        }
    }
    return -1;
}

int IdeGetDevIdIndexByPhyId(uint32_t phyId, uint32_t* index) {
    if (phyId > IDE_MAX_DEV_NUM || index == nullptr) {
        return -1;
    }
    drvError_t err = drvDeviceGetIndexByPhyId(phyId, index);
    if (err != DRV_ERROR_NONE) {
        ORU_LOGE("drvDeviceGetIndexByPhyId devIds: %u failed, err: %d", phyId, err);
        return -1;
    }
    return 0;
}
