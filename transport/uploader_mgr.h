// Finds a job's uploader by job id and device index; the entry point of the
// data producers. One job id may run on several devices at once, each with
// its own data session and uploader.
//
// Threading: every operation is safe for concurrent use, except UnInit, which
// runs on the main thread at shutdown. The mutex is never held while calling
// into an uploader.
#ifndef ORU_TRANSPORT_UPLOADER_MGR_H
#define ORU_TRANSPORT_UPLOADER_MGR_H

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "common/singleton.h"
#include "transport/profile_file_chunk.h"
#include "transport/uploader.h"

namespace analysis::orbx::transport {

class UploaderMgr : public common::singleton::Singleton<UploaderMgr> {
  public:
    UploaderMgr() = default;
    ~UploaderMgr() override;

    // Registers uploader under (id, devIndex), replacing an earlier one; a
    // null uploader or an empty id is ignored. Uploaders whose host closed
    // the session are dropped first: a data channel whose job never ends is
    // not kept for good.
    void AddUploader(const std::string& id, int devIndex,
                     const std::shared_ptr<Uploader>& uploader);
    // Copies the uploader of (id, devIndex) to out; out is left unchanged
    // when there is none.
    void GetUploader(const std::string& id, int devIndex, std::shared_ptr<Uploader>& out);
    void DelUploader(const std::string& id, int devIndex);

    // Queues chunk to the uploader of (id, devIndex): 0, or -1 when there is
    // none or the uploader refuses it. Blocks while that uploader's queue is
    // full.
    int UploadData(const std::string& id, int devIndex, std::shared_ptr<ProfileFileChunk> chunk);

    // Records jobId as the latest job of a device index and mode.
    void UpdateDevModeJobMap(uint32_t devIndex, const std::string& mode, const std::string& jobId);
    // The job id recorded for a device index and mode, or an empty string.
    std::string GetDevModeJobId(uint32_t devIndex, const std::string& mode);

    // Forgets every uploader and relation. Always 0.
    int UnInit();

    // "<device index>_<mode>", for the empty mode too.
    static std::string DevModeKey(uint32_t devIndex, const std::string& mode);

  private:
    void DropEndedUploaders();

    // One sweep at a time (a session is read by one thread); guards no
    // memory. Taken before mutex_.
    std::mutex sweepMutex_;
    using Key = std::pair<std::string, int>;  // job id, device index

    // Guards uploaders_ and devModeJobMap_. Last in the order: never held
    // while calling into an uploader or while one is destroyed.
    std::mutex mutex_;
    std::map<Key, std::shared_ptr<Uploader>> uploaders_;
    std::map<std::string, std::string> devModeJobMap_;
};

}  // namespace analysis::orbx::transport

#endif  // ORU_TRANSPORT_UPLOADER_MGR_H
