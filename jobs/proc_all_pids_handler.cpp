#include "jobs/proc_all_pids_handler.h"

#include <exception>
#include <utility>

#include "common/log.h"
#include "common/make_shared.h"

namespace Analysis::Orbx::JobWrapper {

using analysis::orbx::common::MakeShared;

ProcAllPidsFileHandler::ProcAllPidsFileHandler(uint32_t tag, uint32_t devId,
                                               uint64_t sampleIntervalNs,
                                               std::shared_ptr<ProfileParams> params,
                                               std::shared_ptr<JobContext> jobCtx,
                                               std::shared_ptr<Uploader> upLoader)
    : TimerHandler(tag),
      devId_(devId),
      sampleIntervalNs_(sampleIntervalNs),
      params_(std::move(params)),
      jobCtx_(std::move(jobCtx)),
      now_(DefaultTimeSource()),
      kept_(KeptDescriptors::ForProcFiles()),
      upLoader_(std::move(upLoader)),
      outbox_(std::make_shared<SampleOutbox>(upLoader_)),
      cpuLine_(std::make_shared<std::string>()) {}

void ProcAllPidsFileHandler::SetProcRoot(const std::string& root) {
    procRoot_ = root;
    systemStatFile_ = root + "/stat";
}

int ProcAllPidsFileHandler::Init() {
    ORU_LOGI("ProcAllPidsFileHandler Init");
    (void)ListPids(procRoot_, listed_);
    Merge(false);
    return 0;
}

int ProcAllPidsFileHandler::Uninit() {
    for (auto& entry : samplers_) {
        ReleaseSamplers(entry);
    }
    if (outbox_ != nullptr) {
        outbox_->Close("data/Processes");
    }
    upLoader_.reset();
    samplers_.clear();
    listed_.clear();
    return 0;
}

uint64_t ProcAllPidsFileHandler::DueInNs() const {
    return TimeUntilDue(lastTime_, sampleIntervalNs_, now_());
}

void ProcAllPidsFileHandler::Execute() {
    uint64_t now = now_();
    if (lastTime_ != 0 && now - lastTime_ < sampleIntervalNs_) {
        return;
    }
    lastTime_ = now;
    if (!outbox_->ReadyForPass()) {
        return;
    }
    passTime_ = now;
    ReadFirstCpuLine(systemStatFile_, statFile_, *cpuLine_);

    if (ListPids(procRoot_, listed_)) {
        Merge(true);
    } else {
        // Keep sampling the known processes rather than take them all for gone.
        ORU_LOGW("Open file %s failed", PathBaseName(procRoot_));
    }
    ORU_LOGD("ProcAllPidsFileHandler pass, processes:%zu", samplers_.size());
    outbox_->BeginPass();
    for (auto& entry : samplers_) {
        if (entry.mem != nullptr && entry.stat != nullptr) {
            entry.stat->Execute();
            entry.mem->Execute();
        }
    }
    outbox_->EndPass();
}

void ProcAllPidsFileHandler::Merge(bool logChanges) {
    next_.clear();
    try {
        next_.reserve(listed_.size());  // nothing below reallocates
    } catch (const std::exception& e) {
        ORU_LOGE("make shared failed, message: %s", e.what());
        return;
    }
    size_t i = 0;
    size_t j = 0;
    while (i < samplers_.size() || j < listed_.size()) {
        if (j == listed_.size() || (i < samplers_.size() && samplers_[i].pid < listed_[j])) {
            if (logChanges) {
                ORU_LOGI("exit Pid %d", static_cast<int>(samplers_[i].pid));
            }
            ReleaseSamplers(samplers_[i]);
            i++;
        } else if (i == samplers_.size() || listed_[j] < samplers_[i].pid) {
            if (logChanges) {
                ORU_LOGI("New Pid %d", static_cast<int>(listed_[j]));
            }
            next_.emplace_back();
            CreateSamplers(listed_[j], next_.back());
            j++;
        } else {
            next_.push_back(std::move(samplers_[i]));
            i++;
            j++;
        }
    }
    samplers_.swap(next_);
    next_.clear();
}

void ProcAllPidsFileHandler::CreateSamplers(uint32_t pid, PidSamplers& entry) {
    entry.pid = pid;
    std::string dir = procRoot_ + "/" + std::to_string(pid);
    auto mem = MakeShared<ProcPidMemFileHandler>(GetTag(), devId_, kPidBufSize, sampleIntervalNs_,
                                                 dir + "/statm", "Memory.data", params_, jobCtx_,
                                                 upLoader_, pid);
    auto stat = MakeShared<ProcPidStatFileHandler>(GetTag(), devId_, kPidBufSize, sampleIntervalNs_,
                                                   dir + "/stat", "CpuUsage.data", params_, jobCtx_,
                                                   upLoader_, pid);
    if (mem == nullptr || stat == nullptr) {
        return;
    }
    TimeSource passClock = [this] { return passTime_; };
    TimeSource stampClock = [this] { return now_(); };
    for (ProcPidFileHandler* sampler : {static_cast<ProcPidFileHandler*>(mem.get()),
                                        static_cast<ProcPidFileHandler*>(stat.get())}) {
        sampler->ShareOutbox(outbox_);
        sampler->SetTimeSource(passClock);
        sampler->SetStampSource(stampClock);
        sampler->KeepFileOpen(kept_);
    }
    stat->SetSystemCpuLine(cpuLine_);
    auto name = MakeShared<ProcessNameCache>();
    if (name != nullptr) {
        mem->ShareProcessName(name);
        stat->ShareProcessName(name);
    }
    if (mem->Init() != 0 || stat->Init() != 0) {
        (void)mem->Uninit();
        return;
    }
    entry.mem = std::move(mem);
    entry.stat = std::move(stat);
}

void ProcAllPidsFileHandler::ReleaseSamplers(PidSamplers& entry) {
    if (entry.mem != nullptr) {
        (void)entry.mem->Uninit();
    }
    if (entry.stat != nullptr) {
        (void)entry.stat->Uninit();
    }
    entry.mem.reset();
    entry.stat.reset();
}

std::vector<uint32_t> ProcAllPidsFileHandler::GetSampledPids() const {
    std::vector<uint32_t> pids;
    for (const auto& entry : samplers_) {
        if (entry.mem != nullptr) {
            pids.push_back(entry.pid);
        }
    }
    return pids;
}

}  // namespace Analysis::Orbx::JobWrapper
