#include "tools/oru_host/options.h"

#include <algorithm>
#include <cctype>
#include <functional>
#include <map>
#include <set>

#include "message/param_validation.h"
#include "tools/oru_host/proc_text.h"

namespace analysis::orbx::hosttool {

using common::validation::ParamValidation;

namespace {

constexpr uint32_t kMaxDeviceId = 63;
constexpr size_t kMaxJobIdChars = 512;
constexpr uint64_t kMaxDurationMs = 7ULL * 24 * 3600 * 1000;
constexpr uint64_t kMaxIntervalMs = 3600000;
constexpr uint64_t kMaxReplyTimeoutS = 3600;
constexpr uint64_t kMaxHandshakeWaitMs = 3600 * 1000;

bool ParseUnsigned(const std::string& text, uint64_t max, uint64_t* value) {
    return ParseDecimal(text, max, value);
}

// Seconds with up to three decimals ("5", "0.5", "2.125") as milliseconds;
// zero only when allowZero.
bool ParseSeconds(const std::string& text, uint64_t* ms, bool allowZero = false) {
    size_t point = text.find('.');
    std::string whole = text.substr(0, point);
    std::string frac = point == std::string::npos ? "" : text.substr(point + 1);
    if (point != std::string::npos && (frac.empty() || frac.size() > 3)) {
        return false;
    }
    uint64_t w = 0;
    uint64_t f = 0;
    if (!ParseUnsigned(whole, kMaxDurationMs / 1000, &w)) {
        return false;
    }
    if (!frac.empty()) {
        frac.append(3 - frac.size(), '0');
        if (!ParseUnsigned(frac, 999, &f)) {
            return false;
        }
    }
    *ms = w * 1000 + f;
    return (allowZero || *ms > 0) && *ms <= kMaxDurationMs;
}

bool IsValidJobId(const std::string& id) {
    if (id.empty() || id.size() > kMaxJobIdChars) {
        return false;
    }
    for (unsigned char c : id) {
        if (!std::isalnum(c) && c != '-') {
            return false;
        }
    }
    return true;
}

// Texts that travel inside the device's JSON dialect may not hold a double
// quote (it has no escapes) nor control characters.
bool IsDialectSafe(const std::string& text) {
    for (unsigned char c : text) {
        if (c == '"' || c < 0x20 || c == 0x7f) {
            return false;
        }
    }
    return true;
}

std::string Trim(const std::string& text) {
    size_t b = text.find_first_not_of(" \t");
    if (b == std::string::npos) {
        return "";
    }
    size_t e = text.find_last_not_of(" \t");
    return text.substr(b, e - b + 1);
}

struct OptionRule {
    bool takesValue;
    // Applies the value; false with *error set when it is not acceptable.
    std::function<bool(const std::string& value, std::string* error)> apply;
};

// Walks "--name value", "--name=value" and "--flag" arguments against rules.
bool WalkOptions(const std::vector<std::string>& args, size_t first,
                 const std::map<std::string, OptionRule>& rules,
                 std::vector<std::string>* positional, std::set<std::string>* seen,
                 std::string* error) {
    for (size_t i = first; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg.size() < 3 || arg.compare(0, 2, "--") != 0) {
            positional->push_back(arg);
            continue;
        }
        std::string name = arg.substr(2);
        std::string value;
        bool inlineValue = false;
        size_t eq = name.find('=');
        if (eq != std::string::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
            inlineValue = true;
        }
        auto it = rules.find(name);
        if (it == rules.end()) {
            *error = "unknown option --" + name;
            return false;
        }
        if (!seen->insert(name).second) {
            *error = "option --" + name + " given more than once";
            return false;
        }
        if (it->second.takesValue && !inlineValue) {
            if (i + 1 >= args.size()) {
                *error = "option --" + name + " needs a value";
                return false;
            }
            value = args[++i];
        } else if (!it->second.takesValue && inlineValue) {
            *error = "option --" + name + " takes no value";
            return false;
        }
        std::string why;
        if (!it->second.apply(value, &why)) {
            *error = "--" + name + " " + (value.empty() ? "\"\"" : value) + ": " + why;
            return false;
        }
    }
    return true;
}

CommandLine UsageError(const std::string& error, const std::string& usage) {
    CommandLine cl;
    cl.command = Command::kUsageError;
    cl.error = error;
    cl.usageText = usage;
    return cl;
}

bool HasHelp(const std::vector<std::string>& args, size_t first) {
    for (size_t i = first; i < args.size(); ++i) {
        if (args[i] == "--help" || args[i] == "-h") {
            return true;
        }
    }
    return false;
}

CommandLine ParseProfile(const std::vector<std::string>& args) {
    if (HasHelp(args, 1)) {
        CommandLine cl;
        cl.command = Command::kProfileHelp;
        return cl;
    }
    ProfileOptions p;
    std::map<std::string, OptionRule> rules;
    rules["device"] = {
        true, [&p](const std::string& v, std::string* e) {
            if (v == "all") {
                p.allDevices = true;
                p.devices.clear();
                return true;
            }
            std::vector<uint32_t> list;
            size_t start = 0;
            while (true) {
                size_t comma = v.find(',', start);
                uint64_t n = 0;
                if (!ParseUnsigned(Trim(v.substr(start, comma - start)), kMaxDeviceId, &n)) {
                    *e = "device numbers from 0 to 63, separated by commas, or "
                         "all are expected";
                    return false;
                }
                if (std::find(list.begin(), list.end(), n) != list.end()) {
                    *e = "device " + std::to_string(n) + " is named twice";
                    return false;
                }
                list.push_back(static_cast<uint32_t>(n));
                if (comma == std::string::npos) {
                    break;
                }
                start = comma + 1;
            }
            p.devices = list;
            p.device = list.front();
            return true;
        }};
    rules["job-id"] = {true, [&p](const std::string& v, std::string* e) {
                           if (!IsValidJobId(v)) {
                               *e = "1 to 512 letters, digits or '-' are expected";
                               return false;
                           }
                           p.jobId = v;
                           return true;
                       }};
    rules["out"] = {true, [&p](const std::string& v, std::string* e) {
                        if (v.empty()) {
                            *e = "an output folder is expected";
                            return false;
                        }
                        p.outDir = v;
                        return true;
                    }};
    rules["duration"] = {true, [&p](const std::string& v, std::string* e) {
                             if (!ParseSeconds(v, &p.durationMs)) {
                                 *e = "seconds above 0 (at most 604800, 3 decimals) are expected";
                                 return false;
                             }
                             return true;
                         }};
    rules["sys"] = {false, [&p](const std::string&, std::string*) { return p.sys = true; }};
    rules["pid"] = {false, [&p](const std::string&, std::string*) { return p.pid = true; }};
    rules["interval"] = {true, [&p](const std::string& v, std::string* e) {
                             uint64_t n = 0;
                             if (!ParseUnsigned(v, kMaxIntervalMs, &n) || n == 0) {
                                 *e = "milliseconds from 1 to 3600000 are expected";
                                 return false;
                             }
                             p.hasInterval = true;
                             p.intervalMs = static_cast<int32_t>(n);
                             return true;
                         }};
    auto events = [](std::vector<std::string>* out) {
        return [out](const std::string& v, std::string* e) {
            if (!IsDialectSafe(v)) {
                *e = "quotes and control characters are not allowed";
                return false;
            }
            return SplitEventList(v, out, e);
        };
    };
    rules["llc"] = {true, events(&p.llcEvents)};
    rules["ctrl-cpu"] = {true, events(&p.ctrlCpuEvents)};
    rules["config"] = {true, [&p](const std::string& v, std::string* e) {
                           if (v.empty()) {
                               *e = "a file name is expected";
                               return false;
                           }
                           p.configFile = v;
                           return true;
                       }};
    rules["mode"] = {true, [&p](const std::string& v, std::string* e) {
                         // The device refuses any other mode without a reason.
                         if (!ParamValidation::GetInstance().CheckProfilingModeIsValid(v)) {
                             *e = "the device knows only the empty mode, def_mode and system-wide";
                             return false;
                         }
                         p.mode = v;
                         return true;
                     }};
    rules["vfid"] = {true, [&p](const std::string& v, std::string* e) {
                         uint64_t n = 0;
                         if (!ParseUnsigned(v, 0x7fffffff, &n)) {
                             *e = "a number from 0 to 2147483647 is expected";
                             return false;
                         }
                         p.vfid = static_cast<uint32_t>(n);
                         return true;
                     }};
    rules["reply-timeout"] = {true, [&p](const std::string& v, std::string* e) {
                                  uint64_t n = 0;
                                  if (!ParseUnsigned(v, kMaxReplyTimeoutS, &n) || n == 0) {
                                      *e = "seconds from 1 to 3600 are expected";
                                      return false;
                                  }
                                  p.replyTimeoutS = static_cast<uint32_t>(n);
                                  return true;
                              }};
    rules["handshake-wait"] = {true, [&p](const std::string& v, std::string* e) {
                                   if (!ParseSeconds(v, &p.handshakeWaitMs, true) ||
                                       p.handshakeWaitMs > kMaxHandshakeWaitMs) {
                                       *e = "seconds from 0 to 3600 (3 decimals) are expected";
                                       return false;
                                   }
                                   return true;
                               }};

    std::vector<std::string> positional;
    std::set<std::string> seen;
    std::string error;
    if (!WalkOptions(args, 1, rules, &positional, &seen, &error)) {
        return UsageError(error, ProfileUsage());
    }
    if (!positional.empty()) {
        return UsageError("unexpected argument " + positional.front(), ProfileUsage());
    }
    if (!p.configFile.empty() && (p.sys || p.pid || p.hasInterval)) {
        return UsageError(
            "--config sends the file unchanged; --sys, --pid and --interval "
            "cannot be combined with it",
            ProfileUsage());
    }
    if (p.configFile.empty() && !p.sys && !p.pid && p.llcEvents.empty() &&
        p.ctrlCpuEvents.empty()) {
        return UsageError("nothing to collect: give --sys, --pid, --llc, --ctrl-cpu or --config",
                          ProfileUsage());
    }
    CommandLine cl;
    cl.command = Command::kProfile;
    cl.profile = p;
    return cl;
}

// report and export: one folder, a page size, and for export an output file.
CommandLine ParseFolderCommand(const std::vector<std::string>& args, bool exportTrace) {
    const std::string usage = exportTrace ? ExportUsage() : ReportUsage();
    if (HasHelp(args, 1)) {
        CommandLine cl;
        cl.command = exportTrace ? Command::kExportHelp : Command::kReportHelp;
        return cl;
    }
    ReportOptions r;
    ExportOptions x;
    std::map<std::string, OptionRule> rules;
    rules["page-size"] = {
        true, [&r](const std::string& v, std::string* e) {
            uint64_t n = 0;
            if (!ParseUnsigned(v, 1U << 30, &n) || n < 512 || (n & (n - 1)) != 0) {
                *e = "a power of two from 512 bytes is expected";
                return false;
            }
            r.pageSize = static_cast<uint32_t>(n);
            return true;
        }};
    if (exportTrace) {
        rules["out"] = {true, [&x](const std::string& v, std::string* e) {
                            if (v.empty()) {
                                *e = "a file name is expected";
                                return false;
                            }
                            x.out = v;
                            return true;
                        }};
    }
    std::vector<std::string> positional;
    std::set<std::string> seen;
    std::string error;
    if (!WalkOptions(args, 1, rules, &positional, &seen, &error)) {
        return UsageError(error, usage);
    }
    if (positional.empty()) {
        return UsageError("missing the folder written by oru-host profile", usage);
    }
    if (positional.size() > 1) {
        return UsageError("unexpected argument " + positional[1], usage);
    }
    r.dir = positional.front();
    CommandLine cl;
    if (exportTrace) {
        x.dir = r.dir;
        x.pageSize = r.pageSize;
        cl.command = Command::kExport;
        cl.exportTrace = x;
    } else {
        cl.command = Command::kReport;
        cl.report = r;
    }
    return cl;
}

}  // namespace

