#include "hdc/hdc_api.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "common/ide_common_util.h"
#include "common/log.h"
#include "common/memory_utils.h"
#include "ostrel/bounds.h"

namespace {

constexpr int kClientMaxSessions = HDC_MAX_SESSION_NUM;
constexpr int kServerDestroyAttempts = 30;
constexpr uint32_t kServerDestroyWaitMs = 100;
constexpr uint64_t kMaxBufLen = 0xFFFFFFFFull;
// Bytes of a received segment before its data: len, tag and isLast.
constexpr size_t kSegmentDataOffset = offsetof(HdcPacket, data);

// A received segment: its header copied out of the driver's buffer (whose
// alignment is the driver's business) and a pointer to its data.
struct SegmentView {
    uint32_t len = 0;
    uint8_t isLast = 0;
    const char* data = nullptr;
};

// One completed piece of a buffer being reassembled.
struct Piece {
    char* data;
    uint32_t len;
};

// State of one read: the driver's message object and the pieces received so
// far, or, when reading into a caller's buffer, that buffer. Everything still
// held is released when the read ends.
class Reassembly {
  public:
    Reassembly(struct drvHdcMsg* msg, uint64_t maxLen, HdcRecvBuffer* into = nullptr)
        : msg_(msg), maxLen_(maxLen), into_(into) {}
    ~Reassembly() {
        FreePieces();
        if (msg_ != nullptr) {
            (void)drvHdcFreeMsg(msg_);
        }
    }
    Reassembly(const Reassembly&) = delete;
    Reassembly& operator=(const Reassembly&) = delete;

    struct drvHdcMsg* Msg() const {
        return msg_;
    }
    bool Last() const { return last_; }

    // Appends the data of the bufferCount segments of the message just
    // received, as one piece. false on a malformed segment.
    bool Store(int bufferCount);
    // Releases the message and joins the pieces into one buffer.
    int Finish(void** recvBuf, uint32_t* recvLen);
    // Releases the message; the caller's buffer already holds the bytes.
    int FinishInto();

  private:
    bool Segment(int index, SegmentView* segment);
    bool Append(int bufferCount, uint64_t len);
    int ReleaseMsg();
    void FreePieces() {
        for (auto& p : pieces_) {
            IdeXfree(p.data);
        }
        pieces_.clear();
    }

