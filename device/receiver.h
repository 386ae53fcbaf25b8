// Reads the control session of one profiling job: one request packet after
// another is decoded and handed to the dispatcher, whose handlers run on this
// thread ("KTRX_CtrlRecv"). When the session breaks, every task started over it
// is stopped, the data session of its job is finished when no task is left to
// do it (the host left before its job started), and the receiver leaves the
// collection entry's registry (ending on its own thread when that held the
// last reference). The destructor closes the session first, so its join never
// waits for a blocked receive.
#ifndef ORU_DEVICE_RECEIVER_H
#define ORU_DEVICE_RECEIVER_H

#include <google/protobuf/message.h>

#include <memory>
#include <string>

#include "common/thread.h"
#include "device/dispatcher.h"
#include "transport/hdc_transport.h"

namespace analysis::orbx::device {

class Receiver : public common::thread::Thread {
  public:
    explicit Receiver(std::shared_ptr<transport::KvtTransport> transport);
    ~Receiver() override;

    // Registers the four command handlers; 0, or -1 when an allocation fails.
    int Init(int devIndex);
    void SetDevIdOnHost(int devIdOnHost) { devIdOnHost_ = devIdOnHost; }
    // The job named by the control handshake.
    void SetJobId(const std::string& jobId) { jobId_ = jobId; }
    std::shared_ptr<transport::KvtTransport> GetTransport() const { return transport_; }
    // Encodes and sends a reply on the control session; the send result, or -1.
    int SendMessage(const std::shared_ptr<google::protobuf::Message>& message);

  protected:
    void Run(const Analysis::Orbx::GxprofErrMgr::ErrorContext& context) override;

  private:
    void FinishUnstartedJob();

    std::shared_ptr<message::MsgDispatcher> dispatcher_;
    std::shared_ptr<transport::KvtTransport> transport_;
    int devId_ = -1;
    int devIdOnHost_ = -1;
    std::string jobId_;
    bool inited_ = false;
};

}  // namespace analysis::orbx::device

#endif  // ORU_DEVICE_RECEIVER_H
