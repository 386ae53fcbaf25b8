// Device information from the card driver: device count and ids, run side,
// frequencies and the driver's API version. Each wrapper logs its failures
// and answers -1, false or 0; none holds state or a lock.
#ifndef ORU_DRIVER_AI_DRV_DEV_API_H
#define ORU_DRIVER_AI_DRV_DEV_API_H

#include <cstdint>
#include <string>
#include <vector>

namespace analysis::orbx::driver {

// The most devices a card holds.
constexpr uint32_t kMaxDeviceNum = 64;

// The device count (0 to 64), or -1.
int DrvGetDevNum();
// Clears devices, then fills it with the first numDevices logical ids. 0 / -1.
int DrvGetDevIDs(int numDevices, std::vector<int>& devices);
// The driver's platform information; "not supported" counts as success and
// leaves info unchanged. 0 / -1.
int DrvGetPlatformInfo(uint32_t& info);
// True when the driver reports helper mode.
bool DrvCheckHelperMode();
// Host CPU frequency as text ("1800.000000" for 1800000); false and an empty
// text when the driver cannot tell.
bool DrvGetHostFreq(std::string& freq);
// The device's frequency as text; false and freq unchanged on failure.
bool DrvGetDeviceFreq(int devId, std::string& freq);
// The driver API version, or 0.
uint32_t DrvGetApiVersion();

}  // namespace analysis::orbx::driver

#endif  // ORU_DRIVER_AI_DRV_DEV_API_H
