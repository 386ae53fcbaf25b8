// Handlers of the four control commands: job start, job stop, replay start and
// replay stop. Each receiver registers one of each; they run on its thread and
// answer every handled command with one Response on the job's control session.
#ifndef ORU_DEVICE_PROF_MSG_HANDLER_H
#define ORU_DEVICE_PROF_MSG_HANDLER_H

#include <memory>

#include "device/dispatcher.h"
#include "transport/transport.h"

namespace analysis::orbx::device {

class JobStartHandler : public message::IMsgHandler {
  public:
    explicit JobStartHandler(std::shared_ptr<transport::ITransport> transport)
        : transport_(std::move(transport)) {}
    void OnNewMessage(std::shared_ptr<google::protobuf::Message> message) override;

  private:
    std::shared_ptr<transport::ITransport> transport_;
};

class JobStopHandler : public message::IMsgHandler {
  public:
    void OnNewMessage(std::shared_ptr<google::protobuf::Message> message) override;
};

class ReplayStartHandler : public message::IMsgHandler {
  public:
    void OnNewMessage(std::shared_ptr<google::protobuf::Message> message) override;
};

class ReplayStopHandler : public message::IMsgHandler {
  public:
    void OnNewMessage(std::shared_ptr<google::protobuf::Message> message) override;
};

}  // namespace analysis::orbx::device

#endif  // ORU_DEVICE_PROF_MSG_HANDLER_H
