#include "ostrel/bounds.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(MemcpyS, CopiesWithinBoundsAndRefusesTheRest) {
    char dst[8] = "xxxxxxx";
    EXPECT_EQ(EOK, memcpy_s(dst, sizeof(dst), "abc", 3));
    EXPECT_EQ(0, memcmp(dst, "abcxxxx", 7));
    EXPECT_EQ(ERANGE_AND_RESET, memcpy_s(dst, 4, "abcdef", 6));
    EXPECT_EQ(0, memcmp(dst, "\0\0\0\0xxx", 7));
    EXPECT_EQ(EINVAL, memcpy_s(nullptr, 4, "a", 1));
    EXPECT_EQ(EINVAL, memcpy_s(dst, 0, "a", 1));
    EXPECT_EQ(EINVAL_AND_RESET, memcpy_s(dst, sizeof(dst), nullptr, 1));
    char buf[16] = "0123456789";
    EXPECT_EQ(EOVERLAP_AND_RESET, memcpy_s(buf + 2, 8, buf, 4));
}

TEST(SprintfS, RefusesTextThatDoesNotFit) {
    char dst[6];
    EXPECT_EQ(5, sprintf_s(dst, sizeof(dst), "%s", "hello"));
    EXPECT_STREQ("hello", dst);
    EXPECT_EQ(-1, sprintf_s(dst, sizeof(dst), "%s", "hello!"));
    EXPECT_STREQ("", dst);
    EXPECT_EQ(-1, snprintf_s(dst, sizeof(dst), 3, "%d", 12345));
    EXPECT_STREQ("123", dst);
    EXPECT_EQ(2, snprintf_s(dst, sizeof(dst), 3, "%d", 12));
}

}  // namespace
