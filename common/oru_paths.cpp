#include "common/oru_paths.h"

// The only unit of the daemon that sees the build's root prefix: a new build
// folder recompiles this file alone.
#include "oru_build_paths.h"

#ifndef ORU_ROOT_PREFIX
#error "ORU_ROOT_PREFIX is not defined: the daemon's paths would silently be this machine's own"
#endif

namespace analysis::orbx::common {

const char kRootPrefix[] = ORU_ROOT_PREFIX;
const char kProfilerDir[] = ORU_ROOT_PREFIX "/usr/local/profiler/";
const char kInotifyDir[] = ORU_ROOT_PREFIX "/var/log/npu/profiling/";
const char kProfCollectScript[] = ORU_ROOT_PREFIX "/var/prof_collect.sh";
const char kMonitorScript[] = ORU_ROOT_PREFIX "/var/ide_daemon_monitor.sh";
const char kAppmonSocket[] = ORU_ROOT_PREFIX "/var/driver/appmon.socket";

}  // namespace analysis::orbx::common
