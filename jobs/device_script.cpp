#include "jobs/device_script.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <set>
#include <utility>

#include "common/clock.h"
#include "common/log.h"
#include "common/oru_paths.h"
#include "ostrel/mm.h"

namespace Analysis::Orbx::JobWrapper {

using analysis::orbx::common::ExecCmdParams;
using analysis::orbx::common::Utils;

namespace {

constexpr const char kScriptEnv[] = "PATH=/usr/bin:/usr/sbin:/var";
constexpr const char kProcDir[] = "/proc";
// Pause between two looks at a process that is expected to end.
constexpr uint32_t kPollMs = 10;

using analysis::orbx::common::Clock;

// Recordings started and not stopped yet.
std::mutex g_runningMutex;
std::vector<std::weak_ptr<ScriptRecording>> g_running;  // guarded by g_runningMutex

void Untrack(const ScriptRecording* recording) {
    std::lock_guard<std::mutex> lock(g_runningMutex);
    g_running.erase(std::remove_if(g_running.begin(), g_running.end(),
                                   [recording](const std::weak_ptr<ScriptRecording>& weak) {
                                       auto held = weak.lock();
                                       return held == nullptr || held.get() == recording;
                                   }),
                    g_running.end());
}

// Empty when the process is gone. Plain read(2): a process that exits while
// its file is read makes the read fail with ESRCH, which a stream buffer
// would throw.
std::string ReadProcFile(int pid, const char* name) {
    const std::string path = std::string(kProcDir) + "/" + std::to_string(pid) + "/" + name;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return "";
    }
    std::string text;
    char buf[4096];
    ssize_t got = 0;
    while ((got = read(fd, buf, sizeof(buf))) > 0) {
        text.append(buf, static_cast<size_t>(got));
    }
    (void)close(fd);
    return got < 0 ? "" : text;
}

// True when the process no longer runs: gone, or exited and not yet reaped
// by its parent. A child of this process is reaped on the way.
bool Ended(int pid) {
    int32_t code = 0;
    if (mmWaitPid(pid, &code, MM_WAIT_NOHANG) == MM_PROCESS_ENDED) {
        return true;
    }
    const std::string stat = ReadProcFile(pid, "stat");
    const size_t end = stat.rfind(')');
    if (end == std::string::npos || end + 2 >= stat.size()) {
        return true;
    }
    const char state = stat[end + 2];
    return state == 'Z' || state == 'X';
}

// Polls until every pid has ended or ms have passed: true when all ended.
bool WaitEnded(const std::vector<int>& pids, uint32_t ms) {
    Clock& clock = Clock::Default();
    const auto deadline = clock.Now() + std::chrono::milliseconds(ms);
    while (true) {
        if (std::all_of(pids.begin(), pids.end(), Ended)) {
            return true;
        }
        if (clock.Now() >= deadline) {
            return false;
        }
        clock.SleepFor(std::chrono::milliseconds(kPollMs));
    }
}

// Polls the child until it has ended (and is reaped) or ms have passed.
// lost: it is no child of this process.
bool WaitChildFor(int pid, uint32_t ms, int32_t& exitCode, bool& lost) {
    Clock& clock = Clock::Default();
    const auto deadline = clock.Now() + std::chrono::milliseconds(ms);
    while (true) {
        int32_t code = 0;
        const int32_t state = mmWaitPid(pid, &code, MM_WAIT_NOHANG);
        if (state == MM_PROCESS_ENDED) {
            exitCode = code;
            return true;
        }
        if (state != MM_PROCESS_RUNNING) {
            lost = true;
            return false;
        }
        if (clock.Now() >= deadline) {
            return false;
        }
        clock.SleepFor(std::chrono::milliseconds(kPollMs));
    }
}

std::vector<std::string> CommandLine(int pid) {
    const std::string text = ReadProcFile(pid, "cmdline");
    std::vector<std::string> args;
    size_t from = 0;
    while (from < text.size()) {
        size_t end = text.find('\0', from);
        if (end == std::string::npos) {
            end = text.size();
        }
        args.push_back(text.substr(from, end - from));
        from = end + 1;
    }
    return args;
}

// True when pid runs a recording that match accepts; file: its output file.
bool RunsRecording(int pid, const RecordingMatch& match, std::string& file) {
    const std::vector<std::string> args = CommandLine(pid);
    for (size_t i = 0; i + 1 < args.size(); ++i) {
        file = i + 2 < args.size() ? args[i + 2] : std::string();
        if (args[i] == analysis::orbx::common::kProfCollectScript && match(args[i + 1], file)) {
            return true;
        }
    }
    return false;
}

bool RunsRecording(int pid, const RecordingMatch& match) {
    std::string file;
    return RunsRecording(pid, match, file);
}

}  // namespace

