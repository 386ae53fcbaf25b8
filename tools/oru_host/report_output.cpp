#include "tools/oru_host/report_output.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

#include "tools/oru_host/progress.h"

namespace analysis::orbx::hosttool {

std::string Fixed(double v, int decimals) {
    char buf[64];
    std::snprintf(buf, sizeof(buf), "%.*f", decimals, v);
    return buf;
}

namespace {

std::string Kib(uint64_t kib) {
    return FormatBytes(kib * 1024);
}

std::string Pad(const std::string& text, size_t width, bool right) {
    if (text.size() >= width) {
        return text;
    }
    std::string fill(width - text.size(), ' ');
    return right ? fill + text : text + fill;
}

struct CpuStats {
    double mean = 0, min = 0, max = 0;
};

CpuStats Summarise(const std::vector<CpuInterval>& cpu) {
    CpuStats s;
    if (cpu.empty()) {
        return s;
    }
    s.min = 100;
    double weighted = 0;
    double span = 0;
    for (const CpuInterval& iv : cpu) {
        s.min = std::min(s.min, iv.busyPct);
        s.max = std::max(s.max, iv.busyPct);
        double d = std::max(iv.endS - iv.startS, 0.0);
        weighted += iv.busyPct * d;
        span += d;
    }
    if (span > 0) {
        s.mean = weighted / span;
    } else {
        for (const CpuInterval& iv : cpu) {
            s.mean += iv.busyPct / static_cast<double>(cpu.size());
        }
    }
    return s;
}

std::string JobLine(const Report& r) {
    std::string line = "Report of ";
    line += r.jobId.empty() ? "an unnamed job" : "job " + r.jobId;
    if (!r.device.empty()) {
        line += " on device " + r.device;
    }
    return line + " (" + r.dir + ")";
}

// ---- SVG line charts --------------------------------------------------------

struct Series {
    std::string name;
    std::string color;
    std::vector<std::pair<double, double>> points;  // (seconds, value)
    bool fill = false;
    bool dashed = false;
};

double NiceStep(double range, int ticks) {
    if (range <= 0) {
        return 1;
    }
    double raw = range / ticks;
    double mag = std::pow(10.0, std::floor(std::log10(raw)));
    for (double m : {1.0, 2.0, 2.5, 5.0, 10.0}) {
        if (raw <= m * mag) {
            return m * mag;
        }
    }
    return 10 * mag;
}

// Large counts for an axis: 2500000 → "2.5M".
std::string Si(double v) {
    const char* const units[] = {"", "k", "M", "G", "T", "P"};
    size_t u = 0;
    while (std::fabs(v) >= 1000 && u + 1 < sizeof(units) / sizeof(units[0])) {
        v /= 1000;
        ++u;
    }
    std::string text = Fixed(v, std::fabs(v) < 10 && u > 0 ? 1 : 0);
    return text + units[u];
}

constexpr int kSiLabels = -1;  // yDecimals: label the axis with Si()

// note: a label at the top right of the chart (empty: none).
std::string SvgChart(const std::string& title, const std::vector<Series>& series, double yMax,
                     const std::string& yUnit, int yDecimals, const std::string& note = "",
                     const std::string& xLabel = "seconds since the first sample") {
    const double W = 900, H = 300, L = 70, R = 20, T = 34, B = 42;
    const double pw = W - L - R, ph = H - T - B;
    double xMax = 0;
    bool any = false;
    for (const Series& s : series) {
        for (const auto& p : s.points) {
            xMax = std::max(xMax, p.first);
            any = true;
        }
    }
    xMax = std::max(xMax, 1.0);
    if (yMax <= 0) {
        yMax = 1;
    }
    auto X = [&](double x) { return L + pw * x / xMax; };
    auto Y = [&](double y) { return T + ph * (1 - std::clamp(y / yMax, 0.0, 1.0)); };
    std::ostringstream o;
    o << "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 " << W << " " << H
      << "\" width=\"100%\" role=\"img\" aria-label=\"" << HtmlEscape(title) << "\">\n";
    o << "<rect x=\"" << L << "\" y=\"" << T << "\" width=\"" << pw << "\" height=\"" << ph
      << "\" fill=\"#fbfbfb\" stroke=\"#ccc\"/>\n";
    double yStep = NiceStep(yMax, 5);
    for (double y = 0; y <= yMax + yStep / 1e6; y += yStep) {
        o << "<line x1=\"" << L << "\" x2=\"" << L + pw << "\" y1=\"" << Y(y) << "\" y2=\"" << Y(y)
          << "\" stroke=\"#e4e4e4\"/>";
        o << "<text x=\"" << L - 6 << "\" y=\"" << Y(y) + 4 << "\" text-anchor=\"end\">"
          << (yDecimals == kSiLabels ? Si(y) : Fixed(y, yDecimals)) << "</text>\n";
    }
    double xStep = NiceStep(xMax, 8);
    for (double x = 0; x <= xMax + xStep / 1e6; x += xStep) {
        o << "<line x1=\"" << X(x) << "\" x2=\"" << X(x) << "\" y1=\"" << T + ph << "\" y2=\""
          << T + ph + 4 << "\" stroke=\"#999\"/>";
        o << "<text x=\"" << X(x) << "\" y=\"" << T + ph + 17 << "\" text-anchor=\"middle\">"
          << Fixed(x, xStep < 1 ? 1 : 0) << "</text>\n";
    }
    o << "<text x=\"" << L + pw / 2 << "\" y=\"" << H - 6 << "\" text-anchor=\"middle\">"
      << HtmlEscape(xLabel) << "</text>\n";
    o << "<text x=\"14\" y=\"" << T + ph / 2
      << "\" text-anchor=\"middle\" transform=\"rotate(-90 14 " << T + ph / 2 << ")\">"
      << HtmlEscape(yUnit) << "</text>\n";
    if (!any) {
        o << "<text x=\"" << L + pw / 2 << "\" y=\"" << T + ph / 2
          << "\" text-anchor=\"middle\">no samples</text>\n";
    }
    if (!note.empty()) {
        o << "<text x=\"" << L + pw << "\" y=\"19\" text-anchor=\"end\">" << HtmlEscape(note)
          << "</text>\n";
    }
    double legendX = L + 8;
    for (const Series& s : series) {
        if (s.points.empty()) {
            continue;
        }
        std::ostringstream pts;
        for (const auto& p : s.points) {
            pts << Fixed(X(p.first), 1) << "," << Fixed(Y(p.second), 1) << " ";
        }
        if (s.fill && s.points.size() > 1) {
            o << "<polygon fill=\"" << s.color << "\" fill-opacity=\"0.18\" points=\""
              << Fixed(X(s.points.front().first), 1) << "," << Fixed(Y(0), 1) << " " << pts.str()
              << Fixed(X(s.points.back().first), 1) << "," << Fixed(Y(0), 1) << "\"/>\n";
        }
        o << "<polyline fill=\"none\" stroke=\"" << s.color << "\" stroke-width=\"1.8\""
          << (s.dashed ? " stroke-dasharray=\"6 4\"" : "") << " points=\"" << pts.str() << "\"/>\n";
        if (s.points.size() == 1) {
            o << "<circle cx=\"" << X(s.points[0].first) << "\" cy=\"" << Y(s.points[0].second)
              << "\" r=\"3\" fill=\"" << s.color << "\"/>\n";
        }
        o << "<rect x=\"" << legendX << "\" y=\"10\" width=\"14\" height=\"10\" fill=\"" << s.color
          << "\"/><text x=\"" << legendX + 19 << "\" y=\"19\">" << HtmlEscape(s.name)
          << "</text>\n";
        legendX += 30 + 7.0 * static_cast<double>(s.name.size());
    }
    o << "</svg>\n";
    return o.str();
}

// At most maxPoints points for a chart: consecutive points averaged.
std::vector<std::pair<double, double>> Thin(const std::vector<std::pair<double, double>>& points,
                                            size_t maxPoints = 1200) {
    if (points.size() <= maxPoints) {
        return points;
    }
    size_t group = (points.size() + maxPoints - 1) / maxPoints;
    std::vector<std::pair<double, double>> out;
    for (size_t i = 0; i < points.size(); i += group) {
        size_t end = std::min(points.size(), i + group);
        double t = 0;
        double v = 0;
        for (size_t k = i; k < end; ++k) {
            t += points[k].first;
            v += points[k].second;
        }
        out.push_back({t / static_cast<double>(end - i), v / static_cast<double>(end - i)});
    }
    return out;
}

double MaxOf(const std::vector<Series>& series) {
    double m = 0;
    for (const Series& s : series) {
        for (const auto& p : s.points) {
            m = std::max(m, p.second);
        }
    }
    return m;
}

const char* const kPalette[] = {"#2f6fb3", "#d08a2b", "#3a9a5b", "#8a3ab9", "#b33a3a", "#3ab3a8"};

std::string DeviceScriptSections(const Report& r) {
    std::ostringstream o;
    if (!r.cache.empty()) {
        o << "<h2>Last-level cache statistics</h2>\n<p class=\"meta\">From the device script's "
             "cache statistics ("
          << r.cacheLines << " samples); seconds since the first sample.</p>\n";
        for (const CacheEventSeries& s : r.cache) {
            Series hits{"hits", kPalette[0], {}, false, false};
            Series misses{"misses", kPalette[1], {}, false, false};
            double rate = 0;
            for (const CachePoint& p : s.points) {
                hits.points.push_back({p.timeS, static_cast<double>(p.hits)});
                misses.points.push_back({p.timeS, static_cast<double>(p.misses)});
                rate += p.hitRatePct;
            }
            hits.points = Thin(hits.points);
            misses.points = Thin(misses.points);
            rate /= static_cast<double>(std::max<size_t>(s.points.size(), 1));
            o << "<h3>" << HtmlEscape(s.event) << "</h3>\n"
              << SvgChart("Cache statistics of " + s.event, {hits, misses},
                          MaxOf({hits, misses}) * 1.1, "per sample", kSiLabels,
                          "mean hit rate " + Fixed(rate, 2) + " %");
        }
    }
    if (!r.ctrlCpu.empty()) {
        o << "<h2>Control CPU events</h2>\n<p class=\"meta\">From the device script's "
             "control-CPU recording ("
          << r.ctrlCpuLines
          << " lines): each event's count per sample, summed over the CPUs; seconds since the "
             "first sample.</p>\n";
        size_t color = 0;
        for (const CtrlCpuEventSeries& s : r.ctrlCpu) {
            Series counts{s.event, kPalette[color++ % 6], {}, true, false};
            for (const CtrlCpuPoint& p : s.points) {
                counts.points.push_back({p.timeS, static_cast<double>(p.count)});
            }
            counts.points = Thin(counts.points);
            o << "<h3>" << HtmlEscape(s.event) << "</h3>\n"
              << SvgChart("Control CPU event " + s.event, {counts}, MaxOf({counts}) * 1.1, "count",
                          kSiLabels, "total " + std::to_string(s.total));
        }
        o << "<div class=\"cols\"><div>\n<h3>Busiest CPUs and events</h3>\n"
          << "<table><tr><th>#</th><th class=\"l\">CPU</th><th class=\"l\">Event</th>"
             "<th>Count</th></tr>\n";
        for (size_t i = 0; i < r.ctrlCpuBusiest.size() && i < kTopProcesses; ++i) {
            const CtrlCpuTotal& t = r.ctrlCpuBusiest[i];
            o << "<tr><td>" << i + 1 << "</td><td class=\"l\">cpu" << t.cpu
              << "</td><td class=\"l\">" << HtmlEscape(t.event) << "</td><td>" << t.count
              << "</td></tr>\n";
        }
        o << "</table>\n</div><div>\n<h3>Per CPU, all events</h3>\n"
          << "<table><tr><th class=\"l\">CPU</th><th>Count</th></tr>\n";
        for (const auto& [cpu, count] : r.ctrlCpuPerCpu) {
            o << "<tr><td class=\"l\">cpu" << cpu << "</td><td>" << count << "</td></tr>\n";
        }
        o << "</table>\n</div></div>\n";
    }
    for (const ChannelData& c : r.channels) {
        o << "<h2>Cache channel: " << HtmlEscape(c.name) << "</h2>\n<p class=\"meta\">"
          << FormatBytes(c.bytes) << " received from the driver's channel";
        if (c.counterLayout) {
            o << ": " << c.records << " counter records over " << Fixed(c.spanS, 1) << " s";
        } else {
            o << " (not in the simulated driver's record layout: bytes only)";
        }
        o << ".</p>\n";
        // From nothing at the run's start, each total held until the next
        // arrival: data that came in one piece at the end is a step there,
        // not a lone dot.
        Series received{"received", kPalette[3], {{0.0, 0.0}}, true, false};
        for (const auto& [t, bytes] : c.received) {
            received.points.push_back({t, received.points.back().second});
            received.points.push_back({t, static_cast<double>(bytes) / 1024.0});
        }
        received.points = Thin(received.points);
        o << SvgChart("Bytes received over time from " + c.name, {received},
                      MaxOf({received}) * 1.1, "KiB received", 0, "",
                      "seconds since the run started");
    }
    return o.str();
}

std::string ProcessRows(const std::vector<ProcessSummary>& list, bool byCpu) {
    std::ostringstream o;
    int rank = 1;
    for (const ProcessSummary& p : list) {
        o << "<tr><td>" << rank++ << "</td><td>" << p.pid << "</td><td class=\"l\">"
          << HtmlEscape(DisplayName(p)) << "</td>";
        if (byCpu) {
            o << "<td>" << Fixed(p.cpuSharePct, 2) << "</td><td>" << p.cpuTicks << "</td><td>"
              << p.cpuSamples << "</td>";
        } else {
            o << "<td>" << Kib(p.rssPeakKib) << "</td><td>" << Kib(p.rssLastKib) << "</td><td>"
              << Kib(p.sizePeakKib) << "</td>";
        }
        o << "</tr>\n";
    }
    return o.str();
}

}  // namespace

MemoryScale ChooseMemoryScale(const std::vector<MemPoint>& memory) {
    uint64_t usedMax = 0;
    for (const MemPoint& m : memory) {
        usedMax = std::max(usedMax, m.usedKib);
    }
    MemoryScale scale;
    if (usedMax >= 4ULL * 1024 * 1024) {
        scale.divisor = 1024.0 * 1024.0;
        scale.unit = "GiB";
    } else if (usedMax < 4 * 1024) {
        scale.divisor = 1;
        scale.unit = "KiB";
    }
    scale.yMax = std::max(static_cast<double>(usedMax) / scale.divisor * 1.1, 1.0);
    return scale;
}

std::string CsvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) {
        return text;
    }
    std::string out = "\"";
    for (char c : text) {
        out += c;
        if (c == '"') {
            out += '"';
        }
    }
    return out + "\"";
}

