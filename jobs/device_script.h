// The device collection script (kProfCollectScript, run through sudo) and the
// recordings it makes for the jobs. Every wait for the script or for a
// recording is bounded; a recording that the script's "--kill" misses is
// ended by the daemon itself (SIGTERM, then SIGKILL), and so is one that an
// earlier run of the daemon left behind.
#ifndef ORU_JOBS_DEVICE_SCRIPT_H
#define ORU_JOBS_DEVICE_SCRIPT_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/utils.h"

namespace Analysis::Orbx::JobWrapper {

// How long the daemon waits, in ms.
// For a command of the script that it waits for ("--kill").
constexpr uint32_t kScriptCommandWaitMs = 5000;
// For the conversion of one recorded piece ("--script").
constexpr uint32_t kScriptConvertWaitMs = 10000;
// For a recording to end once the script's "--kill" has returned.
constexpr uint32_t kRecordingEndWaitMs = 1000;
// For a process to end after SIGTERM (then SIGKILL), and again after SIGKILL.
constexpr uint32_t kSignalWaitMs = 2000;

// The bounds a stop uses; tests shrink them.
struct ScriptWaits {
    uint32_t commandMs = kScriptCommandWaitMs;
    uint32_t endMs = kRecordingEndWaitMs;
    uint32_t signalMs = kSignalWaitMs;
};

// How a child process ended.
enum class ChildEnd {
    kExited,      // by itself, within the wait
    kTerminated,  // after SIGTERM
    kKilled,      // only after SIGKILL
    kLost,        // no child of this process, or it outlived SIGKILL's wait
};

// Waits at most waitMs for the child pid to end, then sends it SIGTERM and
// waits at most signalMs, then SIGKILL and waits at most signalMs again. The
// child is reaped unless kLost. exitCode: its exit status, or 128 + signal.
ChildEnd EndChild(int pid, uint32_t waitMs, uint32_t signalMs, int32_t& exitCode);

// Runs the device script through sudo with args (standard output to
// stdoutFile unless empty) and waits at most waitMs, then ends it as
// EndChild does. 0 with exitCode when it ended by itself; -1 when it could
// not start or had to be ended.
int RunDeviceScript(const std::vector<std::string>& args, const std::string& stdoutFile,
                    uint32_t waitMs, uint32_t signalMs, int& exitCode);

// Which recordings a search takes, by the script's verb ("--record",
// "--stat") and the output file that follows it on the command line.
using RecordingMatch = std::function<bool(const std::string& verb, const std::string& file)>;

// Processes that run the device script (through sudo or not) with a verb and
// output file that match accepts; exited ones do not count. Never this
// process.
std::vector<int> FindRecordings(const RecordingMatch& match);

// Ends the processes FindRecordings finds: SIGTERM, at most signalMs, then
// SIGKILL and at most signalMs. True when none is left.
bool EndRecordings(const RecordingMatch& match, uint32_t signalMs);

// Ends recordings that this process did not start (an earlier run of the
// daemon left them): the script's "--kill" naming the file of each one that
// match accepts, so that no other recording ends, then EndRecordings. True
// when none that match is left.
bool EndLeftoverRecordings(const RecordingMatch& match, const ScriptWaits& waits = ScriptWaits());

// For the start-up, before this process records anything: the script's
// plain "--kill" (every recording, whoever started it; skipped when this
// process has a recording running), then EndLeftoverRecordings.
bool EndEveryRecordingLeftBehind(const RecordingMatch& match,
                                 const ScriptWaits& waits = ScriptWaits());

// One recording of the device script that this process started. The verb and
// output file name it: a stop also ends any process still recording into the
// file.
//
// Safe for concurrent use: the first Stop ends the recording; a later Stop,
// from any thread, waits for it and returns its result.
class ScriptRecording : public std::enable_shared_from_this<ScriptRecording> {
  public:
    ScriptRecording(const std::string& verb, const std::string& file);
    ~ScriptRecording();
    ScriptRecording(const ScriptRecording&) = delete;
    ScriptRecording& operator=(const ScriptRecording&) = delete;

    // Starts the command without waiting for it (Utils::ExecCmd): its result.
    // Once started, the recording counts as running until its Stop.
    // REQUIRES: held by a shared pointer; called once, before any Stop.
    int Start(const analysis::orbx::common::ExecCmdParams& exec,
              const std::vector<std::string>& argv, const std::vector<std::string>& envp);
    // The recording's process, -1 before Start and after Stop.
    int Pid() const { return pid_.load(); }

    // Ends the recording, each wait bounded: the script's "--kill" with the
    // recording's output file (so that it ends no other recording), then its
    // own process (SIGTERM, SIGKILL), then any other process still recording
    // into its file. 0 when everything ended before SIGKILL was needed and
    // nothing is left; -1 otherwise (logged).
    int Stop(const ScriptWaits& waits = ScriptWaits());

  private:
    int StopLocked(const ScriptWaits& waits);

    // Constant after construction.
    const std::string verb_;
    const std::string file_;

    // Held through Start and Stop. Lock order: before g_runningMutex of the
    // running recordings' list.
    std::mutex mutex_;
    bool stopped_ = true;       // guarded by mutex_
    int stopResult_ = 0;        // guarded by mutex_
    std::atomic<int> pid_{-1};  // written under mutex_
};

// Recordings this process started and has not stopped yet.
size_t RunningRecordings();

// Stops every recording this process started and has not stopped yet; for
// the daemon's stop. Their jobs' later stops return the same results.
void StopAllRecordings();

}  // namespace Analysis::Orbx::JobWrapper

#endif  // ORU_JOBS_DEVICE_SCRIPT_H
