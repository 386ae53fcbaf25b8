#include "transport/uploader.h"

#include <chrono>
#include <exception>

#include "common/gxprof_error_manager.h"
#include "common/log.h"
#include "common/make_shared.h"

namespace analysis::orbx::transport {

namespace {

// A chunk that carries an encoded message (a reply, the finish) as it is.
std::shared_ptr<ProfileFileChunk> MessageChunk(const void* data, int length) {
    auto chunk = common::MakeShared<ProfileFileChunk>();
    if (chunk == nullptr) {
        return nullptr;
    }
    try {
        chunk->chunk.assign(static_cast<const char*>(data), static_cast<size_t>(length));
    } catch (const std::exception& e) {
        ORU_LOGE("make shared failed, message: %s", e.what());
        return nullptr;
    }
    chunk->chunkSize = static_cast<uint64_t>(length);
    chunk->chunkModule = kChunkModuleMessage;
    return chunk;
}

}  // namespace

uint64_t QueuedBytesOf(const ProfileFileChunk& chunk) {
    const uint64_t payload =
        chunk.pooled != nullptr ? chunk.pooled->Capacity() : chunk.chunk.size();
    return payload + chunk.fileName.size() + chunk.extraInfo.size() + kChunkOverheadBytes;
}

Uploader::Uploader(std::shared_ptr<ITransport> transport) : transport_(std::move(transport)) {}

Uploader::~Uploader() {
    if (inited_.load()) {
        (void)Stop(true);
        transport_.reset();
        inited_.store(false);
    }
    // The thread base must not outlive our members while the thread runs.
    (void)common::thread::Thread::Stop();
}

int Uploader::Init(uint64_t capacity, uint64_t byteCapacity) {
    queue_ = common::MakeShared<ChunkQueue>(capacity, byteCapacity);
    if (queue_ == nullptr) {
        return -1;
    }
    queue_->SetQueueName("UploaderQueue");
    inited_.store(true);
    return 0;
}

int Uploader::UploadData(const void* data, int length) {
    if (!inited_.load()) {
        ORU_LOGE("Uploader was not inited.");
        return -1;
    }
    if (data == nullptr) {
        ORU_LOGE("[Uploader::UploadData]data is nullptr.");
        return -1;
    }
    if (length < 0) {
        ORU_LOGE("[Uploader::UploadData]data length %d is invalid.", length);
        return -1;
    }
    auto chunk = MessageChunk(data, length);
    if (chunk == nullptr) {
        return -1;
    }
    return UploadData(std::move(chunk));
}

bool Uploader::Enqueue(const std::shared_ptr<ProfileFileChunk>& chunk) {
    if (!inited_.load()) {
        ORU_LOGE("Uploader was not inited.");
        return false;
    }
    if (chunk == nullptr) {
        ORU_LOGE("[Uploader::UploadData]data is nullptr.");
        return false;
    }
    std::lock_guard<std::mutex> lock(sentMutex_);
    ++unsent_;
    return true;
}

int Uploader::UploadData(std::shared_ptr<ProfileFileChunk> chunk) {
    if (!Enqueue(chunk)) {
        return -1;
    }
    const uint64_t bytes = QueuedBytesOf(*chunk);
    if (!queue_->Push(std::move(chunk), bytes)) {
        NoteSent(nullptr, false);
        ORU_LOGE("[Uploader::UploadData]Push data failed.");
        return -1;
    }
    return 0;
}

int Uploader::UploadDataWithin(std::shared_ptr<ProfileFileChunk>& chunk, uint64_t waitMs) {
    if (!Enqueue(chunk)) {
        return -1;
    }
    const int ret = queue_->PushWithin(chunk, QueuedBytesOf(*chunk), waitMs);
    if (ret == ChunkQueue::kPushed) {
        return 0;
    }
    NoteSent(nullptr, false);
    if (ret == ChunkQueue::kNoRoom) {
        return 1;
    }
    ORU_LOGE("[Uploader::UploadData]Push data failed.");
    return -1;
}

int Uploader::ForceUploadData(std::shared_ptr<ProfileFileChunk> chunk) {
    if (!Enqueue(chunk)) {
        return -1;
    }
    const uint64_t bytes = QueuedBytesOf(*chunk);
    if (!queue_->ForcePush(std::move(chunk), bytes)) {
        NoteSent(nullptr, false);
        ORU_LOGE("[Uploader::UploadData]Push data failed.");
        return -1;
    }
    return 0;
}

void Uploader::NoteSent(const ProfileFileChunk* chunk, bool ok) {
    {
        std::lock_guard<std::mutex> lock(sentMutex_);
        if (unsent_ > 0) {
            --unsent_;
        }
        if (chunk != nullptr && chunk == finish_) {
            finishResult_ = ok ? 0 : -1;
        }
    }
    sentCv_.notify_all();
}

bool Uploader::WaitSent(const std::function<bool()>& done) {
    std::unique_lock<std::mutex> lock(sentMutex_);
    return sentCv_.wait_for(lock, std::chrono::milliseconds(flushTimeoutMs_),
                            [&] { return done() || runEnded_; });
}

bool Uploader::Flush() {
    if (!inited_.load()) {
        return true;
    }
    bool drained = false;
    // A thread that has ended drains nothing more: do not wait for it.
    (void)WaitSent([&] {
        drained = unsent_ == 0;
        return drained;
    });
    return drained;
}

int Uploader::Finish(const void* data, int length) {
    if (!inited_.load() || data == nullptr || length < 0) {
        ORU_LOGE("[Uploader::Finish]data is invalid.");
        return -1;
    }
    auto chunk = MessageChunk(data, length);
    if (chunk == nullptr) {
        return -1;
    }
    {
        std::lock_guard<std::mutex> lock(sentMutex_);
        finish_ = chunk.get();
        finishResult_ = 1;
    }
    const ProfileFileChunk* finish = chunk.get();
    int result = -1;
    if (ForceUploadData(std::move(chunk)) == 0) {
        const bool ended = WaitSent([&] { return finishResult_ != 1; });
        std::lock_guard<std::mutex> lock(sentMutex_);
        result = finishResult_ == 0 ? 0 : -1;
        if (!ended) {
            ORU_LOGE("Data session not drained in %llu ms, %llu chunks left: ending it",
                     static_cast<unsigned long long>(flushTimeoutMs_),
                     static_cast<unsigned long long>(unsent_));
        }
    }
    {
        std::lock_guard<std::mutex> lock(sentMutex_);
        if (finish_ == finish) {
            finish_ = nullptr;
        }
    }
    if (result != 0 && transport_ != nullptr) {
        // The host is not taking the data: end the session, which also ends
        // a write blocked on it, so that the job's stop can complete.
        (void)transport_->CloseSession();
    }
    return result;
}

int Uploader::Stop(bool forceQuit) {
    if (!inited_.load() || stopping_.exchange(true)) {
        return 0;
    }
    forceQuit_.store(forceQuit);
    ORU_LOGI("Stopping uploader, force_quit:%d.", forceQuit ? 1 : 0);
    queue_->Quit();
    if (common::thread::Thread::Stop() != 0) {
        ORU_LOGE("Failed to stop uploader");
    }
    return 0;
}

void Uploader::Run(const common::thread::ErrorContext& context) {
    Analysis::Orbx::GxprofErrMgr::GxprofErrorManager::GetInstance().SetErrorContext(context);
    if (!inited_.load()) {
        ORU_LOGE("Uploader was not inited.");
        return;
    }
    while (true) {
        std::shared_ptr<ProfileFileChunk> chunk;
        if (!queue_->TryPop(chunk)) {
            if (IsQuit()) {
                break;
            }
            (void)queue_->Pop(chunk);
        }
        if (chunk != nullptr) {
            NoteSent(chunk.get(), Send(chunk));
        }
        if (forceQuit_.load()) {
            break;
        }
    }
    ORU_LOGI("queue size remaining: %zu, force_quit:%d", queue_->Size(), forceQuit_.load() ? 1 : 0);
    {
        std::lock_guard<std::mutex> lock(sentMutex_);
        runEnded_ = true;
    }
    sentCv_.notify_all();
}

bool Uploader::Send(const std::shared_ptr<ProfileFileChunk>& chunk) {
    if (transport_ == nullptr) {
        ORU_LOGE("Failed to upload data");
        return false;
    }
    if (chunk->chunkModule == kChunkModuleMessage) {
        // A size beyond the bytes held would send memory past the payload.
        const int sent =
            chunk->chunkSize > chunk->chunk.size()
                ? -1
                : transport_->SendBuffer(chunk->chunk.data(), static_cast<int>(chunk->chunkSize));
        if (sent < 0 || static_cast<uint64_t>(sent) != chunk->chunkSize) {
            ORU_LOGE("Failed to upload data, data_len=%zu bytes, sent len=%d bytes",
                     static_cast<size_t>(chunk->chunkSize), sent);
            return false;
        }
        return true;
    }
    if (transport_->SendBuffer(chunk) != 0) {
        ORU_LOGE("Failed to upload data");
        return false;
    }
    return true;
}

}  // namespace analysis::orbx::transport
