// The command line of oru-host: its subcommands, their options and the usage
// texts. Parsing never touches the network or the output folder; it only
// turns argv into a checked request, or into a usage error with its reason.
#ifndef ORU_TOOLS_ORU_HOST_OPTIONS_H
#define ORU_TOOLS_ORU_HOST_OPTIONS_H

#include <cstdint>
#include <string>
#include <vector>

namespace analysis::orbx::hosttool {

// Exit codes of oru-host.
constexpr int kExitOk = 0;
constexpr int kExitLocalFailure = 1;  // output could not be written, nothing to report
constexpr int kExitUsage = 2;
constexpr int kExitDeviceRefused = 3;
constexpr int kExitLinkFailure = 4;

// How long a refused control handshake is tried again by default: long enough
// for the device to see an earlier job's control session end.
constexpr uint64_t kDefaultHandshakeWaitMs = 5000;

struct ProfileOptions {
    uint32_t device = 0;  // the device of one job
    // --device as given: a list of devices ("0,1,3"), or every device the host
    // sees ("all"). One device keeps the output folder as it is; several each
    // write DIR/dev<N>.
    std::vector<uint32_t> devices = {0};
    bool allDevices = false;
    // Set for the jobs of a device list: the device whose job is asked for
    // the card-wide collections, when it is another one; -1 otherwise.
    int cardWideDevice = -1;
    std::string jobId;        // empty: DefaultJobId
    std::string outDir;       // empty: DefaultOutDir
    uint64_t durationMs = 0;  // 0: until interrupted (Ctrl-C)
    bool sys = false;
    bool pid = false;
    bool hasInterval = false;
    int32_t intervalMs = 0;
    std::vector<std::string> llcEvents;
    std::vector<std::string> ctrlCpuEvents;
    std::string configFile;  // empty: build the configuration from the switches
    std::string mode;
    uint32_t vfid = 0;
    uint32_t replyTimeoutS = 60;
    uint64_t handshakeWaitMs = kDefaultHandshakeWaitMs;  // 0: no second try
};

struct ReportOptions {
    std::string dir;
    uint32_t pageSize = 4096;
};

struct ExportOptions {
    std::string dir;
    std::string out;  // empty: DIR/trace.json
    uint32_t pageSize = 4096;
};

enum class Command {
    kHelp,
    kProfileHelp,
    kReportHelp,
    kExportHelp,
    kProfile,
    kReport,
    kExport,
    kUsageError
};

struct CommandLine {
    Command command = Command::kUsageError;
    ProfileOptions profile;
    ReportOptions report;
    ExportOptions exportTrace;
    std::string error;      // for kUsageError: what is wrong
    std::string usageText;  // for kUsageError: the usage of the subcommand concerned
};

CommandLine ParseCommandLine(const std::vector<std::string>& args);  // args without argv[0]

// The job id when none is given: the UTC time of the run, "20260102-030405"
// for "2026-01-02T03:04:05Z".
std::string DefaultJobId(const std::string& wallTimeUtc);
// The output folder when none is given: "oru-<job id>" in the current folder.
std::string DefaultOutDir(const std::string& jobId);

std::string MainUsage();
std::string ProfileUsage();
std::string ReportUsage();
std::string ExportUsage();

// Splits a comma-separated event list; blanks around names are dropped.
// False (with the reason) for an empty list or an empty name.
bool SplitEventList(const std::string& text, std::vector<std::string>* events, std::string* error);

}  // namespace analysis::orbx::hosttool

#endif  // ORU_TOOLS_ORU_HOST_OPTIONS_H
