#include "jobs/prof_comm_job.h"

#include "common/log.h"
#include "common/make_shared.h"
#include "common/utils.h"
#include "jobs/prof_channel.h"
#include "jobs/prof_channel_manager.h"
#include "message/job_context.h"
#include "message/profile_params.h"

namespace Analysis::Orbx::JobWrapper {

using analysis::orbx::common::Utils;
using analysis::orbx::transport::ChannelReader;

bool CheckJobCommonParam(const std::shared_ptr<CollectionJobCfg>& cfg) {
    if (cfg == nullptr || cfg->commonParams == nullptr) {
        ORU_LOGI("Job check comm param failed");
        return false;
    }
    return true;
}

bool CheckJobEventParam(const std::shared_ptr<CollectionJobCfg>& cfg) {
    if (cfg == nullptr || cfg->commonParams == nullptr || cfg->events == nullptr ||
        cfg->events->empty()) {
        ORU_LOGI("Job check event param not pass");
        return false;
    }
    return true;
}

bool IsHostProfiling(const std::shared_ptr<CollectionJobCfg>& cfg) {
    return cfg != nullptr && cfg->commonParams != nullptr && cfg->commonParams->params != nullptr &&
           cfg->commonParams->params->hostProfiling;
}

std::string JobIdOf(const std::shared_ptr<CollectionJobCfg>& cfg) {
    if (cfg == nullptr || cfg->commonParams == nullptr || cfg->commonParams->jobCtx == nullptr) {
        return std::string();
    }
    return cfg->commonParams->jobCtx->job_id;
}

namespace {

// The data-file path as the host names it: relative to the result directory.
std::string RelativeDataName(const std::string& filePath, const std::string& resultDir) {
    std::string relative;
    if (resultDir.empty()) {
        relative = filePath;
        relative.erase(0, relative.find_first_not_of("/\\"));
        return relative;
    }
    Utils::GetPathAfter(filePath, resultDir, relative);
    return relative;
}

}  // namespace

void ProfDrvJob::AddReader(const std::string& key, int devId, int channelId,
                           const std::string& filePath) {
    if (!CheckJobCommonParam(collectionJobCfg_)) {
        return;
    }
    const auto& common = collectionJobCfg_->commonParams;
    std::string fileName = RelativeDataName(filePath, common->resultDir);
    auto reader = analysis::orbx::common::MakeShared<ChannelReader>(
        static_cast<uint32_t>(devId), static_cast<uint32_t>(channelId), fileName, common->jobCtx);
    if (reader == nullptr || reader->Init() != 0) {
        return;
    }
    auto poll = ProfChannelManager::GetInstance().GetChannelPoll();
    if (poll == nullptr) {
        ORU_LOGI("ProfDrvJob AddReader failed, key:%s, devId:%d, channel:%d, filepath:%s",
                 key.c_str(), devId, channelId, Utils::BaseName(filePath).c_str());
        return;
    }
    poll->AddReader(static_cast<uint32_t>(devId), static_cast<uint32_t>(channelId), reader);
}

void ProfDrvJob::RemoveReader(const std::string& key, int devId, int channelId) {
    ORU_LOGI("ProfDrvJob RemoveReader, key:%s, devId:%d, channel:%d", key.c_str(), devId,
             channelId);
    auto poll = ProfChannelManager::GetInstance().GetChannelPoll();
    if (poll != nullptr) {
        poll->RemoveReader(static_cast<uint32_t>(devId), static_cast<uint32_t>(channelId));
    }
}

}  // namespace Analysis::Orbx::JobWrapper
