// The side of the card this process runs on, as the driver reports it.
#ifndef ORU_DRIVER_PLATFORM_H
#define ORU_DRIVER_PLATFORM_H

#include <cstdint>

#include "common/singleton.h"

namespace Analysis::Orbx::Common::Platform {

// Run sides; kRunSideUnknown until the driver has reported one.
constexpr uint32_t kRunSideDevice = 0;
constexpr uint32_t kRunSideHost = 1;
constexpr uint32_t kRunSideUnknown = 2;

// InitRunSide runs once at the collection entry's start-up, before any job
// reads IsDeviceSide.
class Platform : public analysis::orbx::common::singleton::Singleton<Platform> {
  public:
    Platform() = default;
    ~Platform() override = default;

    // Asks the driver; 0, or -1 with the run side unchanged.
    int InitRunSide();
    bool IsDeviceSide() const;

  private:
    uint32_t platformInfo_ = kRunSideUnknown;  // last value reported by the driver
    uint32_t runSide_ = kRunSideUnknown;
};

}  // namespace Analysis::Orbx::Common::Platform

#endif  // ORU_DRIVER_PLATFORM_H
