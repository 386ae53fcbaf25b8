// A FileChunkReq read without copying its payload: the payload stays where
// the frame was received and is seen through a view, every other field is
// parsed as usual.
#ifndef ORU_TOOLS_HOST_FILE_CHUNK_VIEW_H
#define ORU_TOOLS_HOST_FILE_CHUNK_VIEW_H

#include <cstddef>
#include <string>
#include <string_view>

#include "wire/profiler.pb.h"

namespace analysis::orbx::host {

struct FileChunkView {
    // Every field but Chunk, which stays empty.
    proto::FileChunkReq fields;
    // The Chunk bytes, inside the buffer the message was parsed from.
    std::string_view payload;

    // Scratch kept across parses: the encoded fields other than Chunk.
    std::string rest;
};

// Parses the protobuf body of a FileChunkReq (len bytes at body) into *view,
// the payload pointing into body. False exactly when ParseFromArray of the
// whole body fails; a repeated Chunk field keeps its last value, as there.
bool ParseFileChunkView(const char* body, size_t len, FileChunkView* view);

}  // namespace analysis::orbx::host

#endif  // ORU_TOOLS_HOST_FILE_CHUNK_VIEW_H
