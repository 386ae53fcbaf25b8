#include "tools/oru_host/profile_run.h"

#include <algorithm>

#include "tools/oru_host/dialect_json.h"
#include "tools/oru_host/sample_config.h"

namespace analysis::orbx::hosttool {
namespace {

constexpr uint64_t kProgressStepMs = 250;
// Pause between two control handshakes while the device refuses them.
constexpr uint64_t kHandshakeRetryMs = 200;

std::string TypeName(const google::protobuf::Message& m) {
    const std::string& full = m.GetDescriptor()->full_name();
    size_t dot = full.rfind('.');
    return dot == std::string::npos ? full : full.substr(dot + 1);
}

}  // namespace

Watchdog::Watchdog() : thread_([this] { Loop(); }) {}

Watchdog::~Watchdog() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        quit_ = true;
    }
    cv_.notify_all();
    thread_.join();
}

void Watchdog::Arm(uint64_t timeoutMs, std::function<void()> action) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        armed_ = true;
        fired_ = false;
        deadline_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        action_ = std::move(action);
    }
    cv_.notify_all();
}

bool Watchdog::Disarm() {
    std::lock_guard<std::mutex> lock(mutex_);
    armed_ = false;
    action_ = nullptr;
    return fired_;
}

void Watchdog::Loop() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!quit_) {
        if (!armed_) {
            cv_.wait(lock);
            continue;
        }
        if (cv_.wait_until(lock, deadline_) == std::cv_status::timeout && armed_ &&
            std::chrono::steady_clock::now() >= deadline_) {
            // The action closes a session; it runs under the lock so that a
            // Disarm that returns has either prevented it or seen it.
            armed_ = false;
            fired_ = true;
            if (action_) {
                action_();
            }
            action_ = nullptr;
        }
    }
}

ProfileRun::ProfileRun(ProfileRequest request, DeviceLink* link, Clock* clock)
    : request_(std::move(request)), link_(link), clock_(clock) {}

ProfileRun::~ProfileRun() {
    StopReader();
}

void ProfileRun::Fail(int code, const std::string& message, int* current) {
    if (*current == kExitOk) {
        *current = code;
        message_ = message;
    }
}

int ProfileRun::Run() {
    const ProfileOptions& o = request_.options;
    startMs_ = clock_->NowMs();
    record_.jobId = o.jobId;
    record_.device = o.device;
    record_.mode = o.mode;
    record_.vfid = o.vfid;
    record_.configSource = request_.configSource;
    record_.sampleConfig = request_.sampleConfig;
    record_.llcEvents = o.llcEvents;
    record_.ctrlCpuEvents = o.ctrlCpuEvents;
    record_.requestedDurationMs = o.durationMs;
    record_.cardWideDevice = o.cardWideDevice;
    record_.startedAt = clock_->WallTimeUtc();
    jobContext_ = BuildJobContext(o.jobId, o.device);

    std::string why;
    if (!MakeDirs(o.outDir, &why)) {
        message_ = "cannot create the output folder: " + why;
        return kExitLocalFailure;
    }
    writer_ = std::make_unique<ChunkWriter>(o.outDir);

    int code = Drive();
    StopReader();
    link_->CloseControl();
    PrintProgress(true);

    record_.totalMs = clock_->NowMs() - startMs_;
    record_.files = writer_->Files();
    if (record_.dataFinished) {
        record_.collections = AccountCollections(o, record_.files);
    }
    record_.refused = writer_->Refused();
    record_.failed = writer_->Failed();
    if (code == kExitOk && !record_.refused.empty()) {
        code = kExitLinkFailure;
        message_ = "the device sent " + std::to_string(record_.refused.size()) +
                   " chunk(s) under refused file names, first \"" +
                   record_.refused.front().fileName + "\": " + record_.refused.front().reason;
    }
    if (code == kExitOk && !record_.failed.empty()) {
        code = kExitLocalFailure;
        message_ = "could not store " + std::to_string(record_.failed.size()) +
                   " chunk(s), first: " + record_.failed.front().reason;
    }
    record_.exitCode = code;
    record_.outcome = code == kExitOk              ? "success"
                      : code == kExitDeviceRefused ? "refused"
                                                   : "failed";
    record_.error = message_;
    if (!WriteJobRecord(o.outDir, record_, &why)) {
        if (code == kExitOk) {
            code = kExitLocalFailure;
            message_ = why;
        }
    }
    return code;
}

