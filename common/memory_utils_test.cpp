#include "common/memory_utils.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

// IdeXmalloc is calloc but for size 0; what IdeXrmalloc adds is checked here.
TEST(IdeXrmalloc, CopiesThePrefixIntoAFreshBlockAndKeepsTheOldOne) {
    EXPECT_EQ(nullptr, IdeXmalloc(0));
    IdeXfree(nullptr);
    char* old = static_cast<char*>(IdeXmalloc(4));
    ASSERT_NE(nullptr, old);
    memcpy(old, "abcd", 4);

    char* grown = static_cast<char*>(IdeXrmalloc(old, 4, 8));
    ASSERT_NE(nullptr, grown);
    EXPECT_NE(old, grown);
    EXPECT_EQ(0, memcmp(grown, "abcd\0\0\0\0", 8));

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
