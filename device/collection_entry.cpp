#include "device/collection_entry.h"

#include <exception>
#include <iterator>
#include <vector>

#include "common/log.h"
#include "common/make_shared.h"
#include "common/oru_paths.h"
#include "common/utils.h"
#include "device/task_relationship_mgr.h"
#include "driver/platform.h"
#include "jobs/prof_perf_job.h"
#include "message/param_validation.h"
#include "transport/uploader_mgr.h"
#include "wire/codec.h"

namespace analysis::orbx::device {

using analysis::orbx::common::MakeShared;
using analysis::orbx::common::Utils;
using analysis::orbx::common::validation::ParamValidation;
using analysis::orbx::message::JobContext;
using analysis::orbx::message::StatusInfo;
using analysis::orbx::transport::UploaderMgr;

namespace {

std::string DevModeKey(int devIndex, const std::string& mode) {
    return UploaderMgr::DevModeKey(static_cast<uint32_t>(devIndex), mode);
}

}  // namespace

std::shared_ptr<proto::Response> BuildResponse(const StatusInfo& status) {
    std::shared_ptr<proto::Response> response;
    try {
        response = std::make_shared<proto::Response>();
    } catch (const std::exception& e) {
        ORU_LOGE("make shared failed, message: %s", e.what());
        return nullptr;
    }
    response->set_status(status.status == 0 ? proto::SUCCESS : proto::FAILED);
    response->set_message(status.ToString());
    return response;
}

int CollectionEntry::Init() {
    ORU_LOGEVENT("Begin to init Collection Entry");
    Utils::RemoveDir(common::kProfilerDir, false);
    if (Analysis::Orbx::Common::Platform::Platform::GetInstance().InitRunSide() != 0) {
        return -1;
    }
    // Recordings of a daemon that ended without stopping them would keep
    // writing pieces under the names the next jobs use.
    if (Analysis::Orbx::Common::Platform::Platform::GetInstance().IsDeviceSide() &&
        !Analysis::Orbx::JobWrapper::EndRecordingsLeftBehind()) {
        ORU_LOGE("A recording left behind by an earlier run cannot be ended");
    }
    inited_ = true;
    return 0;
}

int CollectionEntry::UnInit() {
    ORU_LOGI("uinit Collection Entry.");
    {
        // A control handshake registers its receiver under this lock after
        // looking at inited_: once it is cleared here, none is added after
        // the receivers are taken below.
        std::lock_guard<std::mutex> handshakeLock(ctrlHandshakeMutex_);
        if (!inited_.exchange(false)) {
            return 0;
        }
    }
    std::map<std::string, std::map<int, std::shared_ptr<Receiver>>> receivers;
    {
        std::lock_guard<std::mutex> lock(receiversMutex_);
        receivers = receivers_;
    }
    // Closing each session first makes a receive blocked on it return, so
    // the join below never waits for the host. A receiver whose session ends
    // finishes its job as a broken connection does (DataChannelFinish after
    // the queued data); it stays registered until it has ended, so a job
    // that was never started finishes its data session too.
    for (auto& job : receivers) {
        for (auto& dev : job.second) {
            dev.second->GetTransport()->CloseSession();
            dev.second->Stop();
        }
    }
    {
        std::lock_guard<std::mutex> lock(receiversMutex_);
        receivers_.clear();
    }
    receivers.clear();
    UploaderMgr::GetInstance().UnInit();
    return 0;
}

int CollectionEntry::Handle(std::shared_ptr<transport::ITransport> transport,
                            const std::string& bytes, int devIndex) {
    if (!inited_ || transport == nullptr) {
        ORU_LOGE("Collection Entry was not inited.");
        return -1;
    }
    StatusInfo status;
    int ret = -1;
    std::shared_ptr<Receiver> receiver;
    std::shared_ptr<transport::Uploader> uploader;
    auto message = message::DecodeMessage(bytes);
    if (message == nullptr) {
        ORU_LOGW("Failed to decode message");
        status.info = "Failed to decode message";
    } else if (auto ctrl = std::dynamic_pointer_cast<proto::CtrlChannelHandshake>(message)) {
        // Kept until the reply below is sent: a refused receiver closes the
        // session when it goes.
        auto session = std::dynamic_pointer_cast<transport::KvtTransport>(transport);
        receiver = session == nullptr ? nullptr : MakeShared<Receiver>(session);
        ret = HandleCtrlSession(receiver, *ctrl, status, devIndex);
    } else if (auto data = std::dynamic_pointer_cast<proto::DataChannelHandshake>(message)) {
        uploader = MakeShared<transport::Uploader>(transport);
        ret = HandleDataSession(uploader, *data, devIndex);
    } else {
        status.info = "unknown message";
    }
    if (ret != 0) {
        status.status = 1;
        std::string reply = message::EncodeMessage(BuildResponse(status));
        int sent = transport->SendBuffer(reply.data(), static_cast<int>(reply.size()));
        ORU_LOGW(
            "Reply handle failed, dev_id=%d, statusInfo=%s, response sent size:%d, "
            "resp size:%zu",
            devIndex, status.ToString().c_str(), sent, reply.size());
    }
    return ret;
}

int CollectionEntry::HandleCtrlSession(std::shared_ptr<Receiver> receiver,
                                       const proto::CtrlChannelHandshake& handshake,
                                       StatusInfo& status, int devIndex) {
    ORU_LOGI("Device %d Received ctrl handshake, devIdOnHost: %d", devIndex, handshake.devid());
    if (receiver == nullptr) {
        return -1;
    }
    // Receivers leaving the registry: their destructors close the session and
    // join the thread, whose exit path takes the registry's locks. Declared
    // before the lock below, so they end after it is released.
    std::vector<std::shared_ptr<Receiver>> ended;
    std::lock_guard<std::mutex> handshakeLock(ctrlHandshakeMutex_);
    if (!inited_.load()) {
        ORU_LOGE("Collection Entry was not inited.");
        return -1;
    }
    std::string last = GetModeJobId(devIndex, handshake.mode());
    if (!last.empty()) {
        ended.push_back(GetReceiver(last, devIndex));
        if (ended.back() != nullptr && !ended.back()->IsQuit()) {
            ORU_LOGE("Last profiling job %s on device %u has not exited, please try again later",
                     last.c_str(), static_cast<unsigned int>(devIndex));
            return -1;
        }
    }
    int hostId = handshake.devid();
    auto& validation = ParamValidation::GetInstance();
    if (!validation.CheckDeviceIdIsValid(std::to_string(hostId))) {
        ORU_LOGE("[HandleCtrlSession]hostId: %d is not valid!", hostId);
        return -1;
    }
    // The job id and mode key the receiver registry: a session whose job could
    // never be answered or have a data channel is not kept.
    if (!validation.CheckJobIdIsValid(handshake.jobid())) {
        ORU_LOGE("[HandleCtrlSession]jobID is invalid!");
        return -1;
    }
    if (!validation.CheckProfilingModeIsValid(handshake.mode())) {
        ORU_LOGE("[HandleCtrlSession]profilingMode is invalid!");
        return -1;
    }
    receiver->SetDevIdOnHost(hostId);
    receiver->SetJobId(handshake.jobid());
    Analysis::Orbx::TaskHandle::TaskRelationshipMgr::GetInstance().AddHostIdDevIdRelation(hostId,
                                                                                          devIndex);
    int ret = receiver->Init(devIndex);
    if (ret != 0) {
        ORU_LOGE("Failed to init receiver");
        status.info = "Failed to init receiver";
        return ret;
    }
    status.status = 0;
    std::string reply = message::EncodeMessage(BuildResponse(status));
    int sent = receiver->GetTransport()->SendBuffer(reply.data(), static_cast<int>(reply.size()));
    ORU_LOGI("Reply ctrl handshake, statusInfo=%s, response sent size:%d, resp size:%zu",
             status.ToString().c_str(), sent, reply.size());
    for (auto& removed : AddReceiver(handshake.mode(), handshake.jobid(), devIndex, receiver)) {
        ended.push_back(std::move(removed));
    }
    receiver->SetThreadName("KTRX_CtrlRecv");
    ret = receiver->Start();
    if (ret != 0) {
        // Nobody serves this session: say so instead of leaving the earlier
        // SUCCESS standing, and drop the registration.
        ORU_LOGE("[HandleCtrlSession]Failed to start receiver thread, ret=%d", ret);
        DeleteModeJobIdRelation(devIndex, handshake.mode());
        ended.push_back(DeleteReceiver(handshake.jobid(), devIndex));
        status.status = 1;
        status.info = "Failed to start receiver thread";
        return ret;
    }
    ORU_LOGI("Ctrl session finished, devId:%d, devIdOnHost:%d", devIndex, hostId);
    return 0;
}

int CollectionEntry::HandleDataSession(std::shared_ptr<transport::Uploader> uploader,
                                       const proto::DataChannelHandshake& handshake, int devIndex) {
    ORU_LOGI("Device %d Received data handshake", devIndex);
    auto& validation = ParamValidation::GetInstance();
    if (!validation.CheckJobIdIsValid(handshake.jobid())) {
        ORU_LOGE("[HandleDataSession]jobID is invalid!");
        return -1;
    }
    if (!validation.CheckProfilingModeIsValid(handshake.mode())) {
        ORU_LOGE("[HandleDataSession]profilingMode is invalid!");
        return -1;
    }
    if (uploader == nullptr) {
        return -1;
    }
    int ret = uploader->Init(transport::kUploaderQueueChunks, transport::kUploaderQueueBytes);
    if (ret != 0) {
        ORU_LOGE("[HandleDataSession]Failed to init uploader thread, initRet=%d", ret);
        return ret;
    }
    uploader->SetThreadName("KTRX_Upld_" + handshake.jobid());
    ret = uploader->Start();
    if (ret != 0) {
        ORU_LOGE("[HandleDataSession]Failed to start uploader thread, ret=%d", ret);
        return ret;
    }
    StatusInfo status;
    status.status = 0;
    std::string reply = message::EncodeMessage(BuildResponse(status));
    int queued = uploader->UploadData(reply.data(), static_cast<int>(reply.size()));
    ORU_LOGI("Reply data handshake, statusInfo=%s, response sent size:%d, resp size:%zu",
             status.ToString().c_str(), queued, reply.size());
    UploaderMgr::GetInstance().UpdateDevModeJobMap(devIndex, handshake.mode(), handshake.jobid());
    UploaderMgr::GetInstance().AddUploader(handshake.jobid(), devIndex, uploader);
    return 0;
}

int CollectionEntry::FinishCollection(int devId, const std::string& jobId) {
    ORU_LOGI("Entering device(%d) FinishCollection...jobId:%s", devId, jobId.c_str());
    // The job's data session is the one its host opened on this device.
    const int devIndex =
        Analysis::Orbx::TaskHandle::TaskRelationshipMgr::GetInstance().GetDevIdByHostId(devId);
    std::shared_ptr<transport::Uploader> uploader;
    UploaderMgr::GetInstance().GetUploader(jobId, devIndex, uploader);
    // Only a finish written to the job's own data session ends it well.
    int ret = -1;
    if (uploader == nullptr) {
        ORU_LOGE("Device(%d) job %s has no data session to finish", devId, jobId.c_str());
    } else {
        ORU_LOGI("Release device(%d) uploader.", devId);
        auto finish = MakeShared<proto::DataChannelFinish>();
        if (finish == nullptr) {
            return -1;
        }
        JobContext ctx;
        ctx.dev_id = std::to_string(static_cast<unsigned int>(devId));
        ctx.job_id = jobId;
        finish->mutable_hdr()->set_job_ctx(ctx.ToString());
        std::string bytes = message::EncodeMessage(finish);
        ret = uploader->Finish(bytes.data(), static_cast<int>(bytes.size()));
        if (ret != 0) {
            ORU_LOGE("Device(%d) data session of job %s not finished", devId, jobId.c_str());
        } else {
            ORU_LOGI("Device(%d) data session finished", devId);
        }
    }
    ORU_LOGI("reset device(%d) uploader.", devId);
    UploaderMgr::GetInstance().DelUploader(jobId, devIndex);
    ORU_LOGI("Device(%d) leaving finish_collection...", devId);
    return ret;
}

int CollectionEntry::SendMsgByDevId(const std::string& jobId, int devIndex,
                                    std::shared_ptr<google::protobuf::Message> message) {
    if (message == nullptr) {
        ORU_LOGE("[SendMsgByDevId] message is nullptr.");
        return -1;
    }
    ORU_LOGI("Send devIndexId %u Message...", static_cast<unsigned int>(devIndex));
    auto receiver = GetReceiver(jobId, devIndex);
    if (receiver == nullptr) {
        return -1;
    }
    return receiver->SendMessage(message);
}

std::vector<std::shared_ptr<Receiver>> CollectionEntry::AddReceiver(
    const std::string& mode, const std::string& jobId, int devIndex,
    std::shared_ptr<Receiver> receiver) {
    ORU_LOGI("mode: %s, devIndexId: %u, jobId: %s Entering AddReceiver...", mode.c_str(),
             static_cast<unsigned int>(devIndex), jobId.c_str());
    std::vector<std::shared_ptr<Receiver>> removed;
    std::string previous = DeleteModeJobIdRelation(devIndex, mode);
    removed.push_back(DeleteReceiver(previous, devIndex));
    if (receiver == nullptr) {
        return removed;
    }
    std::lock_guard<std::mutex> lock(receiversMutex_);
    // A receiver whose session ended serves nobody, and one that no later
    // handshake replaces (another device took its mode key) would stay for
    // good: drop them all here.
    for (auto job = receivers_.begin(); job != receivers_.end();) {
        for (auto dev = job->second.begin(); dev != job->second.end();) {
            if (dev->second == nullptr || dev->second->IsQuit()) {
                removed.push_back(std::move(dev->second));
                dev = job->second.erase(dev);
            } else {
                ++dev;
            }
        }
        job = job->second.empty() ? receivers_.erase(job) : std::next(job);
    }
    // The same job on the same device in another mode replaces its receiver:
    // taken out here, ended by the caller.
    std::shared_ptr<Receiver>& slot = receivers_[jobId][devIndex];
    removed.push_back(std::move(slot));
    slot = std::move(receiver);
    AddModeJobIdRelation(devIndex, mode, jobId);
    return removed;
}

std::shared_ptr<Receiver> CollectionEntry::GetReceiver(const std::string& jobId, int devIndex) {
    ORU_LOGI("devIndexId: %u, jobId: %s Entering GetReceiver...",
             static_cast<unsigned int>(devIndex), jobId.c_str());
    std::lock_guard<std::mutex> lock(receiversMutex_);
    auto job = receivers_.find(jobId);
    if (job == receivers_.end()) {
        ORU_LOGE("Can't find jobId: %s receiver", jobId.c_str());
        return nullptr;
    }
    auto dev = job->second.find(devIndex);
    if (dev == job->second.end()) {
        ORU_LOGE("Can't find jobId %s, devIndexId: %d receiver", jobId.c_str(), devIndex);
        return nullptr;
    }
    return dev->second;
}

std::shared_ptr<Receiver> CollectionEntry::DeleteReceiver(const std::string& jobId, int devIndex) {
    ORU_LOGI("Delete receiver jobId %s, devIndexId %d", jobId.c_str(), devIndex);
    std::shared_ptr<Receiver> removed;
    if (jobId.empty()) {
        return removed;
    }
    std::lock_guard<std::mutex> lock(receiversMutex_);
    auto job = receivers_.find(jobId);
    if (job == receivers_.end()) {
        return removed;
    }
    auto dev = job->second.find(devIndex);
    if (dev != job->second.end()) {
        removed = std::move(dev->second);
        job->second.erase(dev);
    }
    if (job->second.empty()) {
        receivers_.erase(job);
    }
    return removed;
}

std::shared_ptr<Receiver> CollectionEntry::TakeEndedReceiver(const Receiver* receiver,
                                                             const std::string& jobId,
                                                             int devIndex) {
    std::shared_ptr<Receiver> removed;
    std::lock_guard<std::mutex> lock(receiversMutex_);
    auto job = receivers_.find(jobId);
    if (job == receivers_.end()) {
        return removed;
    }
    auto dev = job->second.find(devIndex);
    if (dev == job->second.end() || dev->second.get() != receiver) {
        return removed;
    }
    ORU_LOGI("Release ended receiver jobId %s, devIndexId %d", jobId.c_str(), devIndex);
    removed = std::move(dev->second);
    job->second.erase(dev);
    if (job->second.empty()) {
        receivers_.erase(job);
    }
    return removed;
}

void CollectionEntry::AddModeJobIdRelation(int devIndex, const std::string& mode,
                                           const std::string& jobId) {
    std::string key = DevModeKey(devIndex, mode);
    ORU_LOGI("devModeKey:%s, jobId:%s Entering AddModeJobIdRelation...", key.c_str(),
             jobId.c_str());
    std::lock_guard<std::mutex> lock(modeMutex_);
    modeRelations_[key] = jobId;
}

std::string CollectionEntry::DeleteModeJobIdRelation(int devIndex, const std::string& mode) {
    std::string key = DevModeKey(devIndex, mode);
    ORU_LOGI("devModeKey:%s, Entering DeleteModeJobIdRelation...", key.c_str());
    std::lock_guard<std::mutex> lock(modeMutex_);
    auto it = modeRelations_.find(key);
    if (it == modeRelations_.end()) {
        return "";
    }
    std::string jobId = it->second;
    modeRelations_.erase(it);
    return jobId;
}

std::string CollectionEntry::GetModeJobId(int devIndex, const std::string& mode) {
    std::string key = DevModeKey(devIndex, mode);
    std::lock_guard<std::mutex> lock(modeMutex_);
    auto it = modeRelations_.find(key);
    return it == modeRelations_.end() ? "" : it->second;
}

}  // namespace analysis::orbx::device
