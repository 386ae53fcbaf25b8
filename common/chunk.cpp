#include "common/chunk.h"

#include <new>

namespace analysis::orbx::common::memory {

Chunk::~Chunk() {
    buffer_.reset();
    bufferSize_ = 0;
    usedSize_ = 0;
}

bool Chunk::Init() {
    usedSize_ = 0;
    if (bufferSize_ == 0) {
        buffer_.reset();
        return true;
    }
    buffer_.reset(new (std::nothrow) char[bufferSize_]());
    return buffer_ != nullptr;
}

bool Chunk::SetUsedSize(uint64_t n) {
    if (n > bufferSize_) {
        return false;
    }
    usedSize_ = n;
    return true;
}

}  // namespace analysis::orbx::common::memory
