// Playing the host against the daemon: the daemon as a child, job configs, channels.
#ifndef ORU_TESTING_HOST_JOB_H
#define ORU_TESTING_HOST_JOB_H

#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "message/status_info.h"
#include "ostrel/sim_control.h"
#include "testing/process.h"
#include "tools/host/profiling_client.h"

namespace oru_testing {

// The simulated card's cache-counter channel, streaming in "stream" mode.
constexpr uint32_t kLlcChannel = 8;

struct StreamRead {
    int rc = analysis::orbx::host::kRecvFailed;
    uint64_t bytes = 0;        // stream bytes received
    uint64_t chunks = 0;       // stream chunks received
    int64_t firstBad = -1;     // stream offset of the first wrong byte
    uint64_t otherChunks = 0;  // chunks of any other file
};

// Reads until DataChannelFinish, checking each byte of device 0's stream at its offset;
// afterChunk runs after each chunk with the bytes so far.
inline StreamRead ReadStream(analysis::orbx::host::DataChannel& data,
                             const std::function<void(uint64_t)>& afterChunk = nullptr) {
    StreamRead r;
    analysis::orbx::host::FileChunkView chunk;
    while (true) {
        bool finished = false;
        r.rc = data.NextView(&chunk, &finished);
        if (r.rc != analysis::orbx::host::kRecvOk || finished) {
            return r;
        }
        if (chunk.fields.filename().rfind("data/llc.data", 0) != 0) {
            ++r.otherChunks;
            continue;
        }
        const std::string_view bytes = chunk.payload;
        if (r.firstBad < 0) {
            int64_t bad = ostrel_sim_stream_verify(0, kLlcChannel, r.bytes,
                                                   reinterpret_cast<const uint8_t*>(bytes.data()),
                                                   bytes.size());
            r.firstBad = bad >= 0 ? static_cast<int64_t>(r.bytes) + bad : -1;
        }
        r.bytes += bytes.size();
        ++r.chunks;
        if (afterChunk) {
            afterChunk(r.bytes);
        }
    }
}

inline bool IsDir(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

inline std::string InfoOf(const analysis::orbx::proto::Response& reply) {
    analysis::orbx::message::StatusInfo status;
    status.FromString(reply.message());
    return status.info;
}

// A job reading the LLC channel every intervalMs; extra (`,"k":"v"`) goes inside the object.
inline std::string LlcConfig(const std::string& jobId, const std::string& extra = "",
                             int intervalMs = 10) {
    return R"({"job_id":")" + jobId + R"(","gxprof_llc_profiling":"on","llc_interval":)" +
           std::to_string(intervalMs) + extra + "}";
}

inline analysis::orbx::proto::ReplayStartReq LlcEvents() {
    analysis::orbx::proto::ReplayStartReq events;
    events.add_llc_events("read");
    return events;
}

// This build's daemon as a child over `devices` simulated devices, logging to dir/oru.log.
inline std::unique_ptr<Child> StartOru(const std::string& binDir, const std::string& dir,
                                       int devices, const std::string& logLevel = "info",
                                       const std::vector<std::string>& extraEnv = {}) {
    std::vector<std::string> env = {"OSTREL_LOG_FILE=" + dir + "/oru.log"};
    if (devices > 0) {
        env.push_back("OSTREL_SIM_DEVICES=" + std::to_string(devices));
    }
    if (!logLevel.empty()) {
        env.push_back("OSTREL_LOG_LEVEL=" + logLevel);
    }
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    return std::make_unique<Child>(std::vector<std::string>{binDir + "/oru"}, env,
                                   dir + "/oru.out");
}

// Opens a control channel to devId, retrying up to 20 s while the server comes up or an
// earlier job of the device and mode goes.
inline std::unique_ptr<analysis::orbx::host::ControlChannel> OpenControl(
    analysis::orbx::host::HostClient& client, const analysis::orbx::host::Handshake& hs,
    int devId = 0) {
    using namespace analysis::orbx;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        std::unique_ptr<host::ControlChannel> ctrl;
        proto::Response reply;
        if (host::ControlChannel::Open(client, host::Target{devId, 0}, hs, &ctrl, &reply) ==
                host::kRecvOk &&
            reply.status() == proto::SUCCESS) {
            return ctrl;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return nullptr;
}

// A data channel reader's result within deadline; on expiry *inTime is false and the
// session is closed to end the read.
template <typename Result>
Result FinishedWithin(std::future<Result>& reader, analysis::orbx::host::DataChannel& data,
                      bool* inTime, std::chrono::seconds deadline = std::chrono::seconds(10)) {
    *inTime = reader.wait_for(deadline) == std::future_status::ready;
    if (!*inTime) {
        data.Session().Close();
    }
    return reader.get();
}

// Opens a data channel to devId; null unless answered SUCCESS.
inline std::unique_ptr<analysis::orbx::host::DataChannel> OpenData(
    analysis::orbx::host::HostClient& client, const analysis::orbx::host::Handshake& hs,
    int devId = 0) {
    using namespace analysis::orbx;
    std::unique_ptr<host::DataChannel> data;
    proto::Response reply;
    if (host::DataChannel::Open(client, host::Target{devId, 0}, hs, &data, &reply) !=
            host::kRecvOk ||
        reply.status() != proto::SUCCESS) {
        return nullptr;
    }
    return data;
}

}  // namespace oru_testing

#endif  // ORU_TESTING_HOST_JOB_H
