// The profiling service's channel to the host, as its users see it: raw
// buffers and file chunks out, one session closed once.
#ifndef ORU_TRANSPORT_TRANSPORT_H
#define ORU_TRANSPORT_TRANSPORT_H

#include <memory>
#include <utility>

#include "common/perf_count.h"
#include "transport/profile_file_chunk.h"

namespace analysis::orbx::transport {

using PerfCount = Analysis::Orbx::Common::Statistics::PerfCount;

class ITransport {
  public:
    ITransport() = default;
    ITransport(const ITransport&) = delete;
    ITransport& operator=(const ITransport&) = delete;
    virtual ~ITransport() = default;

    // Sends length bytes as the value of one request packet: length, or -1.
    virtual int SendBuffer(const void* buffer, int length) = 0;
    // Sends the chunk as one FileChunkReq message: 0, or -1 (nothing is sent
    // for a chunk without extra information). The payload is moved out of the
    // chunk: the caller hands the record over.
    virtual int SendBuffer(std::shared_ptr<ProfileFileChunk> chunk) = 0;
    // Closes the session once; later calls do nothing. Always 0.
    virtual int CloseSession() = 0;
    // True once the host has closed a session it sends nothing on (a data
    // session), checked without waiting. Must not run beside a read of the
    // same session.
    virtual bool PeerClosed() { return false; }

    // Send statistics; may stay empty. REQUIRES: before the transport is shared.
    void SetPerfCount(std::shared_ptr<PerfCount> perfCount) { perfCount_ = std::move(perfCount); }

  protected:
    std::shared_ptr<PerfCount> perfCount_;
};

}  // namespace analysis::orbx::transport

#endif  // ORU_TRANSPORT_TRANSPORT_H
