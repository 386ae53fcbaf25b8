#include "driver/config_manager.h"

#include <cstdlib>

#include "common/log.h"
#include "common/oru_paths.h"
#include "driver/drv_funcs.h"

namespace Analysis::Orbx::Common::Config {

namespace {

const char kTypeKey[] = "type";
constexpr uint32_t kVersionTypeShift = 8;
constexpr uint32_t kVersionByteMask = 0xFF;
// Chip versions reported under another code.
constexpr uint32_t kType2SubVersion5 = 10;
constexpr uint32_t kType8 = 7;

}  // namespace

bool DetectPlatformType(int ret, int64_t versionWord, uint32_t& type) {
    if (ret == DRV_ERROR_NOT_SUPPORT) {
        ORU_LOGW(
            "Driver doesn't support device type version by halGetDeviceInfo interface, ret=%d, "
            "set PlatformType::HELPER_DEVICE_TYPE",
            ret);
        type = HELPER_DEVICE_TYPE;
        return true;
    }
    if (ret != DRV_ERROR_NONE) {
        ORU_LOGE("halGetDeviceInfo get device type version failed , ret:%d", ret);
        return false;
    }
    uint64_t word = static_cast<uint64_t>(versionWord);
    uint32_t chipType = static_cast<uint32_t>((word >> kVersionTypeShift) & kVersionByteMask);
    uint32_t subVersion = static_cast<uint32_t>(word & kVersionByteMask);
    if (chipType == 2 && subVersion == 5) {
        chipType = kType2SubVersion5;
    } else if (chipType == 8) {
        chipType = kType8;
    }
    type = chipType;
    return true;
}

ConfigManager::ConfigManager() {
    Init();
}

void ConfigManager::Init() {
    if (inited_) {
        ORU_LOGD("ConfigManager has been inited");
        return;
    }
    int64_t versionWord = 0;
    int ret = analysis::orbx::driver::Drv().getDeviceInfo(0, DEV_MODULE_SYSTEM,
                                                          DEV_INFO_TYPE_VERSION, &versionWord);
    uint32_t type = 0;
    if (!DetectPlatformType(ret, versionWord, type)) {
        return;
    }
    ORU_LOGD("halGetDeviceInfo get chip id : %u", type);
    configMap_[kTypeKey] = std::to_string(type);
    inited_ = true;
}

uint32_t ConfigManager::GetPlatformType() const {
    auto it = configMap_.find(kTypeKey);
    if (it == configMap_.end()) {
        return 0;
    }
    return static_cast<uint32_t>(std::strtoul(it->second.c_str(), nullptr, 10));
}

std::string ConfigManager::GetInotifyDir() const {
    return analysis::orbx::common::kInotifyDir;
}

std::string ConfigManager::GetPerfDataDir(int devId) const {
    return GetInotifyDir() + std::to_string(devId);
}

}  // namespace Analysis::Orbx::Common::Config
