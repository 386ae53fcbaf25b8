// What `profile` needs from a device: the two sessions of one job. The real
// link goes through the card driver's HDC client (hdc_link.h); tests use
// scripted fakes.
#ifndef ORU_TOOLS_ORU_HOST_DEVICE_LINK_H
#define ORU_TOOLS_ORU_HOST_DEVICE_LINK_H

#include <google/protobuf/message.h>

#include <cstdint>
#include <memory>
#include <string>

#include "wire/profiler.pb.h"

namespace analysis::orbx::hosttool {

struct Reply {
    bool containerRefused = false;  // the raw refusal text came instead of a Response
    int status = -1;                // Response.Status: 0 SUCCESS, 1 FAILED
    std::string message;            // Response.Message (a status record), or the raw text
};

// REQUIRES: Open* before the other calls of the same session; one thread per
// session at a time, except that Close* may be called from any thread to make
// a call blocked on that session return with failure.
class DeviceLink {
  public:
    virtual ~DeviceLink() = default;

    // Connects a session to device `device` (presenting virtual-function id
    // `vfid`), sends the handshake and reads the device's answer. False with
    // *error when the connection, the send or the read fails, or the answer is
    // neither a Response nor the container refusal.
    virtual bool OpenControl(uint32_t device, uint32_t vfid,
                             const proto::CtrlChannelHandshake& handshake, Reply* reply,
                             std::string* error) = 0;
    virtual bool OpenData(uint32_t device, uint32_t vfid,
                          const proto::DataChannelHandshake& handshake, Reply* reply,
                          std::string* error) = 0;

    // Sends one command on the control session and reads its Response.
    virtual bool Command(const google::protobuf::Message& request, Reply* reply,
                         std::string* error) = 0;

    // The next message of the data session; false when the session ended or
    // failed (*error says which).
    virtual bool ReadData(std::shared_ptr<google::protobuf::Message>* message,
                          std::string* error) = 0;

    virtual void CloseControl() = 0;
    virtual void CloseData() = 0;
};

}  // namespace analysis::orbx::hosttool

#endif  // ORU_TOOLS_ORU_HOST_DEVICE_LINK_H