ChildEnd EndChild(int pid, uint32_t waitMs, uint32_t signalMs, int32_t& exitCode) {
    if (pid <= 0) {
        return ChildEnd::kLost;
    }
    bool lost = false;
    if (WaitChildFor(pid, waitMs, exitCode, lost)) {
        return ChildEnd::kExited;
    }
    if (lost) {
        return ChildEnd::kLost;
    }
    (void)kill(pid, SIGTERM);
    if (WaitChildFor(pid, signalMs, exitCode, lost)) {
        return ChildEnd::kTerminated;
    }
    if (lost) {
        return ChildEnd::kLost;
    }
    (void)kill(pid, SIGKILL);
    return WaitChildFor(pid, signalMs, exitCode, lost) ? ChildEnd::kKilled : ChildEnd::kLost;
}

int RunDeviceScript(const std::vector<std::string>& args, const std::string& stdoutFile,
                    uint32_t waitMs, uint32_t signalMs, int& exitCode) {
    ExecCmdParams exec;
    exec.path = "sudo";
    exec.async = true;
    exec.stdoutRedirectFile = stdoutFile;
    std::vector<std::string> argv = {analysis::orbx::common::kProfCollectScript};
    argv.insert(argv.end(), args.begin(), args.end());
    int unused = 0;
    int pid = -1;
    if (Utils::ExecCmd(exec, argv, {kScriptEnv}, unused, pid) != 0) {
        return -1;
    }
    int32_t code = 0;
    const ChildEnd end = EndChild(pid, waitMs, signalMs, code);
    exitCode = code;
    if (end != ChildEnd::kExited) {
        ORU_LOGE("The device script %s did not end within %u ms",
                 args.empty() ? "" : args[0].c_str(), waitMs);
        return -1;
    }
    return 0;
}

std::vector<int> FindRecordings(const RecordingMatch& match) {
    std::vector<std::string> dirs;
    Utils::ListDirs(kProcDir, false, dirs, 0);
    const int self = static_cast<int>(getpid());
    std::vector<int> pids;
    for (const auto& dir : dirs) {
        const std::string name = Utils::BaseName(dir);
        if (!Utils::IsDigits(name) || name.size() > 9) {
            continue;
        }
        const int pid = std::stoi(name);
        if (pid != self && RunsRecording(pid, match) && !Ended(pid)) {
            pids.push_back(pid);
        }
    }
    return pids;
}

bool EndRecordings(const RecordingMatch& match, uint32_t signalMs) {
    const std::vector<int> pids = FindRecordings(match);
    if (pids.empty()) {
        return true;
    }
    for (int pid : pids) {
        ORU_LOGW("Recording process %d still runs, ending it", pid);
        (void)kill(pid, SIGTERM);
    }
    if (!WaitEnded(pids, signalMs)) {
        for (int pid : pids) {
            if (!Ended(pid)) {
                ORU_LOGW("Recording process %d outlived SIGTERM, killing it", pid);
                (void)kill(pid, SIGKILL);
            }
        }
        (void)WaitEnded(pids, signalMs);
    }
    const size_t left = FindRecordings(match).size();
    if (left != 0) {
        ORU_LOGE("%zu recording process(es) could not be ended", left);
        return false;
    }
    return true;
}

bool EndLeftoverRecordings(const RecordingMatch& match, const ScriptWaits& waits) {
    // Each kill names a file a leftover records into: a plain "--kill" would
    // also end this process's recordings, those still starting too.
    std::set<std::string> files;
    for (int pid : FindRecordings(match)) {
        std::string file;
        if (RunsRecording(pid, match, file) && !file.empty()) {
            files.insert(file);
        }
    }
    for (const std::string& file : files) {
        int exitCode = 0;
        const int ret = RunDeviceScript({"--kill", file}, std::string(), waits.commandMs,
                                        waits.signalMs, exitCode);
        ORU_LOGI("Ended a recording left behind, %s, ret=%d, exitCode=%d",
                 Utils::BaseName(file).c_str(), ret, exitCode);
    }
    return EndRecordings(match, waits.signalMs);
}

