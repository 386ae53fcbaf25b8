// The unit of collected data handed to a job's uploader: one piece of a data
// file (or, for kChunkModuleMessage, one complete encoded message). Created
// value-initialised and passed around by shared pointer; producers move their
// payload into `chunk` and do not touch the record once it is queued.
#ifndef ORU_TRANSPORT_PROFILE_FILE_CHUNK_H
#define ORU_TRANSPORT_PROFILE_FILE_CHUNK_H

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>

#include "common/byte_buffer_pool.h"

namespace analysis::orbx {

// Values of ProfileFileChunk::chunkModule (sent to the host as DataModule).
constexpr int32_t kChunkModuleData = 3;       // driver-channel data and most timer data
constexpr int32_t kChunkModuleTimerData = 5;  // data of some timer handlers
constexpr int32_t kChunkModuleMessage = 6;    // a complete message, sent unchanged

struct ProfileFileChunk {
    bool isLastChunk = false;  // last chunk of its file
    int32_t chunkModule = 0;
    uint64_t chunkSize = 0;  // payload bytes in chunk
    int64_t offset = 0;      // -1 for file data
    std::string chunk;       // payload (any byte values), unless pooled holds it
    // When set, the payload is its first chunkSize bytes (a reused buffer,
    // given back when the chunk is dropped) and chunk stays empty.
    std::shared_ptr<common::memory::ByteBuffer> pooled;
    std::string fileName;   // result-relative data file name, ".", the job context's tag
    std::string extraInfo;  // job id, ".", the host's device number
    std::string reserved;

    // The payload bytes, wherever they are held.
    const char* PayloadData() const { return pooled != nullptr ? pooled->Data() : chunk.data(); }
    uint64_t PayloadSize() const {
        return pooled != nullptr ? std::min<uint64_t>(chunkSize, pooled->Capacity()) : chunk.size();
    }
};

}  // namespace analysis::orbx

#endif  // ORU_TRANSPORT_PROFILE_FILE_CHUNK_H
