#include "tools/host/file_chunk_view.h"

#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/wire_format_lite.h>

#include <climits>
#include <exception>

namespace analysis::orbx::host {

namespace {

using google::protobuf::internal::WireFormatLite;

constexpr uint32_t kChunkTag = WireFormatLite::MakeTag(proto::FileChunkReq::kChunkFieldNumber,
                                                       WireFormatLite::WIRETYPE_LENGTH_DELIMITED);

// Splits the body into the Chunk field, seen in place, and the encoding of
// every other field, copied to view->rest in order. What cannot be walked
// (a bad tag, a field running past the end) goes to rest whole from there
// on, so that parsing rest fails as parsing the body would.
void SplitOutChunk(const char* body, int len, FileChunkView* view) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(body);
    google::protobuf::io::CodedInputStream in(bytes, len);
    while (true) {
        const int start = in.CurrentPosition();
        if (start == len) {
            return;
        }
        const uint32_t tag = in.ReadTag();
        bool walked = tag != 0;
        if (walked && tag == kChunkTag) {
            uint32_t size = 0;
            walked = in.ReadVarint32(&size) && size <= static_cast<uint32_t>(len) &&
                     static_cast<int>(size) <= len - in.CurrentPosition();
            if (walked) {
                view->payload = std::string_view(body + in.CurrentPosition(), size);
                in.Skip(static_cast<int>(size));
                continue;
            }
        } else if (walked) {
            walked = WireFormatLite::SkipField(&in, tag);
            if (walked) {
                view->rest.append(body + start, static_cast<size_t>(in.CurrentPosition() - start));
                continue;
            }
        }
        view->rest.append(body + start, static_cast<size_t>(len - start));
        return;
    }
}

}  // namespace

bool ParseFileChunkView(const char* body, size_t len, FileChunkView* view) {
    view->payload = std::string_view();
    view->rest.clear();
    if (len > static_cast<size_t>(INT_MAX)) {
        return false;
    }
    try {
        SplitOutChunk(body, static_cast<int>(len), view);
        return view->fields.ParseFromString(view->rest);
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace analysis::orbx::host
