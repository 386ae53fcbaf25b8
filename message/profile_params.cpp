#include "message/profile_params.h"

#include <iterator>

#include "message/info_fields.h"

namespace analysis::orbx::message {

namespace {

#define ORU_PROFILE_PARAMS_ROW(type, key, value) ORU_INFO_FIELD(ProfileParams, key),
const InfoField<ProfileParams> kProfileParamsFields[] = {
    ORU_PROFILE_PARAMS_FIELDS(ORU_PROFILE_PARAMS_ROW)};
#undef ORU_PROFILE_PARAMS_ROW

static_assert(std::size(kProfileParamsFields) == ProfileParams::kKeyCount);

}  // namespace

void ProfileParams::ToObject(Json& doc) const {
    WriteInfoFields(*this, kProfileParamsFields, doc);
}

void ProfileParams::FromObject(Json& doc) {
    ReadInfoFields(*this, kProfileParamsFields, doc);
}

}  // namespace analysis::orbx::message
