// Turns the handshake of each profiling session into a receiver (control
// session) or an uploader (data session), keeps the receivers by job and
// device, routes replies to the right control session and closes a job's data
// channel when its collection ends.
//
// Lock order: receiversMutex_ before modeMutex_ (AddReceiver is the only place
// that holds both). Init and UnInit run on the main thread.
#ifndef ORU_DEVICE_COLLECTION_ENTRY_H
#define ORU_DEVICE_COLLECTION_ENTRY_H

#include <google/protobuf/message.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "common/singleton.h"
#include "device/receiver.h"
#include "message/job_context.h"
#include "message/profile_params.h"
#include "message/profiler.pb.h"
#include "message/status_info.h"
#include "transport/hdc_transport.h"
#include "transport/uploader.h"

namespace analysis::orbx::device {

// A Response carrying the status as JSON; empty when it cannot be created.
std::shared_ptr<proto::Response> BuildResponse(const message::StatusInfo& status);

class CollectionEntry : public common::singleton::Singleton<CollectionEntry> {
  public:
    int Init();
    int UnInit();
    int Handle(std::shared_ptr<transport::ITransport> transport, const std::string& bytes,
               int devIndex);
    int HandleCtrlSession(std::shared_ptr<Receiver> receiver,
                          const proto::CtrlChannelHandshake& handshake, message::StatusInfo& status,
                          int devIndex);
    int HandleDataSession(std::shared_ptr<transport::Uploader> uploader,
                          const proto::DataChannelHandshake& handshake, int devIndex);
    int FinishCollection(int devId, const std::string& jobId);
    int SendMsgByDevId(const std::string& jobId, int devIndex,
                       std::shared_ptr<google::protobuf::Message> message);

    void AddReceiver(const std::string& mode, const std::string& jobId, int devIndex,
                     std::shared_ptr<Receiver> receiver);
    std::shared_ptr<Receiver> GetReceiver(const std::string& jobId, int devIndex);
    void DeleteReceiver(const std::string& jobId, int devIndex);

    void AddModeJobIdRelation(int devIndex, const std::string& mode, const std::string& jobId);
    std::string DeleteModeJobIdRelation(int devIndex, const std::string& mode);
    std::string GetModeJobId(int devIndex, const std::string& mode);

  private:
    friend class common::singleton::Singleton<CollectionEntry>;
    CollectionEntry() = default;
    ~CollectionEntry() override = default;

    bool inited_ = false;
    // job id -> device index -> receiver; guarded by receiversMutex_
    std::map<std::string, std::map<int, std::shared_ptr<Receiver>>> receivers_;
    // devModeKey -> job id; guarded by modeMutex_
    std::map<std::string, std::string> modeRelations_;
    std::mutex receiversMutex_;
    std::mutex modeMutex_;
    // Serialises control handshakes, so that a handshake's check for a running
    // job of its device and mode sees every earlier handshake registered.
    // Taken before receiversMutex_ and modeMutex_.
    std::mutex ctrlHandshakeMutex_;
};

}  // namespace analysis::orbx::device

#endif  // ORU_DEVICE_COLLECTION_ENTRY_H