    struct drvHdcMsg* msg_;
    uint64_t maxLen_;      // a buffer growing beyond this fails the read
    HdcRecvBuffer* into_;  // the caller's buffer, or null to collect pieces
    std::vector<Piece> pieces_;
    uint64_t total_ = 0;
    bool last_ = false;
};

// The index-th buffer of the message as a segment; a null data pointer for an
// empty buffer. false on a driver error or a malformed segment.
bool Reassembly::Segment(int index, SegmentView* segment) {
    char* buf = nullptr;
    int bufLen = 0;
    *segment = SegmentView{};
    drvError_t err = drvHdcGetMsgBuffer(msg_, index, &buf, &bufLen);
    if (err != DRV_ERROR_NONE) {
        ORU_LOGE("Hdc Get Msg Buffer, error %d", err);
        return false;
    }
    if (buf == nullptr || bufLen <= 0) {
        return true;
    }
    // The host's bytes are checked before they are trusted.
    if (static_cast<size_t>(bufLen) < kSegmentDataOffset) {
        ORU_LOGE("segment of %d bytes is shorter than its header", bufLen);
        return false;
    }
    uint32_t len = 0;
    uint32_t tag = 0;
    std::memcpy(&len, buf + offsetof(HdcPacket, len), sizeof(len));
    std::memcpy(&tag, buf + offsetof(HdcPacket, tag), sizeof(tag));
    if (tag != HDC_PACKET_TAG) {
        ORU_LOGE("segment tag %u is invalid", tag);
        return false;
    }
    if (len > static_cast<size_t>(bufLen) - kSegmentDataOffset) {
        ORU_LOGE("segment len %u bytes exceeds its buffer of %d bytes", len, bufLen);
        return false;
    }
    segment->len = len;
    segment->isLast = static_cast<uint8_t>(buf[offsetof(HdcPacket, isLast)]);
    segment->data = buf + kSegmentDataOffset;
    return true;
}

bool Reassembly::Store(int bufferCount) {
    // First the sizes, then one allocation and one copy per segment: the
    // piece never grows segment by segment.
    uint64_t len = 0;
    for (int i = 0; i < bufferCount; ++i) {
        SegmentView seg;
        if (!Segment(i, &seg)) {
            return false;
        }
        if (seg.data == nullptr) {
            continue;
        }
        if (len + seg.len > maxLen_ || total_ + len + seg.len > maxLen_) {
            ORU_LOGE("buf_len : %u bytes, packet->len: %u bytes",
                     static_cast<uint32_t>(total_ + len), seg.len);
            return false;
        }
        len += seg.len;
        last_ = last_ || seg.isLast == 1;
    }
    if (len == 0) {
        return true;
    }
    if (into_ != nullptr) {
        return Append(bufferCount, len);
    }
    char* piece = static_cast<char*>(IdeXmalloc(len));
    if (piece == nullptr) {
        ORU_LOGE("Ide Xrmalloc Failed");
        return false;
    }
    size_t offset = 0;
    for (int i = 0; i < bufferCount; ++i) {
        SegmentView seg;
        if (!Segment(i, &seg) || seg.data == nullptr || seg.len == 0) {
            continue;
        }
        errno_t err = memcpy_s(piece + offset, len - offset, seg.data, seg.len);
        if (err != EOK) {
            ORU_LOGE("memory copy failed, ret: %d", err);
            IdeXfree(piece);
            return false;
        }
        offset += seg.len;
    }
    try {
        pieces_.push_back({piece, static_cast<uint32_t>(len)});
    } catch (const std::bad_alloc&) {
        ORU_LOGE("Ide Xrmalloc Failed");
        IdeXfree(piece);
        return false;
    }
    total_ += len;
    return true;
}

// Copies the len data bytes of the bufferCount segments, already checked,
// onto the end of the caller's buffer.
bool Reassembly::Append(int bufferCount, uint64_t len) {
    for (int i = 0; i < bufferCount; ++i) {
        SegmentView seg;
        if (!Segment(i, &seg) || seg.data == nullptr || seg.len == 0) {
            continue;
        }
        if (!into_->Append(seg.data, seg.len)) {
            ORU_LOGE("Ide Xrmalloc Failed");
            return false;
        }
    }
    total_ += len;
    return true;
}

int Reassembly::ReleaseMsg() {
    drvError_t err = drvHdcFreeMsg(msg_);
    msg_ = nullptr;
    if (err != DRV_ERROR_NONE) {
        ORU_LOGE("Hdc Free Msg, error: %d", err);
        return -1;
    }
    if (total_ == 0) {
        ORU_LOGE("received an empty buffer");
        return -1;
    }
    return 0;
}

int Reassembly::FinishInto() {
    return ReleaseMsg();
}

int Reassembly::Finish(void** recvBuf, uint32_t* recvLen) {
    if (ReleaseMsg() != 0) {
        return -1;
    }
    char* out = static_cast<char*>(IdeXmalloc(total_));
    if (out == nullptr) {
        return -1;
    }
    size_t offset = 0;
    for (const auto& p : pieces_) {
        errno_t copyErr = memcpy_s(out + offset, total_ - offset, p.data, p.len);
        if (copyErr != EOK) {
            ORU_LOGE("memory copy failed, ret: %d", copyErr);
            IdeXfree(out);
            return -1;
        }
        offset += p.len;
    }
    FreePieces();
    *recvBuf = out;
    *recvLen = static_cast<uint32_t>(total_);
    return 0;
}

// Maximum segment of the driver, 0 when it can't be used.
uint32_t SegmentCapacity() {
    struct drvHdcCapacity capacity {};
    capacity.chanType = HDC_CHAN_TYPE_SOCKET;
    capacity.maxSegment = 0;
    drvError_t err = drvHdcGetCapacity(&capacity);
    if (err != DRV_ERROR_NONE) {
        ORU_LOGE("Get Hdc Capacity Failed,error: %d", err);
    } else if (capacity.maxSegment < HDC_MIN_SEGMENT || capacity.maxSegment > HDC_MAX_SEGMENT) {
        ORU_LOGE("Get Hdc Capacity Segment Invaild: %u", capacity.maxSegment);
    } else {
        return capacity.maxSegment;
    }
    ORU_LOGE("Hdc Capacity Failed, err: %d", -1);
    return 0;
}

// Sends the segments of the joined parts (len bytes in all) on msg; 0 or the
// first driver error. *unfinished is set while segments of the buffer have
// gone out but its last one has not.
int SendSegments(HDC_SESSION session, struct drvHdcMsg* msg, HdcPacket* record, uint32_t dataMax,
                 const HdcBufferPart* parts, uint32_t len, int flag, bool* unfinished) {
    uint32_t remaining = len;
    size_t part = 0;
    uint32_t partOffset = 0;
    // The record is not zero-filled: the bytes sent after a segment's data
    // that no segment has written yet are zeroed here, as they go out.
    size_t written = kSegmentDataOffset;
    *unfinished = false;
    while (remaining > 0) {
        uint32_t segLen = remaining > dataMax ? dataMax : remaining;
        record->len = segLen;
        record->tag = HDC_PACKET_TAG;
        record->isLast = remaining > dataMax ? 0 : 1;
        for (uint32_t filled = 0; filled < segLen;) {
            if (partOffset == parts[part].len) {
                ++part;
                partOffset = 0;
                continue;
            }
            uint32_t take = std::min(segLen - filled, parts[part].len - partOffset);
            if (memcpy_s(record->data + filled, dataMax - filled,
                         static_cast<const char*>(parts[part].data) + partOffset, take) != EOK) {
                ORU_LOGE("memory copy failed");
                return -1;
            }
            filled += take;
            partOffset += take;
        }
        const size_t sent = segLen + HDC_PACKET_HEAD_LEN;
        written = std::max<size_t>(written, kSegmentDataOffset + segLen);
        if (written < sent) {
            const size_t capacity = dataMax + HDC_PACKET_HEAD_LEN;
            if (memset_s(reinterpret_cast<char*>(record) + written, capacity - written, 0,
                         sent - written) != EOK) {
                ORU_LOGE("memory set failed");
                return -1;
            }
            written = sent;
        }
        drvError_t err = drvHdcAddMsgBuffer(msg, reinterpret_cast<char*>(record),
                                            static_cast<int>(segLen + HDC_PACKET_HEAD_LEN));
        if (err != DRV_ERROR_NONE) {
            ORU_LOGE("Hdc Add Msg Buffer, error: %d", err);
            return err;
        }
        err = halHdcSend(session, msg, static_cast<uint64_t>(flag), 0);
        if (err != DRV_ERROR_NONE) {
            ORU_LOGE("Hdc Send, error: %d", err);
            return err;
        }
        *unfinished = record->isLast == 0;
        err = drvHdcReuseMsg(msg);
        if (err != DRV_ERROR_NONE) {
            ORU_LOGE("Hdc Reuse Msg, error: %d", err);
            return err;
        }
        remaining -= segLen;
    }
    return 0;
}

// A buffer whose sending failed after some of its segments went out leaves
// the peer holding an unfinished buffer, to which it would join the segments
// of the next one. An empty last segment ends it: the peer receives a short
// buffer it can refuse, and the next buffer arrives whole.
void EndUnfinishedBuffer(HDC_SESSION session, HdcPacket* record) {
    struct drvHdcMsg* msg = nullptr;
    drvError_t err = drvHdcAllocMsg(session, &msg, 1);
    if (err != DRV_ERROR_NONE || msg == nullptr) {
        ORU_LOGE("Hdc Alloc Msg, error: %d", err);
        return;
    }
    record->len = 0;
    record->tag = HDC_PACKET_TAG;
    record->isLast = 1;
    err = drvHdcAddMsgBuffer(msg, reinterpret_cast<char*>(record),
                             static_cast<int>(HDC_PACKET_HEAD_LEN));
    if (err == DRV_ERROR_NONE) {
        err = halHdcSend(session, msg, 0, 0);
    }
    if (err != DRV_ERROR_NONE) {
        ORU_LOGW("unfinished buffer not ended, error: %d", err);
    }
    (void)drvHdcFreeMsg(msg);
}

int ConnectDone(drvError_t err, HDC_SESSION* session) {
    if (err != DRV_ERROR_NONE || *session == nullptr) {
        ORU_LOGI("Hdc Session Connect, ret: %d", err);
        return -1;
    }
    if (drvHdcSetSessionReference(*session) != DRV_ERROR_NONE) {
        ORU_LOGE("session reference set failed");
        return -1;
    }
    return 0;
}

bool ConnectArgsValid(int peerNode, int peerDevId, HDC_CLIENT client, HDC_SESSION* session) {
    if (peerNode < 0) {
        ORU_LOGE("peer_node is invalid");
        return false;
    }
    if (peerDevId < 0) {
        ORU_LOGE("peer_devid is invalid");
        return false;
    }
    if (client == nullptr) {
        ORU_LOGE("client is nullptr");
        return false;
    }
    if (session == nullptr) {
        ORU_LOGE("session is nullptr");
        return false;
    }
    return true;
}

}  // namespace