bool ProfileRun::Ask(const std::string& step, const std::string& request, const Exchange& exchange,
                     const std::function<void()>& onTimeout, Reply* reply) {
    ReplyRecord rec;
    rec.step = step;
    rec.request = request;
    rec.sentAtMs = clock_->NowMs() - startMs_;
    uint64_t timeoutMs = uint64_t{request_.options.replyTimeoutS} * 1000;
    watchdog_.Arm(timeoutMs, onTimeout);
    std::string error;
    bool ok = exchange(reply, &error);
    bool timedOut = watchdog_.Disarm();
    rec.roundTripMs = clock_->NowMs() - startMs_ - rec.sentAtMs;
    if (!ok) {
        rec.error =
            timedOut ? "no answer within " + std::to_string(request_.options.replyTimeoutS) + " s"
                     : error;
        record_.replies.push_back(rec);
        std::string label = step;
        std::replace(label.begin(), label.end(), '_', ' ');
        lastError_ = label + ": " + rec.error;
        return false;
    }
    rec.received = true;
    rec.containerRefused = reply->containerRefused;
    rec.status = reply->status;
    rec.message = reply->message;
    if (reply->containerRefused) {
        rec.info = reply->message;
    } else {
        StatusReport status = ParseStatusReport(reply->message);
        rec.info = status.parsed ? status.info : reply->message;
    }
    record_.replies.push_back(rec);
    return true;
}

bool ProfileRun::Accepted(const Reply& reply, Step step) {
    if (!reply.containerRefused && reply.status == 0) {
        return true;
    }
    const ProfileOptions& o = request_.options;
    RefusalContext context{o.device, o.jobId, o.mode, o.vfid};
    std::string reason = DescribeRefusal(step, reply, context);
    record_.replies.back().reason = reason;
    lastError_ =
        "device " + std::to_string(o.device) + " refused the " + StepTitle(step) + ": " + reason;
    return false;
}

bool ProfileRun::SendCommand(const std::string& stepName, Step step,
                             const google::protobuf::Message& request, Reply* reply, int* code) {
    bool answered = Ask(
        stepName, TypeName(request),
        [&](Reply* r, std::string* e) { return link_->Command(request, r, e); },
        [this] { link_->CloseControl(); }, reply);
    if (!answered) {
        Fail(kExitLinkFailure, lastError_, code);
        return false;
    }
    if (!Accepted(*reply, step)) {
        Fail(kExitDeviceRefused, lastError_, code);
        return false;
    }
    return true;
}

bool ProfileRun::OpenControl(Reply* reply, int* code) {
    const ProfileOptions& o = request_.options;
    proto::CtrlChannelHandshake ctrl;
    ctrl.set_jobid(o.jobId);
    ctrl.set_devid(static_cast<int32_t>(o.device));
    ctrl.set_mode(o.mode);
    const uint64_t begin = clock_->NowMs();
    bool announced = false;
    while (true) {
        if (!Ask(
                "control_handshake", "CtrlChannelHandshake",
                [&](Reply* r, std::string* e) {
                    return link_->OpenControl(o.device, o.vfid, ctrl, r, e);
                },
                [this] { link_->CloseControl(); }, reply)) {
            *code = kExitLinkFailure;
            message_ = lastError_;
            return false;
        }
        if (Accepted(*reply, Step::kControlHandshake)) {
            return true;
        }
        // A container is refused for good; anything else may be an earlier
        // job whose control session the device has not yet seen end.
        uint64_t waited = clock_->NowMs() - begin;
        bool interrupted = interrupt_ != nullptr && interrupt_->load();
        if (reply->containerRefused || waited >= o.handshakeWaitMs || interrupted) {
            *code = kExitDeviceRefused;
            message_ = lastError_;
            if (announced) {
                message_ += " (still refused after " + FormatSeconds(waited) + ")";
            }
            return false;
        }
        if (!announced && notice_ != nullptr) {
            *notice_ << "oru-host: " << lastError_ << "; retrying for up to "
                     << FormatSeconds(o.handshakeWaitMs) << "\n"
                     << std::flush;
        }
        announced = true;
        clock_->SleepMs(std::min(kHandshakeRetryMs, o.handshakeWaitMs - waited));
    }
}

int ProfileRun::Drive() {
    const ProfileOptions& o = request_.options;
    Reply reply;

    int code = kExitOk;
    if (!OpenControl(&reply, &code)) {
        return code;
    }

    proto::DataChannelHandshake data;
    data.set_jobid(o.jobId);
    data.set_devid(static_cast<int32_t>(o.device));
    data.set_mode(o.mode);
    if (!Ask(
            "data_handshake", "DataChannelHandshake",
            [&](Reply* r, std::string* e) { return link_->OpenData(o.device, o.vfid, data, r, e); },
            [this] { link_->CloseData(); }, &reply)) {
        message_ = lastError_;
        return kExitLinkFailure;
    }
    if (!Accepted(reply, Step::kDataHandshake)) {
        message_ = lastError_;
        return kExitDeviceRefused;
    }
    StartReader();

    proto::JobStartReq start;
    start.mutable_hdr()->set_job_ctx(jobContext_);
    start.set_sampleconfig(request_.sampleConfig);
    if (!SendCommand("job_start", Step::kJobStart, start, &reply, &code)) {
        // Closing the control session makes the device reset what it set up.
        return code;
    }

    proto::ReplayStartReq replay;
    replay.mutable_hdr()->set_job_ctx(jobContext_);
    replay.set_replayid(0);
    for (const std::string& ev : o.ctrlCpuEvents) {
        replay.add_ctrl_cpu_events(ev);
    }
    for (const std::string& ev : o.llcEvents) {
        replay.add_llc_events(ev);
    }
    bool replaying = SendCommand("replay_start", Step::kReplayStart, replay, &reply, &code);
    if (code == kExitLinkFailure) {
        return code;
    }
    if (replaying) {
        WaitCollection();
        proto::ReplayStopReq stopReplay;
        stopReplay.mutable_hdr()->set_job_ctx(jobContext_);
        stopReplay.set_replayid(0);
        SendCommand("replay_stop", Step::kReplayStop, stopReplay, &reply, &code);
        if (code == kExitLinkFailure) {
            return code;
        }
    }

    // The job is stopped even after a refused replay, so that the device
    // tears it down and closes its data session.
    proto::JobStopReq stop;
    stop.mutable_hdr()->set_job_ctx(jobContext_);
    stop.set_jobid(o.jobId);
    if (!SendCommand("job_stop", Step::kJobStop, stop, &reply, &code)) {
        return code;
    }
    int dataCode = WaitDataFinish();
    if (dataCode != kExitOk) {
        Fail(dataCode, record_.dataEnd, &code);
    }
    return code;
}

