#include "tools/oru_host/trace_export.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>

namespace analysis::orbx::hosttool {
namespace {

// A JSON string literal.
std::string Quoted(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            default:
                if (c < 0x20 || c >= 0x7f) {
                    char buf[8];
                    std::snprintf(buf, sizeof(buf), "\\u%04x", c);
                    out += buf;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

class Writer {
  public:
    explicit Writer(std::ostringstream* o) : o_(o) {}

    void Metadata(uint32_t pid, const std::string& name) {
        Begin();
        *o_ << "{\"ph\":\"M\",\"name\":\"process_name\",\"pid\":" << pid
            << ",\"tid\":0,\"ts\":0,\"args\":{\"name\":" << Quoted(name) << "}}";
    }

    // args: (name, number as written).
    void Counter(uint32_t pid, const std::string& name, uint64_t tsUs,
                 const std::vector<std::pair<std::string, std::string>>& args) {
        Begin();
        *o_ << "{\"ph\":\"C\",\"name\":" << Quoted(name) << ",\"pid\":" << pid
            << ",\"tid\":0,\"ts\":" << tsUs << ",\"args\":{";
        for (size_t i = 0; i < args.size(); ++i) {
            *o_ << (i == 0 ? "" : ",") << Quoted(args[i].first) << ":" << args[i].second;
        }
        *o_ << "}}";
    }

  private:
    void Begin() {
        *o_ << (first_ ? "\n" : ",\n");
        first_ = false;
    }
    std::ostringstream* o_;
    bool first_ = true;
};

uint64_t Us(const Report& r, double seconds) {
    return r.t0Ns / 1000 + static_cast<uint64_t>(std::llround(std::max(seconds, 0.0) * 1e6));
}

std::string ProcessLabel(const ProcessSummary& p) {
    return DisplayName(p) + " [" + std::to_string(p.pid) + "]";
}

void Device(Writer& w, uint32_t pid, const Report& r) {
    std::string name = "device " + std::to_string(pid);
    if (!r.jobId.empty()) {
        name += " (job " + r.jobId + ")";
    }
    w.Metadata(pid, name);
    for (const CpuInterval& iv : r.cpu) {
        w.Counter(pid, "system cpu %", Us(r, iv.endS),
                  {{"busy", Fixed(iv.busyPct, 2)},
                   {"user", Fixed(iv.userPct, 2)},
                   {"system", Fixed(iv.systemPct, 2)}});
    }
    for (const MemPoint& m : r.memory) {
        w.Counter(pid, "memory used KiB", Us(r, m.timeS), {{"used", std::to_string(m.usedKib)}});
    }
    for (const ProcessSummary& p : r.processes) {
        for (const auto& [ns, pct] : p.cpuTrack) {
            w.Counter(pid, "cpu % " + ProcessLabel(p), ns / 1000, {{"share", Fixed(pct, 3)}});
        }
        for (const auto& [ns, kib] : p.rssTrack) {
            w.Counter(pid, "rss KiB " + ProcessLabel(p), ns / 1000, {{"rss", std::to_string(kib)}});
        }
    }
    for (const CacheEventSeries& s : r.cache) {
        for (const CachePoint& p : s.points) {
            w.Counter(pid, "cache " + s.event, Us(r, p.timeS),
                      {{"hits", std::to_string(p.hits)},
                       {"misses", std::to_string(p.misses)},
                       {"hit_rate", Fixed(p.hitRatePct, 2)}});
        }
    }
    for (const CtrlCpuEventSeries& s : r.ctrlCpu) {
        for (const CtrlCpuPoint& p : s.points) {
            w.Counter(pid, "control cpu " + s.event, Us(r, p.timeS),
                      {{"count", std::to_string(p.count)}});
        }
    }
}

}  // namespace

std::string TraceJson(const std::vector<DeviceReport>& devices) {
    std::ostringstream o;
    o << "{\"displayTimeUnit\":\"ms\",\"traceEvents\":[";
    Writer w(&o);
    for (const DeviceReport& d : devices) {
        if (d.error.empty()) {
            Device(w, d.device, d.report);
        }
    }
    o << "\n]}\n";
    return o.str();
}

}  // namespace analysis::orbx::hosttool
