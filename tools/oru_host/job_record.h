// What one `profile` run did, written to DIR/job.json: the request, every
// reply of the device, what the data session carried, and the timings.
#ifndef ORU_TOOLS_ORU_HOST_JOB_RECORD_H
#define ORU_TOOLS_ORU_HOST_JOB_RECORD_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "tools/oru_host/chunk_writer.h"
#include "tools/oru_host/collections.h"

namespace analysis::orbx::hosttool {

struct ReplyRecord {
    std::string step;     // "control_handshake", "data_handshake", "job_start", ...
    std::string request;  // the message type sent
    bool received = false;
    bool containerRefused = false;
    int status = -1;
    std::string info;     // the status record's info, or the raw text
    std::string message;  // the Response's Message as received
    std::string reason;   // a refusal in words
    uint64_t sentAtMs = 0;
    uint64_t roundTripMs = 0;
    std::string error;  // link failure, when nothing was received
};

struct JobRecord {
    std::string jobId;
    uint32_t device = 0;
    std::string mode;
    uint32_t vfid = 0;
    std::string configSource;  // "options" or the --config file name
    std::string sampleConfig;
    std::vector<std::string> llcEvents;
    std::vector<std::string> ctrlCpuEvents;
    uint64_t requestedDurationMs = 0;

    std::string startedAt;  // UTC, ISO 8601
    std::vector<ReplyRecord> replies;

    uint64_t collectionMs = 0;
    uint64_t totalMs = 0;
    bool interrupted = false;

    bool dataFinished = false;  // DataChannelFinish arrived
    std::string dataEnd;        // how the data session ended when it did not
    uint64_t dataFinishMs = 0;  // from the start of the run
    uint64_t dataMessages = 0;
    uint64_t unexpectedMessages = 0;
    uint64_t firstChunkMs = 0;
    uint64_t lastChunkMs = 0;
    std::map<std::string, FileStats> files;
    std::vector<RefusedChunk> refused;
    std::vector<RefusedChunk> failed;
    std::vector<CollectionAccount> collections;  // those asked for, and what each sent
    // With several devices, the device whose job was asked for the card-wide
    // collections; -1 when this job was asked for them itself.
    int cardWideDevice = -1;

    int exitCode = 0;
    std::string outcome;  // "success", "refused", "failed"
    std::string error;
};

std::string JobRecordToJson(const JobRecord& record);

// Writes the record as dir/job.json; false with the reason on failure.
bool WriteJobRecord(const std::string& dir, const JobRecord& record, std::string* reason);

}  // namespace analysis::orbx::hosttool

#endif  // ORU_TOOLS_ORU_HOST_JOB_RECORD_H
