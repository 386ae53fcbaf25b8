#include "device/prof_job_handler.h"

#include <vector>

#include "common/log.h"
#include "common/make_shared.h"
#include "device/collect_engine.h"
#include "message/param_validation.h"

namespace analysis::orbx::device {

using analysis::orbx::common::MakeShared;
using analysis::orbx::common::validation::ParamValidation;
using EventList = std::shared_ptr<std::vector<std::string>>;

namespace {

constexpr const char* kNotStarted = "Profiling is not started on device";

EventList CopyEvents(const google::protobuf::RepeatedPtrField<std::string>& events) {
    return MakeShared<std::vector<std::string>>(events.begin(), events.end());
}

}  // namespace

ProfJobHandler::~ProfJobHandler() {
    if (inited_) {
        devId_ = -1;
        key_.clear();
        inited_ = false;
    }
}

int ProfJobHandler::Init(int devIndex, const std::string& key,
                         std::shared_ptr<transport::ITransport> transport) {
    if (transport == nullptr) {
        ORU_LOGE("Init failed, transport is null");
        return -1;
    }
    devId_ = devIndex;
    key_ = key;
    transport_ = std::move(transport);
    inited_ = true;
    return 0;
}

int ProfJobHandler::InitEngine(message::StatusInfo& status) {
    status.status = 1;
    if (_is_started) {
        ORU_LOGE("InitEngine Profiling is already running on device");
        status.info = "Profiling is already running on device";
        return -1;
    }
    engine_ = MakeShared<CollectEngine>();
    int ret = engine_ == nullptr ? -1 : engine_->Init(devId_);
    if (ret == 0) {
        engine_->SetDevIdOnHost(devIdOnHost_);
    } else {
        ORU_LOGE("InitEngine Failed to init collection engine");
        engine_.reset();
        status.info = "Failed to init collection engine";
    }
    return ret;
}

int ProfJobHandler::OnJobStart(std::shared_ptr<proto::JobStartReq> request,
                               message::StatusInfo& status) {
    ORU_LOGI("receive job start");
    if (request == nullptr) {
        ORU_LOGE("[OnJobStart] message is nullptr");
        return -1;
    }
    if (InitEngine(status) != 0) {
        ORU_LOGE("InitEngine failed");
        return -1;
    }
    if (engine_->CollectStart(request->sampleconfig(), status) == 0) {
        _is_started = true;
        return 0;
    }
    ORU_LOGE("devId %d CollectStart failed", devId_);
    engine_.reset();
    return -1;
}

int ProfJobHandler::OnJobEnd(message::StatusInfo& status) {
    ORU_LOGI("receive job end");
    status.status = 1;
    if (!_is_started || engine_ == nullptr) {
        ORU_LOGE("OnJobEnd Profiling is not started on device");
        status.info = kNotStarted;
        return -1;
    }
    int ret = engine_->CollectStop(status);
    ResetTask();
    return ret;
}

bool ProfJobHandler::CheckEventSizes(const std::shared_ptr<proto::ReplayStartReq>& request) {
    if (request == nullptr) {
        return false;
    }
    auto& validation = ParamValidation::GetInstance();
    struct {
        int size;
        const char* name;
    } lists[] = {
        {request->ctrl_cpu_events_size(), "ctrl_cpu_events"},
        {request->ts_cpu_events_size(), "ts_cpu_events"},
        {request->ai_cpu_events_size(), "ai_cpu_events"},
        {request->llc_events_size(), "llc_events"},
    };
    for (const auto& list : lists) {
        if (!validation.CheckEventSizeIsValid(list.size)) {
            ORU_LOGE("%s_size(%d) is not valid!", list.name, list.size);
            return false;
        }
    }
    return true;
}

int ProfJobHandler::OnReplayStart(std::shared_ptr<proto::ReplayStartReq> request,
                                  message::StatusInfo& status) {
    ORU_LOGI("receive start");
    status.status = 1;
    int ret = -1;
    if (!_is_started) {
        ORU_LOGE("Start Profiling is not started on device");
        status.info = kNotStarted;
    } else if (!CheckEventSizes(request)) {
        ORU_LOGE("Start pmu event size is not valid");
        status.info = "[Start] pmu event size is not valid!";
    } else if (engine_ == nullptr) {
        ORU_LOGE("Start Engine is null");
        status.info = "[Start] Start Engine is null!";
    } else {
        EventList ctrlCpuEvents = CopyEvents(request->ctrl_cpu_events());
        EventList llcEvents = CopyEvents(request->llc_events());
        ret = engine_->CollectStartReplay(ctrlCpuEvents, status, llcEvents);
    }
    if (ret != 0) {
        ORU_LOGE("Start failed, doing ResetTask!");
        ResetTask();
    }
    return ret;
}

int ProfJobHandler::OnReplayEnd(std::shared_ptr<proto::ReplayStopReq> request,
                                message::StatusInfo& status) {
    ORU_LOGI("receive end");
    status.status = 1;
    int ret = -1;
    if (request == nullptr) {
        ORU_LOGE("End message is nullptr");
        status.info = "StopReq message is nullptr";
    } else if (!_is_started) {
        ORU_LOGE("End Profiling is not started on device");
        status.info = kNotStarted;
    } else if (engine_ == nullptr) {
        ORU_LOGE("End Engine is null");
        status.info = "[End] End Engine is null!";
    } else {
        ret = engine_->CollectStopReplay(status);
    }
    if (ret != 0) {
        ORU_LOGE("End failed");
        ResetTask();
    }
    return ret;
}

int ProfJobHandler::OnConnectionReset() {
    ORU_LOGI("receive connection reset, _is_started:%d", _is_started ? 1 : 0);
    if (!_is_started) {
        return 0;
    }
    if (engine_ == nullptr) {
        ORU_LOGE("OnConnectionReset engine is null");
        return -1;
    }
    message::StatusInfo scratch;
    if (engine_->CollectStop(scratch) != 0) {
        ORU_LOGW("Failed to stop collect.");
    }
    engine_.reset();
    return 0;
}

void ProfJobHandler::ResetTask() {
    ORU_LOGI("ResetTask begin, _is_started:%d", _is_started ? 1 : 0);
    if (_is_started) {
        _is_started = false;
        engine_.reset();
    }
}

}  // namespace analysis::orbx::device
