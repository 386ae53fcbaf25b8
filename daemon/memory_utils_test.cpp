#include "daemon/memory_utils.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

bool AllZero(const void* p, size_t n) {
    const auto* b = static_cast<const unsigned char*>(p);
    for (size_t i = 0; i < n; ++i) {
        if (b[i] != 0) {
            return false;
        }
    }
    return true;
}

TEST(IdeXmalloc, GivesZeroFilledBlocksAndNothingForSizeZero) {
    EXPECT_EQ(nullptr, IdeXmalloc(0));
    IdeXfree(nullptr);
    // Small blocks and a chunk-sized one; each size twice, the second time
    // most likely in the memory the first one left dirty.
    for (size_t size : {size_t{1}, size_t{4096}, size_t{0x400000 + 13}}) {
        for (int round = 0; round < 2; ++round) {
            void* p = IdeXmalloc(size);
            ASSERT_NE(nullptr, p) << size;
            EXPECT_TRUE(AllZero(p, size)) << size << " round " << round;
            memset(p, 0xA5, size);
            IdeXfree(p);
        }
    }
}

TEST(IdeXrmalloc, CopiesThePrefixIntoAFreshBlockAndKeepsTheOldOne) {
    char* old = static_cast<char*>(IdeXmalloc(4));
    ASSERT_NE(nullptr, old);
    memcpy(old, "abcd", 4);

    char* grown = static_cast<char*>(IdeXrmalloc(old, 4, 8));
    ASSERT_NE(nullptr, grown);
    EXPECT_NE(old, grown);
    EXPECT_EQ(0, memcmp(grown, "abcd", 4));
    EXPECT_TRUE(AllZero(grown + 4, 4));

    char* shrunk = static_cast<char*>(IdeXrmalloc(old, 4, 2));
    ASSERT_NE(nullptr, shrunk);
    EXPECT_EQ(0, memcmp(shrunk, "ab", 2));

    // The old block is still the caller's: it is intact and freed here.
    EXPECT_EQ(0, memcmp(old, "abcd", 4));
    EXPECT_EQ(nullptr, IdeXrmalloc(old, 4, 0));
    IdeXfree(old);
    IdeXfree(grown);
    IdeXfree(shrunk);
}

}  // namespace
