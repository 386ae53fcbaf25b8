// Writes the seed corpora of the fuzz targets from real frames, made with the
// daemon's own encoders: fuzz_make_corpus <fuzz/corpus directory>.
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/memory_utils.h"
#include "fuzz/fuzz_util.h"
#include "hdc/hdc_api.h"
#include "message/job_context.h"
#include "message/profile_params.h"
#include "message/status_info.h"
#include "wire/codec.h"

namespace {

namespace proto = analysis::orbx::proto;
using analysis::orbx::message::EncodeMessage;
using analysis::orbx::message::JobContext;
using oru_fuzz::AppendRecord;

std::string g_root;

bool Write(const std::string& target, const std::string& name, const std::string& bytes) {
    std::string dir = g_root + "/" + target;
    mkdir(g_root.c_str(), 0755);
    mkdir(dir.c_str(), 0755);
    FILE* f = fopen((dir + "/" + name).c_str(), "wb");
    if (f == nullptr) {
        return false;
    }
    bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return fclose(f) == 0 && ok;
}

const char* const kSysConfig =
    R"({"job_id":"job-1","result_dir":"/tmp","sys_profiling":"on","sys_sampling_interval":100,)"
    R"("pid_profiling":"on","pid_sampling_interval":100,"profiling_period":-1,"isCancel":false})";
const char* const kLlcConfig =
    R"({"job_id":"job-1","gxprof_llc_profiling":"on","llc_profiling_events":"read,write",)"
    R"("llc_interval":10})";

std::string JobCtx(const std::string& jobId, const std::string& devId) {
    JobContext ctx;
    ctx.job_id = jobId;
    ctx.dev_id = devId;
    ctx.tag = "0";
    ctx.result_dir = "/tmp/r";
    ctx.stream_enabled = "on";
    return ctx.ToString();
}

std::string CtrlHandshake(const std::string& jobId, int devId, const std::string& mode) {
    proto::CtrlChannelHandshake m;
    m.set_jobid(jobId);
    m.set_devid(devId);
    m.set_mode(mode);
    return EncodeMessage(m);
}

std::string DataHandshake(const std::string& jobId, int devId, const std::string& mode) {
    proto::DataChannelHandshake m;
    m.set_jobid(jobId);
    m.set_devid(devId);
    m.set_mode(mode);
    return EncodeMessage(m);
}

std::string JobStart(const std::string& ctx, const std::string& config) {
    proto::JobStartReq m;
    m.mutable_hdr()->set_job_ctx(ctx);
    m.set_sampleconfig(config);
    return EncodeMessage(m);
}

std::string ReplayStart(const std::string& ctx, bool llc) {
    proto::ReplayStartReq m;
    m.mutable_hdr()->set_job_ctx(ctx);
    if (llc) {
        m.add_llc_events("read");
        m.add_llc_events("write");
    }
    return EncodeMessage(m);
}

std::string ReplayStop(const std::string& ctx) {
    proto::ReplayStopReq m;
    m.mutable_hdr()->set_job_ctx(ctx);
    return EncodeMessage(m);
}

std::string JobStop(const std::string& ctx, const std::string& jobId) {
    proto::JobStopReq m;
    m.mutable_hdr()->set_job_ctx(ctx);
    m.set_jobid(jobId);
    return EncodeMessage(m);
}

// One frame of every message type of the schema, fields set as a host or
// the device sets them.
std::vector<std::pair<std::string, std::string>> Frames() {
    std::string ctx = JobCtx("job-1", "0");
    std::vector<std::pair<std::string, std::string>> out;
    out.emplace_back("ctrl_handshake", CtrlHandshake("job-1", 0, "def_mode"));
    out.emplace_back("data_handshake", DataHandshake("job-1", 0, "def_mode"));
    out.emplace_back("job_start", JobStart(ctx, kSysConfig));
    out.emplace_back("replay_start", ReplayStart(ctx, true));
    out.emplace_back("replay_stop", ReplayStop(ctx));
    out.emplace_back("job_stop", JobStop(ctx, "job-1"));
    proto::Response response;
    response.set_status(proto::FAILED);
    response.set_jobid("job-1");
    response.set_message(R"({"dev_id":"0","status":1,"info":"start failed"})");
    out.emplace_back("response", EncodeMessage(response));
    proto::FileChunkReq chunk;
    chunk.mutable_hdr()->set_job_ctx(ctx);
    chunk.set_filename("data/llc.data");
    chunk.set_offset(-1);
    chunk.set_chunk(std::string("\x01\x02\x03\x04 chunk", 10));
    chunk.set_chunksizeinbytes(10);
    chunk.set_islastchunk(true);
    chunk.set_datamodule(3);
    out.emplace_back("file_chunk", EncodeMessage(chunk));
    proto::FileChunkFlushReq flush;
    flush.mutable_hdr()->set_job_ctx(ctx);
    flush.set_filename("data/llc.data");
    flush.set_datamodule(3);
    out.emplace_back("file_chunk_flush", EncodeMessage(flush));
    proto::FinishJobRsp finish;
    finish.set_jobid("job-1");
    finish.set_status(proto::SUCCESS);
    out.emplace_back("finish_job", EncodeMessage(finish));
    proto::DeviceInfo info;
    info.set_dev_id("0");
    out.emplace_back("device_info", EncodeMessage(info));
    proto::DataChannelFinish done;
    done.mutable_hdr()->set_job_ctx(ctx);
    out.emplace_back("data_finish", EncodeMessage(done));
    proto::ReplayStartReq all;
    all.mutable_hdr()->set_job_ctx(ctx);
    all.set_replayid(1);
    all.add_ctrl_cpu_events("0x11");
    all.add_ts_cpu_events("0x8");
    all.add_ai_cpu_events("0x8");
    all.add_ai_core_events("0x1");
    all.add_ai_core_events_cores(1);
    all.add_llc_events("read");
    all.add_ddr_events("read");
    all.add_aiv_events("0x2");
    all.add_aiv_events_cores(2);
    out.emplace_back("replay_start_all", EncodeMessage(all));
    return out;
}

std::string Packet(uint32_t type, const std::string& value) {
    IdeTlvReq* req = nullptr;
    uint32_t len = 0;
    if (IdeCreatePacket(type, value.data(), static_cast<uint32_t>(value.size()), &req, &len) != 0) {
        return "";
    }
    std::string out(reinterpret_cast<const char*>(req), len);
    IdeFreePacket(&req);
    return out;
}

// One segment record as the session layer writes it: header, data, 3 bytes.
std::string Segment(const std::string& data, bool last) {
    std::string s(HDC_PACKET_HEAD_LEN + data.size(), '\0');
    uint32_t len = static_cast<uint32_t>(data.size());
    uint32_t tag = HDC_PACKET_TAG;
    memcpy(&s[0], &len, 4);
    memcpy(&s[4], &tag, 4);
    s[8] = last ? 1 : 0;
    memcpy(&s[9], data.data(), data.size());
    return s;
}

// The fake driver's script of a buffer cut into segments of at most `cut`
// bytes, `perMessage` segments to a driver message.
std::string SegmentScript(const std::string& buffer, size_t cut, size_t perMessage) {
    std::string script;
    size_t count = 0;
    for (size_t off = 0; off < buffer.size(); off += cut) {
        bool last = off + cut >= buffer.size();
        ++count;
        uint8_t tag = (last || count % perMessage == 0) ? 1 : 0;
        AppendRecord(&script, tag, Segment(buffer.substr(off, cut), last));
    }
    return script;
}

bool WriteJson() {
    using analysis::orbx::message::ProfileParams;
    using analysis::orbx::message::StatusInfo;
    ProfileParams params;
    StatusInfo status;
    status.status = 0;
    status.dev_id = "0";
    status.info = "ok";
    std::vector<std::pair<std::string, std::string>> texts = {
        {"doc_nested", std::string(1, '\0') +
                           R"({"a":[1,-2,3.5,true,false,null,"x",{"b":{"c":[]}}],"d":"e",)"
                           R"("f":1.5e3,"g":-2147483648,"h":{}})"},
        {"doc_lenient", std::string(1, '\0') + R"({"a" 1 "b"::2,, "c":nope} trailing)"},
        {"job_context", std::string(1, '\1') + JobCtx("job-1", "0")},
        {"profile_params_default", std::string(1, '\2') + params.ToString()},
        {"profile_params_sys", std::string(1, '\2') + kSysConfig},
        {"profile_params_llc", std::string(1, '\2') + kLlcConfig},
        {"status_info", std::string(1, '\3') + status.ToString()},
    };
    for (const auto& t : texts) {
        if (!Write("json", t.first, t.second)) {
            return false;
        }
    }
    return true;
}

bool WriteFrames() {
    for (const auto& f : Frames()) {
        if (!Write("codec", f.first, f.second)) {
            return false;
        }
    }
    return true;
}

bool WriteRequests() {
    std::string ctrl = CtrlHandshake("job-1", 0, "def_mode");
    return Write("request", "profiling_ctrl", Packet(IDE_PROFILING_REQ, ctrl)) &&
           Write("request", "profiling_data",
                 Packet(IDE_PROFILING_REQ, DataHandshake("job-1", 0, "def_mode"))) &&
           Write("request", "hook_reg", Packet(IDE_HOOK_REG_REQ, "x")) &&
           Write("request", "empty_value", Packet(IDE_PROFILING_REQ, ""));
}

bool WriteSegments() {
    std::string packet = Packet(IDE_PROFILING_REQ, JobStart(JobCtx("job-1", "0"), kSysConfig));
    std::string twoReads = SegmentScript(packet, 4096, 1) + SegmentScript(packet, 64, 2);
    std::string nothingYet;
    AppendRecord(&nothingYet, 0x80 | (1 << 1), "");  // a no-wait receive finds nothing
    nothingYet += SegmentScript(packet, 100, 3);
    // Bit 4 of the first tag: read through the transport's RecvPacket.
    std::string viaTransport =
        SegmentScript(packet, 80, 2) +
        SegmentScript(Packet(IDE_PROFILING_REQ, "MESSAGE_CONTAINER_NO_SUPPORT"), 4096, 1);
    viaTransport[0] = static_cast<char>(viaTransport[0] | 0x10);
    std::string shortPacket = SegmentScript(packet.substr(0, 11), 4096, 1);
    shortPacket[0] = static_cast<char>(shortPacket[0] | 0x10);
    return Write("hdc_read", "transport_packets", viaTransport) &&
           Write("hdc_read", "transport_short_packet", shortPacket) &&
           Write("hdc_read", "one_segment", SegmentScript(packet, 4096, 1)) &&
           Write("hdc_read", "many_segments", SegmentScript(packet, 37, 1)) &&
           Write("hdc_read", "segments_per_message", SegmentScript(packet, 50, 4)) &&
           Write("hdc_read", "two_reads", twoReads) && Write("hdc_read", "nothing_yet", nothingYet);
}

bool WriteSessions() {
    std::string ctx = JobCtx("job-1", "0");
    // The tag of a handshake record picks the device index: (tag / 2) % 3.
    auto commands = [&](const std::string& config, bool llc, uint8_t tag) {
        std::string s;
        AppendRecord(&s, tag, CtrlHandshake("job-1", 0, "def_mode"));
        AppendRecord(&s, 1, JobStart(ctx, config));
        AppendRecord(&s, 1, ReplayStart(ctx, llc));
        AppendRecord(&s, 1, ReplayStop(ctx));
        AppendRecord(&s, 1, JobStop(ctx, "job-1"));
        return s;
    };
    // A whole job: its data session first, then the commands.
    auto job = [&](const std::string& config, bool llc, uint8_t tag = 0) {
        std::string s;
        AppendRecord(&s, tag, DataHandshake("job-1", 0, "def_mode"));
        return s + commands(config, llc, tag);
    };
    std::string broken;  // the host goes away in the middle of a job
    AppendRecord(&broken, 0, DataHandshake("job-1", 0, "def_mode"));
    AppendRecord(&broken, 0, CtrlHandshake("job-1", 0, "def_mode"));
    AppendRecord(&broken, 1, JobStart(ctx, kLlcConfig));
    AppendRecord(&broken, 1, ReplayStart(ctx, true));
    std::string outOfOrder;
    AppendRecord(&outOfOrder, 0, CtrlHandshake("job-1", 0, "def_mode"));
    AppendRecord(&outOfOrder, 1, JobStop(ctx, "job-1"));
    AppendRecord(&outOfOrder, 1, ReplayStart(ctx, true));
    AppendRecord(&outOfOrder, 1, JobStart(ctx, "{"));
    return Write("receiver", "sys_job", job(kSysConfig, false)) &&
           Write("receiver", "llc_job", job(kLlcConfig, true)) &&
           Write("receiver", "second_device", job(kSysConfig, false, 2)) &&
           Write("receiver", "no_data_session", commands(kSysConfig, false, 0)) &&
           Write("receiver", "broken_then_again", broken + job(kLlcConfig, true)) &&
           Write("receiver", "out_of_order", outOfOrder);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s <corpus directory>\n", argv[0]);
        return 2;
    }
    g_root = argv[1];
    if (!(WriteJson() && WriteFrames() && WriteRequests() && WriteSegments() && WriteSessions())) {
        fprintf(stderr, "writing the corpus under %s failed\n", g_root.c_str());
        return 1;
    }
    return 0;
}
