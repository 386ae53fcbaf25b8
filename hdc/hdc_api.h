// HDC session layer of the daemon core: clients, servers and sessions of the
// card driver's host-device channel, whole-buffer reads and writes cut into
// driver-sized segments, and the building of request packets (their layout is
// in wire/hdc_packet.h).
//
// Every routine reports failure by its return value (-1, nullptr, or the read
// codes below) and logs why; none throws. The layer keeps no shared state, but
// one session must not be read by two threads at once, nor written by two
// threads at once: callers serialise.
#ifndef ORU_HDC_HDC_API_H
#define ORU_HDC_HDC_API_H

#include <cstddef>
#include <cstdint>

#include "ostrel/hal.h"
#include "wire/hdc_packet.h"

// Accepted range of the driver's maximum segment size.
constexpr uint32_t HDC_MIN_SEGMENT = 1024;
constexpr uint32_t HDC_MAX_SEGMENT = 0x80000;

// Results of the reads besides 0 and -1.
constexpr int IDE_READ_SESSION_CLOSED = 1;
constexpr int IDE_READ_NOTHING_YET = 2;

// Clients and servers.
int HdcClientCreate(HDC_CLIENT* client);                    // service type 2; 0 or -1
HDC_CLIENT HdcClientCreate(int serviceType);                // the client, or nullptr
int HdcClientDestroy(HDC_CLIENT client);                    // nullptr counts as success
HDC_SERVER HdcServerCreate(int logDevId, int serviceType);  // nullptr while not ready or on error
// Retries while the driver reports busy, a bounded number of attempts a short
// wait apart (kServerDestroyAttempts, kServerDestroyWaitMs).
int HdcServerDestroy(HDC_SERVER server);  // 0, or -1 when the driver kept failing
// Blocks until the host opens a session; nullptr on error.
HDC_SESSION HdcServerAccept(HDC_SERVER server);

// Sessions.
int HdcSessionConnect(int peerNode, int peerDevId, HDC_CLIENT client, HDC_SESSION* session);
int HdcSessionConnectEx(int peerNode, int peerDevId, int hostPid, HDC_CLIENT client,
                        HDC_SESSION* session);
int HdcSessionClose(HDC_SESSION session);
int HdcSessionDestroy(HDC_SESSION session);
int IdeGetDevIdBySession(HDC_SESSION session, int* devId);
int IdeGetVfIdBySession(HDC_SESSION session, int* vfId);

// Sends len bytes of buf as one buffer, cut into segments of the driver's
// maximum segment size less 12 bytes, in order. flag: HDC_FLAG_WAIT (default)
// or HDC_FLAG_NOWAIT. 0 when every segment was sent, else -1.
int HdcSessionWrite(HDC_SESSION session, const void* buf, uint32_t len, int flag = HDC_FLAG_WAIT);

// One part of a buffer written with HdcSessionWriteParts.
struct HdcBufferPart {
    const void* data;
    uint32_t len;
};
// As HdcSessionWrite, for the buffer that is the count parts joined in
// order: their bytes are copied once, straight into the segment records, so
// a header and a payload held apart travel as one buffer without being joined
// first. The segments on the wire are those of HdcSessionWrite.
int HdcSessionWriteParts(HDC_SESSION session, const HdcBufferPart* parts, size_t count,
                         int flag = HDC_FLAG_WAIT);

// Receives one whole buffer: the data of every segment up to and including
// the one marked last, joined in order, without a terminator. On 0, *recvBuf
// (owned by the caller, released with IdeXfree) holds *recvLen bytes.
// mode HDC_FLAG_WAIT blocks; HDC_FLAG_NOWAIT gives IDE_READ_NOTHING_YET (2)
// when nothing is there, but once part of a buffer has arrived it waits for
// the rest instead of dropping it. IDE_READ_SESSION_CLOSED (1) when the peer closed the
// session, -1 on any error; never a partial buffer. A buffer longer than
// maxLen fails the read as soon as its segments pass that length.
int HdcSessionRead(HDC_SESSION session, void** recvBuf, uint32_t* recvLen, int mode = HDC_FLAG_WAIT,
                   uint32_t maxLen = UINT32_MAX);

// A receive buffer its owner keeps across reads (HdcSessionReadInto): it
// grows only for a buffer longer than any before, never shrinks, and its
// bytes are never zero-filled, so reusing it costs no allocation and no page
// faults. Not copyable; one reader at a time.
class HdcRecvBuffer {
  public:
    HdcRecvBuffer() = default;
    ~HdcRecvBuffer();
    HdcRecvBuffer(const HdcRecvBuffer&) = delete;
    HdcRecvBuffer& operator=(const HdcRecvBuffer&) = delete;

    // The bytes of the last successful read; valid until the next read.
    const char* Data() const { return data_; }
    uint32_t Size() const { return size_; }
    size_t Capacity() const { return capacity_; }

    // Forgets the bytes held; the memory stays.
    void Clear() { size_ = 0; }
    // Appends len bytes, growing by at least doubling; false when memory runs out.
    bool Append(const char* bytes, size_t len);

  private:
    char* data_ = nullptr;
    size_t capacity_ = 0;
    uint32_t size_ = 0;
};

// As HdcSessionRead, joining the segments straight into *buffer (one copy of
// each byte out of the driver's message) instead of a fresh allocation. On 0
// the buffer holds the whole buffer received; on any other result it holds
// nothing.
int HdcSessionReadInto(HDC_SESSION session, HdcRecvBuffer* buffer, int mode = HDC_FLAG_WAIT,
                       uint32_t maxLen = UINT32_MAX);

// Reading a request: HDC_READ_BLOCK is one blocking HdcSessionRead;
// HDC_READ_POLL makes up to HDC_READ_POLL_TIMES no-wait reads, sleeping i ms
// after the i-th empty one, and gives -1 when all of them found nothing.
enum HdcReadMode { HDC_READ_BLOCK = 0, HDC_READ_POLL = 1 };
constexpr int HDC_READ_POLL_TIMES = 141;
int HdcSessionReadPoll(HDC_SESSION session, void** recvBuf, uint32_t* recvLen, HdcReadMode mode,
                       uint32_t maxLen = UINT32_MAX);

// Builds a packet of the given type with dev_id 0 and a copy of the value,
// followed by one zero byte not counted in *packetLen (= valueLen + 12).
// Released with IdeFreePacket. 0 or -1.
int IdeCreatePacket(uint32_t type, const void* value, uint32_t valueLen, IdeTlvReq** packet,
                    uint32_t* packetLen);
// Frees *packet and sets it to nullptr.
void IdeFreePacket(IdeTlvReq** packet);

#endif  // ORU_HDC_HDC_API_H
