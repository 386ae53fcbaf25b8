#include "tools/host/host_session.h"

#include <chrono>
#include <cstddef>
#include <cstring>
#include <thread>

#include "common/log.h"
#include "daemon/hdc_api.h"
#include "daemon/memory_utils.h"
#include "transport/hdc_transport.h"

#ifdef ORU_HOST_SIM_CONTROL
#include "ostrel/sim_control.h"
#endif

namespace analysis::orbx::host {

namespace {

constexpr uint32_t kPollIntervalMs = 2;

void FreeReadBuffer(char* p) {
    IdeXfree(p);
}

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

const char* HostSession::Packet::Value() const {
    return bytes.get() + IDE_TLV_HEAD_LEN;
}

uint32_t HostSession::Packet::ValueLength() const {
    return length - IDE_TLV_HEAD_LEN;
}

int HostSession::ReadPacket(Packet* packet, bool wait) {
    void* buf = nullptr;
    uint32_t len = 0;
    const int ret = HdcSessionRead(Handle(), &buf, &len, wait ? HDC_FLAG_WAIT : HDC_FLAG_NOWAIT);
    if (ret == IDE_READ_SESSION_CLOSED) {
        return kRecvClosed;
    }
    if (ret == IDE_READ_NOTHING_YET) {
        return kRecvTimedOut;
    }
    packet->bytes = std::unique_ptr<char, void (*)(char*)>(static_cast<char*>(buf), FreeReadBuffer);
    packet->length = len;
    if (ret != 0 || buf == nullptr || len < IDE_TLV_HEAD_LEN) {
        return kRecvFailed;
    }
    // Copied out: the read buffer promises no alignment for the header.
    uint32_t valueLen = 0;
    std::memcpy(&valueLen, packet->bytes.get() + offsetof(IdeTlvReq, len), sizeof(valueLen));
    return valueLen == len - IDE_TLV_HEAD_LEN ? kRecvOk : kRecvFailed;
}

int HostSession::DecodePacket(const Packet& packet, message::MessagePtr* msg) {
    if (packet.ValueLength() == transport::kContainerRefusalLen &&
        std::memcmp(packet.Value(), transport::kContainerRefusal,
                    transport::kContainerRefusalLen) == 0) {
        return kRecvContainerRefused;
    }
    *msg = message::DecodeMessage(packet.Value(), packet.ValueLength());
    return *msg == nullptr ? kRecvFailed : kRecvOk;
}

int HostSession::RecvValue(std::string* value) {
    Packet packet;
    const int ret = ReadPacket(&packet, true);
    if (ret == kRecvOk) {
        value->assign(packet.Value(), packet.ValueLength());
    }
    return ret;
}

int HostSession::RecvMessage(message::MessagePtr* msg) {
    Packet packet;
    const int ret = ReadPacket(&packet, true);
    return ret == kRecvOk ? DecodePacket(packet, msg) : ret;
}

int HostSession::RecvMessageWithin(message::MessagePtr* msg, uint32_t timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (true) {
        Packet packet;
        const int ret = ReadPacket(&packet, false);
        if (ret != kRecvTimedOut) {
            return ret == kRecvOk ? DecodePacket(packet, msg) : ret;
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
