#include "jobs/prof_comm_job.h"

#include "common/log.h"
#include "message/job_context.h"
#include "message/profile_params.h"

namespace Analysis::Orbx::JobWrapper {

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

}  // namespace Analysis::Orbx::JobWrapper
