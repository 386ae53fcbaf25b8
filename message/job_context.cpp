#include "message/job_context.h"

#include "message/info_fields.h"

namespace analysis::orbx::message {

namespace {

const InfoField<JobContext> kJobContextFields[] = {
    ORU_INFO_FIELD(JobContext, result_dir),
    ORU_INFO_FIELD(JobContext, module),
    ORU_INFO_FIELD(JobContext, tag),
    ORU_INFO_FIELD(JobContext, dev_id),
    ORU_INFO_FIELD(JobContext, job_id),
    ORU_INFO_FIELD(JobContext, chunkStartTime),
    ORU_INFO_FIELD(JobContext, chunkEndTime),
    ORU_INFO_FIELD(JobContext, dataModule),
    ORU_INFO_FIELD(JobContext, stream_enabled),
};

}  // namespace

void JobContext::ToObject(Json& doc) const {
    WriteInfoFields(*this, kJobContextFields, doc);
}

void JobContext::FromObject(Json& doc) {
    ReadInfoFields(*this, kJobContextFields, doc);
}

}  // namespace analysis::orbx::message
