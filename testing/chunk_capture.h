// Test support: a job's uploader registered under the job id whose transport keeps every chunk.
#ifndef ORU_TESTING_CHUNK_CAPTURE_H
#define ORU_TESTING_CHUNK_CAPTURE_H

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "transport/transport.h"
#include "transport/uploader.h"
#include "transport/uploader_mgr.h"

namespace analysis::orbx::transport::testing {

struct SentChunk {
    std::string fileName;
    std::string extraInfo;
    int32_t chunkModule = 0;
    uint64_t chunkSize = 0;
    int64_t offset = 0;
    bool isLastChunk = false;
    std::string data;
    size_t capacity = 0;  // storage of the payload when it arrived
};

class CapturingTransport : public ITransport {
  public:
    int SendBuffer(const void*, int length) override { return length; }
    int SendBuffer(std::shared_ptr<ProfileFileChunk> chunk) override {
        SentChunk sent;
        sent.fileName = chunk->fileName;
        sent.extraInfo = chunk->extraInfo;
        sent.chunkModule = chunk->chunkModule;
        sent.chunkSize = chunk->chunkSize;
        sent.offset = chunk->offset;
        sent.isLastChunk = chunk->isLastChunk;
        if (chunk->pooled != nullptr) {
            sent.capacity = chunk->pooled->Capacity();
            sent.data.assign(chunk->PayloadData(), chunk->PayloadSize());
        } else {
            sent.capacity = chunk->chunk.capacity();
            sent.data = std::move(chunk->chunk);
        }
        std::lock_guard<std::mutex> lock(mutex_);
        chunks_.push_back(std::move(sent));
        return 0;
    }
    int CloseSession() override { return 0; }

    std::vector<SentChunk> Chunks() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return chunks_;
    }

  private:
    mutable std::mutex mutex_;  // guards chunks_; nothing is called under it
    std::vector<SentChunk> chunks_;
};

// Compares big payloads without printing them.
inline ::testing::AssertionResult SameBytes(const std::string& expected,
                                            const std::string& actual) {
    if (expected == actual) {
        return ::testing::AssertionSuccess();
    }
    size_t i = 0;
    while (i < expected.size() && i < actual.size() && expected[i] == actual[i]) {
        ++i;
    }
    return ::testing::AssertionFailure() << "expected " << expected.size() << " bytes, got "
                                         << actual.size() << ", first difference at " << i;
}

class ChunkCapture {
  public:
    explicit ChunkCapture(const std::string& jobId, int devIndex = 0)
        : jobId_(jobId),
          devIndex_(devIndex),
          transport_(std::make_shared<CapturingTransport>()),
          uploader_(std::make_shared<Uploader>(transport_)) {
        uploader_->Init(512);
        uploader_->SetThreadName("KTRX_Upld_" + jobId);
        uploader_->Start();
        UploaderMgr::GetInstance().AddUploader(jobId_, devIndex_, uploader_);
    }
    ~ChunkCapture() { Finish(); }
    ChunkCapture(const ChunkCapture&) = delete;
    ChunkCapture& operator=(const ChunkCapture&) = delete;

    // Sends everything queued, unregisters the uploader; what the host would have received.
    std::vector<SentChunk> Finish() {
        if (uploader_ != nullptr) {
            UploaderMgr::GetInstance().DelUploader(jobId_, devIndex_);
            uploader_->Stop(false);
            uploader_.reset();
        }
        return transport_->Chunks();
    }

    static std::string Joined(const std::vector<SentChunk>& chunks) {
        std::string all;
        for (const auto& c : chunks) {
            all += c.data;
        }
        return all;
    }

  private:
    const std::string jobId_;
    const int devIndex_;
    std::shared_ptr<CapturingTransport> transport_;
    std::shared_ptr<Uploader> uploader_;
};

}  // namespace analysis::orbx::transport::testing

#endif  // ORU_TESTING_CHUNK_CAPTURE_H
