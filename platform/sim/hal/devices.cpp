// Device enumeration and device information of the simulated card.
#include <cstdint>

#include "ostrel/hal.h"
#include "ostrel/sim_control.h"
#include "sim_config.h"
#include "sim_faults.h"

using namespace ostrel::sim;

namespace {

// Fills up to len ids 0, 1, ... of the configured devices.
drvError_t FillLogicalIds(int point, uint32_t* devices, uint32_t len) {
    Injection injection = Faults::Instance().Check(point);
    if (injection.fail) {
        return injection.code;
    }
    if (devices == nullptr || len == 0) {
        return DRV_ERROR_INVALID_VALUE;
    }
    auto config = GetConfig();
    for (uint32_t i = 0; i < config->devices && i < len; ++i) {
        devices[i] = i;
    }
    return DRV_ERROR_NONE;
}

}  // namespace

extern "C" {

drvError_t drvGetDevNum(uint32_t* num) {
    Injection injection = Faults::Instance().Check(OSTREL_SIM_FAULT_DEV_NUM);
    if (injection.fail) {
        return injection.code;
    }
    if (num == nullptr) {
        return DRV_ERROR_INVALID_VALUE;
    }
    *num = injection.override ? static_cast<uint32_t>(injection.value) : GetConfig()->devices;
    return DRV_ERROR_NONE;
}

drvError_t drvGetDeviceLocalIDs(uint32_t* devices, uint32_t len) {
    return FillLogicalIds(OSTREL_SIM_FAULT_LOCAL_IDS, devices, len);
}

drvError_t drvGetDevIDs(uint32_t* devices, uint32_t len) {
    return FillLogicalIds(OSTREL_SIM_FAULT_DEV_IDS, devices, len);
}

drvError_t drvDeviceGetPhyIdByIndex(uint32_t devIndex, uint32_t* phyId) {
    Injection injection = Faults::Instance().Check(OSTREL_SIM_FAULT_PHY_ID);
    if (injection.fail) {
        return injection.code;
    }
    auto config = GetConfig();
    if (phyId == nullptr || devIndex >= config->devices) {
        return DRV_ERROR_INVALID_VALUE;
    }
    *phyId = config->phyIds[devIndex];
    return DRV_ERROR_NONE;
}

drvError_t drvDeviceGetIndexByPhyId(uint32_t phyId, uint32_t* devIndex) {
    Injection injection = Faults::Instance().Check(OSTREL_SIM_FAULT_INDEX_BY_PHY);
    if (injection.fail) {
        return injection.code;
    }
    auto config = GetConfig();
    if (devIndex == nullptr) {
        return DRV_ERROR_INVALID_VALUE;
    }
    for (uint32_t i = 0; i < config->devices; ++i) {
        if (config->phyIds[i] == phyId) {
            *devIndex = i;
            return DRV_ERROR_NONE;
        }
    }
    return DRV_ERROR_INVALID_VALUE;
}

drvError_t halGetDeviceInfo(uint32_t devId, int32_t moduleType, int32_t infoType, int64_t* value) {
    Injection injection = Faults::Instance().Check(OSTREL_SIM_FAULT_DEVICE_INFO);
    if (injection.fail) {
        return injection.code;
    }
    auto config = GetConfig();
    if (value == nullptr || devId >= config->devices) {
        return DRV_ERROR_INVALID_VALUE;
    }
    if (moduleType != DEV_MODULE_SYSTEM) {
        return DRV_ERROR_NOT_SUPPORT;
    }
    int64_t answer = 0;
    switch (infoType) {
        case DEV_INFO_TYPE_VERSION:
            answer = config->chipVersion;
            break;
        case DEV_INFO_TYPE_HOST_FREQ:
            answer = config->hostFreq;
            break;
        case DEV_INFO_TYPE_DEV_FREQ:
            answer = config->deviceFreq;
            break;
        default:
            return DRV_ERROR_NOT_SUPPORT;
    }
    *value = injection.override ? injection.value : answer;
    return DRV_ERROR_NONE;
}

drvError_t drvGetPlatformInfo(uint32_t* info) {
    Injection injection = Faults::Instance().Check(OSTREL_SIM_FAULT_PLATFORM_INFO);
    if (injection.fail) {
        return injection.code;
    }
    if (info == nullptr) {
        return DRV_ERROR_INVALID_VALUE;
    }
    *info = injection.override ? static_cast<uint32_t>(injection.value) : GetConfig()->runSide;
    return DRV_ERROR_NONE;
}

drvError_t halGetAPIVersion(uint32_t* version) {
    Injection injection = Faults::Instance().Check(OSTREL_SIM_FAULT_API_VERSION);
    if (injection.fail) {
        return injection.code;
    }
    if (version == nullptr) {
        return DRV_ERROR_INVALID_VALUE;
    }
    *version =
        injection.override ? static_cast<uint32_t>(injection.value) : GetConfig()->apiVersion;
    return DRV_ERROR_NONE;
}

}  // extern "C"
