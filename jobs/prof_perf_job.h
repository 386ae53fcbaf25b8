// Recording of the device's control CPU (job tag 29, one job for the card).
// ProfCtrlcpuJob starts the device script, which records the requested
// hardware events into numbered pieces ("ai_ctrl_cpu.data.<dev>.<n>") of the
// per-device perf-data directory, a new piece about every second, until the
// job stops it. Its PerfExtraTask thread ("KTRX_PerfScript") has the script
// turn each finished piece into text and uploads the text to the host as
// "data/ai_ctrl_cpu.data" chunks, piece by piece; at the stop, once the script
// has ended, it ships the rest. Before it starts, the job ends any recording
// that an earlier run of the daemon left and removes its pieces; it converts
// only the pieces of its own recording.
#ifndef ORU_JOBS_PROF_PERF_JOB_H
#define ORU_JOBS_PROF_PERF_JOB_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/chunk.h"
#include "common/clock.h"
#include "common/thread.h"
#include "jobs/device_script.h"
#include "jobs/prof_comm_job.h"

namespace Analysis::Orbx::JobWrapper {

// Name of the script's output file, before "." and the host's device number.
constexpr const char kCtrlCpuDataName[] = "ai_ctrl_cpu.data";
// Sampling interval used when the host asks for none.
constexpr int32_t kDefaultCtrlCpuIntervalMs = 10;

// Samples per second for a sampling interval in ms ("cpu_sampling_interval"):
// 1000 / interval, with kDefaultCtrlCpuIntervalMs for an interval not above 0.
// Never below 1: an interval above 1000 ms records once a second.
int CtrlCpuSampleFrequency(int32_t intervalMs);

// The script's event list: "{r11,r8}" for "0x11", "0x8" (each event's first
// two characters become "r").
std::string CtrlCpuEventsText(const std::vector<std::string>& events);

// True when the base name of path is a recorded piece: it contains
// "ai_ctrl_cpu.data." and has exactly three points. The output file itself
// (two points) and converted pieces (".txt", four points) are not pieces.
bool IsCtrlCpuPiece(const std::string& path);

// The pieces among paths, in recording order: by name, except that names
// differing only in their trailing piece number compare by number (piece 10
// comes after piece 9). Without the last one unless includeLast: the script
// may still be writing it. With a recording (the base name of the script's
// output file), only that recording's pieces: recording + "." + a number.
std::vector<std::string> SelectCtrlCpuPieces(const std::vector<std::string>& paths,
                                             bool includeLast,
                                             const std::string& recording = std::string());

// Ends every control-CPU recording and cache-counter script that an earlier
// run of the daemon left (the script's "--kill", then any process still
// recording below the profiling directory) and removes the recorded pieces
// and their text from the per-device directories. For the profiling
// service's start-up. True when no such recording is left.
bool EndRecordingsLeftBehind();

// Picks up the finished pieces of a recording, has the script convert each
// to text, uploads the text under the job's id and deletes the piece and its
// text.
//
// Threading: the owner calls Init, SetJobCtx and the test hooks before Start,
// and Uninit after Stop. While the thread runs it reads only finished pieces;
// once it is asked to quit (Stop) it handles every piece, the last one too, so
// the owner stops it only after the script has ended.
class PerfExtraTask : public analysis::orbx::common::thread::Thread {
  public:
    // Bytes read from a converted piece per chunk (the buffer holds one more).
    static constexpr uint64_t kReadSize = 0x40000;
    static constexpr uint64_t kMaxConvertedSize = 0x20000000;
    static constexpr int32_t kChunkModule = 3;
    // Between two looks at the result directory.
    static constexpr std::chrono::milliseconds kPollInterval{1000};

    // Turns piece into text at piece + ".txt": 0 (exitCode: the converter's
    // exit status), or the failure. A piece whose conversion fails or exits
    // non-zero is not uploaded.
    using ConvertFunc = std::function<int(const std::string& piece, int& exitCode)>;

    PerfExtraTask(uint64_t bufSize, const std::string& resultDir,
                  std::shared_ptr<analysis::orbx::message::JobContext> jobCtx,
                  std::shared_ptr<analysis::orbx::message::ProfileParams> params);
    // Stops the thread: Run uses the members.
    ~PerfExtraTask() override;

    // Allocates the read buffer (bufSize bytes, at least 2; a read fills all
    // but the last, at most kReadSize): 0, or -1 for host profiling, when
    // already inited or when the buffer cannot be had.
    int Init();
    // Releases the buffer. Always 0.
    int Uninit();
    void SetJobCtx(std::shared_ptr<analysis::orbx::message::JobContext> jobCtx);
    // Takes only the pieces of this recording (the base name of the script's
    // output file); every piece when empty.
    void SetRecording(const std::string& recording) { recording_ = recording; }
    // The device whose data session of the job gets the data (index 0 until set).
    void SetDevIndex(int devIndex) { devIndex_ = devIndex; }

