#include "message/base_info.h"

#include <exception>

#include "common/log.h"

namespace analysis::orbx::message {

std::string BaseInfo::ToString() const {
    try {
        Json doc;
        ToObject(doc);
        return doc.ToString();
    } catch (const std::exception& e) {
        ORU_LOGE("%s ::ToString(): %s", GetName().c_str(), e.what());
        return std::string();
    }
}

bool BaseInfo::FromString(const std::string& text) {
    if (text.empty()) {
        return false;
    }
    try {
        Json doc;
        doc.Parse(text);
        FromObject(doc);
    } catch (const std::exception& e) {
        ORU_LOGE("%s ::FromString(): %s", GetName().c_str(), e.what());
        return false;
    }
    return true;
}

}  // namespace analysis::orbx::message
