#include "jobs/prof_channel.h"

#include <chrono>
#include <cstring>

#include "common/log.h"
#include "common/make_shared.h"
#include "driver/ai_drv_dev_api.h"
#include "driver/ai_drv_prof_api.h"
#include "driver/json_parser.h"
#include "message/job_context.h"
#include "transport/profile_file_chunk.h"
#include "transport/uploader_mgr.h"

namespace analysis::orbx::transport {

namespace {

using Analysis::Orbx::Common::Statistics::PerfCount;

constexpr int kPollStoppedSleepMs = 1;

// The readers' buffers, reused: a chunk's buffer comes back once it is sent.
common::memory::BufferPool& ReaderBuffers() {
    static common::memory::BufferPool pool(kReaderBufferSize, kReaderIdleBuffers);
    return pool;
}

uint32_t ReaderBufferSize(uint32_t channelId) {
    uint32_t configured =
        Gxprofiler::Parser::JsonParser::GetInstance().GetChannelBufferSize(channelId);
    return configured != 0 ? configured : kReaderBufferSize;
}

}  // namespace

ChannelReader::ChannelReader(uint32_t deviceId, uint32_t channelId, const std::string& fileName,
                             std::shared_ptr<message::JobContext> jobCtx)
    : deviceId_(deviceId),
      channelId_(channelId),
      fileName_(fileName),
      bufSize_(ReaderBufferSize(channelId)),
      jobCtx_(std::move(jobCtx)),
      buffer_(ReaderBuffers().Take()) {
    ORU_LOGI("Channel reader %s, buffer size : %d", fileName_.c_str(), static_cast<int>(bufSize_));
}

int ChannelReader::Init() {
    std::lock_guard<std::mutex> lock(mutex_);
    taskKey_ = static_cast<int32_t>(deviceId_ + channelId_);
    speed_ = common::MakeShared<PerfCount>("ChannelReaderSpeed");
    speedAll_ = common::MakeShared<PerfCount>("ChannelReaderSpeedAll");
    if (speed_ == nullptr || speedAll_ == nullptr) {
        return -1;
    }
    lastEndTime_ = 0;
    inited_ = true;
    readCount_ = 0;
    return 0;
}

int ChannelReader::ReadOnceLocked() {
    if (buffer_ == nullptr && (buffer_ = ReaderBuffers().Take()) == nullptr) {
        ORU_LOGE("make shared failed, message: %s", "no reader buffer");
        return -1;
    }
    spaceSize_ = bufSize_ - currLen_;
    uint64_t start = common::Clock::Default().NowNs();
    int n = 0;
    {
        std::lock_guard<std::mutex> readLock(readMutex_);
        n = driver::DrvChannelRead(static_cast<int>(deviceId_), static_cast<int>(channelId_),
                                   reinterpret_cast<uint8_t*>(buffer_->Data() + currLen_),
                                   spaceSize_);
        ORU_LOGD("deviceId:%d, channelId:%d fileName:%s, bufSize:%u, currLen:%d, spaceSize:%u",
                 static_cast<int>(deviceId_), static_cast<int>(channelId_), fileName_.c_str(),
                 bufSize_, static_cast<int>(currLen_), spaceSize_);
    }
    if (n < 1) {
        return n;
    }
    uint64_t end = common::Clock::Default().NowNs();
    speed_->UpdatePerfInfo(start, end, static_cast<uint64_t>(n));
    if (lastEndTime_ != 0) {
        speedAll_->UpdatePerfInfo(lastEndTime_, end, static_cast<uint64_t>(n));
    }
    lastEndTime_ = end;
    totalSize_ += n;
    currLen_ += static_cast<uint32_t>(n);
    return n;
}

int ChannelReader::Execute() {
    std::lock_guard<std::mutex> lock(mutex_);
    uint64_t passBytes = 0;
    while (true) {
        ++readCount_;
        if (!inited_ || quit_.load()) {
            break;
        }
        if (currLen_ >= bufSize_) {
            UploadLocked(false);
        }
        int n = ReadOnceLocked();
        if (n >= 1) {
            passBytes += static_cast<uint64_t>(n);
            if (passBytes >= kReaderPassLimit) {
                break;  // let the other channels of this worker have a turn
            }
            continue;
        }
        if (n < 0) {
            ORU_LOGE("read device %d, channel:%d, ret=%d", static_cast<int>(deviceId_),
                     static_cast<int>(channelId_), n);
        }
        if (currLen_ >= kReaderDryUploadSize) {
            UploadLocked(false);
        }
        break;
    }
    FinishExecution();
    return 0;
}

void ChannelReader::FinishExecution() {
    uint32_t pending = pendingCount_.load();
    while (pending > 0 && !pendingCount_.compare_exchange_weak(pending, pending - 1)) {
    }
}

void ChannelReader::Uninit() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (inited_) {
        inited_ = false;
        // A stopped channel still holds what was produced after the last
        // pass; read it so that nothing stays behind in the driver.
        uint64_t drained = 0;
        while (drained < kReaderPassLimit) {
            if (currLen_ >= bufSize_) {
                UploadLocked(true);
            }
            int n = ReadOnceLocked();
            if (n < 1) {
                break;
            }
            drained += static_cast<uint64_t>(n);
        }
    }
    std::string jobId = jobCtx_ != nullptr ? jobCtx_->job_id : "";
    ORU_LOGEVENT(
        "device id %d, channel: %d, total_size_channel: %lld bytes, file:%s, job_id:%s,"
        "drvChannelReadCont:%lld",
        static_cast<int>(deviceId_), static_cast<int>(channelId_),
        static_cast<long long>(totalSize_), fileName_.c_str(), jobId.c_str(),
        static_cast<long long>(readCount_));
    std::string key =
        "[" + jobId + " : " + std::to_string(deviceId_) + " : " + std::to_string(channelId_) + "]";
    if (speed_ != nullptr) {
        speed_->OutPerfInfo("ChannelReaderSpeed" + key);
    }
    if (speedAll_ != nullptr) {
        speedAll_->OutPerfInfo("ChannelReaderSpeedAll" + key);
    }
    UploadLocked(true);
}

