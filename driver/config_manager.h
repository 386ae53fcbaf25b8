// The chip's platform type, detected once from the driver when the manager is
// created, and the directories where profiling data is placed on the device.
// Read-only after construction.
#ifndef ORU_DRIVER_CONFIG_MANAGER_H
#define ORU_DRIVER_CONFIG_MANAGER_H

#include <cstdint>
#include <map>
#include <string>

#include "common/singleton.h"

namespace Analysis::Orbx::Common::Config {

// Platform type codes. 0 is a mini-class chip, whose last-level-cache data
// does not come through a driver channel; other codes pass through from the
// driver (apart from the remappings of DetectPlatformType).
enum PlatformType : uint32_t {
    MINI_TYPE = 0,
    HELPER_DEVICE_TYPE = 2,
};

// The platform type a chip-version query answers: ret is the driver's result,
// versionWord the filled word. False (nothing detected) on a driver error.
bool DetectPlatformType(int ret, int64_t versionWord, uint32_t& type);

class ConfigManager : public analysis::orbx::common::singleton::Singleton<ConfigManager> {
  public:
    // Asks the driver for device 0's chip version. The process uses
    // GetInstance(), so detection runs once and a failure is never retried.
    ConfigManager();
    ~ConfigManager() override = default;

    // The detected code; 0 when detection failed.
    uint32_t GetPlatformType() const;
    // "/var/log/npu/profiling/" (under the build's root prefix).
    std::string GetInotifyDir() const;
    // The inotify directory followed by the device id in decimal.
    std::string GetPerfDataDir(int devId) const;

  private:
    void Init();

    bool inited_ = false;
    std::map<std::string, std::string> configMap_;  // "type" -> decimal code
};

}  // namespace Analysis::Orbx::Common::Config

#endif  // ORU_DRIVER_CONFIG_MANAGER_H