bool EndEveryRecordingLeftBehind(const RecordingMatch& match, const ScriptWaits& waits) {
    if (RunningRecordings() == 0) {
        int exitCode = 0;
        const int ret =
            RunDeviceScript({"--kill"}, std::string(), waits.commandMs, waits.signalMs, exitCode);
        ORU_LOGI("Ended recordings left behind, ret=%d, exitCode=%d", ret, exitCode);
    }
    return EndLeftoverRecordings(match, waits);
}

// ---- ScriptRecording --------------------------------------------------------

ScriptRecording::ScriptRecording(const std::string& verb, const std::string& file)
    : verb_(verb), file_(file) {}

ScriptRecording::~ScriptRecording() {
    (void)Stop();
}

int ScriptRecording::Start(const ExecCmdParams& exec, const std::vector<std::string>& argv,
                           const std::vector<std::string>& envp) {
    std::lock_guard<std::mutex> lock(mutex_);
    int exitCode = 0;
    int pid = -1;
    const int ret = Utils::ExecCmd(exec, argv, envp, exitCode, pid);
    if (ret != 0) {
        return ret;
    }
    pid_ = pid;
    stopped_ = false;
    std::lock_guard<std::mutex> running(g_runningMutex);
    g_running.push_back(weak_from_this());
    return 0;
}

int ScriptRecording::Stop(const ScriptWaits& waits) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!stopped_) {
        stopResult_ = StopLocked(waits);
        stopped_ = true;
        Untrack(this);
    }
    return stopResult_;
}

int ScriptRecording::StopLocked(const ScriptWaits& waits) {
    // The kill names the file: a plain "--kill" ends every recording, those
    // of other jobs too.
    int exitCode = 0;
    const int ret = RunDeviceScript({"--kill", file_}, std::string(), waits.commandMs,
                                    waits.signalMs, exitCode);
    if (ret != 0) {
        ORU_LOGE("Failed to kill process perf, ret=%d", ret);
    } else {
        ORU_LOGI("Succeeded to kill process, ret=%d, exitCode=%d", ret, exitCode);
    }
    int result = 0;
    int32_t code = 0;
    const int pid = pid_.load();
    switch (EndChild(pid, waits.endMs, waits.signalMs, code)) {
        case ChildEnd::kExited:
            ORU_LOGI("Process %d exited, exit code=%d", pid, code);
            break;
        case ChildEnd::kTerminated:
            ORU_LOGW("Process %d outlived the script's kill and ended on SIGTERM, exit code=%d",
                     pid, code);
            break;
        case ChildEnd::kKilled:
            ORU_LOGE("Process %d ended only on SIGKILL", pid);
            result = -1;
            break;
        case ChildEnd::kLost:
            ORU_LOGE("Failed to wait process %d, ret=%d", pid, -1);
            result = -1;
            break;
    }
    const std::string verb = verb_;
    const std::string file = file_;
    if (!EndRecordings([&verb, &file](const std::string& v,
                                      const std::string& f) { return v == verb && f == file; },
                       waits.signalMs)) {
        result = -1;
    }
    pid_ = -1;
    return result;
}

size_t RunningRecordings() {
    std::lock_guard<std::mutex> lock(g_runningMutex);
    return static_cast<size_t>(
        std::count_if(g_running.begin(), g_running.end(),
                      [](const std::weak_ptr<ScriptRecording>& weak) { return !weak.expired(); }));
}

void StopAllRecordings() {
    std::vector<std::shared_ptr<ScriptRecording>> running;
    {
        std::lock_guard<std::mutex> lock(g_runningMutex);
        for (const auto& weak : g_running) {
            if (auto held = weak.lock()) {
                running.push_back(std::move(held));
            }
        }
    }
    for (const auto& recording : running) {
        (void)recording->Stop();
    }
}

}  // namespace Analysis::Orbx::JobWrapper
