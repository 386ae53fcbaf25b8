#include "message/status_info.h"

#include "message/info_fields.h"

namespace analysis::orbx::message {

namespace {

const InfoField<StatusInfo> kStatusInfoFields[] = {
    ORU_INFO_FIELD(StatusInfo, dev_id),
    ORU_INFO_FIELD(StatusInfo, status),
    ORU_INFO_FIELD(StatusInfo, info),
};

}  // namespace

void StatusInfo::ToObject(Json& doc) const {
    WriteInfoFields(*this, kStatusInfoFields, doc);
}

void StatusInfo::FromObject(Json& doc) {
    ReadInfoFields(*this, kStatusInfoFields, doc);
}

}  // namespace analysis::orbx::message
