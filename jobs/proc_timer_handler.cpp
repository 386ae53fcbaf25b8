#include "jobs/proc_timer_handler.h"

#include <charconv>
#include <exception>
#include <new>
#include <utility>

#include "common/log.h"
#include "common/make_shared.h"
#include "ostrel/bounds.h"
#include "transport/profile_file_chunk.h"

namespace Analysis::Orbx::JobWrapper {

using analysis::orbx::ProfileFileChunk;
using analysis::orbx::common::MakeShared;
using analysis::orbx::common::memory::Chunk;

namespace {

// Data module of the chunks: 5 for the handlers of tags 3 to 5, else 3.
int32_t ChunkModuleOf(uint32_t tag) {
    return (tag >= 3 && tag <= 5) ? 5 : 3;
}

void AppendNumber(std::string& out, uint64_t value) {
    char digits[24];
    auto res = std::to_chars(digits, digits + sizeof(digits), value);
    out.append(digits, res.ptr);
}

}  // namespace

ProcTimerHandler::ProcTimerHandler(uint32_t tag, uint32_t /*devId*/, uint64_t bufSize,
                                   uint64_t sampleIntervalNs, const std::string& procFileName,
                                   const std::string& dataName,
                                   std::shared_ptr<ProfileParams> params,
                                   std::shared_ptr<JobContext> jobCtx,
                                   std::shared_ptr<Uploader> upLoader)
    : TimerHandler(tag),
      bufSize_(bufSize),
      sampleIntervalNs_(sampleIntervalNs),
      procFileName_(procFileName),
      dataFileName_("data/" + dataName),
      params_(std::move(params)),
      jobCtx_(std::move(jobCtx)),
      chunkModule_(ChunkModuleOf(tag)),
      chunkFileName_(dataFileName_ + "." + (jobCtx_ != nullptr ? jobCtx_->tag : "")),
      extraInfo_(jobCtx_ != nullptr ? jobCtx_->job_id + "." + jobCtx_->dev_id : ""),
      now_(DefaultTimeSource()),
      upLoader_(std::move(upLoader)),
      outbox_(std::make_shared<SampleOutbox>(upLoader_)) {}

void SampleOutbox::Send(std::shared_ptr<ProfileFileChunk> chunk) {
    if (upLoader_ == nullptr) {
        ORU_LOGE("[ProcTimerHandler::SendData] upLoader_ is null");
        return;
    }
    if (!batching_) {
        Drain();
    }
    if (held_.empty() && !batching_) {
        int ret = upLoader_->UploadDataWithin(chunk, 0);
        if (ret == 0) {
            return;
        }
        if (ret < 0) {
            ORU_LOGE("[ProcTimerHandler::SendData] Upload Data Failed");
            return;
        }
    }
    heldBytes_ += chunk->chunk.size();
    held_.push_back(std::move(chunk));
}

void SampleOutbox::Drain() {
    while (!held_.empty() && upLoader_ != nullptr) {
        const uint64_t bytes = held_.front()->chunk.size();
        int ret = upLoader_->UploadDataWithin(held_.front(), 0);
        if (ret == 1) {
            return;
        }
        if (ret < 0) {
            ORU_LOGE("[ProcTimerHandler::SendData] Upload Data Failed");
        }
        heldBytes_ -= bytes;
        held_.pop_front();
    }
}

void SampleOutbox::EndPass() {
    batching_ = false;
    Drain();
}

bool SampleOutbox::ReadyForPass() {
    Drain();
    if (heldBytes_ <= kOutboxBytes) {
        return true;
    }
    ++skipped_;
    return false;
}

void SampleOutbox::Close(const std::string& dataName) {
    for (auto& chunk : held_) {
        if (upLoader_ == nullptr || upLoader_->ForceUploadData(std::move(chunk)) != 0) {
            ORU_LOGE("[ProcTimerHandler::SendData] Upload Data Failed");
        }
    }
    held_.clear();
    heldBytes_ = 0;
    if (skipped_ != 0) {
        ORU_LOGW("Sampling of %s skipped %llu passes: the job's upload queue was full",
                 PathBaseName(dataName), static_cast<unsigned long long>(skipped_));
    }
    upLoader_.reset();
}

int ProcTimerHandler::Init() {
    if (isInited_) {
        ORU_LOGE("The Handler is inited");
        return -1;
    }
    auto buf = std::unique_ptr<Chunk>(new (std::nothrow) Chunk(bufSize_));
    if (buf == nullptr || !buf->Init()) {
        ORU_LOGE("Buf init failed");
        return -1;
    }
    buf_ = std::move(buf);
    lastTime_ = 0;
    isInited_ = true;
    return 0;
}

int ProcTimerHandler::Uninit() {
    if (isInited_) {
        FlushBuf();
        if (ownsOutbox_ && outbox_ != nullptr) {
            outbox_->Close(dataFileName_);
        }
        upLoader_.reset();
        buf_.reset();
        isInited_ = false;
    }
    return 0;
}

uint64_t ProcTimerHandler::DueInNs() const {
    return TimeUntilDue(lastTime_, sampleIntervalNs_, now_());
}

void ProcTimerHandler::Execute() {
    if (!isInited_) {
        ORU_LOGE("ProcTimerHandler is not inited: %s", PathBaseName(dataFileName_));
        return;
    }
    uint64_t now = now_();
    if (lastTime_ != 0 && now - lastTime_ < sampleIntervalNs_) {
        return;
    }
    lastTime_ = now;
    if (ownsOutbox_ && outbox_ != nullptr && !outbox_->ReadyForPass()) {
        return;
    }

    text_.clear();
    if (procFileName_.empty()) {
        procFile_.Close();
        ParseProcFile(procFile_, text_);
        StoreData(text_);
    } else {
        // The reader bounds what it reads: no size check first.
        stampTime_ = stamp_ ? stamp_() : now;
        if (!procFile_.Open(procFileName_)) {
            ORU_LOGW("Open file %s failed", PathBaseName(procFileName_));
            return;
        }
        ParseProcFile(procFile_, text_);
        procFile_.Close();
        Frame(text_);
        StoreData(record_);
    }
    index_.store(index_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

void ProcTimerHandler::Frame(const std::string& text) {
    record_.clear();
    if (text.empty()) {
        ORU_LOGW("data is empty, fileName:%s", PathBaseName(dataFileName_));
        return;
    }
    record_.reserve(text.size() + kFrameReserve);
    record_.append("TimeStamp:");
    AppendNumber(record_, stampTime_);
    record_.append("\nIndex:");
    AppendNumber(record_, GetIndex());
    record_.append("\nDataLen:");
    AppendNumber(record_, text.size());
    record_.push_back('\n');
    record_.append(text);
    record_.push_back('\n');
}

void ProcTimerHandler::StoreData(const std::string& record) {
    if (record.empty() || buf_ == nullptr) {
        return;
    }
    uint64_t length = record.size();
    if (buf_->GetFreeSize() < length && buf_->GetUsedSize() > 0) {
        ORU_LOGD("StoreData %d", static_cast<int>(buf_->GetUsedSize()));
        SendData(buf_->GetBuffer(), buf_->GetUsedSize());
        (void)buf_->SetUsedSize(0);
    }
    if (buf_->GetFreeSize() < length) {
        SendData(record.data(), length);
        return;
    }
    uint64_t used = buf_->GetUsedSize();
    errno_t ret = memcpy_s(buf_->GetBuffer() + used, buf_->GetFreeSize(), record.data(), length);
    if (ret != EOK) {
        ORU_LOGE("memcpy stat data failed: %d", ret);
        return;
    }
    (void)buf_->SetUsedSize(used + length);
    if (buf_->GetFreeSize() <= buf_->GetBufferSize() / 4) {
        SendData(buf_->GetBuffer(), buf_->GetUsedSize());
        (void)buf_->SetUsedSize(0);
    }
}

void ProcTimerHandler::SendData(const char* data, uint64_t length) {
    if (data == nullptr) {
        ORU_LOGE("buf to be sent is nullptr");
        return;
    }
    auto chunk = MakeShared<ProfileFileChunk>();
    if (chunk == nullptr) {
        return;
    }
    try {
        chunk->fileName = chunkFileName_;
        chunk->chunk.assign(data, length);
        chunk->extraInfo = extraInfo_;
    } catch (const std::exception& e) {
        ORU_LOGE("make shared failed, message: %s", e.what());
        return;
    }
    chunk->offset = -1;
    chunk->chunkSize = length;
    chunk->isLastChunk = false;
    chunk->chunkModule = chunkModule_;
    if (outbox_ == nullptr) {
        ORU_LOGE("[ProcTimerHandler::SendData] upLoader_ is null");
        return;
    }
    outbox_->Send(std::move(chunk));
}

void ProcTimerHandler::FlushBuf() {
    uint64_t used = buf_ != nullptr ? buf_->GetUsedSize() : 0;
    ORU_LOGI("FlushBuf %s, the total index :%lu", PathBaseName(dataFileName_),
             static_cast<unsigned long>(GetIndex()));
    ORU_LOGI("FlushBuf, isInited_:%d, bufUsedSize:%d", isInited_ ? 1 : 0, static_cast<int>(used));
    if (isInited_ && used > 0) {
        SendData(buf_->GetBuffer(), used);
        ORU_LOGI("FlushBuf running %d", static_cast<int>(used));
        (void)buf_->SetUsedSize(0);
    }
}

}  // namespace Analysis::Orbx::JobWrapper
