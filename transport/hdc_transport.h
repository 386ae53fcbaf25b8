// The profiling service's channel to the host: one HDC session, owned by the
// transport from its creation until CloseSession (or destruction) closes it.
// It sends raw buffers and file chunks as request packets of type 5 and
// receives request packets, each carrying one encoded profiler message.
//
// Threading: the transport does not serialise reads or writes. Each session
// has one reading thread and one writing thread at a time (a control
// session's receiver; a data session's uploader, which is its only writer):
// two concurrent writes would interleave their segments. CloseSession may be
// called from any thread, also while a read is blocked (the read then fails).
#ifndef ORU_TRANSPORT_HDC_TRANSPORT_H
#define ORU_TRANSPORT_HDC_TRANSPORT_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "hdc/kvt_hdc.h"
#include "transport/profile_file_chunk.h"
#include "transport/transport.h"
#include "wire/hdc_packet.h"

namespace analysis::orbx::transport {

// The request-packet level of a transport.
class KvtTransport : public ITransport {
  public:
    // Writes length bytes to the session as they are: 0, or -1.
    virtual int Write(const void* buffer, int length) = 0;
    // Reads one request packet (blocking). Returns its total length, -1 on a
    // failed read or a malformed packet, or -2 when the packet's value is the
    // container refusal text. On success and on -2 *packet holds the packet,
    // which the caller releases with DestroyPacket; on -1 *packet is null.
    virtual int RecvPacket(IdeTlvReq** packet) = 0;
    virtual void DestroyPacket(IdeTlvReq* packet) = 0;
};

using wire::kContainerRefusal;
using wire::kContainerRefusalLen;

class HDCTransport : public KvtTransport {
  public:
    // Takes over session. A client session (one this side connected) also
    // owns client, which is destroyed with the transport.
    HDCTransport(HDC_SESSION session, bool isClientSession = false, HDC_CLIENT client = nullptr);
    ~HDCTransport() override;

    int SendBuffer(const void* buffer, int length) override;
    int SendBuffer(std::shared_ptr<ProfileFileChunk> chunk) override;
    int CloseSession() override;
    bool PeerClosed() override;

    int Write(const void* buffer, int length) override;
    int RecvPacket(IdeTlvReq** packet) override;
    void DestroyPacket(IdeTlvReq* packet) override;

  private:
    // Sends the parts joined as the value of one request packet (its header
    // written beside them): 0, or -1. length is the value's size.
    int SendValueParts(HdcBufferPart* parts, size_t count, uint32_t length);

    // Null once closed. Read by the reading and writing threads, cleared
    // under closeMutex_ by CloseSession.
    std::atomic<HDC_SESSION> session_;
    const bool isClientSession_;
    HDC_CLIENT client_;  // owned when isClientSession_; destroyed by the destructor
    // Serialises CloseSession (one close of the session); guards no memory.
    // Last in every order.
    std::mutex closeMutex_;
};

class HDCTransportFactory {
  public:
    // How the device index of a session is found (KvtGetDevIdBySession).
    using DevIdQuery = int (*)(HDC_SESSION session, int* devId);

    // A transport for an accepted session of device index 0 to 63, with send
    // statistics named "HdcTransport_<device index>". On success the transport
    // owns the session; on failure (null) the caller still owns it.
    static std::shared_ptr<ITransport> CreateHdcTransport(
        HDC_SESSION session, DevIdQuery queryDevId = KvtGetDevIdBySession);
};

}  // namespace analysis::orbx::transport

#endif  // ORU_TRANSPORT_HDC_TRANSPORT_H