void ProfileRun::WaitCollection() {
    uint64_t begin = clock_->NowMs();
    uint64_t duration = request_.options.durationMs;
    if (duration == 0 && notice_ != nullptr) {
        *notice_ << "oru-host: collecting until Ctrl-C\n" << std::flush;
    }
    while (true) {
        uint64_t elapsed = clock_->NowMs() - begin;
        if (duration != 0 && elapsed >= duration) {
            break;
        }
        if (interrupt_ != nullptr && interrupt_->load()) {
            record_.interrupted = true;
            break;
        }
        clock_->SleepMs(duration == 0 ? kProgressStepMs
                                      : std::min(kProgressStepMs, duration - elapsed));
        PrintProgress(false);
    }
    record_.collectionMs = clock_->NowMs() - begin;
}

int ProfileRun::WaitDataFinish() {
    auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(request_.options.replyTimeoutS);
    std::unique_lock<std::mutex> lock(readerMutex_);
    while (!readerDone_) {
        if (std::chrono::steady_clock::now() >= deadline) {
            lock.unlock();
            link_->CloseData();
            StopReader();
            record_.dataEnd = "no DataChannelFinish within " +
                              std::to_string(request_.options.replyTimeoutS) + " s";
            return kExitLinkFailure;
        }
        readerCv_.wait_for(lock, std::chrono::milliseconds(kProgressStepMs));
        lock.unlock();
        PrintProgress(false);
        lock.lock();
    }
    lock.unlock();
    StopReader();
    if (!record_.dataFinished) {
        return kExitLinkFailure;
    }
    return kExitOk;
}

void ProfileRun::StartReader() {
    reader_ = std::thread([this] { ReaderLoop(); });
}

void ProfileRun::StopReader() {
    if (!reader_.joinable()) {
        return;
    }
    bool done = false;
    {
        std::lock_guard<std::mutex> lock(readerMutex_);
        done = readerDone_;
    }
    if (!done) {
        link_->CloseData();
    }
    reader_.join();
}

void ProfileRun::ReaderLoop() {
    while (true) {
        std::shared_ptr<google::protobuf::Message> msg;
        std::string error;
        if (!link_->ReadData(&msg, &error)) {
            record_.dataEnd = "data session ended before DataChannelFinish: " + error;
            break;
        }
        record_.dataMessages += 1;
        if (msg->GetDescriptor() == proto::FileChunkReq::descriptor()) {
            const auto& chunk = static_cast<const proto::FileChunkReq&>(*msg);
            uint64_t now = clock_->NowMs() - startMs_;
            if (chunks_.load() == 0) {
                record_.firstChunkMs = now;
            }
            record_.lastChunkMs = now;
            std::string reason;
            writer_->Write(chunk.filename(), chunk.chunk(), &reason, now);
            chunks_ += 1;
            bytes_ += chunk.chunk().size();
            files_ = writer_->Files().size();
        } else if (msg->GetDescriptor() == proto::DataChannelFinish::descriptor()) {
            record_.dataFinished = true;
            record_.dataFinishMs = clock_->NowMs() - startMs_;
            break;
        } else {
            record_.unexpectedMessages += 1;
        }
    }
    {
        std::lock_guard<std::mutex> lock(readerMutex_);
        readerDone_ = true;
    }
    readerCv_.notify_all();
}

void ProfileRun::PrintProgress(bool final) {
    if (progress_ == nullptr) {
        return;
    }
    if (final) {
        if (progressShown_) {
            *progress_ << "\n" << std::flush;
        }
        return;
    }
    ProgressCounts counts;
    counts.elapsedMs = clock_->NowMs() - startMs_;
    counts.chunks = chunks_.load();
    counts.bytes = bytes_.load();
    counts.files = files_.load();
    *progress_ << "\r" << FormatProgress(counts) << "\033[K" << std::flush;
    progressShown_ = true;
}

}  // namespace analysis::orbx::hosttool