int HdcClientCreate(HDC_CLIENT* client) {
    if (client == nullptr) {
        ORU_LOGE("client is nullptr");
        return -1;
    }
    drvError_t err = drvHdcClientCreate(client, kClientMaxSessions, HDC_SERVICE_TYPE_PROFILING, 0);
    if (err != DRV_ERROR_NONE || *client == nullptr) {
        ORU_LOGE("Hdc Client Create Failed, error: %d", err);
        return -1;
    }
    return 0;
}

HDC_CLIENT HdcClientCreate(int serviceType) {
    HDC_CLIENT client = nullptr;
    drvError_t err = drvHdcClientCreate(&client, kClientMaxSessions, serviceType, 0);
    if (err != DRV_ERROR_NONE || client == nullptr) {
        ORU_LOGE("Hdc Client Create Failed, error: %d", err);
        return nullptr;
    }
    return client;
}

int HdcClientDestroy(HDC_CLIENT client) {
    if (client == nullptr) {
        return 0;
    }
    drvError_t err = drvHdcClientDestroy(client);
    if (err != DRV_ERROR_NONE) {
        ORU_LOGE("Hdc Client Destroy error: %d", err);
        return -1;
    }
    return 0;
}

HDC_SERVER HdcServerCreate(int logDevId, int serviceType) {
    HDC_SERVER server = nullptr;
    drvError_t err = drvHdcServerCreate(logDevId, serviceType, &server);
    if (err == DRV_ERROR_NOT_READY) {
        ORU_LOGW("[HdcServerCreate]logDevId %u HDC not ready", static_cast<uint32_t>(logDevId));
        return nullptr;
    }
    if (err != DRV_ERROR_NONE || server == nullptr) {
        ORU_LOGE("logDevId %u create HDC failed, error: %d", static_cast<uint32_t>(logDevId), err);
        return nullptr;
    }
    ORU_LOGEVENT("logDevId %u create HDC server successfully", static_cast<uint32_t>(logDevId));
    return server;
}

