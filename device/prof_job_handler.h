// The task object of one profiling job on one device: follows the job through
// start, replay start, replay stop and stop, owns the job's collect engine while
// the job runs, and writes the reason of a failure into the reply's status.
//
// Runs on the receiver thread of the job's control session; OnConnectionReset
// runs on a receiver thread whose session broke (or the main thread at
// shutdown) with the task manager's mutex held. No lock of its own.
#ifndef ORU_DEVICE_PROF_JOB_HANDLER_H
#define ORU_DEVICE_PROF_JOB_HANDLER_H

#include <memory>
#include <string>

#include "message/job_context.h"
#include "message/profile_params.h"
#include "message/status_info.h"
#include "transport/transport.h"
#include "wire/profiler.pb.h"

namespace analysis::orbx::device {

class CollectEngine;

class IJobCallback {
  public:
    virtual ~IJobCallback() = default;
    virtual int OnJobStart(std::shared_ptr<proto::JobStartReq> request,
                           message::StatusInfo& status) = 0;
    virtual int OnJobEnd(message::StatusInfo& status) = 0;
    virtual int OnReplayStart(std::shared_ptr<proto::ReplayStartReq> request,
                              message::StatusInfo& status) = 0;
    virtual int OnReplayEnd(std::shared_ptr<proto::ReplayStopReq> request,
                            message::StatusInfo& status) = 0;
    virtual int OnConnectionReset() = 0;
    virtual int GetDevId() = 0;
};

class ProfJobHandler : public IJobCallback {
  public:
    ProfJobHandler() = default;
    ~ProfJobHandler() override;

    int Init(int devIndex, const std::string& key,
             std::shared_ptr<transport::ITransport> transport);
    void SetDevIdOnHost(int devIdOnHost) { devIdOnHost_ = devIdOnHost; }
    int GetDevId() override { return devId_; }
    const std::string& GetKey() const { return key_; }
    std::shared_ptr<transport::ITransport> GetTransport() const { return transport_; }

    int OnJobStart(std::shared_ptr<proto::JobStartReq> request,
                   message::StatusInfo& status) override;
    int OnJobEnd(message::StatusInfo& status) override;
    int OnReplayStart(std::shared_ptr<proto::ReplayStartReq> request,
                      message::StatusInfo& status) override;
    int OnReplayEnd(std::shared_ptr<proto::ReplayStopReq> request,
                    message::StatusInfo& status) override;
    int OnConnectionReset() override;

    virtual int InitEngine(message::StatusInfo& status);
    void ResetTask();

  private:
    bool CheckEventSizes(const std::shared_ptr<proto::ReplayStartReq>& request);

    bool inited_ = false;
    std::shared_ptr<CollectEngine> engine_;
    int devId_ = -1;
    int devIdOnHost_ = -1;
    std::string key_;
    bool _is_started = false;
    std::shared_ptr<transport::ITransport> transport_;
};

}  // namespace analysis::orbx::device

#endif  // ORU_DEVICE_PROF_JOB_HANDLER_H
