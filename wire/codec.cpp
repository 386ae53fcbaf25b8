#include "wire/codec.h"

#include <arpa/inet.h>

#include <cstring>
#include <exception>

#include "common/log.h"

namespace analysis::orbx::message {

namespace {

const google::protobuf::Descriptor* FindDescriptor(const std::string& typeName) {
    const google::protobuf::DescriptorPool* pool =
        google::protobuf::DescriptorPool::generated_pool();
    const google::protobuf::Descriptor* descriptor = pool->FindMessageTypeByName(typeName);
    if (descriptor == nullptr) {
        // The schema's descriptors are registered when the generated code is
        // first used; touching one of its classes makes sure they are, and
        // keeps the generated code linked into every program that decodes.
        (void)analysis::orbx::proto::Header::descriptor();
        descriptor = pool->FindMessageTypeByName(typeName);
    }
    return descriptor;
}

}  // namespace

MessagePtr CreateMessage(const std::string& typeName) {
    const google::protobuf::Descriptor* descriptor = FindDescriptor(typeName);
    if (descriptor == nullptr) {
        ORU_LOGW("Failed to FindMessageTypeByName, name=%s", typeName.c_str());
        return nullptr;
    }
    google::protobuf::MessageFactory* factory =
        google::protobuf::MessageFactory::generated_factory();
    if (factory == nullptr) {
        ORU_LOGE("Failed to generated_factory by descriptor of name=%s", typeName.c_str());
        return nullptr;
    }
    const Message* prototype = factory->GetPrototype(descriptor);
    if (prototype == nullptr) {
        ORU_LOGE("Failed to GetPrototype by descriptor of name=%s", typeName.c_str());
        return nullptr;
    }
    try {
        return MessagePtr(prototype->New());
    } catch (const std::exception& e) {
        ORU_LOGE("make shared failed, message: %s", e.what());
        return nullptr;
    }
}

std::string EncodeMessage(const Message* message) {
    if (message == nullptr) {
        ORU_LOGE("Message is null");
        return std::string();
    }
    const std::string& name = message->GetDescriptor()->full_name();
    if (name.size() > kMaxTypeNameChars) {
        ORU_LOGE("Type size:%zu is invalid", name.size());
        return std::string();
    }
    const uint32_t nameLen = htonl(static_cast<uint32_t>(name.size() + 1));
    std::string out;
    try {
        out.reserve(kFrameNameLenBytes + name.size() + 1 + message->ByteSizeLong());
        out.append(reinterpret_cast<const char*>(&nameLen), sizeof(nameLen));
        out.append(name.c_str(), name.size() + 1);
        if (!message->AppendToString(&out)) {
            ORU_LOGE("Failed to append message");
            return std::string();
        }
    } catch (const std::exception&) {
        ORU_LOGE("Failed to append message");
        return std::string();
    }
    return out;
}

bool SplitFrame(const void* data, size_t length, std::string* typeName, size_t* headLen) {
    if (length > kMaxFrameBytes) {
        ORU_LOGE("[DecodeMessage] buf size(%zu) is too big.", length);
        return false;
    }
    if (data == nullptr || length < kFrameNameLenBytes) {
        ORU_LOGE("bufLen less than name len, bufLen=%d, expected_len=%d", static_cast<int>(length),
                 static_cast<int>(kFrameNameLenBytes));
        return false;
    }
    const char* bytes = static_cast<const char*>(data);
    uint32_t nameLen = 0;
    std::memcpy(&nameLen, bytes, sizeof(nameLen));
    nameLen = ntohl(nameLen);
    if (nameLen > kMaxFrameNameLen) {
        ORU_LOGE("[DecodeMessage] buf size(%u) is too big.", nameLen);
        return false;
    }
    *headLen = kFrameNameLenBytes + nameLen;
    if (length < *headLen) {
        ORU_LOGE("bufLen less than name, bufLen=%d, expected_len=%d", static_cast<int>(length),
                 static_cast<int>(*headLen));
        return false;
    }
    const char* namePtr = bytes + kFrameNameLenBytes;
    typeName->assign(namePtr, strnlen(namePtr, nameLen));
    return true;
}

MessagePtr DecodeMessage(const void* data, size_t length) {
    std::string typeName;
    size_t headLen = 0;
    if (!SplitFrame(data, length, &typeName, &headLen)) {
        return nullptr;
    }
    const char* bytes = static_cast<const char*>(data);
    MessagePtr msg = CreateMessage(typeName);
    if (msg == nullptr) {
        msg = CreateMessage(typeName);
    }
    if (msg == nullptr) {
        ORU_LOGW("Failed to CreateMessage from name:%s", typeName.c_str());
        return nullptr;
    }
    const int bodyLen = static_cast<int>(length - headLen);
    bool parsed = false;
    try {
        parsed = msg->ParseFromArray(bytes + headLen, bodyLen);
    } catch (const std::exception&) {
        parsed = false;
    }
    if (!parsed) {
        ORU_LOGE("Failed to ParseFromArray, dataLen=%d", bodyLen);
        return nullptr;
    }
    return msg;
}

}  // namespace analysis::orbx::message