int HdcServerDestroy(HDC_SERVER server) {
    if (server == nullptr) {
        return 0;
    }
    for (int attempt = 1;; ++attempt) {
        drvError_t err = drvHdcServerDestroy(server);
        if (err == DRV_ERROR_NONE) {
            return 0;
        }
        ORU_LOGE("[HdcServerDestroy]hdc server destroy error : %d, times %d", err, attempt);
        if (err != DRV_ERROR_BUSY || attempt >= kServerDestroyAttempts) {
            return -1;
        }
        IdeSleep(kServerDestroyWaitMs);
    }
}

HDC_SESSION HdcServerAccept(HDC_SERVER server) {
    HDC_SESSION session = nullptr;
    drvError_t err = drvHdcSessionAccept(server, &session);
    if (err != DRV_ERROR_NONE || session == nullptr) {
        ORU_LOGW("[HdcServerAccept]hdc accept error");
        return nullptr;
    }
    if (drvHdcSetSessionReference(session) != DRV_ERROR_NONE) {
        ORU_LOGE("[HdcServerAccept]set reference error");
        (void)HdcSessionClose(session);
        return nullptr;
    }
    return session;
}

int HdcSessionConnect(int peerNode, int peerDevId, HDC_CLIENT client, HDC_SESSION* session) {
    if (!ConnectArgsValid(peerNode, peerDevId, client, session)) {
        return -1;
    }
    if (ConnectDone(drvHdcSessionConnect(peerNode, peerDevId, client, session), session) != 0) {
        return -1;
    }
    ORU_LOGI("connect succ, peer_node: %d, peer_devid: %d", peerNode, peerDevId);
    return 0;
}

