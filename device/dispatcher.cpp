#include "device/dispatcher.h"

#include "common/log.h"

namespace analysis::orbx::message {

void MsgDispatcher::OnNewMessage(const std::shared_ptr<google::protobuf::Message>& message) {
    if (message == nullptr) {
        ORU_LOGE("message is null");
        return;
    }
    auto it = handlers_.find(message->GetDescriptor());
    if (it == handlers_.end()) {
        ORU_LOGE("Failed to find handler for message:%s",
                 message->GetDescriptor()->full_name().c_str());
        return;
    }
    it->second->OnNewMessage(message);
}

}  // namespace analysis::orbx::message
