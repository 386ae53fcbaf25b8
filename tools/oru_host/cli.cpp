#include "tools/oru_host/cli.h"

#include <fstream>
#include <sstream>

#include "tools/oru_host/collections.h"
#include "tools/oru_host/options.h"
#include "tools/oru_host/profile_run.h"
#include "tools/oru_host/report.h"
#include "tools/oru_host/report_output.h"
#include "tools/oru_host/sample_config.h"

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

int Profile(ProfileOptions options, const CliContext& c) {
    if (options.jobId.empty()) {
        options.jobId = DefaultJobId(c.clock->WallTimeUtc());
    }
    if (options.outDir.empty()) {
        options.outDir = DefaultOutDir(options.jobId);
    }
    ProfileRequest request;
    request.options = options;
    if (options.configFile.empty()) {
        request.sampleConfig = BuildSampleConfig(options);
        request.configSource = "options";
    } else {
        std::string error;
        if (!ReadConfigFile(options.configFile, &request.sampleConfig, &error)) {
            return Usage(c, error, ProfileUsage());
        }
        request.configSource = options.configFile;
    }
    std::unique_ptr<DeviceLink> link = c.makeLink();
    if (link == nullptr) {
        *c.err << "oru-host: no device link is available\n";
        return kExitLinkFailure;
    }
    ProfileRun run(request, link.get(), c.clock);
    run.SetProgressStream(c.errIsTerminal ? c.err : nullptr);
    run.SetInterruptFlag(c.interrupt);
    run.SetNoticeStream(c.err);
    int code = run.Run();
    const JobRecord& record = run.Record();
    if (code != kExitOk) {
        *c.err << "oru-host: " << run.Message() << "\n";
    }
    uint64_t bytes = 0;
    uint64_t chunks = 0;
    for (const auto& [name, stats] : record.files) {
        bytes += stats.bytes;
        chunks += stats.chunks;
    }
    if (!record.outcome.empty()) {
        std::string missing = MissingNames(record.collections);
        *c.out << "job " << options.jobId << " on device " << options.device << ": "
               << (code == kExitOk ? "done" : record.outcome) << ", " << record.files.size()
               << " files, " << chunks << " chunks, " << FormatBytes(bytes) << " in "
               << options.outDir << " (see " << options.outDir << "/job.json)"
               << (missing.empty() ? "" : "; sent nothing: " + missing) << "\n";
        for (const CollectionAccount& a : record.collections) {
            if (!a.missing.empty()) {
                *c.err << "oru-host: device " << options.device << ": " << a.name << " "
                       << a.missing << "\n";
            }
        }
    }
    return code;
}

int ReportCommand(const ReportOptions& options, const CliContext& c) {
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