int HdcSessionConnectEx(int peerNode, int peerDevId, int hostPid, HDC_CLIENT client,
                        HDC_SESSION* session) {
    if (hostPid < 0) {
        ORU_LOGE("host_pid is invalid");
        return -1;
    }
    if (!ConnectArgsValid(peerNode, peerDevId, client, session)) {
        return -1;
    }
    drvError_t err = halHdcSessionConnectEx(peerNode, peerDevId, hostPid, client, session);
    if (ConnectDone(err, session) != 0) {
        return -1;
    }
    ORU_LOGI("connect succ, peer_node: %d, peer_devid: %d, host_pid: %d", peerNode, peerDevId,
             hostPid);
    return 0;
}

int HdcSessionClose(HDC_SESSION session) {
    if (session == nullptr) {
        ORU_LOGE("session is nullptr");
        return -1;
    }
    drvError_t err = drvHdcSessionClose(session);
    if (err != DRV_ERROR_NONE) {
        ORU_LOGE("Hdc Session Close Failed, error: %d", err);
        return -1;
    }
    return 0;
}

int HdcSessionDestroy(HDC_SESSION session) {
    if (session == nullptr) {
        ORU_LOGE("session is nullptr");
        return -1;
    }
    return HdcSessionClose(session);
}

int IdeGetDevIdBySession(HDC_SESSION session, int* devId) {
    if (session == nullptr) {
        ORU_LOGE("session is nullptr");
        return -1;
    }
    if (devId == nullptr) {
        ORU_LOGE("devId is nullptr");
        return -1;
    }
    drvError_t err = halHdcGetSessionAttr(session, HDC_SESSION_ATTR_DEV_ID, devId);
    if (err != DRV_ERROR_NONE) {
        ORU_LOGE("Hdc Get Session DevId Failed, err: %d", err);
        return -1;
    }
    return 0;
}

int IdeGetVfIdBySession(HDC_SESSION session, int* vfId) {
    if (session == nullptr) {
        ORU_LOGE("session is nullptr");
        return -1;
    }
    if (vfId == nullptr) {
        ORU_LOGE("vfId is nullptr");
        return -1;
    }
    drvError_t err = halHdcGetSessionAttr(session, HDC_SESSION_ATTR_VFID, vfId);
    if (err != DRV_ERROR_NONE) {
        ORU_LOGE("Hdc get session vfid failed, err: %d", err);
        return -1;
    }
    return 0;
}

int HdcSessionWrite(HDC_SESSION session, const void* buf, uint32_t len, int flag) {
    if (session == nullptr) {
        ORU_LOGE("session is nullptr");
        return -1;
    }
    if (len < 1) {
        ORU_LOGE("len is invalid");
        return -1;
    }
    if (buf == nullptr) {
        ORU_LOGE("buf is nullptr");
        return -1;
    }
    const HdcBufferPart part{buf, len};
    return HdcSessionWriteParts(session, &part, 1, flag);
}

