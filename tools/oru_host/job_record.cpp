#include "tools/oru_host/job_record.h"

#include <fstream>
#include <nlohmann/json.hpp>

namespace analysis::orbx::hosttool {
namespace {

using nlohmann::json;

json ReplyToJson(const ReplyRecord& r) {
    json j;
    j["step"] = r.step;
    j["request"] = r.request;
    j["received"] = r.received;
    if (r.received) {
        j["container_refused"] = r.containerRefused;
        j["status"] = r.status;
        j["status_name"] = r.containerRefused ? "REFUSED" : r.status == 0 ? "SUCCESS" : "FAILED";
        j["info"] = r.info;
        j["message"] = r.message;
        if (!r.reason.empty()) {
            j["reason"] = r.reason;
        }
    } else {
        j["error"] = r.error;
    }
    j["sent_at_ms"] = r.sentAtMs;
    j["round_trip_ms"] = r.roundTripMs;
    return j;
}

json ChunkListToJson(const std::vector<RefusedChunk>& list) {
    json out = json::array();
    for (const RefusedChunk& c : list) {
        out.push_back({{"file_name", c.fileName}, {"reason", c.reason}, {"bytes", c.bytes}});
    }
    return out;
}

}  // namespace

std::string JobRecordToJson(const JobRecord& r) {
    json j;
    j["job_id"] = r.jobId;
    j["device"] = r.device;
    j["mode"] = r.mode;
    j["vfid"] = r.vfid;
    j["configuration"] = {{"source", r.configSource},
                          {"sample_config", r.sampleConfig},
                          {"llc_events", r.llcEvents},
                          {"ctrl_cpu_events", r.ctrlCpuEvents}};
    j["started_at"] = r.startedAt;
    j["replies"] = json::array();
    for (const ReplyRecord& reply : r.replies) {
        j["replies"].push_back(ReplyToJson(reply));
    }
    uint64_t bytes = 0;
    uint64_t chunks = 0;
    json files = json::object();
    for (const auto& [name, stats] : r.files) {
        json arrivals = json::array();
        for (const auto& [ms, received] : stats.arrivals) {
            arrivals.push_back({ms, received});
        }
        files[name] = {{"bytes", stats.bytes}, {"chunks", stats.chunks}, {"arrivals", arrivals}};
        bytes += stats.bytes;
        chunks += stats.chunks;
    }
    j["data"] = {{"finished", r.dataFinished},
                 {"end", r.dataEnd},
                 {"messages", r.dataMessages},
                 {"unexpected_messages", r.unexpectedMessages},
                 {"chunks", chunks},
                 {"bytes", bytes},
                 {"files", files},
                 {"refused_chunks", ChunkListToJson(r.refused)},
                 {"failed_chunks", ChunkListToJson(r.failed)}};
    j["timings_ms"] = {{"requested_duration", r.requestedDurationMs},
                       {"collection", r.collectionMs},
                       {"first_chunk", r.firstChunkMs},
                       {"last_chunk", r.lastChunkMs},
                       {"data_finish", r.dataFinishMs},
                       {"total", r.totalMs}};
    j["collections"] = json::array();
    for (const CollectionAccount& a : r.collections) {
        json c = {{"name", a.name},
                  {"card_wide", a.cardWide},
                  {"files", a.files},
                  {"bytes", a.bytes},
                  {"sent_data", a.missing.empty()}};
        if (!a.missing.empty()) {
            c["missing"] = a.missing;
        }
        j["collections"].push_back(c);
    }
    if (r.cardWideDevice >= 0) {
        j["card_wide_collections_on_device"] = r.cardWideDevice;
    }
    j["interrupted"] = r.interrupted;
    j["outcome"] = r.outcome;
    j["exit_code"] = r.exitCode;
    j["error"] = r.error;
    // Texts from the device are not trusted to be UTF-8: replace, never throw.
    return j.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

bool WriteJobRecord(const std::string& dir, const JobRecord& record, std::string* reason) {
    std::string path = dir + "/job.json";
    std::string text = JobRecordToJson(record);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) {
        *reason = "cannot write " + path;
        return false;
    }
    return true;
}

}  // namespace analysis::orbx::hosttool
