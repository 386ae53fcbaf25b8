#include "transport/uploader_mgr.h"

#include <vector>

#include "common/log.h"
#include "common/utils.h"

namespace analysis::orbx::transport {

namespace {

constexpr uint64_t kDestroyWaitUs = 20000;

}  // namespace

UploaderMgr::~UploaderMgr() {
    ORU_LOGI("Begin to destroy UploaderMgr.");
    std::map<Key, std::shared_ptr<Uploader>> uploaders;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        uploaders.swap(uploaders_);
        devModeJobMap_.clear();
    }
    if (!uploaders.empty()) {
        (void)common::Utils::Usleep(kDestroyWaitUs);
    }
    uploaders.clear();
    ORU_LOGI("End to destroy UploaderMgr.");
}

std::string UploaderMgr::DevModeKey(uint32_t devIndex, const std::string& mode) {
    // The empty mode too is one per device: a key shared by every device
    // would let one device's job decide whether another device is free.
    return std::to_string(devIndex) + "_" + mode;
}

void UploaderMgr::DropEndedUploaders() {
    std::lock_guard<std::mutex> sweep(sweepMutex_);
    std::map<Key, std::shared_ptr<Uploader>> registered;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        registered = uploaders_;
    }
    std::vector<std::shared_ptr<Uploader>> ended;  // stopped and joined when dropped
    for (auto& entry : registered) {
        if (entry.second == nullptr || !entry.second->SessionEnded()) {
            continue;
        }
        ORU_LOGI("id: %s, device %d data session closed by the host, release its uploader",
                 entry.first.first.c_str(), entry.first.second);
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = uploaders_.find(entry.first);
        if (it != uploaders_.end() && it->second == entry.second) {
            ended.push_back(std::move(it->second));
            uploaders_.erase(it);
        }
    }
}

void UploaderMgr::AddUploader(const std::string& id, int devIndex,
                              const std::shared_ptr<Uploader>& uploader) {
    ORU_LOGI("id: %s Entering AddUploader...", id.c_str());
    if (uploader == nullptr || id.empty()) {
        return;
    }
    DropEndedUploaders();
    std::shared_ptr<Uploader> replaced;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::shared_ptr<Uploader>& slot = uploaders_[Key(id, devIndex)];
        replaced = std::move(slot);
        slot = uploader;
    }
    // A replaced uploader is stopped and joined when dropped: not under the mutex.
}

void UploaderMgr::GetUploader(const std::string& id, int devIndex, std::shared_ptr<Uploader>& out) {
    ORU_LOGD("Get id %s uploader...", id.c_str());
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = uploaders_.find(Key(id, devIndex));
    if (it != uploaders_.end() && it->second != nullptr) {
        out = it->second;
    }
}

void UploaderMgr::DelUploader(const std::string& id, int devIndex) {
    ORU_LOGI("Del id %s uploader...", id.c_str());
    std::shared_ptr<Uploader> removed;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = uploaders_.find(Key(id, devIndex));
        if (it != uploaders_.end()) {
            removed = std::move(it->second);
            uploaders_.erase(it);
        }
    }
    // Dropping the last reference stops and joins the uploader thread: not under the mutex.
}

int UploaderMgr::UploadData(const std::string& id, int devIndex,
                            std::shared_ptr<ProfileFileChunk> chunk) {
    ORU_LOGD("UploadData id[%s] uploader start", id.c_str());
    std::shared_ptr<Uploader> uploader;
    GetUploader(id, devIndex, uploader);
    if (uploader == nullptr) {
        ORU_LOGE("Get id[%s] uploader failed", id.c_str());
        return -1;
    }
    return uploader->UploadData(std::move(chunk));
}

void UploaderMgr::UpdateDevModeJobMap(uint32_t devIndex, const std::string& mode,
                                      const std::string& jobId) {
    const std::string key = DevModeKey(devIndex, mode);
    ORU_LOGI("devModeKey:%s, jobId:%s Entering UpdateDevModeJobMap...", key.c_str(), jobId.c_str());
    std::lock_guard<std::mutex> lock(mutex_);
    if (devModeJobMap_.count(key) != 0) {
        ORU_LOGI("Upadate devModeJobMap_");
    } else {
        ORU_LOGI("Add to devModeJobMap_");
    }
    devModeJobMap_[key] = jobId;
}

std::string UploaderMgr::GetDevModeJobId(uint32_t devIndex, const std::string& mode) {
    const std::string key = DevModeKey(devIndex, mode);
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = devModeJobMap_.find(key);
    return it == devModeJobMap_.end() ? std::string() : it->second;
}

int UploaderMgr::UnInit() {
    std::map<Key, std::shared_ptr<Uploader>> uploaders;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        uploaders.swap(uploaders_);
        devModeJobMap_.clear();
    }
    return 0;
}

}  // namespace analysis::orbx::transport
