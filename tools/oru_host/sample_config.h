// The JSON texts the host puts into its requests: the sample configuration of
// a job start (profiling parameters) and the job context of every header.
#ifndef ORU_TOOLS_ORU_HOST_SAMPLE_CONFIG_H
#define ORU_TOOLS_ORU_HOST_SAMPLE_CONFIG_H

#include <string>
#include <vector>

#include "tools/oru_host/options.h"

namespace analysis::orbx::hosttool {

// The profiling parameters that the switches of `profile` ask for. The job id
// is the one of the handshakes: the device names the job's folders and finds
// the job's data session by it.
std::string BuildSampleConfig(const ProfileOptions& options);

// The job context naming job `jobId` on host device `device`.
std::string BuildJobContext(const std::string& jobId, uint32_t device);

std::string JoinEvents(const std::vector<std::string>& events);

}  // namespace analysis::orbx::hosttool

#endif  // ORU_TOOLS_ORU_HOST_SAMPLE_CONFIG_H
