// Test helper: a real uploader under a job id whose transport keeps every chunk.
#ifndef ORU_TESTING_UPLOAD_CAPTURE_H
#define ORU_TESTING_UPLOAD_CAPTURE_H

#include <memory>
#include <string>
#include <vector>

#include "transport/uploader.h"
#include "transport/uploader_mgr.h"

namespace Analysis::Orbx::JobWrapper {

class UploadCapture {
  public:
    explicit UploadCapture(const std::string& jobId, int devIndex = 0)
        : jobId_(jobId), devIndex_(devIndex) {
        transport_ = std::make_shared<KeepingTransport>();
        uploader_ = std::make_shared<analysis::orbx::transport::Uploader>(transport_);
        uploader_->SetThreadName("KTRX_Upld_test");
        ok_ = uploader_->Init(512) == 0 && uploader_->Start() == 0;
        analysis::orbx::transport::UploaderMgr::GetInstance().AddUploader(jobId_, devIndex_,
                                                                          uploader_);
    }
    ~UploadCapture() { Finish(); }
    UploadCapture(const UploadCapture&) = delete;
    UploadCapture& operator=(const UploadCapture&) = delete;

    bool Ok() const { return ok_; }

    // Sends what is queued, ends and unregisters the uploader; the chunks received, in order.
    const std::vector<analysis::orbx::ProfileFileChunk>& Finish() {
        if (uploader_ != nullptr) {
            analysis::orbx::transport::UploaderMgr::GetInstance().DelUploader(jobId_, devIndex_);
            (void)uploader_->Stop(false);
            uploader_.reset();
        }
        return transport_->chunks;
    }

    // Payload of every chunk received so far, in order. REQUIRES: Finish.
    std::string Payload() const {
        std::string all;
        for (const auto& chunk : transport_->chunks) {
            all += chunk.chunk;
        }
        return all;
    }

  private:
    class KeepingTransport : public analysis::orbx::transport::ITransport {
      public:
        int SendBuffer(const void*, int length) override { return length; }
        int SendBuffer(std::shared_ptr<analysis::orbx::ProfileFileChunk> chunk) override {
            chunks.push_back(*chunk);
            return 0;
        }
        int CloseSession() override { return 0; }
        std::vector<analysis::orbx::ProfileFileChunk> chunks;
    };

    std::string jobId_;
    int devIndex_;
    std::shared_ptr<KeepingTransport> transport_;
    std::shared_ptr<analysis::orbx::transport::Uploader> uploader_;
    bool ok_ = false;
};

}  // namespace Analysis::Orbx::JobWrapper

#endif  // ORU_TESTING_UPLOAD_CAPTURE_H
