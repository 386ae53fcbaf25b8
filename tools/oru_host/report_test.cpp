#include "tools/oru_host/report.h"
#include "testing/build_paths.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <tuple>

#include "testing/process.h"
#include "testing/test_temp_dir.h"
#include "tools/oru_host/report_output.h"
#include "tools/oru_host/trace_export.h"

namespace analysis::orbx::hosttool {
namespace {

namespace fs = std::filesystem;

std::string Frame(uint64_t ts, uint32_t index, const std::string& data) {
    return "TimeStamp:" + std::to_string(ts) + "\nIndex:" + std::to_string(index) +
           "\nDataLen:" + std::to_string(data.size()) + "\n" + data + "\n";
}

std::string StatLine(uint32_t pid, const std::string& comm, uint64_t utime, uint64_t stime,
                     uint64_t startTicks = 5) {
    return std::to_string(pid) + " (" + comm + ") S 1 1 1 0 -1 0 0 0 0 0 " + std::to_string(utime) +
           " " + std::to_string(stime) + " 0 0 20 0 1 0 " + std::to_string(startTicks) + " 1000 10";
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

    // Builds the report of the folder into r.
    ::testing::AssertionResult Build(Report* r, uint64_t pageSize = 4096) {
        std::string error;
        if (BuildReport(dir_.string(), pageSize, r, &error)) {
            return ::testing::AssertionSuccess();
        }
        return ::testing::AssertionFailure() << error;
    }

    common::TestTempDir tmp_;
    fs::path dir_ = tmp_.Path();
};

TEST_F(ReportTest, CpuUtilisationPerIntervalAndMemoryOverTime) {
    SystemFiles();
    Report r;
    ASSERT_TRUE(Build(&r));
    EXPECT_EQ(r.cpuSamples, 3u);
    EXPECT_EQ(r.cpuCount, 2u);
    EXPECT_EQ(r.totalRecords, 5u);
    EXPECT_EQ(r.badRecords, 0u);
    // Every interval and memory sample, exactly.
    EXPECT_EQ(SystemCsv(r),
              "time_s,cpu_interval_start_s,cpu_busy_percent,cpu_user_percent,cpu_system_percent,"
              "cpu_iowait_percent,mem_total_kib,mem_used_kib,mem_available_kib,mem_free_kib\n"
              "0.500,,,,,,1000000,750000,250000,100000\n"
              "1.000,0.000,50.00,25.00,25.00,0.00,,,,\n"
              "1.500,,,,,,1000000,800000,200000,50000\n"
              "2.000,1.000,0.00,0.00,0.00,0.00,,,,\n");
}

// Used memory of hundreds of MiB on a card of tens of GiB: drawn on its own
// scale, not flattened against the total.
TEST(MemoryScaleTest, UsedMemoryHasAScaleOfItsOwn) {
    struct Case {
        uint64_t usedLoKib, usedHiKib;
        const char* unit;
        double yMax;
    } cases[] = {
        {300 * 1024, 400 * 1024, "MiB", 440},
        {6ULL << 20, 8ULL << 20, "GiB", 8.8},
        {100, 200, "KiB", 220},
        {0, 0, "KiB", 1},
    };
    for (const Case& c : cases) {
        std::vector<MemPoint> memory = {{0, 32ULL << 20, c.usedLoKib, 0, 0},
                                        {1, 32ULL << 20, c.usedHiKib, 0, 0}};
        MemoryScale scale = ChooseMemoryScale(memory);
        EXPECT_EQ(scale.unit, c.unit) << c.usedHiKib;
        EXPECT_NEAR(scale.yMax, c.yMax, 1e-9) << c.usedHiKib;
    }
    Report r;
    r.memory = {{0, 32ULL << 20, 300 * 1024, 0, 0}, {1, 32ULL << 20, 400 * 1024, 0, 0}};
    std::string html = ReportHtml(r);
    EXPECT_NE(html.find(">total 32.00 GiB</text>"), std::string::npos);
    EXPECT_NE(html.find(">MiB</text>"), std::string::npos);
}

TEST_F(ReportTest, CountersGoingBackwardsAreReportedNotCharted) {
    tmp_.Write("data/SystemCpuUsage.data",
               Frame(kBase, 0, "cpu  100 0 100 800\n") +
                   Frame(kBase + kSecond, 1, "cpu  90 0 100 800\n") +
                   Frame(kBase + 2 * kSecond, 2, "cpu  90 0 100 800\n") +
                   Frame(kBase + 3 * kSecond, 3, "cpu  190 0 100 800\n"));
    Report r;
    ASSERT_TRUE(Build(&r));
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
    ASSERT_TRUE(Build(&r));
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
    ASSERT_TRUE(Build(&r, 65536));
    EXPECT_EQ(TopByMemory(r, 1).front().rssPeakKib, 1200u * 64);
}

// A page of several devices: a summary row per device with its busiest
// process and busiest CPU over the job, and a section per device.
TEST_F(ReportTest, TheDevicesSummaryNamesEachDevicesBusiestProcessAndCpu) {
    ProcessFiles(3);
    tmp_.Write(
        "data/SystemCpuUsage.data",
        Frame(kBase, 0, "cpu  100 0 100 800\ncpu0 50 0 50 400\ncpu1 50 0 50 400\n") +
            Frame(kBase + kSecond, 1, "cpu  135 0 135 930\ncpu0 55 0 55 490\ncpu1 80 0 80 440\n"));
    std::vector<DeviceReport> devices(2);
    devices[0].device = 4;
    ASSERT_TRUE(Build(&devices[0].report));
    devices[1].device = 5;
    devices[1].error = "no data";
    std::string html = DevicesHtml(devices);
    EXPECT_NE(html.find("<tr><td class=\"l\">device 4</td><td class=\"l\">-</td><td>3</td>"
                        "<td class=\"l\">proc3 (pid 3, 3.00 %)</td>"
                        "<td class=\"l\">cpu1 (60.0 % busy)</td>"),
              std::string::npos)
        << html;
    EXPECT_NE(html.find("<tr><td class=\"l\">device 5</td><td class=\"l\">no data</td>"),
              std::string::npos);
    EXPECT_LT(html.find("<h2>Summary</h2>"), html.find("<section id=\"dev4\">"));
    EXPECT_LT(html.find("<section id=\"dev4\">"), html.find("<section id=\"dev5\">"));
}

// The device keeps a pid's samplers when the pid is reused within the job, so
// one file holds two processes: each is reported by itself.
TEST_F(ReportTest, APidReusedWithinTheJobIsTwoProcesses) {
    auto cpu = [](uint64_t ts, uint32_t index, const std::string& name, uint64_t ticks,
                  uint64_t start, uint64_t system) {
        return Frame(ts, index,
                     StatLine(9, name, ticks, 0, start) + "\nProcessName:" + name + "\ncpu  " +
                         std::to_string(system) + " 0 0 0\n");
    };
    auto mem = [](uint64_t ts, uint32_t index, const std::string& name, uint64_t pages) {
        return Frame(ts, index,
                     "1000 " + std::to_string(pages) + " 5 1 0 9 0\nProcessName:" + name + "\n");
    };
    // "old" uses 50 of 100 ticks, then "new" (started later, with fewer
    // ticks of its own) 10 of 200.
    tmp_.Write("data/9-CpuUsage.data", cpu(kBase, 0, "old", 100, 40, 1000) +
                                           cpu(kBase + kSecond, 1, "old", 150, 40, 1100) +
                                           cpu(kBase + 2 * kSecond, 2, "new", 3, 700, 1200) +
                                           cpu(kBase + 3 * kSecond, 3, "new", 13, 700, 1400));
    tmp_.Write("data/9-Memory.data", mem(kBase - 1000, 0, "old", 300) +
                                         mem(kBase + kSecond - 1000, 1, "old", 200) +
                                         mem(kBase + 2 * kSecond - 1000, 2, "new", 20) +
                                         mem(kBase + 3 * kSecond - 1000, 3, "new", 10));
    Report r;
    ASSERT_TRUE(Build(&r));
    EXPECT_EQ(r.badRecords, 0u);
    ASSERT_EQ(r.processes.size(), 2u);
    EXPECT_EQ(DisplayName(r.processes[1]), "new (started at tick 700)");
    // Samples, share, ticks, peak and last resident memory and start, per process.
    std::string csv = ProcessesCsv(r);
    EXPECT_NE(csv.find("\n9,old,2,50.000,50,1.000,2,1200,800,4000,40\n"), std::string::npos) << csv;
    EXPECT_NE(csv.find("\n9,new,2,5.000,10,1.000,2,80,40,4000,700\n"), std::string::npos) << csv;
    std::vector<DeviceReport> devices(1);
    devices[0].report = r;
    std::string trace = TraceJson(devices);
    for (const char* track :
         {"\"rss KiB old (started at tick 40) [9]\"", "\"rss KiB new (started at tick 700) [9]\"",
          "\"cpu % new (started at tick 700) [9]\",\"pid\":0,\"tid\":0,\"ts\":53000000,"
          "\"args\":{\"share\":5.000}"}) {
        EXPECT_NE(trace.find(track), std::string::npos) << track;
    }
}

TEST_F(ReportTest, UnparsableRecordsAreCountedAndNamed) {
    SystemFiles();
    ProcessFiles(2);
    // One truncated record, one record whose text lacks the process name.
    std::ofstream(dir_ / "data/1-Memory.data", std::ios::app) << "TimeStamp:9\nIndex:2\nDataL";
    tmp_.Write("data/7-CpuUsage.data", Frame(kBase, 0, StatLine(7, "x", 1, 1) + "\ncpu 1 2 3 4\n"));
    Report r;
    ASSERT_TRUE(Build(&r));
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
    fs::copy(fs::path(oru_testing::SourceDir()) / "tools/oru_host/testdata/recorded", dir_,
             fs::copy_options::recursive);
    Report r;
    ASSERT_TRUE(Build(&r));
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

    std::string error;
    ASSERT_TRUE(WriteReportFiles(r, &error)) << error;
    std::string system = tmp_.Read("system.csv");
    EXPECT_EQ(std::count(system.begin(), system.end(), '\n'), 1 + 5 + 6);
    std::string processes = tmp_.Read("processes.csv");
    EXPECT_EQ(std::count(processes.begin(), processes.end(), '\n'), 1 + 3);
    EXPECT_NE(processes.find("\n1,process_api,6,"), std::string::npos) << processes;
    std::string html = tmp_.Read("report.html");
    EXPECT_EQ(html.rfind("<!DOCTYPE html>", 0), 0u);
    EXPECT_EQ(oru_testing::CountIn(html, "<svg"), 2);
    EXPECT_NE(html.find("process_api"), std::string::npos);
    // Readable offline: nothing is fetched from elsewhere.
    for (const char* ref : {"src=", "href=", "url(", "@import", "<script", "<link"}) {
        EXPECT_EQ(html.find(ref), std::string::npos) << ref;
    }
    // The report's own files are not taken for received data on a second run.
    Report again;
    ASSERT_TRUE(Build(&again));
    EXPECT_EQ(again.otherFiles.size(), r.otherFiles.size());
}

// The device script's text: cache statistics per event over time, control-CPU
// counts per event over time and per CPU; lines that do not parse are counted.
TEST_F(ReportTest, DeviceScriptLinesAreChartedAndBadLinesCounted) {
    tmp_.Write("data/llc.data",
               "2026-12-07 00:00:01.000000 read: hits=90 misses=10 hit_rate=90.00% write: "
               "hits=5 misses=5 hit_rate=50.00%\n"
               "garbage\n"
               "2026-12-07 00:00:01.250000 read: hits=80 misses=20 hit_rate=80.00% write: "
               "hits=6 misses=4 hit_rate=60.00%\n");
    tmp_.Write("data/ai_ctrl_cpu.data",
               "100.000000 cpu0 r11 1000\n100.000000 cpu1 r11 3000\n100.000000 cpu1 r8 500\n"
               "100.010000 cpu0 r11 2000\n100.010000 cpu1 r11 10\nnot a line\n"
               "100.010000 cpu0 r8 700\n");
    Report r;
    ASSERT_TRUE(Build(&r));
    EXPECT_EQ(r.cacheLines, 2u);
    EXPECT_EQ(r.ctrlCpuLines, 6u);
    ASSERT_EQ(r.ctrlCpu.size(), 2u);
    EXPECT_EQ(r.ctrlCpu[0].total, 6010u);
    ASSERT_GE(r.ctrlCpuBusiest.size(), 2u);
    EXPECT_EQ(r.ctrlCpuBusiest[0].cpu, 1u);
    EXPECT_EQ(r.ctrlCpuBusiest[0].count, 3010u);
    EXPECT_EQ(r.ctrlCpuPerCpu[0], 3700u);
    EXPECT_EQ(r.badRecords, 2u);

    std::string html = ReportHtml(r);
    EXPECT_NE(html.find("Cache statistics of read"), std::string::npos);
    EXPECT_NE(html.find("Cache statistics of write"), std::string::npos);
    EXPECT_NE(html.find("Control CPU event r8"), std::string::npos);
    // Large counts read on the axis with k, M and G, not as all their digits.
    EXPECT_NE(html.find(">4.0k</text>"), std::string::npos);
    EXPECT_NE(html.find("Busiest CPUs and events"), std::string::npos);
    std::string table = FormatReportTable(r);
    EXPECT_NE(table.find("data/llc.data: line 2: no \"YYYY-MM-DD"), std::string::npos) << table;
    EXPECT_NE(table.find("data/ai_ctrl_cpu.data: line 6: expected"), std::string::npos) << table;
    EXPECT_EQ(CtrlCpuCsv(r),
              "time_s,event,count\n0.000000,r11,4000\n0.010000,r11,2010\n"
              "0.000000,r8,500\n0.010000,r8,700\n");
    EXPECT_EQ(CacheCsv(r),
              "time_s,event,hits,misses,hit_rate_percent\n0.000000,read,90,10,90.00\n"
              "0.250000,read,80,20,80.00\n0.000000,write,5,5,50.00\n0.250000,write,6,4,60.00\n");
}

// The channel's binary data: bytes over time from job.json, and a record
// count when it is in the simulated driver's layout.
TEST_F(ReportTest, CacheChannelDataIsBytesOverTime) {
    std::string record(48, '\0');
    record[0] = 'C';
    record[1] = 'N';
    record[2] = 'T';
    record[3] = 'R';
    tmp_.Write("data/llc.data", record + record + record);
    tmp_.Write("job.json",
               R"({"job_id":"j","data":{"files":{"data/llc.data":{"bytes":144,"chunks":2,)"
               R"("arrivals":[[1500,96],[2500,144]]}}}})");
    Report r;
    ASSERT_TRUE(Build(&r));
    ASSERT_EQ(r.channels.size(), 1u);
    EXPECT_TRUE(r.channels[0].counterLayout);
    EXPECT_EQ(r.channels[0].records, 3u);
    EXPECT_EQ(r.channels[0].received,
              (std::vector<std::pair<double, uint64_t>>{{1.5, 96}, {2.5, 144}}));
    EXPECT_NE(FormatReportTable(r).find("data/llc.data: 144 B, 3 counter records"),
              std::string::npos);
    // Charted from nothing at the start, each total held until the next.
    std::string html = ReportHtml(r);
    size_t chart = html.find("Bytes received over time from data/llc.data");
    ASSERT_NE(chart, std::string::npos);
    size_t at = html.find("<polyline", chart);
    ASSERT_NE(at, std::string::npos);
    at = html.find("points=\"", at) + 8;
    std::istringstream points(html.substr(at, html.find('"', at) - at));
    std::vector<std::pair<double, double>> xy;
    for (std::string p; points >> p;) {
        xy.push_back({std::stod(p), std::stod(p.substr(p.find(',') + 1))});
    }
    ASSERT_EQ(xy.size(), 5u) << html.substr(at, 200);
    EXPECT_EQ(xy[0].second, xy[1].second);  // nothing until 1.5 s
    EXPECT_GT(xy[0].first, 0);
    EXPECT_LT(xy[0].first, xy[1].first);
    EXPECT_EQ(xy[1].first, xy[2].first);  // then 96 B
    EXPECT_GT(xy[1].second, xy[2].second);
    EXPECT_EQ(xy[2].second, xy[3].second);  // held until 2.5 s
    EXPECT_GT(xy[3].second, xy[4].second);
    tmp_.Write("data/llc.data", "\x01\x02 not records");
    ASSERT_TRUE(Build(&r));
    ASSERT_EQ(r.channels.size(), 1u);
    EXPECT_FALSE(r.channels[0].counterLayout);
    EXPECT_NE(ReportHtml(r).find("bytes only"), std::string::npos);
}

std::vector<std::vector<std::string>> CsvRows(const std::string& text) {
    std::vector<std::vector<std::string>> rows;
    std::istringstream in(text);
    std::string line;
    std::getline(in, line);  // the header
    while (std::getline(in, line)) {
        std::vector<std::string> cells;
        std::string cell;
        std::istringstream cs(line);
        while (std::getline(cs, cell, ',')) {
            cells.push_back(cell);
        }
        if (!line.empty() && line.back() == ',') {
            cells.push_back("");
        }
        rows.push_back(cells);
    }
    return rows;
}

// The trace keeps the format's rules and carries the CSVs' values.
TEST_F(ReportTest, TraceExportFollowsTheFormatAndTheCsvs) {
    SystemFiles();
    ProcessFiles(3);
    tmp_.Write("data/llc.data",
               "2026-12-07 00:00:01.000000 read: hits=90 misses=10 hit_rate=90.00%\n"
               "2026-12-07 00:00:01.500000 read: hits=80 misses=20 hit_rate=80.00%\n");
    tmp_.Write("data/ai_ctrl_cpu.data",
               "100.000000 cpu0 r11 1000\n100.000000 cpu1 r11 3000\n100.010000 cpu0 r11 2000\n");
    std::vector<DeviceReport> devices(1);
    devices[0].device = 2;
    ASSERT_TRUE(Build(&devices[0].report));
    std::string error;
    ASSERT_TRUE(WriteReportFiles(devices[0].report, &error)) << error;
    nlohmann::json trace = nlohmann::json::parse(TraceJson(devices), nullptr, false);
    ASSERT_FALSE(trace.is_discarded());
    ASSERT_TRUE(trace["traceEvents"].is_array());

    std::map<std::string, std::vector<nlohmann::json>> tracks;
    bool named = false;
    for (const auto& e : trace["traceEvents"]) {
        ASSERT_TRUE(e.contains("ph") && e.contains("ts") && e.contains("pid")) << e.dump();
        ASSERT_TRUE(e["ts"].is_number()) << e.dump();
        EXPECT_EQ(e["pid"], 2) << e.dump();
        if (e["ph"] == "M") {
            named = named || (e["name"] == "process_name" && e["args"]["name"] == "device 2");
            continue;
        }
        ASSERT_EQ(e["ph"], "C") << e.dump();
        ASSERT_TRUE(e["args"].is_object() && !e["args"].empty()) << e.dump();
        for (const auto& [key, value] : e["args"].items()) {
            EXPECT_TRUE(value.is_number()) << e.dump();
        }
        std::vector<nlohmann::json>& track = tracks[e["name"].get<std::string>()];
        if (!track.empty()) {
            EXPECT_GE(e["ts"].get<double>(), track.back()["ts"].get<double>()) << e.dump();
        }
        track.push_back(e);
    }
    EXPECT_TRUE(named);

    // System CPU and memory as in system.csv, in time order.
    std::vector<double> busy, used;
    for (const auto& row : CsvRows(tmp_.Read("system.csv"))) {
        if (!row[2].empty()) {
            busy.push_back(std::stod(row[2]));
        }
        if (row.size() > 7 && !row[7].empty()) {
            used.push_back(std::stod(row[7]));
        }
    }
    ASSERT_EQ(tracks["system cpu %"].size(), busy.size());
    for (size_t i = 0; i < busy.size(); ++i) {
        EXPECT_DOUBLE_EQ(tracks["system cpu %"][i]["args"]["busy"].get<double>(), busy[i]);
    }
    ASSERT_EQ(tracks["memory used KiB"].size(), used.size());
    for (size_t i = 0; i < used.size(); ++i) {
        EXPECT_DOUBLE_EQ(tracks["memory used KiB"][i]["args"]["used"].get<double>(), used[i]);
    }
    // Every process: its resident memory peaks and ends as processes.csv says.
    for (const auto& row : CsvRows(tmp_.Read("processes.csv"))) {
        const auto& rss = tracks["rss KiB " + row[1] + " [" + row[0] + "]"];
        ASSERT_FALSE(rss.empty()) << row[0];
        double peak = 0;
        for (const auto& e : rss) {
            peak = std::max(peak, e["args"]["rss"].get<double>());
        }
        EXPECT_DOUBLE_EQ(peak, std::stod(row[7])) << row[0];
        EXPECT_DOUBLE_EQ(rss.back()["args"]["rss"].get<double>(), std::stod(row[8])) << row[0];
        EXPECT_FALSE(tracks["cpu % " + row[1] + " [" + row[0] + "]"].empty()) << row[0];
    }
    // The device script's data as in ctrl_cpu.csv and cache.csv.
    for (const auto& [file, track, arg] : {std::tuple{"ctrl_cpu.csv", "control cpu r11", "count"},
                                           std::tuple{"cache.csv", "cache read", "hits"}}) {
        auto rows = CsvRows(tmp_.Read(file));
        ASSERT_EQ(tracks[track].size(), rows.size()) << track;
        for (size_t i = 0; i < rows.size(); ++i) {
            EXPECT_DOUBLE_EQ(tracks[track][i]["args"][arg].get<double>(), std::stod(rows[i][2]));
        }
    }
    // Script lines are placed from the first /proc sample on.
    EXPECT_EQ(tracks["cache read"][1]["ts"].get<uint64_t>() -
                  tracks["cache read"][0]["ts"].get<uint64_t>(),
              500000u);
    EXPECT_EQ(tracks["cache read"][0]["ts"].get<uint64_t>(), kBase / 1000);
}

TEST_F(ReportTest, NamesAreEscapedInCsvAndHtml) {
    tmp_.Write("data/5-Memory.data",
               Frame(kBase, 0, "10 5 1 1 0 1 0\nProcessName:<b>\"x\",y</b>\n"));
    Report r;
    ASSERT_TRUE(Build(&r));
    EXPECT_NE(ProcessesCsv(r).find("\n5,\"<b>\"\"x\"\",y</b>\",0,,,,1,20,20,40,0\n"),
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
    tmp_.Write("data/ddr.data", "raw counters");
    ASSERT_TRUE(Build(&r));
    ASSERT_EQ(r.otherFiles.size(), 1u);
    EXPECT_EQ(r.otherFiles[0].bytes, 12u);
    EXPECT_NE(ReportHtml(r).find("no samples"), std::string::npos);
    EXPECT_NE(FormatReportTable(r).find("\nOther data  data/ddr.data (12 B)\n"), std::string::npos)
        << FormatReportTable(r);
}

}  // namespace
}  // namespace analysis::orbx::hosttool