bool SplitEventList(const std::string& text, std::vector<std::string>* events, std::string* error) {
    std::vector<std::string> out;
    size_t start = 0;
    while (true) {
        size_t comma = text.find(',', start);
        std::string name = Trim(text.substr(start, comma - start));
        if (name.empty()) {
            *error = "a comma-separated list of event names is expected";
            return false;
        }
        out.push_back(name);
        if (comma == std::string::npos) {
            break;
        }
        start = comma + 1;
    }
    *events = out;
    return true;
}

std::string DefaultJobId(const std::string& wallTimeUtc) {
    std::string digits;
    for (char c : wallTimeUtc) {
        if (c >= '0' && c <= '9') {
            digits += c;
        }
    }
    if (digits.size() != 14) {
        return "oru-job";
    }
    return digits.substr(0, 8) + "-" + digits.substr(8);
}

std::string DefaultOutDir(const std::string& jobId) {
    return "oru-" + jobId;
}

CommandLine ParseCommandLine(const std::vector<std::string>& args) {
    if (args.empty()) {
        return UsageError("missing command", MainUsage());
    }
    const std::string& cmd = args.front();
    if (cmd == "--help" || cmd == "-h" || cmd == "help") {
        CommandLine cl;
        cl.command = Command::kHelp;
        if (cmd == "help" && args.size() > 1) {
            if (args[1] == "profile") {
                cl.command = Command::kProfileHelp;
            } else if (args[1] == "report") {
                cl.command = Command::kReportHelp;
            } else if (args[1] == "export") {
                cl.command = Command::kExportHelp;
            }
        }
        return cl;
    }
    if (cmd == "profile") {
        return ParseProfile(args);
    }
    if (cmd == "report") {
        return ParseFolderCommand(args, false);
    }
    if (cmd == "export") {
        return ParseFolderCommand(args, true);
    }
    return UsageError("unknown command " + cmd, MainUsage());
}

