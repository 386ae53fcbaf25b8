#include "driver/ai_drv_dev_api.h"

#include "common/log.h"
#include "driver/drv_funcs.h"
#include "ostrel/bounds.h"

namespace analysis::orbx::driver {

namespace {

// The frequency in the text form the host expects: value / 1000 in single
// precision, printed with "%f". Empty when formatting fails.
std::string FormatFreq(int64_t value) {
    char text[64] = {0};
    float scaled = static_cast<float>(value) / 1000;
    if (snprintf_s(text, sizeof(text), sizeof(text) - 1, "%f", static_cast<double>(scaled)) < 0) {
        return std::string();
    }
    return std::string(text);
}

}  // namespace

int DrvGetDevNum() {
    uint32_t num = 0;
    drvError_t ret = Drv().getDevNum(&num);
    if (ret != DRV_ERROR_NONE || num > kMaxDeviceNum) {
        ORU_LOGE("Failed to drvGetDevNum, ret=%d, num=%u", ret, num);
        return -1;
    }
    ORU_LOGI("Succeeded to drvGetDevNum, numDev=%u", num);
    return static_cast<int>(num);
}

int DrvGetDevIDs(int numDevices, std::vector<int>& devices) {
    devices.clear();
    if (numDevices < 1 || numDevices > static_cast<int>(kMaxDeviceNum)) {
        return -1;
    }
    uint32_t ids[kMaxDeviceNum] = {0};
    drvError_t ret = Drv().getDevIDs(ids, kMaxDeviceNum);
    if (ret != DRV_ERROR_NONE) {
        ORU_LOGE("Failed to drvGetDevIDs, ret=%d", ret);
        return -1;
    }
    ORU_LOGI("Succeeded to drvGetDevIDs, numDevices=%d", numDevices);
    for (int i = 0; i < numDevices; ++i) {
        devices.push_back(static_cast<int>(ids[i]));
    }
    return 0;
}

int DrvGetPlatformInfo(uint32_t& info) {
    drvError_t ret = Drv().getPlatformInfo(&info);
    if (ret != DRV_ERROR_NONE && ret != DRV_ERROR_NOT_SUPPORT) {
        ORU_LOGE("Failed to drvGetPlatformInfo, ret=%d", ret);
        return -1;
    }
    return 0;
}

bool DrvCheckHelperMode() {
    uint32_t num = 0;
    if (Drv().getDevNum(&num) == DRV_ERROR_NOT_SUPPORT) {
        ORU_LOGI("Gxprof work in Helper.");
        return true;
    }
    return false;
}

bool DrvGetHostFreq(std::string& freq) {
    int64_t value = 0;
    drvError_t ret = Drv().getDeviceInfo(0, DEV_MODULE_SYSTEM, DEV_INFO_TYPE_HOST_FREQ, &value);
    if (ret == DRV_ERROR_NONE && value >= 1) {
        ORU_LOGI("Succeeded to DrvGetHostFreq frequency=%lld", static_cast<long long>(value));
        freq = FormatFreq(value);
        return true;
    }
    ORU_LOGW("Driver doesn't support DrvGetHostFreq by halGetDeviceInfo interface, ret=%d", ret);
    freq.clear();
    return false;
}

bool DrvGetDeviceFreq(int devId, std::string& freq) {
    int64_t value = 0;
    drvError_t ret = Drv().getDeviceInfo(static_cast<uint32_t>(devId), DEV_MODULE_SYSTEM,
                                         DEV_INFO_TYPE_DEV_FREQ, &value);
    if (ret == DRV_ERROR_NONE && value >= 1) {
        ORU_LOGI("Succeeded to DrvGetDeviceFreq frequency=%lld", static_cast<long long>(value));
        freq = FormatFreq(value);
        return true;
    }
    ORU_LOGW("Driver doesn't support DrvGetDeviceFreq by halGetDeviceInfo interface, ret=%d", ret);
    return false;
}

uint32_t DrvGetApiVersion() {
    uint32_t version = 0;
    if (Drv().getApiVersion(&version) != DRV_ERROR_NONE) {
        return 0;
    }
    ORU_LOGEVENT("Succeeded to DrvGetApiVersion version: 0x%x", version);
    return version;
}

}  // namespace analysis::orbx::driver
