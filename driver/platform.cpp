#include "driver/platform.h"

#include "common/log.h"
#include "driver/ai_drv_dev_api.h"

namespace Analysis::Orbx::Common::Platform {

int Platform::InitRunSide() {
    uint32_t info = platformInfo_;
    if (analysis::orbx::driver::DrvGetPlatformInfo(info) != 0) {
        ORU_LOGE("get platform info failed.");
        return -1;
    }
    platformInfo_ = info;
    runSide_ = platformInfo_;
    ORU_LOGI("Set runSide: %d", static_cast<int>(runSide_));
    return 0;
}

bool Platform::IsDeviceSide() const {
    return runSide_ == kRunSideDevice;
}

}  // namespace Analysis::Orbx::Common::Platform