    void Run(const analysis::orbx::common::thread::ErrorContext& context) override;

    // One look at the result directory: handles the finished pieces in
    // recording order, and the last one too when all is true.
    void ProcessPieces(bool all);

    // Bytes uploaded so far. REQUIRES: the thread is not running.
    int64_t GetTotalSize() const { return totalSize_; }
    // Pieces that could not be converted (logged by name; none of their
    // text is uploaded). REQUIRES: the thread is not running.
    int GetUnconvertedCount() const { return unconverted_; }

    // Test hooks; the defaults run the device script and pause kPollInterval
    // on the process clock. Before Start; clock must outlive the thread.
    void SetConvertFunc(ConvertFunc convert) { convert_ = std::move(convert); }
    void SetClock(analysis::orbx::common::Clock& clock) { clock_ = &clock; }

    // The default conversion: the device script's "--script" through sudo,
    // its standard output to piece + ".txt"; waits for it at most
    // kScriptConvertWaitMs (then ends it and fails).
    static int ConvertWithScript(const std::string& piece, int& exitCode);

  private:
    void HandlePiece(const std::string& piece);
    void UploadFile(const std::string& path);

    // Set before Start, read by the thread.
    bool isInited_ = false;
    std::string resultDir_;
    std::string recording_;
    std::shared_ptr<analysis::orbx::message::JobContext> jobCtx_;
    int devIndex_ = 0;
    std::shared_ptr<analysis::orbx::message::ProfileParams> params_;
    ConvertFunc convert_;
    analysis::orbx::common::Clock* clock_ = nullptr;  // null: the process clock

    // Used by the thread (or by the caller of ProcessPieces) only.
    int64_t totalSize_ = 0;
    int unconverted_ = 0;
    uint64_t bufSize_;
    std::shared_ptr<analysis::orbx::common::memory::Chunk> buf_;  // from Init to Uninit
};

// The control-CPU recording job. Global: one recording serves the card.
// Process and Uninit are called by one thread at a time; each of their waits
// for the device is bounded.
class ProfCtrlcpuJob : public ICollectionJob {
  public:
    // Starts the task thread: Thread::Start's result.
    using TaskStartFunc = std::function<int(PerfExtraTask&)>;

    ProfCtrlcpuJob() = default;
    // Stops a recording that was started and never stopped, so that no
    // script is left running and no child unwaited.
    ~ProfCtrlcpuJob() override;

    // 0 on the device side with a non-empty event list and a creatable
    // result directory (which becomes the collection's result directory).
    int Init(const std::shared_ptr<CollectionJobCfg> cfg) override;
    // Ends any recording left behind, then starts the script and the task
    // thread. 0 without starting anything when no record command can be
    // built (bad events, no output file); -1 when a recording left behind
    // cannot be ended. When the task thread cannot start, the recording is
    // ended again and its pieces removed.
    int Process() override;
    // Stops the recording (each wait bounded, see ScriptRecording::Stop),
    // then stops the task thread, which ships every remaining piece. 0, or
    // -1 when the recording did not end cleanly or a piece could not be
    // converted.
    int Uninit() override;
    bool IsGlobalJobLevel() override { return true; }

    // The record command, or empty when the events or the output file do
    // not allow one. On the way it creates (empties) the script's output
    // file and removes stale pieces. REQUIRES: Init succeeded.
    std::string BuildCtrlCpuCmd() const;

    // Test hooks, handed to the task when Init creates it.
    void SetTaskClock(analysis::orbx::common::Clock& clock) { taskClock_ = &clock; }
    void SetTaskConvertFunc(PerfExtraTask::ConvertFunc convert) {
        taskConvert_ = std::move(convert);
    }
    void SetTaskStartFunc(TaskStartFunc start) { taskStart_ = std::move(start); }

    // Removes pieces (and their text) left in dir by a recording that was
    // never drained, so that they cannot mix with the new recording's.
    static void RemoveStalePieces(const std::string& dir);

  private:
    // Ends the recording, when one runs: ScriptRecording::Stop's result, or 0.
    int StopRecording();

    std::shared_ptr<ScriptRecording> recording_;  // from Process to Uninit
    std::shared_ptr<CollectionJobCfg> cfg_;
    std::shared_ptr<PerfExtraTask> perfExtraTask_;
    analysis::orbx::common::Clock* taskClock_ = nullptr;
    PerfExtraTask::ConvertFunc taskConvert_;
    TaskStartFunc taskStart_;
};

}  // namespace Analysis::Orbx::JobWrapper

#endif  // ORU_JOBS_PROF_PERF_JOB_H
