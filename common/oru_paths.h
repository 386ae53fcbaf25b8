// Every absolute path the daemon owns, built from one build-time root prefix
// (empty on a card, a folder of the build tree for the simulator). /proc
// paths are never prefixed.
#ifndef ORU_COMMON_ORU_PATHS_H
#define ORU_COMMON_ORU_PATHS_H

namespace analysis::orbx::common {

// Prepended to the home directory to form the single-instance lock directory.
extern const char kRootPrefix[];
// Emptied when the profiling service starts.
extern const char kProfilerDir[];
// Per-job and per-device profiling directories live below this one.
extern const char kInotifyDir[];
// Device collection script, run through sudo.
extern const char kProfCollectScript[];
// Script named to the application monitor at registration.
extern const char kMonitorScript[];
// Socket of the application-monitor service.
extern const char kAppmonSocket[];

}  // namespace analysis::orbx::common

#endif  // ORU_COMMON_ORU_PATHS_H
