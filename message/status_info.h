// The device status that forms the body of every reply to the host.
#ifndef ORU_MESSAGE_STATUS_INFO_H
#define ORU_MESSAGE_STATUS_INFO_H

#include <cstdint>
#include <string>

#include "message/base_info.h"

namespace analysis::orbx::message {

class StatusInfo : public BaseInfo {
  public:
    void ToObject(Json& doc) const override;
    void FromObject(Json& doc) override;
    std::string GetName() const override { return "StatusInfo"; }

    std::string dev_id = "-1";
    int32_t status = 1;  // 0 success, 1 failure: a new status reports failure
    std::string info;    // free text
};

}  // namespace analysis::orbx::message

#endif  // ORU_MESSAGE_STATUS_INFO_H
