#include "jobs/prof_hardware_mem_job.h"

#include <cstring>
#include <fstream>
#include <new>
#include <vector>

#include "common/log.h"
#include "common/make_shared.h"
#include "common/oru_paths.h"
#include "common/utils.h"
#include "driver/config_manager.h"
#include "driver/json_parser.h"
#include "driver/platform.h"
#include "message/job_context.h"
#include "message/param_validation.h"
#include "message/profile_params.h"
#include "ostrel/mm.h"
#include "transport/profile_file_chunk.h"
#include "transport/uploader_mgr.h"

namespace Analysis::Orbx::JobWrapper {

using analysis::orbx::common::ExecCmdParams;
using analysis::orbx::common::Utils;
using Analysis::Orbx::Common::Config::ConfigManager;
using analysis::orbx::driver::DrvChannelsMgr;
using Gxprofiler::Parser::JsonParser;

namespace {

const char kSwitchOn[] = "on";
const char kStartEnv[] = "PATH=/usr/bin/:/usr/sbin:/var";

int DevIdOf(const std::shared_ptr<CollectionJobCfg>& cfg) {
    return static_cast<int>(cfg->commonParams->devId);
}

int DevIdOnHostOf(const std::shared_ptr<CollectionJobCfg>& cfg) {
    return static_cast<int>(cfg->commonParams->devIdOnHost);
}

// The parameters of a configured cfg; null when it carries none.
analysis::orbx::message::ProfileParams* ParamsOf(const std::shared_ptr<CollectionJobCfg>& cfg) {
    return cfg->commonParams->params.get();
}

bool LlcProfilingOn(const std::shared_ptr<CollectionJobCfg>& cfg) {
    auto* params = ParamsOf(cfg);
    return params != nullptr && params->gxprof_llc_profiling == kSwitchOn;
}

}  // namespace

// ---- ProfPeripheralJob ------------------------------------------------------

int ProfPeripheralJob::Init(const std::shared_ptr<CollectionJobCfg> cfg) {
    if (!CheckJobCommonParam(cfg) || IsHostProfiling(cfg)) {
        return -1;
    }
    collectionJobCfg_ = cfg;
    return 0;
}

int ProfPeripheralJob::SetPeripheralConfig() {
    peripheralCfg_.configP.reset();
    peripheralCfg_.configSize = 0;
    return 0;
}

std::string ProfPeripheralJob::DataFilePath() const {
    if (!collectionJobCfg_->dataFile.empty() || DefaultDataName().empty()) {
        return collectionJobCfg_->dataFile;
    }
    const std::string& dir = collectionJobCfg_->commonParams->resultDir;
    return dir.empty() ? DefaultDataName() : dir + "/" + DefaultDataName();
}

int ProfPeripheralJob::Process() {
    if (!CheckJobCommonParam(collectionJobCfg_)) {
        return -1;
    }
    int devId = DevIdOf(collectionJobCfg_);
    int channel = static_cast<int>(channelId_);
    if (!DrvChannelsMgr::GetInstance().ChannelIsValid(devId, channelId_)) {
        ORU_LOGW("Channel is invalid, devId:%d, channelId:%d", devId, channel);
        return 0;
    }
    ORU_LOGI("Begin to start profiling Channel %d, events:%s", channel, eventsStr_.c_str());
    peripheralCfg_.profDataFile = DataFilePath();
    int ret = SetPeripheralConfig();
    if (ret != 0) {
        ORU_LOGE("ProfPeripheralJob SetPeripheralConfig failed");
        return ret;
    }
    // The reader comes first, so nothing the channel delivers is missed.
    AddReader(JobIdOf(collectionJobCfg_), devId, channel, peripheralCfg_.profDataFile);
    ORU_LOGI("begin to start profiling Channel %d, devId :%d", channel,
             DevIdOnHostOf(collectionJobCfg_));
    JsonParser& channelCfg = JsonParser::GetInstance();
    uint32_t period = channelCfg.GetChannelPeriod(channelId_);
    peripheralCfg_.profDeviceId = devId;
    peripheralCfg_.profChannel = channelId_;
    peripheralCfg_.driverBufferSize = channelCfg.GetDriverBufferSize(channelId_);
    peripheralCfg_.profSamplePeriod = period > 0 ? period : samplePeriod_;
    peripheralCfg_.profEvents.clear();
    ret = analysis::orbx::driver::DrvPeripheralStart(peripheralCfg_);
    ORU_LOGI("start profiling Channel %d, events:%s, ret=%d", channel, eventsStr_.c_str(), ret);
    peripheralCfg_.configP.reset();
    if (ret != 0) {
        ORU_LOGE("Function ret check failed");
    }
    return ret;
}

int ProfPeripheralJob::Uninit() {
    if (!CheckJobCommonParam(collectionJobCfg_)) {
        return 0;
    }
    int devId = DevIdOf(collectionJobCfg_);
    int channel = static_cast<int>(channelId_);
    if (!DrvChannelsMgr::GetInstance().ChannelIsValid(devId, channelId_)) {
        ORU_LOGW("Channel is invalid, devId:%d, channelId:%d", devId, channel);
        return 0;
    }
    ORU_LOGI("begin to stop profiling Channel %d data", channel);
    int ret = analysis::orbx::driver::DrvStop(devId, channel);
    ORU_LOGI("stop profiling Channel %d data, ret=%d", channel, ret);
    RemoveReader(JobIdOf(collectionJobCfg_), devId, channel);
    return 0;
}

// ---- ProfLlcJob -------------------------------------------------------------

int ProfLlcJob::Init(const std::shared_ptr<CollectionJobCfg> cfg) {
    if (!CheckJobEventParam(cfg)) {
        return -1;
    }
    if (IsHostProfiling(cfg)) {
        return -1;
    }
    if (ConfigManager::GetInstance().GetPlatformType() == Common::Config::MINI_TYPE) {
        ORU_LOGI("Mini LLC Profiling not transport by driver channel");
        return -1;
    }
    collectionJobCfg_ = cfg;
    if (!LlcProfilingOn(cfg)) {
        ORU_LOGI("LLC Profiling not enabled");
        return -1;
    }
    return 0;
}

int ProfLlcJob::SetPeripheralConfig() {
    samplePeriod_ = kMinPeriodMs;
    auto* params = ParamsOf(collectionJobCfg_);
    if (params != nullptr && params->llc_interval >= static_cast<int>(kMinPeriodMs) &&
        params->llc_interval <= static_cast<int>(kMaxPeriodMs)) {
        samplePeriod_ = static_cast<uint32_t>(params->llc_interval);
    }
    const EventList empty;
    const EventList& events =
        collectionJobCfg_->events != nullptr ? *collectionJobCfg_->events : empty;
    eventsStr_ = Utils::Join(events, ",");
    ProfLlcConfig config{};
    config.period = samplePeriod_;
    config.mode = 0;
    for (const std::string& event : events) {
        if (event == "read") {
            config.mode = kModeRead;
        } else if (event == "write") {
            config.mode = kModeWrite;
        } else {
            ORU_LOGW("LLC event:%s not support", event.c_str());
        }
    }
    std::unique_ptr<uint8_t[]> block(new (std::nothrow) uint8_t[sizeof(config)]);
    if (block == nullptr) {
        ORU_LOGE("ProfLlcJob ProfMalloc TagLlcProfileConfig failed");
        return -1;
    }
    std::memcpy(block.get(), &config, sizeof(config));
    peripheralCfg_.configP = std::move(block);
    peripheralCfg_.configSize = sizeof(config);
    return 0;
}

// ---- ProfMiniLlcJob ---------------------------------------------------------

int ProfMiniLlcJob::Init(const std::shared_ptr<CollectionJobCfg> cfg) {
    if (!CheckJobEventParam(cfg)) {
        return -1;
    }
    if (IsHostProfiling(cfg)) {
        return -1;
    }
    if (!Analysis::Orbx::Common::Platform::Platform::GetInstance().IsDeviceSide()) {
        ORU_LOGI("Not run in device Side, Mini LLC Profiling not enabled");
        return -1;
    }
    cfg_ = cfg;
    collectionJobCfg_ = cfg;
    if (LlcProfilingOn(cfg) &&
        ConfigManager::GetInstance().GetPlatformType() == Common::Config::MINI_TYPE) {
        return 0;
    }
    ORU_LOGI("Mini LLC Profiling not enabled");
    return -1;
}

std::string ProfMiniLlcJob::OutputFile() const {
    return cfg_->dataFile + "." + std::to_string(DevIdOnHostOf(cfg_));
}

std::string ProfMiniLlcJob::BuildLlcCmd() {
    int devId = DevIdOf(cfg_);
    std::string dir = ConfigManager::GetInstance().GetPerfDataDir(devId);
    cfg_->dataFile = Utils::Join({dir, "llc.data"});
    std::string outFile = OutputFile();
    if (Utils::CreateDir(dir) != 0) {
        ORU_LOGE("Creating dir: %s err!", Utils::BaseName(dir).c_str());
        return std::string();
    }
    {
        std::ofstream out(outFile, std::ios::out | std::ios::trunc | std::ios::binary);
        if (!out.is_open()) {
            ORU_LOGE("Failed to open %s, devId=%d, devIdOnHost:%d",
                     Utils::BaseName(outFile).c_str(), devId, DevIdOnHostOf(cfg_));
            return std::string();
        }
    }
    std::string events = Utils::Join(*cfg_->events, ",");
    if (events.empty() ||
        !analysis::orbx::common::validation::ParamValidation::GetInstance().CheckLlcEventsIsValid(
            events)) {
        return std::string();
    }
    auto* params = ParamsOf(cfg_);
    int period = static_cast<int>(kDefaultPeriodMs);
    if (params != nullptr && params->llc_interval > 0) {
        period = params->llc_interval;
    }
    return std::string("sudo ") + analysis::orbx::common::kProfCollectScript + " --stat " +
           outFile + " " + events + " " + std::to_string(period);
}

int ProfMiniLlcJob::Process() {
    if (!CheckJobEventParam(cfg_)) {
        return -1;
    }
    std::string cmd = BuildLlcCmd();
    ORU_LOGI("llc_event:%s, profLlcCmd:%s", Utils::Join(*cfg_->events, ",").c_str(), cmd.c_str());
    if (cmd.empty()) {
        return 0;
    }
    ORU_LOGI("Begin to start profiling llc, cmd=%s", cmd.c_str());
    std::vector<std::string> words = Utils::Split(cmd);
    if (words.empty()) {
        ORU_LOGE("profLlcCmd empty");
        return -1;
    }
    ExecCmdParams exec;
    exec.path = words[0];
    exec.async = true;
    std::vector<std::string> argv(words.begin() + 1, words.end());
    std::vector<std::string> envp = {kStartEnv};
    // words: sudo, the script, the verb, the output file, ...
    recording_ = words.size() >= 4
                     ? analysis::orbx::common::MakeShared<ScriptRecording>(words[2], words[3])
                     : nullptr;
    if (recording_ == nullptr) {
        return -1;
    }
    int ret = recording_->Start(exec, argv, envp);
    ORU_LOGI("start profiling llc, pid = %u, ret=%d", static_cast<unsigned>(recording_->Pid()),
             ret);
    if (ret != 0) {
        ORU_LOGE("Function ret check failed");
        recording_.reset();
    }
    return ret;
}

int ProfMiniLlcJob::Uninit() {
    // Without a script of its own the job stops nothing: the script's
    // "--kill" would end other jobs' recordings.
    int ret = 0;
    if (recording_ != nullptr) {
        ret = recording_->Stop();
        recording_.reset();
    }
    UploadOutputFile();
    return ret;
}

void ProfMiniLlcJob::UploadOutputFile() {
    if (cfg_ == nullptr || cfg_->commonParams == nullptr || cfg_->dataFile.empty()) {
        return;
    }
    std::ifstream in(OutputFile(), std::ios::in | std::ios::binary);
    if (!in.is_open()) {
        return;
    }
    auto ctx = cfg_->commonParams->jobCtx;
    std::string jobId = ctx != nullptr ? ctx->job_id : "";
    std::string tag = ctx != nullptr ? ctx->tag : "";
    std::string devId = ctx != nullptr ? ctx->dev_id : "";
    while (in.good()) {
        std::string data(kUploadChunkSize, '\0');
        in.read(&data[0], static_cast<std::streamsize>(kUploadChunkSize));
        data.resize(static_cast<size_t>(in.gcount()));
        auto chunk = analysis::orbx::common::MakeShared<analysis::orbx::ProfileFileChunk>();
        if (chunk == nullptr) {
            break;
        }
        chunk->fileName = std::string(kLlcDataName) + "." + tag;
        chunk->offset = -1;
        chunk->chunkSize = data.size();
        chunk->chunk = std::move(data);
        chunk->isLastChunk = false;
        chunk->extraInfo = jobId + "." + devId;
        chunk->chunkModule = analysis::orbx::kChunkModuleData;
        if (analysis::orbx::transport::UploaderMgr::GetInstance().UploadData(
                jobId, static_cast<int>(cfg_->commonParams->devId), chunk) != 0) {
            ORU_LOGE("Upload llc data failed , jobId: %s", jobId.c_str());
        }
    }
}

}  // namespace Analysis::Orbx::JobWrapper
