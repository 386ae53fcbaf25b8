// The frame of one profiler message: a 4-byte big-endian length of the type
// name (terminating zero byte included), the full type name and its zero
// byte, then the message's protobuf binary encoding.
//
// The receiver does not know in advance which message comes next: the type
// name selects the class at run time. Callers receive the generic base and
// cast after checking GetTypeName() (or use DecodeAs). None of these throws;
// every failure gives an empty result and one log line. Safe for concurrent
// use.
#ifndef ORU_WIRE_CODEC_H
#define ORU_WIRE_CODEC_H

#include <google/protobuf/message.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "wire/profiler.pb.h"

namespace analysis::orbx::message {

using Message = google::protobuf::Message;
using MessagePtr = std::shared_ptr<Message>;

constexpr size_t kFrameNameLenBytes = 4;
constexpr size_t kMaxTypeNameChars = 1024;    // longest type name that is encoded
constexpr uint32_t kMaxFrameNameLen = 1025;   // largest nameLen a frame may carry
constexpr size_t kMaxFrameBytes = 0x8000000;  // 128 MiB

// A new, empty message of the schema type with this full name
// ("analysis.orbx.proto.JobStartReq"), or null.
MessagePtr CreateMessage(const std::string& typeName);

// The frame of message; empty on failure (null message, name too long,
// serialisation failure).
std::string EncodeMessage(const Message* message);
inline std::string EncodeMessage(const MessagePtr& message) {
    return EncodeMessage(message.get());
}
inline std::string EncodeMessage(const Message& message) {
    return EncodeMessage(&message);
}

// The type name a frame carries and the length of its head (the bytes before
// the body); false, logged, for a frame that DecodeMessage refuses before
// looking at the body.
bool SplitFrame(const void* data, size_t length, std::string* typeName, size_t* headLen);

// The message a frame carries, or null for a malformed frame, a name that is
// not in the schema or a body that does not parse.
MessagePtr DecodeMessage(const void* data, size_t length);
inline MessagePtr DecodeMessage(const std::string& bytes) {
    return DecodeMessage(bytes.data(), bytes.size());
}

// The decoded message as T when the frame carries a T; otherwise null.
template <class T>
std::shared_ptr<T> DecodeAs(const void* data, size_t length) {
    MessagePtr msg = DecodeMessage(data, length);
    if (msg == nullptr || msg->GetDescriptor() != T::descriptor()) {
        return nullptr;
    }
    return std::static_pointer_cast<T>(msg);
}

// The message as T when it is a T (checked by its type); otherwise null.
template <class T>
std::shared_ptr<T> MessageAs(const MessagePtr& msg) {
    if (msg == nullptr || msg->GetDescriptor() != T::descriptor()) {
        return nullptr;
    }
    return std::static_pointer_cast<T>(msg);
}

}  // namespace analysis::orbx::message

#endif  // ORU_WIRE_CODEC_H
