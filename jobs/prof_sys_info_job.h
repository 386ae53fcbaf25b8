// The system-information jobs: system CPU usage (tag 30), system memory
// (tag 31) and the CPU and memory of every process (tag 32), sampled from
// /proc by the daemon's timer (see prof_timer.h). Each is a global job: one
// instance serves the whole card.
//
// Init decides whether the job runs in a collection (device side only, not
// for host-side profiling, its switches on, the job's uploader found);
// Process hands the job's sampler to the timer; Uninit removes it, which
// sends what it had buffered, and releases the timer.
//
// Threading: Init, Process and Uninit are called by the collect engine and
// the job registry, one at a time.
#ifndef ORU_JOBS_PROF_SYS_INFO_JOB_H
#define ORU_JOBS_PROF_SYS_INFO_JOB_H

#include <cstdint>
#include <memory>
#include <string>

#include "jobs/prof_comm_job.h"
#include "jobs/prof_timer.h"
#include "message/profile_params.h"
#include "transport/uploader.h"

namespace Analysis::Orbx::JobWrapper {

class ProfSysInfoBase : public ICollectionJob {
  public:
    ProfSysInfoBase() = default;
    ~ProfSysInfoBase() override = default;

    int Init(const std::shared_ptr<CollectionJobCfg> cfg) override;
    int Process() override;
    int Uninit() override;
    bool IsGlobalJobLevel() override { return true; }

    // The sampling interval set by a successful Init; 0 before.
    uint64_t GetSampleIntervalNs() const { return sampleIntervalNs_; }

    // The interval of the timer tag's field of params in ns (never below
    // kMinSampleIntervalMs); finds the uploader of the job. 0 when there is none.
    static uint64_t ProfTimerJobCommonInit(
        const std::shared_ptr<CollectionJobCfg>& cfg,
        std::shared_ptr<analysis::orbx::transport::Uploader>& upLoader, uint32_t timerTag);

    // The job's sampler while it is handed to the timer; null otherwise.
    const std::shared_ptr<TimerHandler>& GetHandler() const { return handler_; }

  protected:
    // The log lines that name the job.
    struct JobTexts {
        const char* notDeviceSide;
        const char* handlerInitFailed;
        const char* handlerInitSucc;  // followed by the interval
    };

    // What sets the three jobs apart.
    virtual uint32_t TimerTag() const = 0;
    virtual JobTexts Texts() const = 0;
    // True when the job's switches are on; logs why not.
    virtual bool SwitchOn(const analysis::orbx::message::ProfileParams& params) const = 0;
    // The sampler, from the kept configuration, uploader and interval.
    virtual std::shared_ptr<TimerHandler> CreateHandler() const = 0;

    const std::shared_ptr<CollectionJobCfg>& Cfg() const { return cfg_; }
    const std::shared_ptr<analysis::orbx::transport::Uploader>& UpLoader() const {
        return upLoader_;
    }

  private:
    std::shared_ptr<CollectionJobCfg> cfg_;
    std::shared_ptr<analysis::orbx::transport::Uploader> upLoader_;
    uint64_t sampleIntervalNs_ = 0;
    // Set while this job counts as a timer user with its handler registered.
    std::shared_ptr<TimerHandler> handler_;
};

// /proc/stat's "cpu" lines to "data/SystemCpuUsage.data", timer tag 0,
// interval "cpu_sampling_interval".
class ProfSysStatJob : public ProfSysInfoBase {
  protected:
    uint32_t TimerTag() const override { return 0; }
    JobTexts Texts() const override;
    bool SwitchOn(const analysis::orbx::message::ProfileParams& params) const override;
    std::shared_ptr<TimerHandler> CreateHandler() const override;
};

// /proc/meminfo to "data/Memory.data", timer tag 1, interval
// "sys_sampling_interval"; off when "gxprof" is on.
class ProfSysMemJob : public ProfSysInfoBase {
  protected:
    uint32_t TimerTag() const override { return 1; }
    JobTexts Texts() const override;
    bool SwitchOn(const analysis::orbx::message::ProfileParams& params) const override;
    std::shared_ptr<TimerHandler> CreateHandler() const override;
};

// Every process's stat and statm to "data/<pid>-CpuUsage.data" and
// "data/<pid>-Memory.data", timer tag 2, interval "pid_sampling_interval".
class ProfAllPidsJob : public ProfSysInfoBase {
  protected:
    uint32_t TimerTag() const override { return 2; }
    JobTexts Texts() const override;
    bool SwitchOn(const analysis::orbx::message::ProfileParams& params) const override;
    std::shared_ptr<TimerHandler> CreateHandler() const override;
};

}  // namespace Analysis::Orbx::JobWrapper

#endif  // ORU_JOBS_PROF_SYS_INFO_JOB_H
