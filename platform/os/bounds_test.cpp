#include "ostrel/bounds.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(MemcpyS, CopiesWithinBoundsAndRefusesTheRestAndOverlaps) {
    char dst[8] = "xxxxxxx";
    EXPECT_EQ(EOK, memcpy_s(dst, sizeof(dst), "abc", 3));
    EXPECT_EQ(0, memcmp(dst, "abcxxxx", 7));
    EXPECT_EQ(ERANGE_AND_RESET, memcpy_s(dst, 4, "abcdef", 6));
    EXPECT_EQ(0, memcmp(dst, "\0\0\0\0xxx", 7));
    EXPECT_EQ(EINVAL, memcpy_s(dst, 0, "a", 1));
    EXPECT_EQ(EINVAL_AND_RESET, memcpy_s(dst, sizeof(dst), nullptr, 1));
    // Adjacent ranges are no overlap, and empty copies succeed.
    char buf[16] = "0123456789abcde";
    EXPECT_EQ(EOK, memcpy_s(buf + 4, 4, buf, 4));  // [0,4) next to [4,8)
    EXPECT_EQ(0, memcmp(buf, "01230123", 8));
    EXPECT_EQ(EOK, memcpy_s(buf, 4, buf + 4, 0));
    EXPECT_EQ(EOVERLAP_AND_RESET, memcpy_s(buf + 1, 8, buf, 2));  // overlap by one byte
    EXPECT_EQ(0, memcmp(buf, "0\0\0\0\0\0\0\0\0", 9));
    EXPECT_EQ(EOK, memcpy_s(dst, 4, "abcd", 4));  // exactly the destination's size
    EXPECT_EQ(0, memcmp(dst, "abcd", 4));
}

TEST(MemsetS, SetsWithinBoundsAndStopsAtTheDestinationSize) {
    char buf[8] = "abcdefg";
    EXPECT_EQ(EOK, memset_s(buf, 4, 'z', 2));
    EXPECT_STREQ("zzcdefg", buf);
    EXPECT_EQ(ERANGE_AND_RESET, memset_s(buf, 4, 'q', 6));
    EXPECT_STREQ("qqqqefg", buf);  // only destMax bytes were touched
    EXPECT_EQ(EINVAL, memset_s(buf, 0, 0, 0));
    EXPECT_EQ(EOK, memset_s(buf, 4, 'n', 0));
    EXPECT_STREQ("qqqqefg", buf);
}

TEST(SnprintfS, CutsAtTheCountOrTheDestinationAndAlwaysTerminates) {
    char small[6];
    EXPECT_EQ(5, sprintf_s(small, sizeof(small), "%s", "hello"));
    EXPECT_STREQ("hello", small);
    EXPECT_EQ(-1, sprintf_s(small, sizeof(small), "%s", "hello!"));  // does not fit
    EXPECT_STREQ("", small);
    EXPECT_EQ(-1, snprintf_s(small, sizeof(small), 3, "%d", 12345));
    EXPECT_STREQ("123", small);
    EXPECT_EQ(2, snprintf_s(small, sizeof(small), 3, "%d", 12));
    char dst[8];
    memset(dst, 'x', sizeof(dst));
    EXPECT_EQ(-1, snprintf_s(dst, sizeof(dst), 100, "%s", "0123456789"));
    EXPECT_STREQ("0123456", dst);  // destination limit
    EXPECT_EQ(7, snprintf_s(dst, sizeof(dst), 100, "%s", "0123456"));
    EXPECT_STREQ("0123456", dst);
    EXPECT_EQ(3, snprintf_s(dst, sizeof(dst), 3, "%s", "abc"));
    EXPECT_EQ(0, sprintf_s(dst, sizeof(dst), "%s", ""));
    EXPECT_STREQ("", dst);
}

}  // namespace
