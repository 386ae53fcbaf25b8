#include "tools/oru_host/sample_config.h"

#include "tools/oru_host/dialect_json.h"

namespace analysis::orbx::hosttool {

std::string JoinEvents(const std::vector<std::string>& events) {
    std::string out;
    for (const std::string& ev : events) {
        if (!out.empty()) {
            out += ',';
        }
        out += ev;
    }
    return out;
}

// The options parser has already refused texts the dialect cannot carry, so
// the Add calls below cannot fail.
std::string BuildSampleConfig(const ProfileOptions& options) {
    DialectObject doc;
    doc.Add("job_id", options.jobId);
    doc.Add("devices", std::to_string(options.device));
    doc.Add("hostProfiling", false);
    doc.Add("sys_profiling", std::string(options.sys ? "on" : "off"));
    doc.Add("pid_profiling", std::string(options.pid ? "on" : "off"));
    if (options.hasInterval) {
        doc.Add("cpu_sampling_interval", options.intervalMs);
        doc.Add("sys_sampling_interval", options.intervalMs);
        doc.Add("pid_sampling_interval", options.intervalMs);
    }
    if (!options.llcEvents.empty()) {
        doc.Add("gxprof_llc_profiling", std::string("on"));
        doc.Add("llc_profiling_events", JoinEvents(options.llcEvents));
    }
    if (!options.ctrlCpuEvents.empty()) {
        doc.Add("aiCtrlCpuProfiling", std::string("on"));
        doc.Add("ai_ctrl_cpu_profiling_events", JoinEvents(options.ctrlCpuEvents));
    }
    return doc.ToString();
}

std::string BuildJobContext(const std::string& jobId, uint32_t device) {
    DialectObject doc;
    doc.Add("result_dir", std::string());
    doc.Add("module", std::string());
    doc.Add("tag", std::string());
    doc.Add("dev_id", std::to_string(device));
    doc.Add("job_id", jobId);
    doc.Add("chunkStartTime", int32_t{0});
    doc.Add("chunkEndTime", int32_t{0});
    doc.Add("dataModule", int32_t{0});
    doc.Add("stream_enabled", std::string());
    return doc.ToString();
}

}  // namespace analysis::orbx::hosttool
