#include "tools/oru_host/device_text.h"

#include <gtest/gtest.h>

namespace analysis::orbx::hosttool {
namespace {

TEST(DeviceTextTest, CacheStatisticsLines) {
    CacheStatLine line;
    std::string why;
    ASSERT_TRUE(
        ParseCacheStatLine("2026-12-07 00:12:34.500001 read: hits=100 misses=7 "
                           "hit_rate=93.45% write: hits=0 misses=0 hit_rate=0.00%",
                           &line, &why))
        << why;
    EXPECT_EQ(line.timeUs, 1796602354500001ULL);
    ASSERT_EQ(line.stats.size(), 2u);
    EXPECT_EQ(line.stats[0].event, "read");
    EXPECT_EQ(line.stats[0].hits, 100u);
    EXPECT_EQ(line.stats[0].misses, 7u);
    EXPECT_DOUBLE_EQ(line.stats[0].hitRatePct, 93.45);
    EXPECT_EQ(line.stats[1].event, "write");
    for (const char* bad :
         {"", "2026-12-07 00:12:34.5 read: hits=1 misses=1 hit_rate=1.00%",
          "2026-12-07 00:12:34.500001", "2026-12-07 00:12:34.500001 read: hits=1 misses=1",
          "2026-12-07 00:12:34.500001 read: hits=x misses=1 hit_rate=1.00%",
          "2026-12-07 00:12:34.500001 read hits=1 misses=1 hit_rate=1.00%",
          "2026-13-07 00:12:34.500001 read: hits=1 misses=1 hit_rate=1.00%"}) {
        EXPECT_FALSE(ParseCacheStatLine(bad, &line, &why)) << bad;
        EXPECT_FALSE(why.empty()) << bad;
    }
}

TEST(DeviceTextTest, ControlCpuLines) {
    CtrlCpuLine line;
    std::string why;
    ASSERT_TRUE(ParseCtrlCpuLine("1796602354.000250 cpu3 r11 123456789", &line, &why)) << why;
    EXPECT_EQ(line.timeUs, 1796602354000250ULL);
    EXPECT_EQ(line.cpu, 3u);
    EXPECT_EQ(line.event, "r11");
    EXPECT_EQ(line.count, 123456789u);
    for (const char* bad : {"", "1796602354.25 cpu3 r11 1", "1796602354.000250 core3 r11 1",
                            "1796602354.000250 cpu3 r11", "1796602354.000250 cpu3 r11 -1",
                            "1796602354.000250 cpu3 r11 1 extra", "# oru control-cpu record"}) {
        EXPECT_FALSE(ParseCtrlCpuLine(bad, &line, &why)) << bad;
    }
}

std::string CounterRecordBytes(uint32_t magic, uint64_t seq, uint64_t timeNs) {
    std::string b(kCounterRecordBytes, '\0');
    auto put = [&b](size_t at, uint64_t v, size_t width) {
        for (size_t i = 0; i < width; ++i) {
            b[at + i] = static_cast<char>((v >> (8 * i)) & 0xff);
        }
    };
    put(0, magic, 4);
    put(4, 2, 2);
    put(6, 8, 2);
    put(8, 1, 4);
    put(12, 100, 4);
    put(16, seq, 8);
    put(24, timeNs, 8);
    put(32, 1000 + seq, 8);
    put(40, 10, 8);
    return b;
}

TEST(DeviceTextTest, CounterRecordsOfTheSimulatedDriver) {
    std::vector<CounterRecord> records;
    std::string two = CounterRecordBytes(kCounterRecordMagic, 0, 5000) +
                      CounterRecordBytes(kCounterRecordMagic, 1, 105000);
    ASSERT_TRUE(ParseCounterRecords(two, &records));
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1].device, 2u);
    EXPECT_EQ(records[1].channel, 8u);
    EXPECT_EQ(records[1].mode, 1u);
    EXPECT_EQ(records[1].periodMs, 100u);
    EXPECT_EQ(records[1].sequence, 1u);
    EXPECT_EQ(records[1].timeNs, 105000u);
    EXPECT_EQ(records[1].hits, 1001u);
    EXPECT_EQ(records[1].misses, 10u);
    // Another layout: a cut record, a wrong magic, nothing.
    EXPECT_FALSE(ParseCounterRecords(two.substr(0, 60), &records));
    EXPECT_FALSE(ParseCounterRecords(two + CounterRecordBytes(0x12345678, 2, 1), &records));
    EXPECT_FALSE(ParseCounterRecords("", &records));
}

}  // namespace
}  // namespace analysis::orbx::hosttool
