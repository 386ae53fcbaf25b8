// Reused byte buffers for the data path. A ByteBuffer's bytes are never
// zero-filled: it is always written before it is read. A BufferPool hands
// out buffers of one capacity; the last reference to a buffer gives it back
// (a few are kept idle, the rest freed), so the pages of the buffers in use
// are touched once rather than per chunk.
//
// Threading: Take and the give-back on release are safe from any thread.
// Buffers may outlive their pool (they are then freed).
#ifndef ORU_COMMON_BYTE_BUFFER_POOL_H
#define ORU_COMMON_BYTE_BUFFER_POOL_H

#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

namespace analysis::orbx::common::memory {

class ByteBuffer {
  public:
    // capacity bytes, not initialised; throws std::bad_alloc.
    explicit ByteBuffer(size_t capacity) : data_(new char[capacity]), capacity_(capacity) {}
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;

    char* Data() { return data_.get(); }
    const char* Data() const { return data_.get(); }
    size_t Capacity() const { return capacity_; }

  private:
    std::unique_ptr<char[]> data_;
    const size_t capacity_;
};

class BufferPool {
  public:
    BufferPool(size_t capacity, size_t maxIdle)
        : state_(std::make_shared<State>(capacity, maxIdle)) {}

    // An idle buffer, or a new one; null when out of memory.
    std::shared_ptr<ByteBuffer> Take() {
        std::unique_ptr<ByteBuffer> buffer;
        {
            std::lock_guard<std::mutex> lock(state_->mutex);
            if (!state_->idle.empty()) {
                buffer = std::move(state_->idle.back());
                state_->idle.pop_back();
            }
        }
        try {
            if (buffer == nullptr) {
                buffer = std::make_unique<ByteBuffer>(state_->capacity);
            }
            std::weak_ptr<State> home = state_;
            return std::shared_ptr<ByteBuffer>(buffer.release(),
                                               [home](ByteBuffer* b) { GiveBack(home, b); });
        } catch (const std::bad_alloc&) {
            return nullptr;
        }
    }

    size_t Capacity() const { return state_->capacity; }
    size_t Idle() const {
        std::lock_guard<std::mutex> lock(state_->mutex);
        return state_->idle.size();
    }

  private:
    struct State {
        State(size_t c, size_t m) : capacity(c), maxIdle(m) { idle.reserve(m); }
        const size_t capacity;
        const size_t maxIdle;
        std::mutex mutex;
        std::vector<std::unique_ptr<ByteBuffer>> idle;  // guarded by mutex
    };

    static void GiveBack(const std::weak_ptr<State>& home, ByteBuffer* b) {
        std::unique_ptr<ByteBuffer> buffer(b);
        if (auto state = home.lock()) {
            std::lock_guard<std::mutex> lock(state->mutex);
            if (state->idle.size() < state->maxIdle) {
                try {
                    state->idle.push_back(std::move(buffer));
                } catch (const std::bad_alloc&) {
                }
            }
        }
    }

    std::shared_ptr<State> state_;
};

}  // namespace analysis::orbx::common::memory

#endif  // ORU_COMMON_BYTE_BUFFER_POOL_H
