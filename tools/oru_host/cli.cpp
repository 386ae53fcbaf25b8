#include "tools/oru_host/cli.h"

#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <streambuf>
#include <thread>

#include "tools/oru_host/chunk_writer.h"
#include "tools/oru_host/collections.h"
#include "tools/oru_host/options.h"
#include "tools/oru_host/profile_run.h"
#include "tools/oru_host/report.h"
#include "tools/oru_host/report_output.h"
#include "tools/oru_host/sample_config.h"
#include "tools/oru_host/trace_export.h"

namespace analysis::orbx::hosttool {
namespace {

constexpr size_t kMaxConfigBytes = 1 << 20;  // the device reads at most 1 MiB of JSON

bool ReadConfigFile(const std::string& path, std::string* text, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = "--config " + path + ": cannot be read";
        return false;
    }
    std::ostringstream ss;
    ss << in.rdbuf();
    if (in.bad()) {
        *error = "--config " + path + ": read error";
        return false;
    }
    *text = ss.str();
    if (text->empty()) {
        *error = "--config " + path + ": the file is empty";
        return false;
    }
    if (text->size() > kMaxConfigBytes) {
        *error = "--config " + path + ": larger than 1 MiB, which the device refuses";
        return false;
    }
    return true;
}

int Usage(const CliContext& c, const std::string& error, const std::string& usage) {
    *c.err << "oru-host: " << error << "\n\n" << usage;
    return kExitUsage;
}

// Hands whole lines to a shared stream, one writer at a time, so that the
// notices of jobs running at once do not interleave.
class LineBuf : public std::streambuf {
  public:
    LineBuf(std::ostream* target, std::mutex* mutex) : target_(target), mutex_(mutex) {}

  protected:
    int overflow(int ch) override {
        if (ch != traits_type::eof()) {
            line_ += static_cast<char>(ch);
            if (ch == '\n') {
                Emit();
            }
        }
        return ch;
    }
    int sync() override {
        Emit();
        return 0;
    }

