#include "transport/hdc_transport.h"

#include <algorithm>
#include <cstring>
#include <exception>

#include "common/log.h"
#include "common/make_shared.h"
#include "common/memory_utils.h"
#include "common/utils.h"
#include "hdc/hdc_api.h"
#include "message/job_context.h"
#include "wire/codec.h"

namespace analysis::orbx::transport {

namespace {

constexpr int kMaxDevIndex = 63;
// The largest frame the codec decodes and the packet header.
constexpr uint32_t kMaxPacketRead =
    static_cast<uint32_t>(message::kMaxFrameBytes) + IDE_TLV_HEAD_LEN;
constexpr uint64_t kPerfPrintFrequency = 128;

}  // namespace

HDCTransport::HDCTransport(HDC_SESSION session, bool isClientSession, HDC_CLIENT client)
    : session_(session), isClientSession_(isClientSession), client_(client) {}

HDCTransport::~HDCTransport() {
    (void)CloseSession();
    if (isClientSession_ && client_ != nullptr) {
        (void)KvtHdcClientDestroy(client_);
        client_ = nullptr;
    }
}

int HDCTransport::SendValueParts(HdcBufferPart* parts, size_t count, uint32_t length) {
    if (!IdeTlvValueLenValid(length)) {
        ORU_LOGE("Failed to KvtIdeCreatePacket, err=%d.", -1);
        return -1;
    }
    // The packet header goes out beside the value: parts[0] is its slot.
    const IdeTlvReq header{IDE_PROFILING_REQ, 0, length};
    parts[0] = {&header, IDE_TLV_HEAD_LEN};
    const int err = KvtHdcWriteParts(session_.load(), parts, count);
    if (err != 0) {
        ORU_LOGE("hdc write failed, outLen=%u bytes, err=%d.", length + IDE_TLV_HEAD_LEN, err);
        return -1;
    }
    return 0;
}

int HDCTransport::SendBuffer(const void* buffer, int length) {
    if (buffer == nullptr) {
        ORU_LOGE("buffer is null");
        return -1;
    }
    if (length < 0) {
        ORU_LOGE("Failed to KvtIdeCreatePacket, err=%d.", -1);
        return -1;
    }
    const uint64_t start = common::Utils::GetTimeNs();
    HdcBufferPart parts[] = {{nullptr, 0}, {buffer, static_cast<uint32_t>(length)}};
    if (SendValueParts(parts, 2, static_cast<uint32_t>(length)) != 0) {
        return -1;
    }
    const uint64_t end = common::Utils::GetTimeNs();
    if (perfCount_ != nullptr) {
        perfCount_->UpdatePerfInfo(start, end, static_cast<uint64_t>(length));
    }
    return length;
}

int HDCTransport::SendBuffer(std::shared_ptr<ProfileFileChunk> chunk) {
    if (chunk == nullptr || chunk->extraInfo.empty()) {
        ORU_LOGE("FileChunk info is empty in HDC SendBuffer");
        return -1;
    }
    // The FileChunkReq is framed around its payload, which is not copied
    // here: the fields before Chunk (field 4), Chunk's key and length, the
    // payload where it lies, then the fields after it. Protobuf writes the
    // fields in number order, so the bytes are those of EncodeMessage.
    auto before = common::MakeShared<proto::FileChunkReq>();
    auto after = common::MakeShared<proto::FileChunkReq>();
    if (before == nullptr || after == nullptr) {
        return -1;
    }
    const uint64_t payloadLen = std::min<uint64_t>(chunk->chunkSize, chunk->PayloadSize());
    std::string head;
    std::string tail;
    std::string key;
    try {
        message::JobContext jobCtx;
        jobCtx.job_id = common::Utils::BeforeLastPoint(chunk->extraInfo);
        jobCtx.dev_id = common::Utils::AfterLastPoint(chunk->extraInfo);
        jobCtx.tag = common::Utils::AfterLastPoint(chunk->fileName);
        before->mutable_hdr()->set_job_ctx(jobCtx.ToString());
        before->set_filename(common::Utils::BeforeLastPoint(chunk->fileName));
        before->set_offset(chunk->offset);
        after->set_chunksizeinbytes(static_cast<int32_t>(chunk->chunkSize));
        after->set_islastchunk(chunk->isLastChunk);
        after->set_needack(false);
        after->set_datamodule(chunk->chunkModule);
        head = message::EncodeMessage(*before);
        if (head.empty() || !after->AppendToString(&tail)) {
            return -1;
        }
        if (payloadLen != 0) {
            key.push_back(static_cast<char>((4 << 3) | 2));  // field 4, length-delimited
            for (uint64_t v = payloadLen; true; v >>= 7) {
                key.push_back(static_cast<char>(v < 0x80 ? v : ((v & 0x7F) | 0x80)));
                if (v < 0x80) {
                    break;
                }
            }
        }
    } catch (const std::exception& e) {
        ORU_LOGE("make shared failed, message: %s", e.what());
        return -1;
    }
    const uint64_t length = head.size() + key.size() + payloadLen + tail.size();
    if (length > 0x7FFFFFFF) {
        ORU_LOGE("Failed to KvtIdeCreatePacket, err=%d.", -1);
        return -1;
    }
    const uint64_t start = common::Utils::GetTimeNs();
    HdcBufferPart parts[] = {{nullptr, 0},
                             {head.data(), static_cast<uint32_t>(head.size())},
                             {key.data(), static_cast<uint32_t>(key.size())},
                             {chunk->PayloadData(), static_cast<uint32_t>(payloadLen)},
                             {tail.data(), static_cast<uint32_t>(tail.size())}};
    const int ret = SendValueParts(parts, 5, static_cast<uint32_t>(length));
    ORU_LOGD("SendBuffer size %d/%d", ret == 0 ? static_cast<int>(length) : -1,
             static_cast<int>(length));
    if (ret != 0) {
        return -1;
    }
    if (perfCount_ != nullptr) {
        perfCount_->UpdatePerfInfo(start, common::Utils::GetTimeNs(), length);
    }
    return 0;
}

int HDCTransport::Write(const void* buffer, int length) {
    const int err =
        length < 0 ? -1 : KvtHdcWrite(session_.load(), buffer, static_cast<uint32_t>(length));
    if (err != 0) {
        ORU_LOGE("hdc write failed, outLen=%d bytes, err=%d.", length, err);
        return -1;
    }
    return 0;
}

int HDCTransport::RecvPacket(IdeTlvReq** packet) {
    if (packet == nullptr) {
        return -1;
    }
    *packet = nullptr;
    void* buf = nullptr;
    uint32_t bufLen = 0;
    // A packet beyond the largest frame could never be decoded: such a read
    // fails before it has gathered more than that in memory.
    const int ret = HdcSessionRead(session_.load(), &buf, &bufLen, HDC_FLAG_WAIT, kMaxPacketRead);
    if (ret != 0 || buf == nullptr || bufLen < IDE_TLV_HEAD_LEN) {
        ORU_LOGW("hdc read failed: ret=%d; bufLen=%d", ret, static_cast<int>(bufLen));
        IdeXfree(buf);
        return -1;
    }
    auto* req = static_cast<IdeTlvReq*>(buf);
    // The packet's own length must match what arrived: its readers trust it.
    if (req->len != bufLen - IDE_TLV_HEAD_LEN) {
        ORU_LOGW("hdc read failed: ret=%d; bufLen=%d", -1, static_cast<int>(bufLen));
        IdeXfree(buf);
        return -1;
    }
    *packet = req;
    if (req->len == kContainerRefusalLen &&
        std::memcmp(req->value, kContainerRefusal, kContainerRefusalLen) == 0) {
        return -2;
    }
    return static_cast<int>(bufLen);
}

bool HDCTransport::PeerClosed() {
    HDC_SESSION session = session_.load();
    if (session == nullptr) {
        return true;
    }
    // One driver receive that does not wait, below the session layer: a
    // segment the host should not have sent is dropped, and a partial buffer
    // never makes this wait for the rest.
    struct drvHdcMsg* msg = nullptr;
    if (drvHdcAllocMsg(session, &msg, 1) != DRV_ERROR_NONE || msg == nullptr) {
        return false;
    }
    int count = 0;
    const drvError_t err = halHdcRecv(session, msg, 0, HDC_FLAG_NOWAIT, &count, 0);
    (void)drvHdcFreeMsg(msg);
    return err == DRV_ERROR_SESSION_CLOSED;
}

void HDCTransport::DestroyPacket(IdeTlvReq* packet) {
    if (packet != nullptr) {
        KvtIdeFreePacket(&packet);
    }
}

int HDCTransport::CloseSession() {
    std::lock_guard<std::mutex> lock(closeMutex_);
    HDC_SESSION session = session_.load();
    if (session == nullptr) {
        return 0;
    }
    ORU_LOGI("close HDC session");
    if (isClientSession_) {
        (void)KvtHdcSessionDestroy(session);
    } else {
        (void)KvtHdcSessionClose(session);
    }
    session_.store(nullptr);
    return 0;
}

std::shared_ptr<ITransport> HDCTransportFactory::CreateHdcTransport(HDC_SESSION session,
                                                                    DevIdQuery queryDevId) {
    if (session == nullptr) {
        ORU_LOGE("HDC session is invalid");
        return nullptr;
    }
    int devId = -1;
    const int err = queryDevId(session, &devId);
    if (err != 0) {
        ORU_LOGE("IdeGetDevIdBySession failed, err: %d", err);
        return nullptr;
    }
    if (!common::Utils::CheckStringIsNonNegativeIntNum(std::to_string(devId)) ||
        devId > kMaxDevIndex) {
        ORU_LOGE("[CreateHdcTransport]devId: %d is not valid!", devId);
        return nullptr;
    }
    ORU_LOGI("IdeGetDevIdBySession success, devid:%d", devId);
    // Everything that can fail comes before the transport takes the session,
    // so that a failure leaves it with the caller.
    auto perfCount =
        common::MakeShared<PerfCount>("HdcTransport_" + std::to_string(devId), kPerfPrintFrequency);
    if (perfCount == nullptr) {
        return nullptr;
    }
    auto transport = common::MakeShared<HDCTransport>(session);
    if (transport == nullptr) {
        return nullptr;
    }
    transport->SetPerfCount(std::move(perfCount));
    return transport;
}

}  // namespace analysis::orbx::transport
