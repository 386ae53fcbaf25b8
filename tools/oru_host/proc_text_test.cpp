#include "tools/oru_host/proc_text.h"

#include <gtest/gtest.h>

namespace analysis::orbx::hosttool {
namespace {

constexpr const char* kStatLine =
    "42 (tmux: server (x)) S 1 42 42 0 -1 4194560 100 0 0 0 150 25 0 0 20 0 1 0 900 "
    "10000000 500 18446744073709551615 1 1 0 0 0 0 0 0 0 0 0 0 17 0 0 0 0 0 0";

TEST(ProcTextTest, CpuLinesSumBusyAndIdleTime) {
    CpuTimes c;
    std::string why;
    ASSERT_TRUE(ParseCpuLine("cpu  10 1 5 100 4 2 3 7 9 9", &c, &why)) << why;
    EXPECT_EQ(c.name, "cpu");
    EXPECT_EQ(c.Total(), 10u + 1 + 5 + 100 + 4 + 2 + 3 + 7);  // guest is inside user
    EXPECT_EQ(c.Idle(), 104u);
    ASSERT_TRUE(ParseCpuLine("cpu3 1 2 3 4", &c, &why));
    EXPECT_EQ(c.Total(), 10u);
    EXPECT_FALSE(ParseCpuLine("cpu 1 2 3", &c, &why));
    EXPECT_FALSE(ParseCpuLine("cpu 1 2 x 4", &c, &why));
    EXPECT_FALSE(ParseCpuLine("intr 1 2 3 4", &c, &why));
    EXPECT_FALSE(ParseCpuLine("cpu 1 2 3 4 5 6 7 8 9 -1", &c, &why));

    // A system record needs the sum line first.
    std::vector<CpuTimes> cpus;
    ASSERT_TRUE(ParseSystemCpu("cpu  1 2 3 4\ncpu0 1 1 1 2\ncpu1 0 1 2 2\n", &cpus, &why));
    ASSERT_EQ(cpus.size(), 3u);
    EXPECT_EQ(cpus[2].name, "cpu1");
    EXPECT_FALSE(ParseSystemCpu("cpu0 1 1 1 2\n", &cpus, &why));
    EXPECT_FALSE(ParseSystemCpu("", &cpus, &why));
    EXPECT_FALSE(ParseSystemCpu("cpu 1 2 3 4\nintr 5\n", &cpus, &why));
}

TEST(ProcTextTest, MeminfoValuesInKib) {
    std::map<std::string, uint64_t> m;
    std::string why;
    ASSERT_TRUE(
        ParseMeminfo("MemTotal:       16318480 kB\nMemAvailable: 100 kB\n"
                     "HugePages_Total:       0\n",
                     &m, &why))
        << why;
    EXPECT_EQ(m["MemTotal"], 16318480u);
    EXPECT_EQ(m["MemAvailable"], 100u);
    EXPECT_EQ(m["HugePages_Total"], 0u);
    EXPECT_FALSE(ParseMeminfo("MemFree: 1 kB\n", &m, &why));
    EXPECT_EQ(why, "no MemTotal line");
    EXPECT_FALSE(ParseMeminfo("MemTotal: lots\n", &m, &why));
    EXPECT_FALSE(ParseMeminfo("MemTotal 1 kB\n", &m, &why));
    EXPECT_FALSE(ParseMeminfo("MemTotal: 1 MB\n", &m, &why));
}

TEST(ProcTextTest, ProcessCpuRecordWithAwkwardName) {
    PidCpuSample s;
    std::string why;
    std::string record = std::string(kStatLine) + "\nProcessName:tmux: server (x)\ncpu  1 2 3 4\n";
    ASSERT_TRUE(ParsePidCpuRecord(record, &s, &why)) << why;
    EXPECT_EQ(s.pid, 42u);
    EXPECT_EQ(s.comm, "tmux: server (x)");
    EXPECT_EQ(s.name, "tmux: server (x)");
    EXPECT_EQ(s.utime, 150u);
    EXPECT_EQ(s.stime, 25u);
    EXPECT_EQ(s.system.Total(), 10u);

    // Broken process records say what is wrong.
    EXPECT_FALSE(ParsePidCpuRecord(std::string(kStatLine) + "\ncpu 1 2 3 4\n", &s, &why));
    EXPECT_EQ(why, "no \"ProcessName:\" line");
    EXPECT_FALSE(ParsePidCpuRecord(std::string(kStatLine) + "\nProcessName:x\n", &s, &why));
    EXPECT_EQ(why, "no system cpu line after \"ProcessName:\"");
    EXPECT_FALSE(ParsePidCpuRecord("42 (x) S 1 2\nProcessName:x\ncpu 1 2 3 4\n", &s, &why));
    EXPECT_EQ(why.rfind("no utime, stime and start time", 0), 0u);
    EXPECT_FALSE(ParsePidCpuRecord("x42 (x) S\nProcessName:x\ncpu 1 2 3 4\n", &s, &why));
    EXPECT_FALSE(ParsePidCpuRecord("42 x) S\nProcessName:x\ncpu 1 2 3 4\n", &s, &why));

    PidMemSample m;
    ASSERT_TRUE(ParsePidMemRecord("2000 300 40 1 0 100 0\nProcessName:oru\n", &m, &why)) << why;
    EXPECT_EQ(m.sizePages, 2000u);
    EXPECT_EQ(m.residentPages, 300u);
    EXPECT_EQ(m.name, "oru");
    EXPECT_FALSE(ParsePidMemRecord("2000 300\nProcessName:oru\n", &m, &why));
    EXPECT_FALSE(ParsePidMemRecord("2000 300 40 1 0 100 0\n", &m, &why));
    EXPECT_FALSE(ParsePidMemRecord("a\nb\nProcessName:oru\n", &m, &why));
}

}  // namespace
}  // namespace analysis::orbx::hosttool