std::string HtmlEscape(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string FormatReportTable(const Report& r) {
    std::ostringstream o;
    o << JobLine(r) << "\n";
    for (const auto& [name, why] : r.silentCollections) {
        o << "Sent nothing " << name << ": " << why << "\n";
    }
    if (r.cardWideDevice >= 0) {
        o << "Card-wide collections (system, processes, control CPU) were asked of device "
          << r.cardWideDevice << "\n";
    }
    CpuStats cs = Summarise(r.cpu);
    o << "System CPU  " << r.cpuSamples << " samples";
    if (r.cpuCount > 0) {
        o << ", " << r.cpuCount << " CPUs";
    }
    if (!r.cpu.empty()) {
        o << ": busy mean " << Fixed(cs.mean, 1) << " %, min " << Fixed(cs.min, 1) << " %, max "
          << Fixed(cs.max, 1) << " % over " << r.cpu.size() << " intervals";
    }
    o << "\n";
    o << "Memory      " << r.memory.size() << " samples";
    if (!r.memory.empty()) {
        uint64_t lo = r.memory.front().usedKib;
        uint64_t hi = lo;
        for (const MemPoint& m : r.memory) {
            lo = std::min(lo, m.usedKib);
            hi = std::max(hi, m.usedKib);
        }
        o << ": total " << Kib(r.memory.back().totalKib) << ", used " << Kib(lo) << " to "
          << Kib(hi);
    }
    o << "\n";
    o << "Processes   " << r.processes.size() << " sampled\n";
    if (!r.otherFiles.empty()) {
        o << "Other data ";
        for (size_t i = 0; i < r.otherFiles.size(); ++i) {
            o << (i == 0 ? " " : ", ") << r.otherFiles[i].name << " ("
              << FormatBytes(r.otherFiles[i].bytes) << ")";
        }
        o << "\n";
    }

    std::vector<ProcessSummary> cpu = TopByCpu(r, kTopProcesses);
    if (!cpu.empty()) {
        o << "\nTop " << cpu.size() << " by CPU share (of all CPUs)\n";
        o << Pad("CPU %", 8, true) << Pad("PID", 9, true) << "  NAME\n";
        for (const ProcessSummary& p : cpu) {
            o << Pad(Fixed(p.cpuSharePct, 2), 8, true) << Pad(std::to_string(p.pid), 9, true)
              << "  " << DisplayName(p) << "\n";
        }
    }
    std::vector<ProcessSummary> mem = TopByMemory(r, kTopProcesses);
    if (!mem.empty()) {
        o << "\nTop " << mem.size() << " by resident memory (peak)\n";
        o << Pad("RSS", 11, true) << Pad("PID", 7, true) << "  NAME\n";
        for (const ProcessSummary& p : mem) {
            o << Pad(Kib(p.rssPeakKib), 11, true) << Pad(std::to_string(p.pid), 7, true) << "  "
              << DisplayName(p) << "\n";
        }
    }
    if (!r.cache.empty()) {
        o << "\nCache stats " << r.cacheLines << " samples:";
        for (const CacheEventSeries& s : r.cache) {
            double rate = 0;
            for (const CachePoint& p : s.points) {
                rate += p.hitRatePct;
            }
            rate /= static_cast<double>(std::max<size_t>(s.points.size(), 1));
            o << " " << s.event << " mean hit rate " << Fixed(rate, 2) << " %"
              << (&s == &r.cache.back() ? "" : ",");
        }
        o << "\n";
    }
    if (!r.ctrlCpu.empty()) {
        o << "\nControl CPU " << r.ctrlCpuLines << " lines:";
        for (const CtrlCpuEventSeries& s : r.ctrlCpu) {
            o << " " << s.event << " " << s.total << (&s == &r.ctrlCpu.back() ? "" : ",");
        }
        o << "\n" << Pad("COUNT", 16, true) << "  CPU    EVENT\n";
        for (size_t i = 0; i < r.ctrlCpuBusiest.size() && i < 5; ++i) {
            const CtrlCpuTotal& t = r.ctrlCpuBusiest[i];
            o << Pad(std::to_string(t.count), 16, true) << "  "
              << Pad("cpu" + std::to_string(t.cpu), 7, false) << t.event << "\n";
        }
    }
    for (const ChannelData& c : r.channels) {
        o << "\nChannel     " << c.name << ": " << FormatBytes(c.bytes);
        if (c.counterLayout) {
            o << ", " << c.records << " counter records over " << Fixed(c.spanS, 1) << " s";
        }
        o << "\n";
    }
    o << "\nRecords     " << r.totalRecords << " read, " << r.badRecords << " not parsed\n";
    size_t shown = 0;
    for (const auto* files : {&r.dataFiles, &r.otherFiles}) {
        for (const FileAccount& f : *files) {
            for (const std::string& p : f.problems) {
                if (shown++ < 10) {
                    o << "  " << f.name << ": " << p << "\n";
                }
            }
        }
    }
    if (shown > 10) {
        o << "  ... " << shown - 10 << " more in report.html\n";
    }
    return o.str();
}

std::string SystemCsv(const Report& r) {
    struct Row {
        const CpuInterval* cpu = nullptr;
        const MemPoint* mem = nullptr;
    };
    std::map<double, Row> rows;
    for (const CpuInterval& iv : r.cpu) {
        rows[iv.endS].cpu = &iv;
    }
    for (const MemPoint& m : r.memory) {
        rows[m.timeS].mem = &m;
    }
    std::ostringstream o;
    o << "time_s,cpu_interval_start_s,cpu_busy_percent,cpu_user_percent,cpu_system_percent,"
         "cpu_iowait_percent,mem_total_kib,mem_used_kib,mem_available_kib,mem_free_kib\n";
    for (const auto& [t, row] : rows) {
        o << Fixed(t, 3) << ",";
        if (row.cpu != nullptr) {
            o << Fixed(row.cpu->startS, 3) << "," << Fixed(row.cpu->busyPct, 2) << ","
              << Fixed(row.cpu->userPct, 2) << "," << Fixed(row.cpu->systemPct, 2) << ","
              << Fixed(row.cpu->iowaitPct, 2) << ",";
        } else {
            o << ",,,,,";
        }
        if (row.mem != nullptr) {
            o << row.mem->totalKib << "," << row.mem->usedKib << "," << row.mem->availableKib << ","
              << row.mem->freeKib;
        } else {
            o << ",,,";
        }
        o << "\n";
    }
    return o.str();
}

std::string ProcessesCsv(const Report& r) {
    std::ostringstream o;
    o << "pid,name,cpu_samples,cpu_share_percent,cpu_ticks,cpu_span_s,mem_samples,rss_peak_kib,"
         "rss_last_kib,size_peak_kib,start_ticks\n";
    for (const ProcessSummary& p : r.processes) {
        o << p.pid << "," << CsvField(p.name) << "," << p.cpuSamples << ",";
        if (p.hasCpuShare) {
            o << Fixed(p.cpuSharePct, 3) << "," << p.cpuTicks << "," << Fixed(p.cpuSpanS, 3);
        } else {
            o << ",,";
        }
        o << "," << p.memSamples << ",";
        if (p.memSamples > 0) {
            o << p.rssPeakKib << "," << p.rssLastKib << "," << p.sizePeakKib;
        } else {
            o << ",,";
        }
        o << "," << p.startTicks << "\n";
    }
    return o.str();
}

std::string CacheCsv(const Report& r) {
    std::ostringstream o;
    o << "time_s,event,hits,misses,hit_rate_percent\n";
    for (const CacheEventSeries& s : r.cache) {
        for (const CachePoint& p : s.points) {
            o << Fixed(p.timeS, 6) << "," << CsvField(s.event) << "," << p.hits << "," << p.misses
              << "," << Fixed(p.hitRatePct, 2) << "\n";
        }
    }
    return o.str();
}

std::string CtrlCpuCsv(const Report& r) {
    std::ostringstream o;
    o << "time_s,event,count\n";
    for (const CtrlCpuEventSeries& s : r.ctrlCpu) {
        for (const CtrlCpuPoint& p : s.points) {
            o << Fixed(p.timeS, 6) << "," << CsvField(s.event) << "," << p.count << "\n";
        }
    }
    return o.str();
}

namespace {

std::string PageHead(const std::string& title) {
    std::ostringstream o;
    o << "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>"
      << HtmlEscape(title) << "</title>\n<style>\n"
      << "body{font-family:system-ui,-apple-system,'Segoe UI',sans-serif;margin:24px auto;"
         "max-width:960px;color:#222;padding:0 16px}\n"
      << "h1{font-size:1.5em;margin-bottom:4px}h2{font-size:1.15em;margin-top:28px;"
         "border-bottom:1px solid #ddd;padding-bottom:4px}\n"
      << ".meta{color:#555}.cards{display:flex;flex-wrap:wrap;gap:12px;margin:16px 0}\n"
      << ".card{border:1px solid #ddd;border-radius:6px;padding:8px 14px;min-width:150px}\n"
      << ".card b{display:block;font-size:1.3em}.card span{color:#666;font-size:.85em}\n"
      << "table{border-collapse:collapse;font-size:.9em;margin:6px 0}\n"
      << "th,td{padding:3px 10px;border-bottom:1px solid #e6e6e6;text-align:right}\n"
      << "th{background:#f4f4f4}td.l,th.l{text-align:left}\n"
      << ".bad{color:#a33}.ok{color:#286}svg text{font-size:11px;fill:#444}\n"
      << ".cols{display:flex;flex-wrap:wrap;gap:28px}\n</style>\n</head>\n<body>\n";
    return o.str();
}

std::string PageTail() {
    return "<p class=\"meta\">Written by oru-host report. Tables: system.csv, processes.csv."
           "</p>\n</body>\n</html>\n";
}

// Everything of one device's report below its heading.
std::string ReportBody(const Report& r) {
    std::ostringstream o;
    o << "<p class=\"meta\">";
    if (!r.device.empty()) {
        o << "Device " << HtmlEscape(r.device) << ". ";
    }
    if (!r.startedAt.empty()) {
        o << "Started " << HtmlEscape(r.startedAt) << ". ";
    }
    if (!r.outcome.empty()) {
        o << "Outcome: " << HtmlEscape(r.outcome) << ". ";
    }
    o << "Folder: " << HtmlEscape(r.dir) << "</p>\n";
    if (r.cardWideDevice >= 0) {
        o << "<p class=\"meta\">Card-wide collections (system, processes, control CPU) were "
             "asked of device "
          << r.cardWideDevice << ".</p>\n";
    }
    if (!r.silentCollections.empty()) {
        o << "<ul class=\"bad\">\n";
        for (const auto& [name, why] : r.silentCollections) {
            o << "<li><b>" << HtmlEscape(name) << "</b> " << HtmlEscape(why) << "</li>\n";
        }
        o << "</ul>\n";
    }

    CpuStats cs = Summarise(r.cpu);
    uint64_t memUsed = r.memory.empty() ? 0 : r.memory.back().usedKib;
    uint64_t memTotal = r.memory.empty() ? 0 : r.memory.back().totalKib;
    o << "<div class=\"cards\">\n";
    auto card = [&o](const std::string& big, const std::string& small) {
        o << "<div class=\"card\"><b>" << HtmlEscape(big) << "</b><span>" << HtmlEscape(small)
          << "</span></div>\n";
    };
    card(r.cpu.empty() ? "-" : Fixed(cs.mean, 1) + " %", "mean CPU busy");
    card(r.cpu.empty() ? "-" : Fixed(cs.max, 1) + " %", "highest interval");
    card(r.memory.empty() ? "-" : Kib(memUsed), "memory used (last) of " + Kib(memTotal));
    card(std::to_string(r.processes.size()), "processes sampled");
    card(std::to_string(r.totalRecords), "records read");
    o << "<div class=\"card\"><b class=\"" << (r.badRecords == 0 ? "ok" : "bad") << "\">"
      << r.badRecords << "</b><span>records not parsed</span></div>\n</div>\n";

    // A device whose card-wide collections ran on another device has no
    // system or process data to chart.
    const bool systemData =
        r.cardWideDevice < 0 || r.cpuSamples > 0 || !r.memory.empty() || !r.processes.empty();
    if (systemData) {
        o << "<h2>System CPU</h2>\n<p class=\"meta\">Busy share of all "
          << (r.cpuCount > 0 ? std::to_string(r.cpuCount) + " " : "")
          << "CPUs in each sample interval, from /proc/stat (" << r.cpuSamples
          << " samples).</p>\n";
        Series busy{"busy", "#2f6fb3", {}, true, false};
        Series user{"user", "#3a9a5b", {}, false, false};
        Series sys{"system", "#d08a2b", {}, false, false};
        // One flat step per sample interval: the value holds over the interval.
        for (const CpuInterval& iv : r.cpu) {
            for (double t : {iv.startS, iv.endS}) {
                busy.points.push_back({t, iv.busyPct});
                user.points.push_back({t, iv.userPct});
                sys.points.push_back({t, iv.systemPct});
            }
        }
        o << SvgChart("System CPU busy percent over time", {busy, user, sys}, 100, "percent", 0);

        o << "<h2>System memory</h2>\n<p class=\"meta\">From /proc/meminfo (" << r.memory.size()
          << " samples); used is total minus available.</p>\n";
        MemoryScale scale = ChooseMemoryScale(r.memory);
        Series used{"used", "#8a3ab9", {}, true, false};
        uint64_t totalMax = 0;
        for (const MemPoint& m : r.memory) {
            used.points.push_back({m.timeS, static_cast<double>(m.usedKib) / scale.divisor});
            totalMax = std::max(totalMax, m.totalKib);
        }
        o << SvgChart("System memory used over time", {used}, scale.yMax, scale.unit, 1,
                      r.memory.empty() ? "" : "total " + Kib(totalMax));

        o << "<div class=\"cols\"><div>\n<h2>Top processes by CPU share</h2>\n"
          << "<table><tr><th>#</th><th>PID</th><th class=\"l\">Name</th><th>CPU %</th>"
             "<th>Ticks</th><th>Samples</th></tr>\n"
          << ProcessRows(TopByCpu(r, kTopProcesses), true) << "</table>\n"
          << "<p class=\"meta\">Share of all CPUs over the time each process was sampled.</p>\n"
          << "</div><div>\n<h2>Top processes by resident memory</h2>\n"
          << "<table><tr><th>#</th><th>PID</th><th class=\"l\">Name</th><th>RSS peak</th>"
             "<th>RSS last</th><th>Size peak</th></tr>\n"
          << ProcessRows(TopByMemory(r, kTopProcesses), false) << "</table>\n"
          << "<p class=\"meta\">Pages of " << r.pageSize << " bytes.</p>\n</div></div>\n";
    }
    o << DeviceScriptSections(r);

    o << "<h2>Received files</h2>\n<table><tr><th class=\"l\">File</th><th>Bytes</th>"
         "<th>Records</th><th>Not parsed</th></tr>\n";
    size_t pidFiles = 0;
    uint64_t pidBytes = 0;
    size_t pidRecords = 0;
    size_t pidBad = 0;
    for (const FileAccount& f : r.dataFiles) {
        bool perProcess = f.name.find("-CpuUsage.data") != std::string::npos ||
                          f.name.find("-Memory.data") != std::string::npos;
        if (perProcess) {
            pidFiles += 1;
            pidBytes += f.bytes;
            pidRecords += f.records;
            pidBad += f.bad;
            continue;
        }
        o << "<tr><td class=\"l\">" << HtmlEscape(f.name) << "</td><td>" << f.bytes << "</td><td>"
          << f.records << "</td><td" << (f.bad ? " class=\"bad\"" : "") << ">" << f.bad
          << "</td></tr>\n";
    }
    if (pidFiles > 0) {
        o << "<tr><td class=\"l\">" << pidFiles << " per-process files (data/&lt;pid&gt;-...)"
          << "</td><td>" << pidBytes << "</td><td>" << pidRecords << "</td><td"
          << (pidBad ? " class=\"bad\"" : "") << ">" << pidBad << "</td></tr>\n";
    }
    for (const FileAccount& f : r.otherFiles) {
        o << "<tr><td class=\"l\">" << HtmlEscape(f.name) << "</td><td>" << f.bytes
          << "</td><td>-</td><td" << (f.bad ? " class=\"bad\"" : "") << ">"
          << (f.bad ? std::to_string(f.bad) : "-") << "</td></tr>\n";
    }
    o << "</table>\n";

    o << "<h2>Records that did not parse</h2>\n";
    if (r.badRecords == 0) {
        o << "<p class=\"ok\">None: every record parsed.</p>\n";
    } else {
        o << "<p class=\"bad\">" << r.badRecords << " record(s) did not parse.</p>\n<ul>\n";
        for (const auto* files : {&r.dataFiles, &r.otherFiles}) {
            for (const FileAccount& f : *files) {
                for (const std::string& p : f.problems) {
                    o << "<li>" << HtmlEscape(f.name) << ": " << HtmlEscape(p) << "</li>\n";
                }
                if (f.bad > f.problems.size()) {
                    o << "<li>" << HtmlEscape(f.name) << ": " << f.bad - f.problems.size()
                      << " more</li>\n";
                }
            }
        }
        o << "</ul>\n";
    }
    return o.str();
}

std::string BusiestProcessText(const Report& r) {
    std::vector<ProcessSummary> top = TopByCpu(r, 1);
    if (top.empty()) {
        return "-";
    }
    return DisplayName(top.front()) + " (pid " + std::to_string(top.front().pid) + ", " +
           Fixed(top.front().cpuSharePct, 2) + " %)";
}

std::string BusiestCpuText(const Report& r) {
    const std::pair<std::string, double>* best = nullptr;
    for (const auto& c : r.perCpuBusyPct) {
        if (best == nullptr || c.second > best->second) {
            best = &c;
        }
    }
    if (best != nullptr) {
        return best->first + " (" + Fixed(best->second, 1) + " % busy)";
    }
    if (!r.ctrlCpuPerCpu.empty()) {
        auto top =
            std::max_element(r.ctrlCpuPerCpu.begin(), r.ctrlCpuPerCpu.end(),
                             [](const auto& x, const auto& y) { return x.second < y.second; });
        return "control cpu" + std::to_string(top->first) + " (" + std::to_string(top->second) +
               " events)";
    }
    return "-";
}

}  // namespace

std::string ReportHtml(const Report& r) {
    std::string title = "oru profiling report" + (r.jobId.empty() ? "" : ": job " + r.jobId);
    return PageHead(title) + "<h1>" + HtmlEscape(title) + "</h1>\n" + ReportBody(r) + PageTail();
}

std::string DevicesHtml(const std::vector<DeviceReport>& devices) {
    std::string jobId;
    for (const DeviceReport& d : devices) {
        if (jobId.empty()) {
            jobId = d.report.jobId;
        }
    }
    std::string title = "oru profiling report" + (jobId.empty() ? "" : ": job " + jobId) + ", " +
                        std::to_string(devices.size()) + " devices";
    std::ostringstream o;
    o << PageHead(title) << "<h1>" << HtmlEscape(title) << "</h1>\n";
    o << "<h2>Summary</h2>\n<table><tr><th class=\"l\">Device</th><th class=\"l\">Outcome</th>"
         "<th>Processes</th><th class=\"l\">Busiest process</th><th class=\"l\">Busiest CPU</th>"
         "<th class=\"l\">Sent nothing</th></tr>\n";
    for (const DeviceReport& d : devices) {
        std::string silent;
        for (const auto& [name, why] : d.report.silentCollections) {
            silent += (silent.empty() ? "" : ", ") + name;
        }
        o << "<tr><td class=\"l\">device " << d.device << "</td><td class=\"l\">"
          << HtmlEscape(!d.error.empty()           ? d.error
                        : d.report.outcome.empty() ? "-"
                                                   : d.report.outcome)
          << "</td><td>" << d.report.processes.size() << "</td><td class=\"l\">"
          << HtmlEscape(BusiestProcessText(d.report)) << "</td><td class=\"l\">"
          << HtmlEscape(BusiestCpuText(d.report)) << "</td><td class=\"l\">"
          << HtmlEscape(silent.empty() ? "-" : silent) << "</td></tr>\n";
    }
    o << "</table>\n";
    for (const DeviceReport& d : devices) {
        o << "<section id=\"dev" << d.device << "\">\n<h1>Device " << d.device << "</h1>\n";
        if (!d.error.empty()) {
            o << "<p class=\"bad\">" << HtmlEscape(d.error) << "</p>\n";
        } else {
            o << ReportBody(d.report);
        }
        o << "</section>\n";
    }
    o << PageTail();
    return o.str();
}

std::string FormatDevicesSummary(const std::vector<DeviceReport>& devices) {
    std::ostringstream o;
    o << "\nDevices\n"
      << Pad("DEVICE", 7, true) << "  " << Pad("OUTCOME", 9, false)
      << Pad("BUSIEST PROCESS", 40, false) << "BUSIEST CPU\n";
    for (const DeviceReport& d : devices) {
        o << Pad(std::to_string(d.device), 7, true) << "  "
          << Pad(!d.error.empty()           ? "no report"
                 : d.report.outcome.empty() ? "-"
                                            : d.report.outcome,
                 9, false)
          << Pad(d.error.empty() ? BusiestProcessText(d.report) : "-", 40, false)
          << (d.error.empty() ? BusiestCpuText(d.report) : d.error) << "\n";
    }
    return o.str();
}

bool WriteReportFiles(const Report& r, std::string* error) {
    std::vector<std::pair<const char*, std::string>> files = {
        {"system.csv", SystemCsv(r)},
        {"processes.csv", ProcessesCsv(r)},
        {"report.html", ReportHtml(r)},
    };
    if (!r.cache.empty()) {
        files.push_back({"cache.csv", CacheCsv(r)});
    }
    if (!r.ctrlCpu.empty()) {
        files.push_back({"ctrl_cpu.csv", CtrlCpuCsv(r)});
    }
    for (const auto& [name, text] : files) {
        std::string path = r.dir + "/" + name;
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << text;
        out.close();
        if (!out) {
            *error = "cannot write " + path;
            return false;
        }
    }
    return true;
}

}  // namespace analysis::orbx::hosttool
