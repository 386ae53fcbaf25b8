// Last-level-cache counter jobs. On chips with a cache channel the driver
// delivers the counters on channel 8 (ProfLlcJob, one per device); a
// mini-class chip (platform type 0) has no such channel, so the device's
// collection script samples them into a file that is shipped when the job
// stops (ProfMiniLlcJob, one for the card).
#ifndef ORU_JOBS_PROF_HARDWARE_MEM_JOB_H
#define ORU_JOBS_PROF_HARDWARE_MEM_JOB_H

#include <cstdint>
#include <memory>
#include <string>

#include "driver/ai_drv_prof_api.h"
#include "jobs/device_script.h"
#include "jobs/prof_comm_job.h"

namespace Analysis::Orbx::JobWrapper {

// Name under which cache counter data reaches the host, whichever job
// collects it.
constexpr const char kLlcDataName[] = "data/llc.data";

// A job that starts one driver peripheral channel and reads it through the
// channel poller. Subclasses pick the channel and build its configuration.
class ProfPeripheralJob : public ProfDrvJob {
  public:
    static constexpr uint32_t kDefaultSamplePeriodMs = 100;

    ProfPeripheralJob() = default;
    ~ProfPeripheralJob() override = default;

    int Init(const std::shared_ptr<CollectionJobCfg> cfg) override;
    // Registers the channel's reader, then starts the channel. A channel the
    // device does not offer (or that is switched off) is not an error: 0 and
    // nothing runs.
    int Process() override;
    // Stops the channel and removes its reader, which uploads what remains.
    int Uninit() override;
    // Builds the channel's configuration block into peripheralCfg_.
    virtual int SetPeripheralConfig();

  protected:
    // The channel data's name when the cfg names no data file; empty: none.
    virtual std::string DefaultDataName() const { return std::string(); }

    uint32_t samplePeriod_ = kDefaultSamplePeriodMs;
    uint32_t channelId_ = 0;
    analysis::orbx::driver::DrvPeripheralProfileCfg peripheralCfg_;
    std::string eventsStr_;

  private:
    std::string DataFilePath() const;
};

// Cache counters from driver channel 8, one job per device.
class ProfLlcJob : public ProfPeripheralJob {
  public:
    static constexpr uint32_t kLlcChannelId = PROF_CHANNEL_LLC;
    static constexpr uint32_t kMinPeriodMs = 1;
    static constexpr uint32_t kMaxPeriodMs = 1000;
    static constexpr uint32_t kModeRead = 1;
    static constexpr uint32_t kModeWrite = 2;

    ProfLlcJob() { channelId_ = kLlcChannelId; }
    ~ProfLlcJob() override = default;

    int Init(const std::shared_ptr<CollectionJobCfg> cfg) override;
    int SetPeripheralConfig() override;

  protected:
    std::string DefaultDataName() const override { return kLlcDataName; }
};

// Cache counters of a mini-class chip, sampled by the device's collection
// script. Global: the first device to register it runs one script for the
// card.
class ProfMiniLlcJob : public ProfPeripheralJob {
  public:
    static constexpr uint32_t kDefaultPeriodMs = 100;
    static constexpr size_t kUploadChunkSize = 0x40000;

    ProfMiniLlcJob() = default;
    ~ProfMiniLlcJob() override = default;

    int Init(const std::shared_ptr<CollectionJobCfg> cfg) override;
    // Starts the script; 0 without starting anything when no command could
    // be built (bad events, directory or file not creatable).
    int Process() override;
    // Ends the script (each wait bounded, see ScriptRecording::Stop) and
    // ships its output file: 0, or -1 when the script did not end cleanly.
    int Uninit() override;
    bool IsGlobalJobLevel() override { return true; }

  private:
    // The script's start command, or empty.
    std::string BuildLlcCmd();
    std::string OutputFile() const;
    void UploadOutputFile();

    std::shared_ptr<ScriptRecording> recording_;  // from Process to Uninit
    std::shared_ptr<CollectionJobCfg> cfg_;
};

}  // namespace Analysis::Orbx::JobWrapper

#endif  // ORU_JOBS_PROF_HARDWARE_MEM_JOB_H
