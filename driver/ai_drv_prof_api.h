// The driver's profiling channels: thin wrappers around the driver's calls
// (start a peripheral channel, stop, read, poll) and the per-device channel
// lists (DrvChannelsMgr). Each wrapper logs and turns the driver's answer into
// 0 / -1 (or a count); the driver is relied on to be thread-safe, so the
// wrappers take no lock.
#ifndef ORU_DRIVER_AI_DRV_PROF_API_H
#define ORU_DRIVER_AI_DRV_PROF_API_H

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/singleton.h"
#include "ostrel/hal.h"

namespace analysis::orbx::driver {

// Highest channel id the driver hands out; 0 is never a channel.
constexpr uint32_t kMaxChannelId = PROF_CHANNEL_MAX_NUM;

// One channel a device offers.
class DrvProfChannelInfo {
  public:
    virtual ~DrvProfChannelInfo() = default;

    uint32_t channelId = 0;    // 1 to 160
    uint32_t channelType = 0;  // the driver's code, unchanged
    std::string channelName;   // at most 32 characters
};

// The channel list of one device, in the driver's order.
class DrvProfChannelsInfo {
  public:
    virtual ~DrvProfChannelsInfo() = default;

    int32_t deviceId = -1;
    uint32_t chipType = 0;
    std::vector<DrvProfChannelInfo> channels;
};

// Start configuration of one peripheral channel, owned by its job.
class DrvPeripheralProfileCfg {
  public:
    virtual ~DrvPeripheralProfileCfg() = default;

    int32_t profDeviceId = -1;
    uint32_t profSamplePeriod = 0;  // milliseconds
    uint32_t reserved0 = 0;
    uint32_t profChannel = 0;
    // Channel-specific block built by the job, released right after the start.
    std::unique_ptr<uint8_t[]> configP;
    uint32_t configSize = 0;
    uint32_t reserved1 = 0;
    uint32_t reserved2 = 0;
    uint32_t driverBufferSize = 0;  // recorded, not passed to the driver
    uint32_t reserved3 = 0;
    std::string profDataFile;
    std::string profEvents;
};

// Starts the cfg's channel as a real-time peripheral channel. 0 / -1.
int DrvPeripheralStart(const DrvPeripheralProfileCfg& cfg);
// 0 / -1.
int DrvStop(int deviceId, int channelId);
// Bytes read; 0 also when the channel has already stopped; -1 on error.
int DrvChannelRead(int deviceId, int channelId, uint8_t* outBuf, uint32_t bufSize);
// Number of ready records written to outBuf (0 to num), or -1 on error.
// PROF_STOPPED_ALREADY is passed through when no channel runs.
int DrvChannelPoll(ProfPollInfo* outBuf, int num, int timeoutSec);
// Fills info (its deviceId set by the caller) from the driver. 0 / -1.
int DrvGetChannels(DrvProfChannelsInfo& info);

// The channel lists of the devices. Every operation holds the manager's
// mutex for its whole run, the driver query included.
class DrvChannelsMgr : public common::singleton::Singleton<DrvChannelsMgr> {
  public:
    DrvChannelsMgr() = default;
    ~DrvChannelsMgr() override = default;

    // Queries the driver and replaces the device's list; a failed query leaves
    // the earlier list. 0 / -1.
    int GetAllChannels(int devIndexId);
    // True when the device's list holds the channel and its switch is on.
    bool ChannelIsValid(int devId, uint32_t channelId);

  private:
    std::mutex mutex_;
    std::map<int32_t, DrvProfChannelsInfo> devicesChannels_;  // guarded by mutex_
};

}  // namespace analysis::orbx::driver

#endif  // ORU_DRIVER_AI_DRV_PROF_API_H
