#include "tools/oru_host/hdc_link.h"

#include <algorithm>
#include <mutex>

#include "ostrel/hal.h"

#include "tools/host/host_session.h"
#include "wire/hdc_packet.h"

namespace analysis::orbx::hosttool {
namespace {

using host::HostClient;
using host::HostSession;

std::string RecvError(int code) {
    switch (code) {
        case host::kRecvClosed:
            return "the device closed the session";
        case host::kRecvContainerRefused:
            return "the device refused a container session";
        case host::kRecvTimedOut:
            return "nothing arrived in time";
        default:
            return "read failure or a malformed message";
    }
}

// One session, published under a mutex so that another thread can close it
// (a call blocked on it then returns) while its owner uses it.
class SessionSlot {
  public:
    HostSession* Publish(std::unique_ptr<HostSession> session) {
        std::lock_guard<std::mutex> lock(mutex_);
        session_ = std::move(session);
        if (closed_) {
            session_->Close();
        }
        return session_.get();
    }
    void Close() {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
        if (session_ != nullptr) {
            session_->Close();
        }
    }
    HostSession* Get() {
        std::lock_guard<std::mutex> lock(mutex_);
        return session_.get();
    }

  private:
    std::mutex mutex_;
    std::unique_ptr<HostSession> session_;  // destroyed only with the link
    bool closed_ = false;
};

class HdcLink : public DeviceLink {
  public:
    bool OpenControl(uint32_t device, uint32_t vfid, const proto::CtrlChannelHandshake& handshake,
                     Reply* reply, std::string* error) override {
        return Open(&control_, device, vfid, handshake, reply, error);
    }

    bool OpenData(uint32_t device, uint32_t vfid, const proto::DataChannelHandshake& handshake,
                  Reply* reply, std::string* error) override {
        return Open(&data_, device, vfid, handshake, reply, error);
    }

    bool Command(const google::protobuf::Message& request, Reply* reply,
                 std::string* error) override {
        HostSession* session = control_.Get();
        if (session == nullptr) {
            *error = "the control session is not open";
            return false;
        }
        return Exchange(session, request, reply, error);
    }

    bool ReadData(std::shared_ptr<google::protobuf::Message>* message,
                  std::string* error) override {
        HostSession* session = data_.Get();
        if (session == nullptr) {
            *error = "the data session is not open";
            return false;
        }
        int rc = session->RecvMessage(message);
        if (rc != host::kRecvOk) {
            *error = RecvError(rc);
            return false;
        }
        return true;
    }

    void CloseControl() override { control_.Close(); }
    void CloseData() override { data_.Close(); }

  private:
    bool Open(SessionSlot* slot, uint32_t device, uint32_t vfid,
              const google::protobuf::Message& handshake, Reply* reply, std::string* error) {
        {
            std::lock_guard<std::mutex> lock(clientMutex_);
            if (client_ == nullptr) {
                client_ = HostClient::Create();
            }
        }
        if (client_ == nullptr) {
            *error = "the card driver gave no HDC client";
            return false;
        }
        std::unique_ptr<HostSession> session = client_->Connect(static_cast<int>(device), vfid);
        if (session == nullptr) {
            *error =
                "cannot connect to device " + std::to_string(device) + " (is oru running on it?)";
            return false;
        }
        return Exchange(slot->Publish(std::move(session)), handshake, reply, error);
    }

    static bool Exchange(HostSession* session, const google::protobuf::Message& request,
                         Reply* reply, std::string* error) {
        if (session->SendMessage(request) != 0) {
            *error = "cannot send " + request.GetDescriptor()->name();
            return false;
        }
        message::MessagePtr answer;
        int rc = session->RecvMessage(&answer);
        if (rc == host::kRecvContainerRefused) {
            *reply = Reply{true, -1, wire::kContainerRefusal};
            return true;
        }
        if (rc != host::kRecvOk) {
            *error = "no answer to " + request.GetDescriptor()->name() + ": " + RecvError(rc);
            return false;
        }
        auto response = message::MessageAs<proto::Response>(answer);
        if (response == nullptr) {
            *error = "the device answered " + request.GetDescriptor()->name() + " with " +
                     answer->GetDescriptor()->full_name() + " instead of a Response";
            return false;
        }
        *reply = Reply{false, static_cast<int>(response->status()), response->message()};
        return true;
    }

    std::mutex clientMutex_;
    std::shared_ptr<HostClient> client_;
    SessionSlot control_;
    SessionSlot data_;
};

}  // namespace

std::unique_ptr<DeviceLink> MakeHdcLink() {
    return std::make_unique<HdcLink>();
}

bool ListHdcDevices(std::vector<uint32_t>* devices, std::string* error) {
    constexpr uint32_t kMaxDevices = 64;
    uint32_t count = 0;
    drvError_t rc = drvGetDevNum(&count);
    if (rc != DRV_ERROR_NONE) {
        *error = "the card driver's device count failed with " + std::to_string(rc);
        return false;
    }
    devices->clear();
    if (count == 0) {
        return true;
    }
    std::vector<uint32_t> ids(kMaxDevices, 0);
    rc = drvGetDeviceLocalIDs(ids.data(), kMaxDevices);
    if (rc != DRV_ERROR_NONE) {
        *error = "the card driver's device list failed with " + std::to_string(rc);
        return false;
    }
    ids.resize(std::min(count, kMaxDevices));
    std::sort(ids.begin(), ids.end());
    *devices = ids;
    return true;
}

}  // namespace analysis::orbx::hosttool
