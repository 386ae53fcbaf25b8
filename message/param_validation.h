// Checks on values that arrive from the host (device number, job id, profiling
// mode, hardware event lists) before they name a device, build a path or a
// thread name, or reach the driver. Each check returns true when the value is
// acceptable and logs the reason when it is not; the caller decides what to
// answer. Stateless: safe to call from any thread.
#ifndef ORU_MESSAGE_PARAM_VALIDATION_H
#define ORU_MESSAGE_PARAM_VALIDATION_H

#include <string>
#include <vector>

#include "common/singleton.h"

namespace analysis::orbx::common::validation {

class ParamValidation : public singleton::Singleton<ParamValidation> {
  public:
    static constexpr int kMaxDeviceId = 63;
    static constexpr size_t kMaxJobIdLength = 512;
    static constexpr int kMaxEventSize = 8;

    ~ParamValidation() override = default;

    // A decimal number of 0 to 63; leading zeros allowed.
    bool CheckDeviceIdIsValid(const std::string& devId) const;
    // 1 to 512 characters, each a digit, an ASCII letter or '-'.
    bool CheckJobIdIsValid(const std::string& jobId) const;
    // Empty, "def_mode" or "system-wide".
    bool CheckProfilingModeIsValid(const std::string& mode) const;
    // At most kMaxEventSize events.
    bool CheckEventSizeIsValid(int eventSize) const;
    // At most kMaxEventSize entries, each containing "0x".
    bool CheckCtrlCpuEventsIsValid(const std::vector<std::string>& events) const;
    // Only letters, digits, '_', '/', ',' and ' '.
    bool CheckLlcEventsIsValid(const std::string& events) const;

  private:
    friend class singleton::Singleton<ParamValidation>;
    ParamValidation() = default;
};

}  // namespace analysis::orbx::common::validation

#endif  // ORU_MESSAGE_PARAM_VALIDATION_H
