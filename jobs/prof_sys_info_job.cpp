#include "jobs/prof_sys_info_job.h"

#include <utility>

#include "common/log.h"
#include "common/make_shared.h"
#include "driver/platform.h"
#include "jobs/proc_all_pids_handler.h"
#include "jobs/proc_file_handlers.h"
#include "transport/uploader_mgr.h"

namespace Analysis::Orbx::JobWrapper {

using analysis::orbx::common::MakeShared;
using Analysis::Orbx::Common::Platform::Platform;
using analysis::orbx::message::ProfileParams;
using analysis::orbx::transport::Uploader;
using analysis::orbx::transport::UploaderMgr;

namespace {

constexpr int32_t kMinSampleIntervalMs = 100;
constexpr uint64_t kNsPerMs = 1000000;
constexpr uint64_t kSysStatBufSize = 8192;
constexpr uint64_t kSysMemBufSize = 32768;

bool IsOn(const std::string& value) {
    return value == "on";
}

int32_t IntervalFieldOf(const ProfileParams& params, uint32_t timerTag) {
    switch (timerTag) {
        case 0:
            return params.cpu_sampling_interval;
        case 1:
            return params.sys_sampling_interval;
        case 2:
            return params.pid_sampling_interval;
        default:
            return 0;
    }
}

}  // namespace

uint64_t ProfSysInfoBase::ProfTimerJobCommonInit(const std::shared_ptr<CollectionJobCfg>& cfg,
                                                 std::shared_ptr<Uploader>& upLoader,
                                                 uint32_t timerTag) {
    const auto& common = cfg->commonParams;
    int32_t intervalMs = IntervalFieldOf(*common->params, timerTag);
    if (intervalMs <= kMinSampleIntervalMs) {
        intervalMs = kMinSampleIntervalMs;
    }
    UploaderMgr::GetInstance().GetUploader(common->jobCtx->job_id, static_cast<int>(common->devId),
                                           upLoader);
    if (upLoader == nullptr) {
        ORU_LOGE("Failed to get devId(%d) upLoader, devIdOnHost : %d",
                 static_cast<int>(common->devId), static_cast<int>(common->devIdOnHost));
        return 0;
    }
    ORU_LOGI("[ProfTimerJobCommonInit]devId:%d, devIdOnHost:%d, timerTag:%d, sampleIntervalMs:%d",
             static_cast<int>(common->devId), static_cast<int>(common->devIdOnHost),
             static_cast<int>(timerTag), intervalMs);
    return static_cast<uint64_t>(intervalMs) * kNsPerMs;
}

int ProfSysInfoBase::Init(const std::shared_ptr<CollectionJobCfg> cfg) {
    if (cfg == nullptr || cfg->commonParams == nullptr || cfg->commonParams->jobCtx == nullptr ||
        cfg->commonParams->params == nullptr) {
        ORU_LOGI("Job check context param failed");
        return -1;
    }
    const ProfileParams& params = *cfg->commonParams->params;
    if (params.hostProfiling) {
        return -1;
    }
    if (!Platform::GetInstance().IsDeviceSide()) {
        ORU_LOGI("%s", Texts().notDeviceSide);
        return -1;
    }
    cfg_ = cfg;
    if (!SwitchOn(params)) {
        return -1;
    }
    sampleIntervalNs_ = ProfTimerJobCommonInit(cfg_, upLoader_, TimerTag());
    return sampleIntervalNs_ == 0 ? -1 : 0;
}

int ProfSysInfoBase::Process() {
    if (!CheckJobCommonParam(cfg_)) {
        return -1;
    }
    if (handler_ != nullptr) {
        return 0;  // already handed to the timer
    }
    std::shared_ptr<TimerHandler> handler = CreateHandler();
    if (handler == nullptr) {
        return -1;
    }
    if (handler->Init() != 0) {
        ORU_LOGE("%s", Texts().handlerInitFailed);
        return -1;
    }
    ORU_LOGI("%s, sampleIntervalNs_:%lu", Texts().handlerInitSucc,
             static_cast<unsigned long>(sampleIntervalNs_));
    TimerManager& timers = TimerManager::GetInstance();
    if (timers.StartProfTimer() != 0) {
        (void)handler->Uninit();
        return -1;
    }
    timers.RegisterTimerHandler(TimerTag(), handler);
    handler_ = std::move(handler);
    return 0;
}

int ProfSysInfoBase::Uninit() {
    if (handler_ != nullptr) {
        TimerManager& timers = TimerManager::GetInstance();
        timers.RemoveTimerHandler(TimerTag());
        timers.StopProfTimer();
        handler_.reset();
    }
    upLoader_.reset();
    return 0;
}

ProfSysInfoBase::JobTexts ProfSysStatJob::Texts() const {
    return {"Not in device Side, SysStat Profiling not enabled", "statHandler Init Failed",
            "statHandler Init succ"};
}

bool ProfSysStatJob::SwitchOn(const ProfileParams& params) const {
    if (!IsOn(params.sys_profiling)) {
        ORU_LOGI("sys_profiling not enabled");
        return false;
    }
    return true;
}

std::shared_ptr<TimerHandler> ProfSysStatJob::CreateHandler() const {
    const auto& common = Cfg()->commonParams;
    return MakeShared<ProcStatFileHandler>(
        TimerTag(), common->devId, kSysStatBufSize, GetSampleIntervalNs(), "/proc/stat",
        "SystemCpuUsage.data", common->params, common->jobCtx, UpLoader());
}

ProfSysInfoBase::JobTexts ProfSysMemJob::Texts() const {
    return {"Not in device Side, SysMem Profiling not enabled", "memHandler Init Failed",
            "memHandler Init succ"};
}

bool ProfSysMemJob::SwitchOn(const ProfileParams& params) const {
    if (!IsOn(params.sys_profiling) || IsOn(params.gxprof)) {
        ORU_LOGI("sys mem profiling not enabled");
        return false;
    }
    return true;
}

std::shared_ptr<TimerHandler> ProfSysMemJob::CreateHandler() const {
    const auto& common = Cfg()->commonParams;
    return MakeShared<ProcMemFileHandler>(TimerTag(), common->devId, kSysMemBufSize,
                                          GetSampleIntervalNs(), "/proc/meminfo", "Memory.data",
                                          common->params, common->jobCtx, UpLoader());
}

ProfSysInfoBase::JobTexts ProfAllPidsJob::Texts() const {
    return {"Not in device Side, AllPids Profiling not enabled", "pidsHandler Init Failed",
            "pidsHandler Init succ"};
}

bool ProfAllPidsJob::SwitchOn(const ProfileParams& params) const {
    if (!IsOn(params.pid_profiling)) {
        ORU_LOGI("pid_profiling not enabled");
        return false;
    }
    return true;
}

std::shared_ptr<TimerHandler> ProfAllPidsJob::CreateHandler() const {
    const auto& common = Cfg()->commonParams;
    return MakeShared<ProcAllPidsFileHandler>(TimerTag(), common->devId, GetSampleIntervalNs(),
                                              common->params, common->jobCtx, UpLoader());
}

}  // namespace Analysis::Orbx::JobWrapper
