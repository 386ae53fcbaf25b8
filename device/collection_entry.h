// Turns the handshake of each profiling session into a receiver (control
// session) or an uploader (data session), keeps the receivers by job and
// device, routes replies to the right control session and closes a job's data
// channel when its collection ends.
//
// Lock order: ctrlHandshakeMutex_, then receiversMutex_, then modeMutex_
// (AddReceiver holds the last two together). None of them is held while a
// receiver is destroyed: its destructor joins a thread whose exit path takes
// them. Handle runs on the HDC worker threads; Init and UnInit run on the
// main thread.
#ifndef ORU_DEVICE_COLLECTION_ENTRY_H
#define ORU_DEVICE_COLLECTION_ENTRY_H

#include <google/protobuf/message.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/singleton.h"
#include "device/receiver.h"
#include "message/job_context.h"
#include "message/profile_params.h"
#include "message/status_info.h"
#include "transport/hdc_transport.h"
#include "transport/uploader.h"
#include "wire/profiler.pb.h"

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

    // AddReceiver and DeleteReceiver hand back the receivers they took out of
    // the registry (entries may be empty). Dropping the last reference closes
    // a receiver's session and joins its thread, whose exit path takes the
    // registry's locks: the caller drops them only after releasing every lock
    // it holds.
    [[nodiscard]] std::vector<std::shared_ptr<Receiver>> AddReceiver(
        const std::string& mode, const std::string& jobId, int devIndex,
        std::shared_ptr<Receiver> receiver);
    std::shared_ptr<Receiver> GetReceiver(const std::string& jobId, int devIndex);
    [[nodiscard]] std::shared_ptr<Receiver> DeleteReceiver(const std::string& jobId, int devIndex);
    // Takes receiver out of the registry when it is still the one registered
    // for its job and device (its session has ended), as DeleteReceiver does.
    [[nodiscard]] std::shared_ptr<Receiver> TakeEndedReceiver(const Receiver* receiver,
                                                              const std::string& jobId,
                                                              int devIndex);

    void AddModeJobIdRelation(int devIndex, const std::string& mode, const std::string& jobId);
    std::string DeleteModeJobIdRelation(int devIndex, const std::string& mode);
    std::string GetModeJobId(int devIndex, const std::string& mode);

  private:
    friend class common::singleton::Singleton<CollectionEntry>;
    CollectionEntry() = default;
    ~CollectionEntry() override = default;

    // Set by Init; cleared by UnInit under ctrlHandshakeMutex_ while worker
    // threads read it.
    std::atomic<bool> inited_{false};

    // Serialises control handshakes, so that a handshake's check for a running
    // job of its device and mode sees every earlier handshake registered, and
    // UnInit's clearing of inited_ sees none half done. First in the order.
    std::mutex ctrlHandshakeMutex_;

    // Guards receivers_. After ctrlHandshakeMutex_, before modeMutex_.
    std::mutex receiversMutex_;
    // job id -> device index -> receiver
    std::map<std::string, std::map<int, std::shared_ptr<Receiver>>> receivers_;

    // Guards modeRelations_. Last in the order.
    std::mutex modeMutex_;
    // devModeKey -> job id
    std::map<std::string, std::string> modeRelations_;
};

}  // namespace analysis::orbx::device

#endif  // ORU_DEVICE_COLLECTION_ENTRY_H