void ChannelReader::UploadLocked(bool last) {
    if (currLen_ == 0) {
        return;
    }
    std::shared_ptr<ProfileFileChunk> chunk = common::MakeShared<ProfileFileChunk>();
    std::shared_ptr<common::memory::ByteBuffer> fresh = ReaderBuffers().Take();
    if (chunk == nullptr || fresh == nullptr) {
        ORU_LOGE("make shared failed, message: %s", "no reader buffer");
        return;  // the data stays for the next upload
    }
    std::string jobId = jobCtx_ != nullptr ? jobCtx_->job_id : "";
    std::string devId = jobCtx_ != nullptr ? jobCtx_->dev_id : "";
    chunk->isLastChunk = false;
    chunk->chunkModule = kChunkModuleData;
    chunk->chunkSize = currLen_;
    chunk->offset = -1;
    chunk->fileName = fileName_ + "." + "null";
    chunk->extraInfo = jobId + "." + devId;
    // The bytes go with their buffer, without a copy; the reader goes on in
    // a reused one.
    chunk->pooled = std::move(buffer_);
    buffer_ = std::move(fresh);
    currLen_ = 0;
    if (Queue(jobId, std::move(chunk), last) != 0) {
        ORU_LOGE("Upload data failed, jobId: %s", jobId.c_str());
    }
}

int ChannelReader::Queue(const std::string& jobId, std::shared_ptr<ProfileFileChunk> chunk,
                         bool last) {
    std::shared_ptr<Uploader> uploader;
    UploaderMgr::GetInstance().GetUploader(jobId, static_cast<int>(deviceId_), uploader);
    if (uploader == nullptr) {
        ORU_LOGE("Get id[%s] uploader failed", jobId.c_str());
        return -1;
    }
    // While the host is behind, the driver's ring buffer holds the channel's
    // data and this reader waits for room. A reader that is being removed
    // stops waiting: its caller holds locks other jobs need, and what it
    // read must not be lost.
    while (!last && !quit_.load()) {
        int ret = uploader->UploadDataWithin(chunk, kReaderQueueWaitMs);
        if (ret != 1) {
            return ret;
        }
    }
    return uploader->ForceUploadData(std::move(chunk));
}

ChannelPoll::~ChannelPoll() {
    Stop();
}

uint32_t ChannelPoll::PoolSizeForDevices(int deviceNum) {
    uint32_t count = deviceNum < 0 ? 0 : static_cast<uint32_t>(deviceNum);
    if (count < kMinPoolThreads) {
        return kMinPoolThreads;
    }
    return count > kMaxPoolThreads ? kMaxPoolThreads : count;
}

int ChannelPoll::Start() {
    int deviceNum = driver::DrvGetDevNum();
    ORU_LOGI("Get device num %d", deviceNum);
    pool_ = common::MakeShared<common::thread::ThreadPool>(
        common::thread::ThreadPool::kDispatchByHashId, PoolSizeForDevices(deviceNum));
    if (pool_ == nullptr) {
        return -1;
    }
    pool_->SetThreadPoolNamePrefix("KTRX_ChanPool_");
    pool_->SetThreadPoolQueueSize(kPoolQueueSize);
    if (pool_->Start() != 0) {
        pool_.reset();
        return -1;
    }
    SetThreadName("KTRX_ChanPoll");
    state_.store(kRunning);
    if (Thread::Start() != 0) {
        state_.store(kIdle);
        pool_->Stop();
        pool_.reset();
        return -1;
    }
    return 0;
}

int ChannelPoll::Stop() {
    RequestStop();
    (void)Thread::Stop();
    EndPool();
    return 0;
}