std::string MainUsage() {
    return "usage: oru-host <command> [options]\n"
           "\n"
           "Runs a profiling job on a card's oru daemon and shows what came back.\n"
           "\n"
           "commands:\n"
           "  profile   run one profiling job on a device and store the data it sends\n"
           "  report    summarise a folder written by profile (table, CSV, HTML page)\n"
           "  export    write a folder written by profile as a trace (Trace Event Format)\n"
           "\n"
           "oru-host <command> --help describes the options of a command.\n"
           "\n"
           "exit codes: 0 success, 1 local failure (output not writable, nothing to report),\n"
           "2 usage error, 3 the device refused, 4 connection or protocol failure\n";
}

std::string ProfileUsage() {
    return "usage: oru-host profile [--device N[,N...]|all] [--job-id ID] [--out DIR]\n"
           "                        [--duration SECONDS]\n"
           "                        [--sys] [--pid] [--interval MS] [--llc EVENTS]\n"
           "                        [--ctrl-cpu EVENTS] [--config FILE] [--mode MODE]\n"
           "                        [--vfid N] [--reply-timeout SECONDS]\n"
           "                        [--handshake-wait SECONDS]\n"
           "\n"
           "Opens the control and data sessions of job ID on device N, starts the job with a\n"
           "sample configuration, collects for SECONDS (or until Ctrl-C), stops the job and\n"
           "writes every file the device sends into DIR, with DIR/job.json describing the run.\n"
           "\n"
           "  --device LIST      device number on this host, 0 to 63 (default 0); a list\n"
           "                     (0,1,3) or all (every device this host sees) runs one\n"
           "                     job per device at once, with the same job id, each into\n"
           "                     DIR/dev<N>; card-wide collections (--sys, --pid,\n"
           "                     --ctrl-cpu) are asked of the first device only\n"
           "  --job-id ID        job identifier: 1 to 512 letters, digits or '-'\n"
           "                     (default: the UTC time, e.g. 20260102-030405)\n"
           "  --out DIR          folder for the received files and job.json, created\n"
           "                     (default: oru-<job id> in the current folder)\n"
           "  --duration SECONDS collection time, e.g. 5 or 0.5; without it the job runs\n"
           "                     until Ctrl-C, which stops it cleanly and keeps all data\n"
           "  --sys              system CPU (/proc/stat) and memory (/proc/meminfo) sampling\n"
           "  --pid              CPU and memory sampling of every process\n"
           "  --interval MS      sampling interval of the system, memory and process samplers\n"
           "                     (the device uses at least 100 ms)\n"
           "  --llc EVENTS       last-level-cache counters, e.g. read or write\n"
           "  --ctrl-cpu EVENTS  control-CPU recording of PMU events, e.g. 0x11,0x8\n"
           "  --config FILE      send FILE's text unchanged as the sample configuration\n"
           "                     instead of building it (not with --sys, --pid, --interval);\n"
           "                     --llc and --ctrl-cpu still give the events of the replay\n"
           "  --mode MODE        profiling mode of the handshakes: empty, def_mode or\n"
           "                     system-wide (default empty)\n"
           "  --vfid N           present virtual-function id N; a non-zero id acts as a\n"
           "                     container, which the device refuses\n"
           "  --reply-timeout S  longest wait for one reply or for the end of the data,\n"
           "                     default 60\n"
           "  --handshake-wait S while the device refuses the control session (an earlier\n"
           "                     job on the device has not ended yet), try again for up to\n"
           "                     S seconds, default 5; 0 tries once\n"
           "\n"
           "EVENTS is a comma-separated list. On a terminal a progress line is shown on\n"
           "standard error.\n"
           "\n"
           "exit codes: 0 success, 1 output not writable, 2 usage error, 3 the device refused\n"
           "(its reason is printed), 4 connection or protocol failure\n";
}

