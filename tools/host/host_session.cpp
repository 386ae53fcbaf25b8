#include "tools/host/host_session.h"

#include <chrono>
#include <cstddef>
#include <cstring>
#include <thread>

#include "common/log.h"
#include "hdc/hdc_api.h"
#include "wire/hdc_packet.h"

#ifdef ORU_HOST_SIM_CONTROL
#include "ostrel/sim_control.h"
#endif

namespace analysis::orbx::host {

namespace {

constexpr uint32_t kPollIntervalMs = 2;

}  // namespace

// ---- HostClient ---------------------------------------------------------

std::shared_ptr<HostClient> HostClient::Create() {
    HDC_CLIENT client = HdcClientCreate(kProfilingServiceType);
    if (client == nullptr) {
        return nullptr;
    }
    return std::shared_ptr<HostClient>(new HostClient(client));
}

HostClient::~HostClient() {
    (void)HdcClientDestroy(client_);
}

std::unique_ptr<HostSession> HostClient::Connect(int devId, uint32_t vfId) {
    HDC_SESSION session = nullptr;
    if (vfId == 0) {
        if (HdcSessionConnect(kHostPeerNode, devId, client_, &session) != 0) {
            return nullptr;
        }
    } else {
#ifdef ORU_HOST_SIM_CONTROL
        const int err =
            ostrel_sim_session_connect_vf(kHostPeerNode, devId, vfId, client_, &session);
        if (err != 0 || session == nullptr) {
            ORU_LOGI("Hdc Session Connect, ret: %d", err);
            return nullptr;
        }
        if (drvHdcSetSessionReference(session) != 0) {
            ORU_LOGE("session reference set failed");
            (void)HdcSessionClose(session);
            return nullptr;
        }
#else
        ORU_LOGE("virtual-function sessions need the simulated card");
        return nullptr;
#endif
    }
    return std::make_unique<HostSession>(shared_from_this(), session);
}

// ---- HostSession --------------------------------------------------------

HostSession::HostSession(std::shared_ptr<HostClient> client, HDC_SESSION session)
    : client_(std::move(client)), session_(session) {}

HostSession::~HostSession() {
    (void)Close();
}

int HostSession::SendMessage(const message::Message& msg) {
    const std::string frame = message::EncodeMessage(msg);
    if (frame.empty()) {
        return -1;
    }
    return SendValue(frame.data(), static_cast<uint32_t>(frame.size()));
}

int HostSession::SendValue(const void* value, uint32_t length) {
    IdeTlvReq* packet = nullptr;
    uint32_t packetLen = 0;
    if (IdeCreatePacket(kProfilingRequestType, value, length, &packet, &packetLen) != 0) {
        return -1;
    }
    const int ret = SendRaw(packet, packetLen);
    IdeFreePacket(&packet);
    return ret;
}

int HostSession::SendRaw(const void* bytes, uint32_t length) {
    return HdcSessionWrite(Handle(), bytes, length) == 0 ? 0 : -1;
}

int HostSession::ReadPacket(std::string_view* value, bool wait) {
    const int ret = HdcSessionReadInto(Handle(), &recv_, wait ? HDC_FLAG_WAIT : HDC_FLAG_NOWAIT);
    if (ret == IDE_READ_SESSION_CLOSED) {
        return kRecvClosed;
    }
    if (ret == IDE_READ_NOTHING_YET) {
        return kRecvTimedOut;
    }
    const uint32_t len = recv_.Size();
    if (ret != 0 || len < IDE_TLV_HEAD_LEN) {
        return kRecvFailed;
    }
    // Copied out: the buffer promises no alignment for the header.
    uint32_t valueLen = 0;
    std::memcpy(&valueLen, recv_.Data() + offsetof(IdeTlvReq, len), sizeof(valueLen));
    if (valueLen != len - IDE_TLV_HEAD_LEN) {
        return kRecvFailed;
    }
    *value = std::string_view(recv_.Data() + IDE_TLV_HEAD_LEN, valueLen);
    return kRecvOk;
}

bool HostSession::IsContainerRefusal(std::string_view value) {
    return value == std::string_view(wire::kContainerRefusal, wire::kContainerRefusalLen);
}

int HostSession::DecodeValue(std::string_view value, message::MessagePtr* msg) {
    if (IsContainerRefusal(value)) {
        return kRecvContainerRefused;
    }
    *msg = message::DecodeMessage(value.data(), value.size());
    return *msg == nullptr ? kRecvFailed : kRecvOk;
}

int HostSession::RecvView(std::string_view* value) {
    return ReadPacket(value, true);
}

int HostSession::RecvValue(std::string* value) {
    std::string_view view;
    const int ret = ReadPacket(&view, true);
    if (ret == kRecvOk) {
        value->assign(view.data(), view.size());
    }
    return ret;
}

int HostSession::RecvMessage(message::MessagePtr* msg) {
    std::string_view value;
    const int ret = ReadPacket(&value, true);
    return ret == kRecvOk ? DecodeValue(value, msg) : ret;
}

int HostSession::RecvMessageWithin(message::MessagePtr* msg, uint32_t timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (true) {
        std::string_view value;
        const int ret = ReadPacket(&value, false);
        if (ret != kRecvTimedOut) {
            return ret == kRecvOk ? DecodeValue(value, msg) : ret;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return kRecvTimedOut;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollIntervalMs));
    }
}

int HostSession::Close() {
    std::lock_guard<std::mutex> lock(closeMutex_);
    HDC_SESSION session = session_.exchange(nullptr);
    if (session == nullptr) {
        return 0;
    }
    return HdcSessionClose(session) == 0 ? 0 : -1;
}

}  // namespace analysis::orbx::host
