// Routes each decoded control message to the handler registered for its type.
// One dispatcher belongs to one receiver: handlers are registered before the
// receiver thread starts and only that thread reads the map afterwards.
#ifndef ORU_DEVICE_DISPATCHER_H
#define ORU_DEVICE_DISPATCHER_H

#include <google/protobuf/message.h>

#include <map>
#include <memory>

namespace analysis::orbx::message {

class IMsgHandler {
  public:
    virtual ~IMsgHandler() = default;
    virtual void OnNewMessage(std::shared_ptr<google::protobuf::Message> message) = 0;
};

class MsgDispatcher {
  public:
    virtual ~MsgDispatcher() = default;

    // A later registration for the same type replaces the earlier one.
    template <class T>
    void RegisterHandler(std::shared_ptr<IMsgHandler> handler) {
        if (handler != nullptr) {
            handlers_[T::descriptor()] = std::move(handler);
        }
    }

    void OnNewMessage(const std::shared_ptr<google::protobuf::Message>& message);

  private:
    std::map<const google::protobuf::Descriptor*, std::shared_ptr<IMsgHandler>> handlers_;
};

}  // namespace analysis::orbx::message

#endif  // ORU_DEVICE_DISPATCHER_H
