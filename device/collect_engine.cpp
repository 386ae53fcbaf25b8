#include "device/collect_engine.h"

#include <exception>
#include <mutex>

#include "common/log.h"
#include "common/make_shared.h"
#include "common/utils.h"
#include "device/collection_entry.h"
#include "driver/ai_drv_prof_api.h"
#include "driver/config_manager.h"
#include "jobs/prof_channel_manager.h"
#include "jobs/prof_hardware_mem_job.h"
#include "jobs/prof_perf_job.h"
#include "jobs/prof_sys_info_job.h"
#include "message/param_validation.h"

namespace analysis::orbx::device {

using analysis::orbx::common::Utils;
using Analysis::Orbx::Common::Config::ConfigManager;
using analysis::orbx::common::validation::ParamValidation;
using Analysis::Orbx::JobWrapper::CollectionJobCfg;
using Analysis::Orbx::JobWrapper::CollectionJobCommonParams;
using Analysis::Orbx::JobWrapper::CollectionRegisterMgr;
using Analysis::Orbx::JobWrapper::ICollectionJob;
using Analysis::Orbx::JobWrapper::ProfChannelManager;
using analysis::orbx::message::JobContext;
using analysis::orbx::message::ProfileParams;
using analysis::orbx::message::StatusInfo;

namespace {

constexpr const char kStopFailedInfo[] =
    "Stop profiling failed, please check it or see log for more info";

// Serialises the creation and removal of the profiling directories of every
// engine of the process. Guards no memory; last in every order (taken under
// the task manager's mutex only when the daemon's teardown stops its jobs).
std::mutex g_dirMutex;

// The job id names the job's directory below the profiling root: an empty one
// would name the shared root itself, and nothing may leave it.
bool JobIdIsSafe(const std::string& jobId) {
    return ParamValidation::GetInstance().CheckJobIdIsValid(jobId);
}

}  // namespace

CollectEngine::~CollectEngine() {
    if (!inited_) {
        return;
    }
    inited_ = false;
    if (started_) {
        StatusInfo scratch;
        if (CollectStop(scratch) != 0) {
            ORU_LOGD("[CollectEngine]Collect stop failed.");
            return;
        }
    }
    commonParams_.reset();
}

int CollectEngine::Init(int devIndex) {
    try {
        inited_ = true;
        commonParams_ = std::make_shared<CollectionJobCommonParams>();
        commonParams_->devId = static_cast<uint32_t>(devIndex);
        CreateCollectionJobArray();
    } catch (const std::exception& e) {
        ORU_LOGE("make shared failed, message: %s", e.what());
        return -1;
    }
    return 0;
}

void CollectEngine::CreateCollectionJobArray() {
    using namespace Analysis::Orbx::JobWrapper;
    jobs_[29].job = std::make_shared<ProfCtrlcpuJob>();
    jobs_[30].job = std::make_shared<ProfSysStatJob>();
    jobs_[31].job = std::make_shared<ProfSysMemJob>();
    jobs_[32].job = std::make_shared<ProfAllPidsJob>();
    jobs_[2].job = std::make_shared<ProfLlcJob>();
    jobs_[3].job = std::make_shared<ProfMiniLlcJob>();
    ORU_LOGI("CreateCollectionJobArray to set jobCfg");
    for (int tag = 0; tag < kJobTagCount; ++tag) {
        if (jobs_[tag].job == nullptr) {
            continue;
        }
        jobs_[tag].jobTag = tag;
        jobs_[tag].cfg = std::make_shared<CollectionJobCfg>();
        jobs_[tag].cfg->jobTag = static_cast<uint32_t>(tag);
        jobs_[tag].cfg->commonParams = commonParams_;
    }
}

void CollectEngine::SetDevIdOnHost(int devIdOnHost) {
    if (commonParams_ == nullptr) {
        return;
    }
    ORU_LOGI("SetDevIdOnHost devId :%d", static_cast<int>(commonParams_->devIdOnHost));
    commonParams_->devIdOnHost = static_cast<uint32_t>(devIdOnHost);
    commonParams_->hostDevId = static_cast<uint32_t>(devIdOnHost);
}

int CollectEngine::Prepare(const std::string& sampleConfig, StatusInfo& status) {
    started_ = false;
    sampleConfig_ = sampleConfig;
    auto params = common::MakeShared<ProfileParams>();
    if (params == nullptr) {
        return -1;
    }
    commonParams_->params = params;
    if (!params->FromString(sampleConfig) || !JobIdIsSafe(params->job_id)) {
        ORU_LOGE("Failed to parse sampleConfig: \"%s\".", sampleConfig.c_str());
        status.info = "invalid sample configuration";
        commonParams_->params.reset();  // nothing was created: nothing to remove
        return -1;
    }
    ORU_LOGI("parse sampleConfig: \"%s\".", sampleConfig.c_str());
    if (CreateDirs() != 0) {
        status.info = "Failed to create tmp root result directory.";
        return -1;
    }
    return 0;
}

int CollectEngine::CollectStart(const std::string& sampleConfig, StatusInfo& status) {
    status.status = 1;
    int ret = -1;
    if (!inited_ || commonParams_ == nullptr) {
        status.info = "Collection engine was not initialized.";
    } else if (Prepare(sampleConfig, status) == 0) {
        ORU_LOGI("Collection started, sample config:%s", sampleConfig.c_str());
        if (ProfChannelManager::GetInstance().Init() != 0) {
            ORU_LOGE("[CollectEngine::CollectStart]Failed to init channel poll");
        } else if (analysis::orbx::driver::DrvChannelsMgr::GetInstance().GetAllChannels(
                       static_cast<int>(commonParams_->devId)) != 0) {
            ORU_LOGE("[CollectEngine::CollectStart]Failed to GetAllChannels");
            // No CollectStop follows a failed start: give the poller use back.
            ProfChannelManager::GetInstance().UnInit(false);
        } else {
            started_ = true;
            ret = 0;
        }
    }
    if (ret == 0) {
        status.status = 0;
    } else {
        RemoveDirs();
    }
    return ret;
}

int CollectEngine::CreateDirs() {
    std::string inotifyDir = ConfigManager::GetInstance().GetInotifyDir();
    if (inotifyDir.empty()) {
        ORU_LOGE("GetInotifyDir failed");
        return -1;
    }
    tmpResultDir_ = inotifyDir + commonParams_->params->job_id;
    std::lock_guard<std::mutex> lock(g_dirMutex);
    int ret = Utils::CreateDir(tmpResultDir_);
    if (ret != 0) {
        ORU_LOGE("Creating dir failed: %s", Utils::BaseName(tmpResultDir_).c_str());
        Utils::LogLastError();
        return ret;
    }
    ORU_LOGI("Creating dir: \"%s\", ret=%d", Utils::BaseName(tmpResultDir_).c_str(), 0);
    std::string perfDir =
        ConfigManager::GetInstance().GetPerfDataDir(static_cast<int>(commonParams_->devId));
    if (perfDir.empty()) {
        ORU_LOGE("GetPerfDataDir failed");
        return -1;
    }
    ret = Utils::CreateDir(perfDir);
    if (ret != 0) {
        ORU_LOGE("Creating dir failed: %s", Utils::BaseName(perfDir).c_str());
        Utils::LogLastError();
        return ret;
    }
    ORU_LOGI("Creating dir: \"%s\", ret=%d", Utils::BaseName(perfDir).c_str(), 0);
    return 0;
}

int CollectEngine::RemoveDirs() {
    if (commonParams_ == nullptr || commonParams_->params == nullptr) {
        return 0;
    }
    std::string inotifyDir = ConfigManager::GetInstance().GetInotifyDir();
    if (inotifyDir.empty()) {
        ORU_LOGE("GetInotifyDir failed");
        return -1;
    }
    std::lock_guard<std::mutex> lock(g_dirMutex);
    std::string jobDir = inotifyDir + commonParams_->params->job_id;
    ORU_LOGI("Removing collected data: \"%s\"", Utils::BaseName(jobDir).c_str());
    Utils::RemoveDir(jobDir, true);
    std::string perfDir =
        ConfigManager::GetInstance().GetPerfDataDir(static_cast<int>(commonParams_->devId));
    if (perfDir.empty()) {
        ORU_LOGE("GetPerfDataDir failed");
        return -1;
    }
    ORU_LOGI("Removing collected data: \"%s\"", Utils::BaseName(perfDir).c_str());
    Utils::RemoveDir(perfDir, true);
    tmpResultDir_.clear();
    return 0;
}

bool CollectEngine::CheckPmuEventIsValid(const EventList& ctrlCpuEvents,
                                         const EventList& llcEvents) {
    auto& validation = ParamValidation::GetInstance();
    if (ctrlCpuEvents != nullptr && !validation.CheckCtrlCpuEventsIsValid(*ctrlCpuEvents)) {
        ORU_LOGE("[CheckPmuEventIsValid]ctrlCpuEvent is not valid!");
        return false;
    }
    if (llcEvents != nullptr && !validation.CheckLlcEventsIsValid(Utils::Join(*llcEvents, ","))) {
        ORU_LOGE("[CheckPmuEventIsValid]llcEvent is not valid!");
        return false;
    }
    return true;
}

int CollectEngine::CollectStartReplay(EventList ctrlCpuEvents, StatusInfo& status,
                                      EventList llcEvents) {
    status.status = 1;
    if (!started_ || commonParams_ == nullptr) {
        status.info = "collection engine has not been started";
        return -1;
    }
    if (!CheckPmuEventIsValid(ctrlCpuEvents, llcEvents)) {
        status.info = "[CollectStart] pmu event is not valid.";
        ORU_LOGE("[CollectStart] pmu event is not valid.");
        return -1;
    }
    auto ctx = common::MakeShared<JobContext>();
    if (ctx == nullptr) {
        return -1;
    }
    ctx->dev_id = std::to_string(static_cast<int>(commonParams_->hostDevId));
    ctx->job_id = commonParams_->params->job_id;
    commonParams_->jobCtx = ctx;
    for (int tag : {29}) {
        if (jobs_[tag].cfg != nullptr)
            jobs_[tag].cfg->events = ctrlCpuEvents;
    }
    for (int tag : {2, 3}) {
        if (jobs_[tag].cfg != nullptr)
            jobs_[tag].cfg->events = llcEvents;
    }
    return RegisterAndRunJobs(status);
}

int CollectEngine::RegisterAndRunJobs(StatusInfo& status) {
    ORU_LOGI("Start to register collction job:%s", commonParams_->params->job_id.c_str());
    int failCount = 0;
    std::vector<std::string> registered;
    CollectionRegisterMgr& registry = CollectionRegisterMgr::GetInstance();
    const int devId = static_cast<int>(commonParams_->devId);
    for (auto& entry : jobs_) {
        if (entry.job == nullptr) {
            continue;
        }
        ORU_LOGI("CollectRegister Start jobId %d ", entry.jobTag);
        int ret = entry.job->Init(entry.cfg);
        if (ret == 0) {
            ORU_LOGD("Collection Job %d Register", entry.jobTag);
            ret = registry.CollectionJobRegisterAndRun(devId, entry.jobTag, entry.job);
            if (ret != 0 && !entry.registered &&
                registry.IsJobRegistered(devId, entry.jobTag, entry.job)) {
                // Registered, but its Process failed: unregister it and let
                // its Uninit give back what the start took, so that the tag
                // is free for the next job of the device (or the card).
                (void)registry.CollectionJobUnregisterAndStop(devId, entry.jobTag);
            }
        }
        if (ret == 0) {
            entry.registered = true;
            registered.push_back(std::to_string(entry.jobTag));
        } else {
            ORU_LOGD("Collection Job %d No Run; Total: %d", entry.jobTag, failCount);
            ++failCount;
        }
    }
    ORU_LOGI("Total count of job registered: %s", Utils::Join(registered, ",").c_str());
    if (registered.empty()) {
        ORU_LOGE("CollectionJobRegisterAndRun failed, fail_cnt:%d", failCount);
        status.status = 1;
        return -1;
    }
    status.status = 0;
    return 0;
}

int CollectEngine::StopJobs(StatusInfo& status) {
    status.status = 1;
    ORU_LOGI("Stop Job");
    if (!started_ || commonParams_ == nullptr) {
        status.info = "collection engine has not been started";
        return -1;
    }
    int failed = 0;
    for (auto& entry : jobs_) {
        if (entry.job == nullptr) {
            continue;
        }
        // A tag this engine could not register belongs to another job of
        // the device (or of the card): leave it running.
        int ret = -1;
        if (entry.registered) {
            entry.registered = false;
            ret = CollectionRegisterMgr::GetInstance().CollectionJobUnregisterAndStop(
                static_cast<int>(commonParams_->devId), entry.jobTag);
            if (ret != 0) {
                ORU_LOGE("Device %d Collection Job %d did not stop cleanly, ret=%d",
                         static_cast<int>(commonParams_->devIdOnHost), entry.jobTag, ret);
                ++failed;
            }
        }
        entry.cfg->events.reset();
        entry.cfg->eventCodes.reset();
        if (ret != 0) {
            ORU_LOGD("Device %d Collection Job %d Unregister",
                     static_cast<int>(commonParams_->devIdOnHost), entry.jobTag);
        }
    }
    return failed;
}

int CollectEngine::CollectStopReplay(StatusInfo& status) {
    status.status = 1;
    ORU_LOGI("Stop");
    const int failed = StopJobs(status);
    if (failed < 0) {
        return -1;
    }
    commonParams_->jobCtx.reset();
    if (failed > 0) {
        status.info = kStopFailedInfo;
        return -1;
    }
    status.status = 0;
    return 0;
}

int CollectEngine::CollectStop(StatusInfo& status) {
    status.status = 0;
    if (commonParams_ == nullptr) {
        status.status = 1;
        ORU_LOGE("[CollectStop]Config is null");
        return -1;
    }
    if (started_) {
        ORU_LOGI("stop collect ...");
        if (CollectStopReplay(status) != 0) {
            status.status = 1;
            ORU_LOGE("[CollectStop]Collect stop failed");
        }
        ORU_LOGI("Data collection finished under agent mode.");
    }
    RemoveDirs();
    std::string jobId = commonParams_->params != nullptr ? commonParams_->params->job_id : "";
    if (CollectionEntry::GetInstance().FinishCollection(static_cast<int>(commonParams_->hostDevId),
                                                        jobId) != 0) {
        status.status = 1;
        ORU_LOGE("[CollectStop]FinishCollection failed");
    }
    ProfChannelManager::GetInstance().UnInit(false);
    started_ = false;
    if (status.status == 1) {
        status.info = kStopFailedInfo;
        return -1;
    }
    return 0;
}

}  // namespace analysis::orbx::device
