#include "common/byte_buffer_pool.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace analysis::orbx::common::memory {
namespace {

// A released buffer comes back on the next Take; beyond the idle bound they
// are freed; a buffer that outlives its pool is freed too.
TEST(BufferPoolTest, ReleasedBuffersAreReusedUpToTheIdleBound) {
    auto pool = std::make_unique<BufferPool>(4096, 2);
    auto first = pool->Take();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->Capacity(), 4096u);
    const char* bytes = first->Data();
    first.reset();
    EXPECT_EQ(pool->Idle(), 1u);
    auto again = pool->Take();
    EXPECT_EQ(again->Data(), bytes);
    EXPECT_EQ(pool->Idle(), 0u);

    std::vector<std::shared_ptr<ByteBuffer>> many;
    for (int i = 0; i < 4; ++i) {
        many.push_back(pool->Take());
    }
    many.clear();
    EXPECT_EQ(pool->Idle(), 2u);
    pool.reset();
    again.reset();  // its pool is gone: freed (ASan checks)
}

}  // namespace
}  // namespace analysis::orbx::common::memory
