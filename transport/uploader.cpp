#include "transport/uploader.h"

#include <algorithm>
#include <exception>

#include "common/gxprof_error_manager.h"
#include "common/log.h"
#include "common/make_shared.h"
#include "daemon/utils.h"

namespace analysis::orbx::transport {

namespace {

// Flush looks at the queue after 1 ms, then twice as long each time, up to
// 100 ms: a job's stop is not held up by a long first pause, and a slow host
// is not polled often.
constexpr uint64_t kFlushFirstPollUs = 1000;
constexpr uint64_t kFlushPollUs = 100000;

}  // namespace

Uploader::Uploader(std::shared_ptr<ITransport> transport)
    : transport_(std::move(transport)),
      sleep_([](uint64_t us) { (void)common::Utils::Usleep(us); }) {}

Uploader::~Uploader() {
    if (inited_.load()) {
        (void)Stop(true);
        transport_.reset();
        inited_.store(false);
    }
    // The thread base must not outlive our members while the thread runs.
    (void)common::thread::Thread::Stop();
}

int Uploader::Init(uint64_t capacity) {
    queue_ = common::MakeShared<ChunkQueue>(capacity);
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
    auto chunk = common::MakeShared<ProfileFileChunk>();
    if (chunk == nullptr) {
        return -1;
    }
    try {
        chunk->chunk.assign(static_cast<const char*>(data), static_cast<size_t>(length));
    } catch (const std::exception& e) {
        ORU_LOGE("make shared failed, message: %s", e.what());
        return -1;
    }
    chunk->chunkSize = static_cast<uint64_t>(length);
    chunk->chunkModule = kChunkModuleMessage;
    return UploadData(std::move(chunk));
}

int Uploader::UploadData(std::shared_ptr<ProfileFileChunk> chunk) {
    if (!inited_.load()) {
        ORU_LOGE("Uploader was not inited.");
        return -1;
    }
    if (chunk == nullptr) {
        ORU_LOGE("[Uploader::UploadData]data is nullptr.");
        return -1;
    }
    if (!queue_->Push(std::move(chunk))) {
        ORU_LOGE("[Uploader::UploadData]Push data failed.");
        return -1;
    }
    return 0;
}

void Uploader::Flush() {
    if (!inited_.load()) {
        return;
    }
    // A thread that has ended drains nothing more: do not wait for it.
    uint64_t pauseUs = kFlushFirstPollUs;
    while (queue_->Size() != 0 && !runEnded_.load()) {
        sleep_(pauseUs);
        pauseUs = std::min(pauseUs * 2, kFlushPollUs);
    }
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
            Send(chunk);
        }
        if (forceQuit_.load()) {
            break;
        }
    }
    ORU_LOGI("queue size remaining: %zu, force_quit:%d", queue_->Size(), forceQuit_.load() ? 1 : 0);
    runEnded_.store(true);
}

void Uploader::Send(const std::shared_ptr<ProfileFileChunk>& chunk) {
    if (transport_ == nullptr) {
        ORU_LOGE("Failed to upload data");
        return;
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
        }
        return;
    }
    if (transport_->SendBuffer(chunk) != 0) {
        ORU_LOGE("Failed to upload data");
    }
}

}  // namespace analysis::orbx::transport
