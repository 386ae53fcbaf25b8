// report.html as a browser shows it: headless chromium renders the page and
// dumps its document; every chart must be drawn, every table must have rows,
// and the page must load nothing from elsewhere. Skips only when chromium
// cannot start.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include "testing/build_paths.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "testing/process.h"
#include "testing/test_temp_dir.h"
#include "tools/oru_host/report.h"
#include "tools/oru_host/report_output.h"

namespace analysis::orbx::hosttool {
namespace {

namespace fs = std::filesystem;
using oru_testing::CountIn;

std::string Chromium() {
    for (const char* path : {"/usr/bin/chromium", "/usr/bin/chromium-browser"}) {
        if (fs::exists(path)) {
            return path;
        }
    }
    return "";
}

// Runs command, giving its standard output and exit status.
int RunCommand(const std::string& command, std::string* out) {
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return -1;
    }
    char buf[65536];
    size_t n = 0;
    while ((n = fread(buf, 1, sizeof(buf), pipe)) > 0) {
        out->append(buf, n);
    }
    int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The texts between open and close, in order.
std::vector<std::string> Blocks(const std::string& text, const std::string& open,
                                const std::string& close) {
    std::vector<std::string> out;
    for (size_t p = text.find(open); p != std::string::npos; p = text.find(open, p + 1)) {
        size_t e = text.find(close, p);
        out.push_back(text.substr(p, e == std::string::npos ? std::string::npos : e - p));
    }
    return out;
}

TEST(ReportBrowserTest, ChromiumDrawsEveryChartAndTableAndLoadsNothing) {
    common::TestTempDir tmp;
    fs::path dir = tmp.Path() / "run";
    fs::copy(fs::path(oru_testing::SourceDir()) / "tools/oru_host/testdata/recorded", dir,
             fs::copy_options::recursive);
    std::ofstream(dir / "data/llc.data")
        << "2026-12-07 00:00:01.000000 read: hits=90 misses=10 hit_rate=90.00%\n"
           "2026-12-07 00:00:01.500000 read: hits=80 misses=20 hit_rate=80.00%\n";
    std::ofstream(dir / "data/ai_ctrl_cpu.data")
        << "100.000000 cpu0 r11 1000\n100.000000 cpu1 r8 3000\n100.010000 cpu0 r11 2000\n"
           "100.010000 cpu1 r8 10\n";
    Report r;
    std::string error;
    ASSERT_TRUE(BuildReport(dir.string(), 4096, &r, &error)) << error;
    ASSERT_TRUE(WriteReportFiles(r, &error)) << error;

    std::string chromium = Chromium();
    if (chromium.empty()) {
        GTEST_SKIP() << "chromium is not installed (scripts/setup installs it)";
    }
    // No request may leave this machine: every host name fails to resolve
    // and every connection goes to a closed local port.
    fs::path netlog = tmp.Path() / "netlog.json";
    std::string command =
        "timeout 120 " + chromium +
        " --headless --no-sandbox --disable-gpu --no-first-run --disable-extensions"
        " --disable-background-networking --disable-component-update --disable-sync"
        " --disable-default-apps --proxy-server=127.0.0.1:9"
        " '--host-resolver-rules=MAP * ~NOTFOUND' --user-data-dir=" +
        (tmp.Path() / "profile").string() + " --log-net-log=" + netlog.string() +
        " --dump-dom file://" + fs::absolute(dir / "report.html").string() + " 2>" +
        (tmp.Path() / "chromium.err").string();
    std::string dom;
    int rc = RunCommand(command, &dom);
    if (rc != 0 || dom.find("<html") == std::string::npos) {
        GTEST_SKIP() << "chromium cannot start (exit " << rc << "): " << tmp.Read("chromium.err");
    }

    // Every chart: system CPU, memory, one per cache event and one per
    // control-CPU event, each with a drawn line of points.
    std::vector<std::string> charts = Blocks(dom, "<svg", "</svg>");
    EXPECT_EQ(charts.size(), 2u + 1u + 2u) << dom;
    for (const std::string& chart : charts) {
        std::vector<std::string> lines = Blocks(chart, "<polyline", ">");
        ASSERT_FALSE(lines.empty()) << chart.substr(0, 300);
        for (const std::string& line : lines) {
            size_t at = line.find("points=\"");
            ASSERT_NE(at, std::string::npos) << line;
            std::string points = line.substr(at + 8, line.find('"', at + 8) - at - 8);
            EXPECT_GE(CountIn(points, ","), 2) << line;
        }
        EXPECT_EQ(chart.find("no samples"), std::string::npos);
    }
    // Every table has rows under its header.
    std::vector<std::string> tables = Blocks(dom, "<table", "</table>");
    EXPECT_GE(tables.size(), 5u);
    for (const std::string& table : tables) {
        EXPECT_GE(CountIn(table, "<tr"), 2) << table.substr(0, 300);
    }
    EXPECT_NE(dom.find("process_api"), std::string::npos);

    // Nothing to load: no element that fetches, and no request from the page.
    for (const char* ref : {"<script", "<link", "<img", "<iframe", "src=", "href=", "url("}) {
        EXPECT_EQ(dom.find(ref), std::string::npos) << ref;
    }
    std::ifstream in(netlog);
    nlohmann::json log = nlohmann::json::parse(in, nullptr, false);
    ASSERT_FALSE(log.is_discarded()) << "chromium's network log does not parse";
    size_t outside = 0;
    for (const auto& e : log["events"]) {
        if (!e.contains("params") || !e["params"].is_object()) {
            continue;
        }
        const auto& p = e["params"];
        if (p.contains("url") && p.contains("network_isolation_key") &&
            p["network_isolation_key"].is_string() &&
            p["network_isolation_key"].get<std::string>().rfind("file://", 0) == 0) {
            bool local = p["url"].is_string() && p["url"].get<std::string>().rfind("file:", 0) == 0;
            outside += local ? 0 : 1;
            EXPECT_TRUE(local) << p.dump();
        }
    }
    EXPECT_EQ(outside, 0u);
}

}  // namespace
}  // namespace analysis::orbx::hosttool
