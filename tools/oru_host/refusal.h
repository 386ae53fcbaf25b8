// What a device's refusal means, in words for the user. The device answers a
// refused step with a status record whose info text is often empty (or, for a
// container, with a raw text instead of a reply); these turn that into what
// happened and what the user can do about it.
#ifndef ORU_TOOLS_ORU_HOST_REFUSAL_H
#define ORU_TOOLS_ORU_HOST_REFUSAL_H

#include <cstdint>
#include <string>

#include "tools/oru_host/device_link.h"

namespace analysis::orbx::hosttool {

// The steps of a run that the device can refuse.
enum class Step {
    kControlHandshake,
    kDataHandshake,
    kJobStart,
    kReplayStart,
    kReplayStop,
    kJobStop
};

struct RefusalContext {
    uint32_t device = 0;
    std::string jobId;
    std::string mode;
    uint32_t vfid = 0;
};

// The reason of a refused reply in words: the device's own info text when it
// gave one, else what the step's refusal means and what to do.
std::string DescribeRefusal(Step step, const Reply& reply, const RefusalContext& context);

// What the step is called in messages ("control session", "job start", ...).
const char* StepTitle(Step step);

}  // namespace analysis::orbx::hosttool

#endif  // ORU_TOOLS_ORU_HOST_REFUSAL_H