std::string ExportUsage() {
    return "usage: oru-host export DIR [--out FILE] [--page-size BYTES]\n"
           "\n"
           "Writes the job in DIR (a folder written by oru-host profile, one device's or\n"
           "several devices') as Trace Event Format JSON, which Perfetto's UI\n"
           "(ui.perfetto.dev) and chrome://tracing open: one trace process per device,\n"
           "with counter tracks for system CPU (busy, user, system), memory used, each\n"
           "process's CPU share and resident memory, cache statistics and control-CPU\n"
           "event counts. Timestamps are microseconds of the device's clock.\n"
           "\n"
           "  --out FILE         where to write the trace, default DIR/trace.json\n"
           "  --page-size BYTES  page size of the device for resident memory, default 4096\n"
           "\n"
           "exit codes: 0 success, 1 nothing readable in DIR or output not writable,\n"
           "2 usage error\n";
}

std::string ReportUsage() {
    return "usage: oru-host report DIR [--page-size BYTES]\n"
           "\n"
           "Reads the files that oru-host profile wrote into DIR and shows system CPU use per\n"
           "sample interval, system memory over time and the ten processes using the most\n"
           "CPU and the most resident memory. Prints a compact table and writes\n"
           "DIR/system.csv, DIR/processes.csv and DIR/report.html (one page, readable\n"
           "offline). Records that do not parse are counted and listed.\n"
           "\n"
           "  --page-size BYTES  page size of the device for resident memory, default 4096\n"
           "\n"
           "exit codes: 0 success, 1 nothing readable in DIR or output not writable,\n"
           "2 usage error\n";
}

}  // namespace analysis::orbx::hosttool
