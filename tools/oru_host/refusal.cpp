#include "tools/oru_host/refusal.h"

#include "tools/oru_host/dialect_json.h"

namespace analysis::orbx::hosttool {
namespace {

std::string ModeText(const std::string& mode) {
    return mode.empty() ? "the default mode" : "mode \"" + mode + "\"";
}

std::string WithoutInfo(Step step, int status, const RefusalContext& c) {
    const std::string device = "device " + std::to_string(c.device);
    switch (step) {
        case Step::kControlHandshake:
            return "another job still holds " + device + " in " + ModeText(c.mode) +
                   " (its control session has not ended yet); wait for it to finish or stop "
                   "it, then try again, or give a longer --handshake-wait";
        case Step::kDataHandshake:
            return "the device set up no data session for job " + c.jobId +
                   " (it refuses an invalid job id or mode, and fails when it cannot start the "
                   "job's uploader; its log says which)";
        case Step::kJobStart:
            return "the device could not start the job and gave no reason (status " +
                   std::to_string(status) + "); its log says why";
        case Step::kReplayStart:
            return "the device could not start the collections and gave no reason (status " +
                   std::to_string(status) + "); check the --llc and --ctrl-cpu events";
        case Step::kReplayStop:
        case Step::kJobStop:
            return "the device reported a failure and gave no reason (status " +
                   std::to_string(status) + "); the data that arrived is kept";
    }
    return "status " + std::to_string(status);
}

}  // namespace

const char* StepTitle(Step step) {
    switch (step) {
        case Step::kControlHandshake:
            return "control session";
        case Step::kDataHandshake:
            return "data session";
        case Step::kJobStart:
            return "job start";
        case Step::kReplayStart:
            return "replay start";
        case Step::kReplayStop:
            return "replay stop";
        case Step::kJobStop:
            return "job stop";
    }
    return "request";
}

std::string DescribeRefusal(Step step, const Reply& reply, const RefusalContext& c) {
    if (reply.containerRefused) {
        return "the device does not accept profiling from a container (the session presented "
               "virtual function " +
               std::to_string(c.vfid) + "; the device answered " + reply.message +
               "); run oru-host on the host itself, without --vfid";
    }
    StatusReport status = ParseStatusReport(reply.message);
    if (!status.parsed) {
        return reply.message.empty() ? WithoutInfo(step, reply.status, c)
                                     : "the device answered " + reply.message;
    }
    if (!status.info.empty()) {
        return status.info;
    }
    return WithoutInfo(step, status.status, c);
}

}  // namespace analysis::orbx::hosttool
