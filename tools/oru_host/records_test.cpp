#include "tools/oru_host/records.h"

#include <gtest/gtest.h>

namespace analysis::orbx::hosttool {
namespace {

std::string Frame(uint64_t ts, uint32_t index, const std::string& data) {
    return "TimeStamp:" + std::to_string(ts) + "\nIndex:" + std::to_string(index) +
           "\nDataLen:" + std::to_string(data.size()) + "\n" + data + "\n";
}

TEST(RecordsTest, BackToBackRecordsAreRead) {
    std::string bytes = Frame(100, 0, "cpu 1 2 3 4\n") + Frame(200, 1, "") +
                        Frame(300, 2, "line\nwith TimeStamp:9 inside\n");
    RecordFile f = ParseRecords(bytes);
    ASSERT_EQ(f.records.size(), 3u);
    EXPECT_TRUE(f.problems.empty());
    EXPECT_EQ(f.records[0].timestampNs, 100u);
    EXPECT_EQ(f.records[0].data, "cpu 1 2 3 4\n");
    EXPECT_EQ(f.records[1].index, 1u);
    EXPECT_EQ(f.records[1].data, "");
    EXPECT_EQ(f.records[2].data, "line\nwith TimeStamp:9 inside\n");
    EXPECT_TRUE(ParseRecords("").records.empty());
    EXPECT_TRUE(ParseRecords("").problems.empty());
}

TEST(RecordsTest, TruncatedRecordIsReportedWithItsOffset) {
    std::string good = Frame(100, 0, "abc");
    for (size_t cut = 1; cut < good.size(); ++cut) {
        RecordFile f = ParseRecords(good + good.substr(0, cut));
        ASSERT_EQ(f.records.size(), 1u) << cut;
        ASSERT_EQ(f.problems.size(), 1u) << cut;
        EXPECT_EQ(f.problems[0].offset, good.size()) << cut;
        EXPECT_EQ(f.problems[0].reason.rfind("truncated record", 0), 0u)
            << cut << ": " << f.problems[0].reason;
    }
}

TEST(RecordsTest, BadStretchesAreCountedAndReadingResumesAtTheNextRecord) {
    std::string bytes = Frame(1, 0, "a") + "garbage\nmore garbage\n" + Frame(2, 1, "b") +
                        "TimeStamp:3\nIndex:x\nDataLen:1\nc\n" + Frame(4, 3, "d") +
                        "TimeStamp:5\nIndex:4\nDataLen:1\nee\n" + Frame(6, 5, "f");
    RecordFile f = ParseRecords(bytes);
    ASSERT_EQ(f.records.size(), 4u);
    EXPECT_EQ(f.records[1].data, "b");
    EXPECT_EQ(f.records[3].data, "f");
    ASSERT_EQ(f.problems.size(), 3u);
    EXPECT_EQ(f.problems[0].reason, "expected \"TimeStamp:\"");
    EXPECT_EQ(f.problems[1].reason, "bad value of \"Index:\"");
    EXPECT_EQ(f.problems[2].reason, "data of 1 bytes is not followed by a line end");
}

TEST(RecordsTest, OversizedNumbersAreRefused) {
    RecordFile f =
        ParseRecords("TimeStamp:1\nIndex:4294967296\nDataLen:0\n\n" +
                     std::string("TimeStamp:99999999999999999999\nIndex:0\nDataLen:0\n\n") +
                     "TimeStamp:1\nIndex:0\nDataLen:4294967295\nx\n");
    EXPECT_TRUE(f.records.empty());
    ASSERT_EQ(f.problems.size(), 3u);
    EXPECT_EQ(f.problems[0].reason, "value of \"Index:\" out of range");
    EXPECT_EQ(f.problems[1].reason, "value of \"TimeStamp:\" out of range");
    EXPECT_EQ(f.problems[2].reason.rfind("truncated record: 4294967295 data bytes", 0), 0u);
}

}  // namespace
}  // namespace analysis::orbx::hosttool
