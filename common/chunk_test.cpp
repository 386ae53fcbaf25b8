#include "common/chunk.h"

#include <gtest/gtest.h>

#include <cstring>

namespace analysis::orbx::common::memory {
namespace {

TEST(ChunkTest, UsedSizeStaysWithinTheBuffer) {
    Chunk chunk(100);
    ASSERT_TRUE(chunk.Init());
    std::memset(chunk.GetBuffer(), 'a', 40);
    ASSERT_TRUE(chunk.SetUsedSize(40));
    EXPECT_EQ(chunk.GetFreeSize(), 60u);
    EXPECT_TRUE(chunk.SetUsedSize(100));
    EXPECT_EQ(chunk.GetFreeSize(), 0u);
    EXPECT_FALSE(chunk.SetUsedSize(101));
    EXPECT_EQ(chunk.GetUsedSize(), 100u);
    EXPECT_EQ(chunk.GetFreeSize(), 0u);

    ASSERT_TRUE(chunk.Init());  // starts over: empty and zeroed
    EXPECT_EQ(chunk.GetUsedSize(), 0u);
    EXPECT_EQ(chunk.GetBuffer()[0], 0);

    Chunk none(0);  // no buffer at all
    EXPECT_TRUE(none.Init());
    EXPECT_EQ(none.GetBuffer(), nullptr);
    EXPECT_EQ(none.GetFreeSize(), 0u);
    EXPECT_FALSE(none.SetUsedSize(1));
}

}  // namespace
}  // namespace analysis::orbx::common::memory
