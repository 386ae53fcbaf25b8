// One `oru-host profile` run: the handshakes, the job and replay commands, the
// collection wait and the data session, over a DeviceLink. A reader thread
// stores the data session's chunks while the main thread drives the control
// session, because the device answers the job stop only after the job's data
// has drained.
#ifndef ORU_TOOLS_ORU_HOST_PROFILE_RUN_H
#define ORU_TOOLS_ORU_HOST_PROFILE_RUN_H

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>

#include "tools/oru_host/chunk_writer.h"
#include "tools/oru_host/device_link.h"
#include "tools/oru_host/job_record.h"
#include "tools/oru_host/options.h"
#include "tools/oru_host/progress.h"
#include "tools/oru_host/refusal.h"

namespace analysis::orbx::hosttool {

struct ProfileRequest {
    ProfileOptions options;
    std::string sampleConfig;  // sent unchanged in the job start
    std::string configSource;  // "options" or the configuration file's name
};

// Runs `action` unless disarmed within the armed time; one thread per object.
class Watchdog {
  public:
    Watchdog();
    ~Watchdog();
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

    void Arm(uint64_t timeoutMs, std::function<void()> action);
    // True when the armed action had already run.
    bool Disarm();

  private:
    void Loop();

    std::mutex mutex_;
    std::condition_variable cv_;
    bool armed_ = false;  // guarded by mutex_
    bool fired_ = false;
    bool quit_ = false;
    std::chrono::steady_clock::time_point deadline_;
    std::function<void()> action_;
    std::thread thread_;
};

class ProfileRun {
  public:
    // REQUIRES: link and clock outlive the run.
    ProfileRun(ProfileRequest request, DeviceLink* link, Clock* clock);
    ~ProfileRun();
    ProfileRun(const ProfileRun&) = delete;
    ProfileRun& operator=(const ProfileRun&) = delete;

    // Where the progress line goes (a terminal); null keeps quiet.
    void SetProgressStream(std::ostream* out) { progress_ = out; }
    // Ends the collection wait early when it becomes true (Ctrl-C).
    void SetInterruptFlag(const std::atomic<bool>* flag) { interrupt_ = flag; }
    // Where one-line notices go while the run waits (standard error); null
    // keeps quiet.
    void SetNoticeStream(std::ostream* out) { notice_ = out; }

    // Runs the job and writes job.json; returns the exit code of oru-host.
    int Run();

    const JobRecord& Record() const { return record_; }
    // What went wrong, for the user; empty on success.
    const std::string& Message() const { return message_; }

  private:
    using Exchange = std::function<bool(Reply*, std::string*)>;

    int Drive();
    // Runs one request/answer exchange under the reply time-out and records it.
    // False when the link failed (lastError_ set).
    bool Ask(const std::string& step, const std::string& request, const Exchange& exchange,
             const std::function<void()>& onTimeout, Reply* reply);
    // True when the device accepted; otherwise lastError_ says why.
    bool Accepted(const Reply& reply, Step step);
    // The control handshake, repeated while the device refuses it, for at
    // most the handshake wait. False with *code set when it failed.
    bool OpenControl(Reply* reply, int* code);
    // Sends a command and checks its answer; false (and *code set unless an
    // earlier failure set it) when the link failed or the device refused.
    bool SendCommand(const std::string& stepName, Step step,
                     const google::protobuf::Message& request, Reply* reply, int* code);
    void WaitCollection();
    int WaitDataFinish();
    void StartReader();
    void ReaderLoop();
    void StopReader();
    void PrintProgress(bool final);
    void Fail(int code, const std::string& message, int* current);

    ProfileRequest request_;
    DeviceLink* link_;
    Clock* clock_;
    std::ostream* progress_ = nullptr;
    const std::atomic<bool>* interrupt_ = nullptr;
    std::ostream* notice_ = nullptr;
    bool progressShown_ = false;
    uint64_t startMs_ = 0;
    std::string jobContext_;
    JobRecord record_;
    std::string message_;
    std::string lastError_;  // reason of the last failed Ask or Accepted
    Watchdog watchdog_;

    // The data reader. Before it starts and after it is joined only the main
    // thread touches writer_ and the data fields of record_.
    std::unique_ptr<ChunkWriter> writer_;
    std::thread reader_;
    std::mutex readerMutex_;
    std::condition_variable readerCv_;
    bool readerDone_ = false;  // guarded by readerMutex_
    std::atomic<uint64_t> chunks_{0};
    std::atomic<uint64_t> bytes_{0};
    std::atomic<uint64_t> files_{0};
};

}  // namespace analysis::orbx::hosttool

#endif  // ORU_TOOLS_ORU_HOST_PROFILE_RUN_H
