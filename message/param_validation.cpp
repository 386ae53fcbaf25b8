#include "message/param_validation.h"

#include <algorithm>
#include <climits>
#include <cstdlib>

#include "common/log.h"
#include "common/utils.h"

namespace analysis::orbx::common::validation {

namespace {

bool IsAsciiLetterOrDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

}  // namespace

bool ParamValidation::CheckDeviceIdIsValid(const std::string& devId) const {
    if (!Utils::CheckStringIsNonNegativeIntNum(devId)) {
        ORU_LOGE("devId(%s) is not valid.", devId.c_str());
        return false;
    }
    // Checked above: at most 2147483647.
    long number = std::strtol(devId.c_str(), nullptr, 10);
    if (number > kMaxDeviceId) {
        ORU_LOGW("devId(%s) is over limited.", devId.c_str());
        return false;
    }
    return true;
}

bool ParamValidation::CheckJobIdIsValid(const std::string& jobId) const {
    if (jobId.empty() || jobId.size() > kMaxJobIdLength) {
        return false;
    }
    return std::all_of(jobId.begin(), jobId.end(),
                       [](char c) { return IsAsciiLetterOrDigit(c) || c == '-'; });
}

bool ParamValidation::CheckProfilingModeIsValid(const std::string& mode) const {
    return mode.empty() || mode == "def_mode" || mode == "system-wide";
}

bool ParamValidation::CheckEventSizeIsValid(int eventSize) const {
    ORU_LOGD("eventSize: %d", eventSize);
    return eventSize <= kMaxEventSize;
}

bool ParamValidation::CheckCtrlCpuEventsIsValid(const std::vector<std::string>& events) const {
    int size = static_cast<int>(std::min<size_t>(events.size(), INT_MAX));
    if (!CheckEventSizeIsValid(size)) {
        ORU_LOGE("cpu events size(%zu) is bigger than %d", events.size(), kMaxEventSize);
        return false;
    }
    return std::all_of(events.begin(), events.end(), [](const std::string& event) {
        return event.find("0x") != std::string::npos;
    });
}

bool ParamValidation::CheckLlcEventsIsValid(const std::string& events) const {
    for (char c : events) {
        if (!IsAsciiLetterOrDigit(c) && c != '_' && c != '/' && c != ',' && c != ' ') {
            ORU_LOGE("llc events is invalid.%s", events.c_str());
            return false;
        }
    }
    ORU_LOGD("llc events is %s", events.c_str());
    return true;
}

}  // namespace analysis::orbx::common::validation
