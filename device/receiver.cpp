#include "device/receiver.h"

#include <exception>
#include <string>

#include "common/gxprof_error_manager.h"
#include "common/log.h"
#include "device/collection_entry.h"
#include "device/prof_msg_handler.h"
#include "device/task_manager.h"
#include "wire/codec.h"
#include "wire/profiler.pb.h"

namespace analysis::orbx::device {

Receiver::Receiver(std::shared_ptr<transport::KvtTransport> transport)
    : transport_(std::move(transport)) {}

Receiver::~Receiver() {
    ORU_LOGI("Receiver Unint");
    if (transport_ != nullptr) {
        transport_->CloseSession();
        if (Stop() != 0) {
            ORU_LOGW("Faied to stop thread: %s", GetThreadName().c_str());
        }
        transport_.reset();
    }
    devId_ = -1;
    inited_ = false;
}

int Receiver::Init(int devIndex) {
    try {
        dispatcher_ = std::make_shared<message::MsgDispatcher>();
        dispatcher_->RegisterHandler<proto::JobStartReq>(
            std::make_shared<JobStartHandler>(transport_));
        dispatcher_->RegisterHandler<proto::JobStopReq>(std::make_shared<JobStopHandler>());
        dispatcher_->RegisterHandler<proto::ReplayStartReq>(std::make_shared<ReplayStartHandler>());
        dispatcher_->RegisterHandler<proto::ReplayStopReq>(std::make_shared<ReplayStopHandler>());
    } catch (const std::exception& e) {
        ORU_LOGE("make shared failed, message: %s", e.what());
        return -1;
    }
    devId_ = devIndex;
    inited_ = true;
    return 0;
}

int Receiver::SendMessage(const std::shared_ptr<google::protobuf::Message>& message) {
    if (message == nullptr) {
        return -1;
    }
    std::string bytes = message::EncodeMessage(message);
    int ret = transport_->SendBuffer(bytes.data(), static_cast<int>(bytes.size()));
    ORU_LOGI("DeviceOnHost(%d) Send message size %zu ret %d", devIdOnHost_, bytes.size(), ret);
    return ret;
}

void Receiver::FinishUnstartedJob() {
    // A job that was never started (or whose start failed) has no task to
    // finish its data session: without this its uploader would wait for ever.
    // Leave it alone when a newer control session of the job took over, or
    // another session's task still runs it.
    if (jobId_.empty() ||
        CollectionEntry::GetInstance().GetReceiver(jobId_, devId_).get() != this ||
        TaskManager::GetInstance().GetTask(jobId_ + "_" + std::to_string(devIdOnHost_)) !=
            nullptr) {
        return;
    }
    (void)CollectionEntry::GetInstance().FinishCollection(devIdOnHost_, jobId_);
}

void Receiver::Run(const Analysis::Orbx::GxprofErrMgr::ErrorContext& context) {
    Analysis::Orbx::GxprofErrMgr::GxprofErrorManager::GetInstance().SetErrorContext(context);
    ORU_LOGI("Receiver begin, devId:%d, devIdOnHost:%d", devId_, devIdOnHost_);
    if (!inited_) {
        ORU_LOGE("Receiver is not inited.");
        return;
    }
    bool receiveFailed = false;
    while (true) {
        IdeTlvReq* packet = nullptr;
        int ret = transport_->RecvPacket(&packet);
        if (ret < 0 || packet == nullptr) {
            transport_->DestroyPacket(packet);  // a refusal text still came in a packet
            receiveFailed = true;
            break;
        }
        ORU_LOGI("DeviceOnHost(%d) Receiver message size %d", devIdOnHost_, ret);
        std::string bytes(reinterpret_cast<const char*>(packet->value), packet->len);
        transport_->DestroyPacket(packet);
        dispatcher_->OnNewMessage(message::DecodeMessage(bytes));
        if (IsQuit()) {
            break;
        }
    }
    if (receiveFailed) {
        ORU_LOGW("devIdOnHost(%d) Failed to recv packet from host", devIdOnHost_);
        TaskManager::GetInstance().ConnectionReset(transport_);
        FinishUnstartedJob();
        StopNoWait();
        // Nothing reads this session any more: let the host see it end.
        transport_->CloseSession();
    }
    ORU_LOGI("Receiver end, devId:%d, devIdOnHost:%d", devId_, devIdOnHost_);
    if (receiveFailed) {
        // Leave the registry now rather than at the next handshake. When the
        // registry held the last reference, this object ends with this
        // statement, on its own thread: nothing may touch it afterwards.
        (void)CollectionEntry::GetInstance().TakeEndedReceiver(this, jobId_, devId_);
    }
}

}  // namespace analysis::orbx::device
