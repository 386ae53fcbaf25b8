#include "device/prof_msg_handler.h"

#include <cstdlib>
#include <string>

#include "common/log.h"
#include "device/collection_entry.h"
#include "device/task_manager.h"
#include "message/job_context.h"
#include "message/param_validation.h"
#include "message/profile_params.h"
#include "message/status_info.h"
#include "wire/profiler.pb.h"

namespace analysis::orbx::device {

using analysis::orbx::common::validation::ParamValidation;
using analysis::orbx::message::JobContext;
using analysis::orbx::message::StatusInfo;

namespace {

// Casts the message to T and reads its header's job context; empty when the
// message is of another type or its context does not parse.
template <class T>
std::shared_ptr<T> ReadCommand(const std::shared_ptr<google::protobuf::Message>& message,
                               JobContext& ctx) {
    auto request = std::dynamic_pointer_cast<T>(message);
    if (request == nullptr) {
        return nullptr;
    }
    const std::string& text = request->hdr().job_ctx();
    if (!ctx.FromString(text)) {
        ORU_LOGE("Failed to parse jobctx json %s.", text.c_str());
        return nullptr;
    }
    return request;
}

std::string TaskKey(const JobContext& ctx) {
    return ctx.job_id + "_" + ctx.dev_id;
}

int Reply(const JobContext& ctx, int devIndex, const StatusInfo& status) {
    return CollectionEntry::GetInstance().SendMsgByDevId(ctx.job_id, devIndex,
                                                         BuildResponse(status));
}

}  // namespace

void JobStartHandler::OnNewMessage(std::shared_ptr<google::protobuf::Message> message) {
    ORU_LOGI("[JobStartHandler::OnNewMessage] Entering handler");
    JobContext ctx;
    auto request = ReadCommand<proto::JobStartReq>(message, ctx);
    if (request == nullptr) {
        return;
    }
    auto& validation = ParamValidation::GetInstance();
    if (!validation.CheckDeviceIdIsValid(ctx.dev_id)) {
        ORU_LOGE("[JobStartHandler::OnNewMessage]jobCtx.dev_id:%s is not valid!",
                 ctx.dev_id.c_str());
        return;
    }
    if (!validation.CheckJobIdIsValid(ctx.job_id)) {
        ORU_LOGE("[JobStartHandler::OnNewMessage]jobCtx.job_id:%s is illegal", ctx.job_id.c_str());
        return;
    }
    int hostId = static_cast<int>(std::strtol(ctx.dev_id.c_str(), nullptr, 10));
    int devIndex = 0;
    StatusInfo status;
    auto task = TaskManager::GetInstance().CreateTask(hostId, TaskKey(ctx), transport_);
    if (task == nullptr) {
        ORU_LOGE("Create Task Failed");
        status.status = 1;
        status.info = "Create task failed.";
    } else {
        devIndex = task->GetDevId();
        if (task->OnJobStart(request, status) != 0) {
            status.status = 1;
            if (status.info.empty()) {
                status.info = "start job failed";
            }
        }
    }
    int ret = Reply(ctx, devIndex, status);
    ORU_LOGI("Reply job start, status=%s, devIndexId=%d, ret=%d", status.ToString().c_str(),
             devIndex, ret);
}

// The common course of the commands that act on an existing task: find the
// task, run the operation, answer with its status (default reason when the
// operation gave none). No task: no reply.
template <class T, class Op>
std::shared_ptr<ProfJobHandler> RunOnTask(const std::shared_ptr<google::protobuf::Message>& message,
                                          const char* defaultInfo, const char* replyName,
                                          Op operation) {
    JobContext ctx;
    auto request = ReadCommand<T>(message, ctx);
    if (request == nullptr) {
        return nullptr;
    }
    auto task = TaskManager::GetInstance().GetTask(TaskKey(ctx));
    if (task == nullptr) {
        ORU_LOGE("Get Task Failed");
        return nullptr;
    }
    int devIndex = task->GetDevId();
    StatusInfo status;
    if (operation(*task, request, status) != 0) {
        status.status = 1;
        if (status.info.empty()) {
            status.info = defaultInfo;
        }
    }
    int ret = Reply(ctx, devIndex, status);
    ORU_LOGI("%s, status=%s, devIndexId=%d, ret=%d", replyName, status.ToString().c_str(), devIndex,
             ret);
    return task;
}

void JobStopHandler::OnNewMessage(std::shared_ptr<google::protobuf::Message> message) {
    ORU_LOGI("[JobStopHandler::OnNewMessage] Entering handler");
    auto task = RunOnTask<proto::JobStopReq>(
        message, "stop job failed", "Reply job stop",
        [](ProfJobHandler& t, const std::shared_ptr<proto::JobStopReq>&, StatusInfo& status) {
            return t.OnJobEnd(status);
        });
    // The task is removed whether or not its stop succeeded.
    if (task != nullptr && !TaskManager::GetInstance().DeleteTask(task->GetKey())) {
        ORU_LOGE("DeleteTask failed.jobId: %s", task->GetKey().c_str());
    }
}

void ReplayStartHandler::OnNewMessage(std::shared_ptr<google::protobuf::Message> message) {
    ORU_LOGI("[StartHandler::OnNewMessage] Entering handler");
    RunOnTask<proto::ReplayStartReq>(
        message, "start failed", "Reply start",
        [](ProfJobHandler& t, const std::shared_ptr<proto::ReplayStartReq>& request,
           StatusInfo& status) { return t.OnReplayStart(request, status); });
}

void ReplayStopHandler::OnNewMessage(std::shared_ptr<google::protobuf::Message> message) {
    ORU_LOGI("[StopHandler::OnNewMessage] Entering handler");
    RunOnTask<proto::ReplayStopReq>(
        message, "stop failed", "Stop",
        [](ProfJobHandler& t, const std::shared_ptr<proto::ReplayStopReq>& request,
           StatusInfo& status) { return t.OnReplayEnd(request, status); });
}

}  // namespace analysis::orbx::device
