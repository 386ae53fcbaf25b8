#include "oru_build_paths.h"
#include "tools/oru_host/report.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "common/test_temp_dir.h"
#include "tools/oru_host/report_output.h"

namespace analysis::orbx::hosttool {
namespace {

namespace fs = std::filesystem;

std::string Frame(uint64_t ts, uint32_t index, const std::string& data) {
    return "TimeStamp:" + std::to_string(ts) + "\nIndex:" + std::to_string(index) +
           "\nDataLen:" + std::to_string(data.size()) + "\n" + data + "\n";
}

std::string StatLine(uint32_t pid, const std::string& comm, uint64_t utime, uint64_t stime) {
    return std::to_string(pid) + " (" + comm + ") S 1 1 1 0 -1 0 0 0 0 0 " + std::to_string(utime) +
           " " + std::to_string(stime) + " 0 0 20 0 1 0 5 1000 10";
}

constexpr uint64_t kSecond = 1000000000ULL;
constexpr uint64_t kBase = 50 * kSecond;  // the device's monotonic clock at the first sample

class ReportTest : public ::testing::Test {
  protected:
    // Three system samples one second apart: 50 % busy, then idle.
    void SystemFiles() {
        tmp_.Write("data/SystemCpuUsage.data",
                   Frame(kBase, 0,
                         "cpu  100 0 100 800 0 0 0 0 0 0\ncpu0 50 0 50 400\ncpu1 50 0 50 400\n") +
                       Frame(kBase + kSecond, 1, "cpu  150 0 150 900 0 0 0 0 0 0\n") +
                       Frame(kBase + 2 * kSecond, 2, "cpu  150 0 150 1100 0 0 0 0 0 0\n"));
        tmp_.Write("data/Memory.data", Frame(kBase + 500000000, 0,
                                             "MemTotal: 1000000 kB\nMemFree: 100000 kB\n"
                                             "MemAvailable: 250000 kB\n") +
                                           Frame(kBase + 1500000000, 1,
                                                 "MemTotal: 1000000 kB\nMemFree: 50000 kB\n"
                                                 "MemAvailable: 200000 kB\n"));
    }

    // Process p (1..n) uses 2p ticks out of 200 between its two samples (p %)
    // and holds 100p resident pages.
    void ProcessFiles(uint32_t n) {
        for (uint32_t p = 1; p <= n; ++p) {
            std::string name = "proc" + std::to_string(p);
            std::string data = "data/" + std::to_string(p) + "-";
            tmp_.Write((data + "CpuUsage.data"),
                       Frame(kBase, 0,
                             StatLine(p, name, 10, 10) + "\nProcessName:" + name +
                                 "\ncpu  100 0 100 800 0 0 0 0\n") +
                           Frame(kBase + kSecond, 1,
                                 StatLine(p, name, 10 + p, 10 + p) + "\nProcessName:" + name +
                                     "\ncpu  150 0 150 900 0 0 0 0\n"));
            tmp_.Write(
                (data + "Memory.data"),
                Frame(
                    kBase, 0,
                    "1000 " + std::to_string(100 * p) + " 5 1 0 9 0\nProcessName:" + name + "\n") +
                    Frame(kBase + kSecond, 1, "1000 50 5 1 0 9 0\nProcessName:" + name + "\n"));
        }
    }