void ChannelPoll::RequestStop() {
    int expected = kRunning;
    (void)state_.compare_exchange_strong(expected, kStopping);
}

bool ChannelPoll::Resume() {
    int expected = kStopping;
    return state_.compare_exchange_strong(expected, kRunning) || expected == kRunning;
}

bool ChannelPoll::EndIfStopping() {
    int expected = kStopping;
    return state_.compare_exchange_strong(expected, kEnded);
}

void ChannelPoll::EndPool() {
    if (pool_ == nullptr) {
        return;
    }
    pool_->Stop();
    pool_.reset();
    ORU_LOGEVENT(
        "ChannelPoll count: %d, Sleep count: %d, Dispatch count: %d, DispatchChannel count: %d",
        static_cast<int>(pollCount_), static_cast<int>(sleepCount_),
        static_cast<int>(dispatchCount_), static_cast<int>(dispatchChannelCount_));
    pollCount_ = 0;
    sleepCount_ = 0;
    dispatchCount_ = 0;
    dispatchChannelCount_ = 0;
}

void ChannelPoll::Run(const common::thread::ErrorContext&) {
    ProfPollInfo records[kPollRecordNum];
    std::memset(records, 0, sizeof(records));
    while (!EndIfStopping()) {
        int ret = driver::DrvChannelPoll(records, kPollRecordNum, kPollTimeoutSec);
        ++pollCount_;
        if (ret == PROF_ERROR) {
            ORU_LOGE("Failed to poll channel");
            state_.store(kEnded);
            break;
        }
        if (ret == PROF_STOPPED_ALREADY) {
            ORU_LOGD("DrvChannelPoll return PROF_STOPPED_ALREADY");
            if (EndIfStopping()) {
                ORU_LOGI("Exit poll channel thread.");
                break;
            }
            UsedClock().SleepFor(std::chrono::milliseconds(kPollStoppedSleepMs));
            ++sleepCount_;
            continue;
        }
        ++dispatchCount_;
        bool queued = false;
        for (int i = 0; i < ret; ++i) {
            ORU_LOGD("DispatchChannel devId: %d, channelID: %d, ret: %d",
                     static_cast<int>(records[i].deviceId), static_cast<int>(records[i].channelId),
                     ret);
            if (Gxprofiler::Parser::JsonParser::GetInstance().GetChannelReporterSwitch(
                    records[i].channelId)) {
                queued = DispatchChannel(records[i].deviceId, records[i].channelId) || queued;
                ++dispatchChannelCount_;
            }
        }
        if (ret > 0 && !queued) {
            // The driver keeps reporting a channel while it holds data, and
            // every reported channel has its reader at work already: polling
            // again at once would only spin beside the readers.
            UsedClock().SleepFor(std::chrono::milliseconds(kBusyBackoffMs));
        }
    }
    // Nobody waits for this thread to end: it takes its pool down itself.
    EndPool();
}

void ChannelPoll::AddReader(uint32_t deviceId, uint32_t channelId,
                            std::shared_ptr<ChannelReader> reader) {
    if (reader == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> lock(mapMutex_);
    ORU_LOGI("AddReader, devId:%u, channel:%u", deviceId, channelId);
    readers_[deviceId][channelId] = std::move(reader);
}

void ChannelPoll::RemoveReader(uint32_t deviceId, uint32_t channelId) {
    std::lock_guard<std::mutex> lock(mapMutex_);
    ORU_LOGI("RemoveReader, devId:%u, channel:%u", deviceId, channelId);
    auto device = readers_.find(deviceId);
    if (device == readers_.end()) {
        return;
    }
    ORU_LOGI("RemoveReader, fid dev, devId:%u", deviceId);
    auto channel = device->second.find(channelId);
    if (channel != device->second.end()) {
        ORU_LOGI("RemoveReader, devId:%u, channel:%u", deviceId, channelId);
        channel->second->SetQuit();
        channel->second->Uninit();
        device->second.erase(channel);
    }
    if (device->second.empty()) {
        readers_.erase(device);
    }
}

bool ChannelPoll::DispatchChannel(uint32_t deviceId, uint32_t channelId) {
    std::shared_ptr<ChannelReader> reader;
    {
        std::lock_guard<std::mutex> lock(mapMutex_);
        auto device = readers_.find(deviceId);
        if (device != readers_.end()) {
            auto channel = device->second.find(channelId);
            if (channel != device->second.end()) {
                reader = channel->second;
            }
        }
    }
    if (reader == nullptr) {
        ORU_LOGW("Failed to find devId:%u, channel:%u", deviceId, channelId);
        return false;
    }
    if (reader->IsBusy()) {
        return false;  // a queued execution will drain what this one would have read
    }
    reader->OnDispatched();
    if (pool_ == nullptr || !pool_->Dispatch(reader)) {
        reader->OnDispatchFailed();
        return false;
    }
    return true;
}

}  // namespace analysis::orbx::transport
