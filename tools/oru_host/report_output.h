// The forms a report takes: the compact table printed by `oru-host report`,
// DIR/system.csv, DIR/processes.csv and DIR/report.html (one page with inline
// SVG charts and no outside references, readable offline).
#ifndef ORU_TOOLS_ORU_HOST_REPORT_OUTPUT_H
#define ORU_TOOLS_ORU_HOST_REPORT_OUTPUT_H

#include <string>
#include <vector>

#include "tools/oru_host/report.h"

namespace analysis::orbx::hosttool {

// v with exactly `decimals` digits after the point, as every output prints numbers.
std::string Fixed(double v, int decimals);

constexpr size_t kTopProcesses = 10;

// The scale of the memory chart: used memory on a scale of its own (total
// memory is tens of times larger and is shown as a label), in the unit that
// suits the largest used value.
struct MemoryScale {
    double divisor = 1024;  // KiB per unit
    std::string unit = "MiB";
    double yMax = 1;  // in units: a little above the largest used value
};
MemoryScale ChooseMemoryScale(const std::vector<MemPoint>& memory);

std::string FormatReportTable(const Report& report);
std::string SystemCsv(const Report& report);
std::string ProcessesCsv(const Report& report);
// The device script's data, when there is any: cache statistics per sample
// and event, and control-CPU counts per time stamp and event (all CPUs).
std::string CacheCsv(const Report& report);
std::string CtrlCpuCsv(const Report& report);
std::string ReportHtml(const Report& report);

// One device's report in a run on several devices; error says why there is
// none.
struct DeviceReport {
    uint32_t device = 0;
    Report report;
    std::string error;
};

// One page for a run on several devices: a summary table (outcome, busiest
// process and CPU per device) and a section per device.
std::string DevicesHtml(const std::vector<DeviceReport>& devices);
// The summary table of such a run for the terminal.
std::string FormatDevicesSummary(const std::vector<DeviceReport>& devices);

// Writes the files into the report's folder (cache.csv and ctrl_cpu.csv only
// when there is such data); false with the reason.
bool WriteReportFiles(const Report& report, std::string* error);

std::string CsvField(const std::string& text);
std::string HtmlEscape(const std::string& text);

}  // namespace analysis::orbx::hosttool

#endif  // ORU_TOOLS_ORU_HOST_REPORT_OUTPUT_H