    common::TestTempDir tmp_;
    fs::path dir_ = tmp_.Path();
};

TEST_F(ReportTest, CpuUtilisationPerIntervalAndMemoryOverTime) {
    SystemFiles();
    Report r;
    std::string error;
    ASSERT_TRUE(BuildReport(dir_.string(), 4096, &r, &error)) << error;
    EXPECT_EQ(r.cpuSamples, 3u);
    EXPECT_EQ(r.cpuCount, 2u);
    ASSERT_EQ(r.cpu.size(), 2u);
    EXPECT_DOUBLE_EQ(r.cpu[0].startS, 0.0);
    EXPECT_DOUBLE_EQ(r.cpu[0].endS, 1.0);
    EXPECT_DOUBLE_EQ(r.cpu[0].busyPct, 50.0);
    EXPECT_DOUBLE_EQ(r.cpu[0].userPct, 25.0);
    EXPECT_DOUBLE_EQ(r.cpu[0].systemPct, 25.0);
    EXPECT_DOUBLE_EQ(r.cpu[1].busyPct, 0.0);
    ASSERT_EQ(r.memory.size(), 2u);
    EXPECT_DOUBLE_EQ(r.memory[0].timeS, 0.5);
    EXPECT_EQ(r.memory[0].usedKib, 750000u);
    EXPECT_EQ(r.memory[1].usedKib, 800000u);
    EXPECT_EQ(r.memory[1].freeKib, 50000u);
    EXPECT_EQ(r.totalRecords, 5u);
    EXPECT_EQ(r.badRecords, 0u);

    std::string csv = SystemCsv(r);
    EXPECT_EQ(csv,
              "time_s,cpu_interval_start_s,cpu_busy_percent,cpu_user_percent,cpu_system_percent,"
              "cpu_iowait_percent,mem_total_kib,mem_used_kib,mem_available_kib,mem_free_kib\n"
              "0.500,,,,,,1000000,750000,250000,100000\n"
              "1.000,0.000,50.00,25.00,25.00,0.00,,,,\n"
              "1.500,,,,,,1000000,800000,200000,50000\n"
              "2.000,1.000,0.00,0.00,0.00,0.00,,,,\n");
}

TEST_F(ReportTest, CountersGoingBackwardsAreReportedNotCharted) {
    tmp_.Write("data/SystemCpuUsage.data",
               Frame(kBase, 0, "cpu  100 0 100 800\n") +
                   Frame(kBase + kSecond, 1, "cpu  90 0 100 800\n") +
                   Frame(kBase + 2 * kSecond, 2, "cpu  90 0 100 800\n") +
                   Frame(kBase + 3 * kSecond, 3, "cpu  190 0 100 800\n"));
    Report r;
    std::string error;
    ASSERT_TRUE(BuildReport(dir_.string(), 4096, &r, &error)) << error;
    // 0→1 went backwards, 1→2 had no tick, 2→3 was all busy.
    ASSERT_EQ(r.cpu.size(), 1u);
    EXPECT_DOUBLE_EQ(r.cpu[0].busyPct, 100.0);
    EXPECT_EQ(r.badRecords, 1u);
    ASSERT_EQ(r.dataFiles.size(), 1u);
    EXPECT_EQ(r.dataFiles[0].problems,
              std::vector<std::string>{"record index 1: cpu counters went backwards"});
}

TEST_F(ReportTest, TopTenProcessesByCpuShareAndResidentMemory) {
    ProcessFiles(12);
    Report r;
    std::string error;
    ASSERT_TRUE(BuildReport(dir_.string(), 4096, &r, &error)) << error;
    ASSERT_EQ(r.processes.size(), 12u);
    std::vector<ProcessSummary> cpu = TopByCpu(r, kTopProcesses);
    ASSERT_EQ(cpu.size(), 10u);
    for (size_t i = 0; i < cpu.size(); ++i) {
        uint32_t pid = static_cast<uint32_t>(12 - i);
        EXPECT_EQ(cpu[i].pid, pid);
        EXPECT_EQ(cpu[i].name, "proc" + std::to_string(pid));
        EXPECT_DOUBLE_EQ(cpu[i].cpuSharePct, static_cast<double>(pid));
        EXPECT_EQ(cpu[i].cpuTicks, 2u * pid);
    }
    std::vector<ProcessSummary> mem = TopByMemory(r, kTopProcesses);
    ASSERT_EQ(mem.size(), 10u);
    EXPECT_EQ(mem.front().pid, 12u);
    EXPECT_EQ(mem.front().rssPeakKib, 1200u * 4);
    EXPECT_EQ(mem.front().rssLastKib, 50u * 4);
    EXPECT_EQ(mem.back().pid, 3u);

    // A page size of 64 KiB scales resident memory accordingly.
    ASSERT_TRUE(BuildReport(dir_.string(), 65536, &r, &error));
    EXPECT_EQ(TopByMemory(r, 1).front().rssPeakKib, 1200u * 64);
}

TEST_F(ReportTest, UnparsableRecordsAreCountedAndNamed) {
    SystemFiles();
    ProcessFiles(2);
    // One truncated record, one record whose text lacks the process name.
    std::ofstream(dir_ / "data/1-Memory.data", std::ios::app) << "TimeStamp:9\nIndex:2\nDataL";
    tmp_.Write("data/7-CpuUsage.data", Frame(kBase, 0, StatLine(7, "x", 1, 1) + "\ncpu 1 2 3 4\n"));
    Report r;
    std::string error;
    ASSERT_TRUE(BuildReport(dir_.string(), 4096, &r, &error)) << error;
    EXPECT_EQ(r.badRecords, 2u);
    std::string table = FormatReportTable(r);
    EXPECT_NE(table.find("2 not parsed"), std::string::npos) << table;
    EXPECT_NE(table.find("data/1-Memory.data: byte "), std::string::npos) << table;
    EXPECT_NE(table.find("data/7-CpuUsage.data: record index 0: no \"ProcessName:\" line"),
              std::string::npos)
        << table;
    std::string html = ReportHtml(r);
    EXPECT_NE(html.find("2 record(s) did not parse"), std::string::npos);
    EXPECT_NE(html.find("no &quot;ProcessName:&quot; line"), std::string::npos);
}

TEST_F(ReportTest, RecordedFolderGivesPlausibleFiguresAndAllOutputs) {
    fs::copy(fs::path(ORU_SOURCE_DIR) / "tools/oru_host/testdata/recorded", dir_,
             fs::copy_options::recursive);
    Report r;
    std::string error;
    ASSERT_TRUE(BuildReport(dir_.string(), 4096, &r, &error)) << error;
    EXPECT_EQ(r.jobId, "recorded-1");
    EXPECT_EQ(r.device, "0");
    EXPECT_EQ(r.cpuSamples, 6u);
    ASSERT_EQ(r.cpu.size(), 5u);
    ASSERT_EQ(r.memory.size(), 6u);
    ASSERT_EQ(r.processes.size(), 3u);
    EXPECT_EQ(r.processes[0].pid, 1u);
    EXPECT_EQ(r.processes[0].name, "process_api");
    // The busy child spun through the whole recording.
    std::vector<ProcessSummary> cpu = TopByCpu(r, kTopProcesses);
    ASSERT_EQ(cpu.size(), 3u);
    EXPECT_EQ(cpu.front().pid, 4769u);
    EXPECT_GT(cpu.front().cpuSharePct, 10.0);
    EXPECT_LE(cpu.front().cpuSharePct, 100.0);
    EXPECT_EQ(r.badRecords, 1u);  // the cut last record of 4709-Memory.data

    ASSERT_TRUE(WriteReportFiles(r, &error)) << error;
    std::string system = tmp_.Read("system.csv");
    EXPECT_EQ(std::count(system.begin(), system.end(), '\n'), 1 + 5 + 6);
    std::string processes = tmp_.Read("processes.csv");
    EXPECT_EQ(std::count(processes.begin(), processes.end(), '\n'), 1 + 3);
    EXPECT_NE(processes.find("\n1,process_api,6,"), std::string::npos) << processes;
    std::string html = tmp_.Read("report.html");
    EXPECT_EQ(html.rfind("<!DOCTYPE html>", 0), 0u);
    size_t svgs = 0;
    for (size_t p = html.find("<svg"); p != std::string::npos; p = html.find("<svg", p + 1)) {
        ++svgs;
    }
    EXPECT_EQ(svgs, 2u);
    EXPECT_NE(html.find("process_api"), std::string::npos);
    // Readable offline: nothing is fetched from elsewhere.
    for (const char* ref : {"src=", "href=", "url(", "@import", "<script", "<link"}) {
        EXPECT_EQ(html.find(ref), std::string::npos) << ref;
    }
    // The report's own files are not taken for received data on a second run.
    Report again;
    ASSERT_TRUE(BuildReport(dir_.string(), 4096, &again, &error));
    EXPECT_EQ(again.otherFiles.size(), r.otherFiles.size());
}

TEST_F(ReportTest, NamesAreEscapedInCsvAndHtml) {
    tmp_.Write("data/5-Memory.data",
               Frame(kBase, 0, "10 5 1 1 0 1 0\nProcessName:<b>\"x\",y</b>\n"));
    Report r;
    std::string error;
    ASSERT_TRUE(BuildReport(dir_.string(), 4096, &r, &error)) << error;
    EXPECT_NE(ProcessesCsv(r).find("\n5,\"<b>\"\"x\"\",y</b>\",0,,,,1,20,20,40\n"),
              std::string::npos)
        << ProcessesCsv(r);
    std::string html = ReportHtml(r);
    EXPECT_EQ(html.find("<b>\"x\""), std::string::npos);
    EXPECT_NE(html.find("&lt;b&gt;&quot;x&quot;,y&lt;/b&gt;"), std::string::npos);
}

TEST_F(ReportTest, FoldersWithoutDataAreRefused) {
    Report r;
    std::string error;
    EXPECT_FALSE(BuildReport(dir_.string(), 4096, &r, &error));
    EXPECT_NE(error.find("no data files"), std::string::npos);
    EXPECT_FALSE(BuildReport((dir_ / "missing").string(), 4096, &r, &error));
    tmp_.Write("data/llc.data", "raw counters");
    ASSERT_TRUE(BuildReport(dir_.string(), 4096, &r, &error)) << error;
    ASSERT_EQ(r.otherFiles.size(), 1u);
    EXPECT_EQ(r.otherFiles[0].bytes, 12u);
    EXPECT_NE(ReportHtml(r).find("no samples"), std::string::npos);
    EXPECT_NE(FormatReportTable(r).find("\nOther data  data/llc.data (12 B)\n"), std::string::npos)
        << FormatReportTable(r);
}

}  // namespace
}  // namespace analysis::orbx::hosttool
