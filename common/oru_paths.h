// Every absolute path the daemon owns, built from one build-time root prefix
// (ORU_ROOT_PREFIX: empty on a card, a folder of the build tree for the
// simulator). /proc paths are never prefixed.
#ifndef ORU_COMMON_ORU_PATHS_H
#define ORU_COMMON_ORU_PATHS_H

#include "oru_build_paths.h"

namespace analysis::orbx::common {

// Prepended to the home directory to form the single-instance lock directory.
constexpr const char kRootPrefix[] = ORU_ROOT_PREFIX;
// Emptied when the profiling service starts.
constexpr const char kProfilerDir[] = ORU_ROOT_PREFIX "/usr/local/profiler/";
// Per-job and per-device profiling directories live below this one.
constexpr const char kInotifyDir[] = ORU_ROOT_PREFIX "/var/log/npu/profiling/";
// Device collection script, run through sudo.
constexpr const char kProfCollectScript[] = ORU_ROOT_PREFIX "/var/prof_collect.sh";
// Script named to the application monitor at registration.
constexpr const char kMonitorScript[] = ORU_ROOT_PREFIX "/var/ide_daemon_monitor.sh";
// Socket of the application-monitor service.
constexpr const char kAppmonSocket[] = ORU_ROOT_PREFIX "/var/driver/appmon.socket";

}  // namespace analysis::orbx::common

#endif  // ORU_COMMON_ORU_PATHS_H
