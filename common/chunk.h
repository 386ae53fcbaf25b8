// A fixed-size, zero-filled byte buffer with a used-size mark: the send
// buffer of the sampling jobs. Not safe for concurrent use.
#ifndef ORU_COMMON_CHUNK_H
#define ORU_COMMON_CHUNK_H

#include <cstdint>
#include <memory>

namespace analysis::orbx::common::memory {

class Chunk {
  public:
    explicit Chunk(uint64_t size) : bufferSize_(size) {}
    Chunk(const Chunk&) = delete;
    Chunk& operator=(const Chunk&) = delete;
    // Frees the buffer.
    virtual ~Chunk();

    // Allocates the zero-filled buffer and marks it empty. True without a
    // buffer for size 0; false when the allocation fails.
    bool Init();

    // Null before a successful Init (and for size 0).
    char* GetBuffer() const { return buffer_.get(); }
    uint64_t GetBufferSize() const { return bufferSize_; }
    uint64_t GetUsedSize() const { return usedSize_; }
    // False, nothing changed, when n exceeds the buffer size.
    bool SetUsedSize(uint64_t n);
    uint64_t GetFreeSize() const { return bufferSize_ - usedSize_; }

  private:
    std::unique_ptr<char[]> buffer_;
    uint64_t bufferSize_;
    uint64_t usedSize_ = 0;
};

}  // namespace analysis::orbx::common::memory

#endif  // ORU_COMMON_CHUNK_H
