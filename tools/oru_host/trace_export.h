// `oru-host export`: a job as Trace Event Format JSON, the format that
// Perfetto's UI and chrome://tracing open. One trace process per device
// (named by a process_name metadata event); counter tracks for system CPU
// (busy, user, system), memory used, each sampled process's CPU share and
// resident memory, cache statistics per event and control-CPU counts per
// event. Timestamps are microseconds of the device's monotonic clock; the
// device script's lines, stamped with its wall clock, are placed from the
// job's first /proc sample on (or from 0 without one). Values are those of
// the report's CSV files, rounded alike.
#ifndef ORU_TOOLS_ORU_HOST_TRACE_EXPORT_H
#define ORU_TOOLS_ORU_HOST_TRACE_EXPORT_H

#include <string>
#include <vector>

#include "tools/oru_host/report_output.h"

namespace analysis::orbx::hosttool {

std::string TraceJson(const std::vector<DeviceReport>& devices);

}  // namespace analysis::orbx::hosttool

#endif  // ORU_TOOLS_ORU_HOST_TRACE_EXPORT_H
