// Frames from the host: DecodeMessage of arbitrary bytes. A frame that
// decodes encodes again to a frame that decodes to the same message.
#include <cstdint>
#include <string>

#include "fuzz/fuzz_util.h"
#include "wire/codec.h"

namespace codec = analysis::orbx::message;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    oru_fuzz::QuietLogs();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    codec::MessagePtr message = codec::DecodeMessage(data, size);
    if (message == nullptr) {
        return 0;
    }
    std::string frame = codec::EncodeMessage(message);
    codec::MessagePtr again = codec::DecodeMessage(frame);
    if (frame.empty() || again == nullptr || again->GetDescriptor() != message->GetDescriptor() ||
        codec::EncodeMessage(again) != frame) {
        __builtin_trap();
    }
    return 0;
}
