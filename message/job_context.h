// The job context carried as JSON in the job_ctx field of every profiler
// message header. dev_id and job_id come from the host: validate them
// (ParamValidation) before they name a device, a path or a thread.
#ifndef ORU_MESSAGE_JOB_CONTEXT_H
#define ORU_MESSAGE_JOB_CONTEXT_H

#include <cstdint>
#include <string>

#include "message/base_info.h"

namespace analysis::orbx::message {

class JobContext : public BaseInfo {
  public:
    void ToObject(Json& doc) const override;
    void FromObject(Json& doc) override;
    std::string GetName() const override { return "JobContext"; }

    std::string result_dir;
    std::string module;
    std::string tag;
    std::string dev_id;  // device number in decimal
    std::string job_id;
    uint64_t chunkStartTime = 0;  // read back only up to 2147483647 (32-bit dialect)
    uint64_t chunkEndTime = 0;
    int32_t dataModule = 0;
    std::string stream_enabled;
};

}  // namespace analysis::orbx::message

#endif  // ORU_MESSAGE_JOB_CONTEXT_H