int HdcSessionWriteParts(HDC_SESSION session, const HdcBufferPart* parts, size_t count, int flag) {
    if (session == nullptr) {
        ORU_LOGE("session is nullptr");
        return -1;
    }
    uint64_t total = 0;
    for (size_t i = 0; parts != nullptr && i < count; ++i) {
        if (parts[i].data == nullptr && parts[i].len != 0) {
            ORU_LOGE("buf is nullptr");
            return -1;
        }
        total += parts[i].len;
    }
    if (total < 1 || total > UINT32_MAX) {
        ORU_LOGE("len is invalid");
        return -1;
    }
    uint32_t maxSegment = SegmentCapacity();
    if (maxSegment == 0) {
        return -1;
    }
    struct drvHdcMsg* msg = nullptr;
    drvError_t err = drvHdcAllocMsg(session, &msg, 1);
    if (err != DRV_ERROR_NONE || msg == nullptr) {
        ORU_LOGE("Hdc Alloc Msg, error: %d", err);
        return -1;
    }
    // Every byte of it that is sent is written first (SendSegments).
    auto* record = static_cast<HdcPacket*>(std::malloc(maxSegment));
    if (record == nullptr) {
        ORU_LOGE("[HdcSessionWrite]IdeXmalloc %lu Size failed",
                 static_cast<unsigned long>(maxSegment));
        (void)drvHdcFreeMsg(msg);
        return -1;
    }
    bool unfinished = false;
    int ret = SendSegments(session, msg, record, maxSegment - HDC_PACKET_HEAD_LEN, parts,
                           static_cast<uint32_t>(total), flag, &unfinished);
    if (ret != 0 && unfinished) {
        EndUnfinishedBuffer(session, record);
    }
    std::free(record);
    err = drvHdcFreeMsg(msg);
    if (err != DRV_ERROR_NONE) {
        ORU_LOGE("Hdc Free Msg, error: %d", err);
        return -1;
    }
    return ret == 0 ? 0 : -1;
}

namespace {

// A new message object of the session for one read; null (logged) on failure.
struct drvHdcMsg* AllocReadMsg(HDC_SESSION session) {
    struct drvHdcMsg* msg = nullptr;
    drvError_t err = drvHdcAllocMsg(session, &msg, 1);
    if (err != DRV_ERROR_NONE || msg == nullptr) {
        ORU_LOGE("Hdc Alloc Msg, error %d", err);
        return nullptr;
    }
    return msg;
}

// Receives segments into state until the one marked last is stored: 0, or
// the read result to hand back.
int ReceiveSegments(HDC_SESSION session, Reassembly* state, int mode) {
    int flag = mode;
    for (;;) {
        int bufferCount = 0;
        drvError_t err =
            halHdcRecv(session, state->Msg(), 0, static_cast<uint64_t>(flag), &bufferCount, 0);
        if (err == DRV_ERROR_NO_DATA) {
            return IDE_READ_NOTHING_YET;
        }
        if (err == DRV_ERROR_SESSION_CLOSED) {
            ORU_LOGI("[HdcSessionRead]Session is closed.");
            return IDE_READ_SESSION_CLOSED;
        }
        if (err != DRV_ERROR_NONE) {
            ORU_LOGE("Hdc Receive, error %d", err);
            return -1;
        }
        if (!state->Store(bufferCount)) {
            ORU_LOGE("Hdc store package, error");
            ORU_LOGE("[HdcSessionRead]Hdc receive package, error");
            return -1;
        }
        if (state->Last()) {
            return 0;
        }
        err = drvHdcReuseMsg(state->Msg());
        if (err != DRV_ERROR_NONE) {
            ORU_LOGE("Hdc Reuse Msg, error: %d", err);
            return -1;
        }
        // Part of a buffer is in: the rest follows on its own, and giving up
        // now would drop the part already received.
        flag = HDC_FLAG_WAIT;
    }
}

}  // namespace

int HdcSessionRead(HDC_SESSION session, void** recvBuf, uint32_t* recvLen, int mode,
                   uint32_t maxLen) {
    if (session == nullptr) {
        ORU_LOGE("session is nullptr");
        return -1;
    }
    if (recvBuf == nullptr) {
        ORU_LOGE("recv_buf is nullptr");
        return -1;
    }
    if (recvLen == nullptr) {
        ORU_LOGE("recv_len is nullptr");
        return -1;
    }
    struct drvHdcMsg* msg = AllocReadMsg(session);
    if (msg == nullptr) {
        return -1;
    }
    Reassembly state(msg, std::min<uint64_t>(maxLen, kMaxBufLen));
    const int ret = ReceiveSegments(session, &state, mode);
    return ret == 0 ? state.Finish(recvBuf, recvLen) : ret;
}

