#include "daemon/utils.h"

#include "common/log.h"

namespace analysis::orbx::common {

bool Utils::CheckStringIsNonNegativeIntNum(const std::string& text) {
    static const std::string kMax = "2147483647";
    if (text.empty()) {
        return false;
    }
    if (text.size() > kMax.size()) {
        ORU_LOGE("[Utils::CheckStringIsNonNegativeIntNum]numberStr(%s) is too long", text.c_str());
        return false;
    }
    for (char c : text) {
        if (c < '0' || c > '9') {
            ORU_LOGE("[Utils::CheckStringIsNonNegativeIntNum]numberStr(%s) is not a number",
                     text.c_str());
            return false;
        }
    }
    if (text.size() < kMax.size()) {
        return true;
    }
    for (size_t i = 0; i < kMax.size(); ++i) {
        if (text[i] < kMax[i]) {
            return true;
        }
        if (text[i] > kMax[i]) {
            ORU_LOGE("[Utils::CheckStringIsNonNegativeIntNum]numberStr(%s) is over than %s",
                     text.c_str(), kMax.c_str());
            return false;
        }
    }
    return true;
}

}  // namespace analysis::orbx::common