  private:
    void Emit() {
        if (line_.empty()) {
            return;
        }
        std::lock_guard<std::mutex> lock(*mutex_);
        *target_ << line_ << std::flush;
        line_.clear();
    }
    std::ostream* target_;
    std::mutex* mutex_;
    std::string line_;
};

// How bad an exit code is, to report the worst of several devices.
int Severity(int code) {
    switch (code) {
        case kExitOk:
            return 0;
        case kExitDeviceRefused:
            return 1;
        case kExitLocalFailure:
            return 2;
        default:
            return 3;
    }
}

struct DeviceOutcome {
    uint32_t device = 0;
    int code = kExitOk;
    std::string message;  // why it failed
    JobRecord record;
    bool skipped = false;
};

// Runs one job on options.device into options.outDir.
DeviceOutcome RunOne(const ProfileOptions& options, const std::string& sampleConfig,
                     const std::string& configSource, const CliContext& c, std::ostream* notices,
                     bool progress) {
    DeviceOutcome outcome;
    outcome.device = options.device;
    ProfileRequest request;
    request.options = options;
    request.sampleConfig = sampleConfig.empty() ? BuildSampleConfig(options) : sampleConfig;
    request.configSource = configSource;
    std::unique_ptr<DeviceLink> link = c.makeLink();
    if (link == nullptr) {
        outcome.code = kExitLinkFailure;
        outcome.message = "no device link is available";
        return outcome;
    }
    ProfileRun run(request, link.get(), c.clock);
    run.SetProgressStream(progress && c.errIsTerminal ? c.err : nullptr);
    run.SetInterruptFlag(c.interrupt);
    run.SetNoticeStream(notices);
    outcome.code = run.Run();
    outcome.message = run.Message();
    outcome.record = run.Record();
    return outcome;
}

std::string FilesLine(const JobRecord& record) {
    uint64_t bytes = 0;
    uint64_t chunks = 0;
    for (const auto& [name, stats] : record.files) {
        bytes += stats.bytes;
        chunks += stats.chunks;
    }
    return std::to_string(record.files.size()) + " files, " + std::to_string(chunks) + " chunks, " +
           FormatBytes(bytes);
}

void ExplainSilence(const DeviceOutcome& d, const CliContext& c) {
    for (const CollectionAccount& a : d.record.collections) {
        if (!a.missing.empty()) {
            *c.err << "oru-host: device " << d.device << ": " << a.name << " " << a.missing << "\n";
        }
    }
}

int Profile(ProfileOptions options, const CliContext& c) {
    if (options.jobId.empty()) {
        options.jobId = DefaultJobId(c.clock->WallTimeUtc());
    }
    if (options.outDir.empty()) {
        options.outDir = DefaultOutDir(options.jobId);
    }
    std::string sampleConfig;
    std::string configSource = "options";
    if (!options.configFile.empty()) {
        std::string error;
        if (!ReadConfigFile(options.configFile, &sampleConfig, &error)) {
            return Usage(c, error, ProfileUsage());
        }
        configSource = options.configFile;
    }
    std::vector<uint32_t> devices = options.devices;
    if (options.allDevices) {
        std::string error;
        if (!c.listDevices || !c.listDevices(&devices, &error)) {
            *c.err << "oru-host: cannot list the devices: "
                   << (error.empty() ? "no way to ask" : error) << "\n";
            return kExitLinkFailure;
        }
        if (devices.empty()) {
            *c.err << "oru-host: this host sees no device\n";
            return kExitLinkFailure;
        }
    }

    if (devices.size() == 1 && !options.allDevices) {
        options.device = devices.front();
        DeviceOutcome d = RunOne(options, sampleConfig, configSource, c, c.err, true);
        if (d.code != kExitOk) {
            *c.err << "oru-host: " << d.message << "\n";
        }
        if (!d.record.outcome.empty()) {
            std::string missing = MissingSummary(d.record.collections);
            *c.out << "job " << options.jobId << " on device " << options.device << ": "
                   << (d.code == kExitOk ? "done" : d.record.outcome) << ", " << FilesLine(d.record)
                   << " in " << options.outDir << " (see " << options.outDir << "/job.json)"
                   << (missing.empty() ? "" : "; sent nothing: " + missing) << "\n";
            ExplainSilence(d, c);
        }
        return d.code;
    }

    // One job per device at once, the same job id, each into DIR/dev<N>.
    // Card-wide collections are asked of the first device only: on any other
    // device of the card they would send nothing.
    std::string why;
    if (!MakeDirs(options.outDir, &why)) {
        *c.err << "oru-host: cannot create the output folder: " << why << "\n";
        return kExitLocalFailure;
    }
    const uint32_t cardWide = devices.front();
    const bool asksCardWide = options.sys || options.pid || !options.ctrlCpuEvents.empty();
    std::mutex noticeMutex;
    std::vector<DeviceOutcome> outcomes(devices.size());
    std::vector<std::thread> threads;
    for (size_t i = 0; i < devices.size(); ++i) {
        ProfileOptions o = options;
        o.device = devices[i];
        o.devices = {devices[i]};
        o.allDevices = false;
        o.outDir = options.outDir + "/dev" + std::to_string(devices[i]);
        if (devices[i] != cardWide) {
            o.sys = false;
            o.pid = false;
            o.ctrlCpuEvents.clear();
            if (asksCardWide) {
                o.cardWideDevice = static_cast<int>(cardWide);
            }
        }
        if (o.configFile.empty() && !o.sys && !o.pid && o.llcEvents.empty() &&
            o.ctrlCpuEvents.empty()) {
            outcomes[i].device = devices[i];
            outcomes[i].skipped = true;
            continue;
        }
        threads.emplace_back([&, i, o] {
            LineBuf buf(c.err, &noticeMutex);
            std::ostream notices(&buf);
            outcomes[i] = RunOne(o, sampleConfig, configSource, c, &notices, false);
            notices.flush();
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    int worst = kExitOk;
    std::string line = "job " + options.jobId + " on devices ";
    for (size_t i = 0; i < devices.size(); ++i) {
        line += (i == 0 ? "" : ",") + std::to_string(devices[i]);
    }
    line += ":";
    for (const DeviceOutcome& d : outcomes) {
        line += (&d == &outcomes.front() ? " " : "; ") + std::string("device ") +
                std::to_string(d.device) + " ";
        if (d.skipped) {
            line +=
                "skipped (nothing to collect there: card-wide collections are asked of "
                "device " +
                std::to_string(cardWide) + ")";
            continue;
        }
        if (Severity(d.code) > Severity(worst)) {
            worst = d.code;
        }
        std::string missing = MissingSummary(d.record.collections);
        line += d.code == kExitOk ? "done" : d.record.outcome.empty() ? "failed" : d.record.outcome;
        line += ", " + FilesLine(d.record);
        if (!missing.empty()) {
            line += ", sent nothing: " + missing;
        }
        if (d.code != kExitOk) {
            *c.err << "oru-host: " << d.message << "\n";
        }
        ExplainSilence(d, c);
    }
    *c.out << line << "; in " << options.outDir << "/dev<N> (see job.json there)\n";
    return worst;
}

int ReportCommand(const ReportOptions& options, const CliContext& c) {
    std::vector<std::pair<uint32_t, std::string>> folders = DeviceFolders(options.dir);
    if (!folders.empty()) {
        // A run on several devices: each device's own files in its folder,
        // and one page for all of them.
        std::vector<DeviceReport> devices;
        size_t bad = 0;
        for (const auto& [device, folder] : folders) {
            DeviceReport d;
            d.device = device;
            std::string error;
            if (!BuildReport(folder, options.pageSize, &d.report, &error)) {
                d.error = error;
            } else {
                *c.out << FormatReportTable(d.report) << "\n";
                if (!WriteReportFiles(d.report, &error)) {
                    *c.err << "oru-host: " << error << "\n";
                    return kExitLocalFailure;
                }
                bad += d.report.badRecords;
            }
            devices.push_back(std::move(d));
        }
        *c.out << FormatDevicesSummary(devices);
        std::string path = options.dir + "/report.html";
        std::ofstream page(path, std::ios::binary | std::ios::trunc);
        page << DevicesHtml(devices);
        page.close();
        if (!page) {
            *c.err << "oru-host: cannot write " << path << "\n";
            return kExitLocalFailure;
        }
        *c.out << "Wrote " << path << " and each device's CSV files in " << options.dir
               << "/dev<N>\n";
        if (bad > 0) {
            *c.err << "oru-host: " << bad
                   << " record(s) did not parse; they are listed above and in report.html\n";
        }
        return kExitOk;
    }
    Report report;
    std::string error;
    if (!BuildReport(options.dir, options.pageSize, &report, &error)) {
        *c.err << "oru-host: " << error << "\n";
        return kExitLocalFailure;
    }
    *c.out << FormatReportTable(report);
    if (!WriteReportFiles(report, &error)) {
        *c.err << "oru-host: " << error << "\n";
        return kExitLocalFailure;
    }
    *c.out << "Wrote " << options.dir << "/system.csv, " << options.dir << "/processes.csv and "
           << options.dir << "/report.html\n";
    if (report.badRecords > 0) {
        *c.err << "oru-host: " << report.badRecords
               << " record(s) did not parse; they are listed above and in report.html\n";
    }
    return kExitOk;
}

// The reports of DIR: one per device folder of a run on several devices,
// else DIR's own; false (with the reason) when there is nothing to read.
bool DeviceReports(const std::string& dir, uint32_t pageSize, std::vector<DeviceReport>* out,
                   std::string* error) {
    std::vector<std::pair<uint32_t, std::string>> folders = DeviceFolders(dir);
    if (folders.empty()) {
        DeviceReport d;
        if (!BuildReport(dir, pageSize, &d.report, error)) {
            return false;
        }
        d.device = static_cast<uint32_t>(std::strtoul(d.report.device.c_str(), nullptr, 10));
        out->push_back(std::move(d));
        return true;
    }
    for (const auto& [device, folder] : folders) {
        DeviceReport d;
        d.device = device;
        BuildReport(folder, pageSize, &d.report, &d.error);
        out->push_back(std::move(d));
    }
    return true;
}

int ExportCommand(const ExportOptions& options, const CliContext& c) {
    std::vector<DeviceReport> devices;
    std::string error;
    if (!DeviceReports(options.dir, options.pageSize, &devices, &error)) {
        *c.err << "oru-host: " << error << "\n";
        return kExitLocalFailure;
    }
    std::string path = options.out.empty() ? options.dir + "/trace.json" : options.out;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << TraceJson(devices);
    out.close();
    if (!out) {
        *c.err << "oru-host: cannot write " << path << "\n";
        return kExitLocalFailure;
    }
    for (const DeviceReport& d : devices) {
        if (!d.error.empty()) {
            *c.err << "oru-host: device " << d.device << " left out: " << d.error << "\n";
        }
    }
    *c.out << "Wrote " << path << " (open it in ui.perfetto.dev or chrome://tracing)\n";
    return kExitOk;
}

}  // namespace

int RunCli(const std::vector<std::string>& args, const CliContext& c) {
    CommandLine cl = ParseCommandLine(args);
    switch (cl.command) {
        case Command::kHelp:
            *c.out << MainUsage();
            return kExitOk;
        case Command::kProfileHelp:
            *c.out << ProfileUsage();
            return kExitOk;
        case Command::kReportHelp:
            *c.out << ReportUsage();
            return kExitOk;
        case Command::kExportHelp:
            *c.out << ExportUsage();
            return kExitOk;
        case Command::kExport:
            return ExportCommand(cl.exportTrace, c);
        case Command::kProfile:
            return Profile(cl.profile, c);
        case Command::kReport:
            return ReportCommand(cl.report, c);
        case Command::kUsageError:
            break;
    }
    return Usage(c, cl.error, cl.usageText);
}

}  // namespace analysis::orbx::hosttool