int HdcSessionReadInto(HDC_SESSION session, HdcRecvBuffer* buffer, int mode, uint32_t maxLen) {
    if (session == nullptr) {
        ORU_LOGE("session is nullptr");
        return -1;
    }
    if (buffer == nullptr) {
        ORU_LOGE("recv_buf is nullptr");
        return -1;
    }
    buffer->Clear();
    struct drvHdcMsg* msg = AllocReadMsg(session);
    if (msg == nullptr) {
        return -1;
    }
    Reassembly state(msg, std::min<uint64_t>(maxLen, kMaxBufLen), buffer);
    int ret = ReceiveSegments(session, &state, mode);
    if (ret == 0) {
        ret = state.FinishInto();
    }
    if (ret != 0) {
        buffer->Clear();
    }
    return ret;
}

HdcRecvBuffer::~HdcRecvBuffer() {
    delete[] data_;
}

bool HdcRecvBuffer::Append(const char* bytes, size_t len) {
    const uint64_t need = static_cast<uint64_t>(size_) + len;
    if (need > UINT32_MAX) {
        return false;
    }
    if (need > capacity_) {
        const size_t grown = std::max<size_t>(static_cast<size_t>(need), capacity_ * 2);
        // Default-initialised: the bytes are about to be overwritten.
        char* bigger = new (std::nothrow) char[grown];
        if (bigger == nullptr) {
            return false;
        }
        if (size_ > 0 && memcpy_s(bigger, grown, data_, size_) != EOK) {
            delete[] bigger;
            return false;
        }
        delete[] data_;
        data_ = bigger;
        capacity_ = grown;
    }
    if (len > 0 && memcpy_s(data_ + size_, capacity_ - size_, bytes, len) != EOK) {
        return false;
    }
    size_ = static_cast<uint32_t>(need);
    return true;
}

int HdcSessionReadPoll(HDC_SESSION session, void** recvBuf, uint32_t* recvLen, HdcReadMode mode,
                       uint32_t maxLen) {
    if (recvBuf == nullptr || recvLen == nullptr) {
        return -1;
    }
    if (mode == HDC_READ_BLOCK) {
        return HdcSessionRead(session, recvBuf, recvLen, HDC_FLAG_WAIT, maxLen);
    }
    for (int attempt = 1; attempt <= HDC_READ_POLL_TIMES; ++attempt) {
        int ret = HdcSessionRead(session, recvBuf, recvLen, HDC_FLAG_NOWAIT, maxLen);
        if (ret != IDE_READ_NOTHING_YET) {
            return ret;
        }
        if (attempt < HDC_READ_POLL_TIMES) {
            IdeSleep(static_cast<uint32_t>(attempt));
        }
    }
    ORU_LOGW("no received request in %d times", HDC_READ_POLL_TIMES);
    return -1;
}

int IdeCreatePacket(uint32_t type, const void* value, uint32_t valueLen, IdeTlvReq** packet,
                    uint32_t* packetLen) {
    if (value == nullptr || packet == nullptr || packetLen == nullptr) {
        ORU_LOGE("[IdeCreatePacket]input invalid parameter");
        return -1;
    }
    if (!IdeTlvValueLenValid(valueLen)) {
        ORU_LOGE("[IdeCreatePacket]value_len: %u bytes, tlv_len: %lu bytes", valueLen,
                 static_cast<unsigned long>(IDE_TLV_HEAD_LEN));
        return -1;
    }
    size_t size = static_cast<size_t>(valueLen) + IDE_TLV_HEAD_LEN + 1;
    auto* req = static_cast<IdeTlvReq*>(IdeXmalloc(size));
    if (req == nullptr) {
        ORU_LOGE("malloc memory failed");
        return -1;
    }
    req->type = type;
    req->dev_id = 0;
    req->len = valueLen;
    if (valueLen > 0) {
        errno_t err = memcpy_s(req->value, size - IDE_TLV_HEAD_LEN, value, valueLen);
        if (err != EOK) {
            ORU_LOGE("[IdeCreatePacket]memory copy failed, err: %d", err);
            IdeXfree(req);
            return -1;
        }
    }
    *packet = req;
    *packetLen = valueLen + IDE_TLV_HEAD_LEN;
    return 0;
}

void IdeFreePacket(IdeTlvReq** packet) {
    if (packet == nullptr) {
        return;
    }
    IdeXfree(*packet);
    *packet = nullptr;
}
