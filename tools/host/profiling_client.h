// The profiler protocol as the host speaks it, per job and device: a control
// channel (handshake, then commands each answered by one Response) and a data
// channel (handshake, then a stream of FileChunkReq messages ending with
// DataChannelFinish).
//
// Every operation returns one of the kRecv* codes of host_session.h (kRecvOk
// when the expected message arrived; kRecvFailed also for a message of
// another type); a reply's own status is in the Response handed out.
// Threading: one channel is used by one thread at a time.
#ifndef ORU_TOOLS_HOST_PROFILING_CLIENT_H
#define ORU_TOOLS_HOST_PROFILING_CLIENT_H

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tools/host/file_chunk_view.h"
#include "tools/host/host_session.h"
#include "wire/profiler.pb.h"

namespace analysis::orbx::host {

// What a handshake names: the job, the host's number for the device, the mode.
struct Handshake {
    std::string jobId;
    int devIdOnHost = 0;
    std::string mode;
};

// Where to connect: the device, and a non-zero virtual-function id to act as
// a container.
struct Target {
    int devId = 0;
    uint32_t vfId = 0;
};

// The JSON job context every command header carries.
std::string MakeJobContext(const std::string& jobId, const std::string& devId,
                           const std::string& tag = "");

class ControlChannel {
  public:
    // Connects and performs the control handshake. On kRecvOk *reply holds
    // the device's answer and *out the channel (also when the answer is
    // FAILED); on kRecvContainerRefused the device refused a container.
    static int Open(HostClient& client, const Target& target, const Handshake& handshake,
                    std::unique_ptr<ControlChannel>* out, proto::Response* reply);

    // Each command carries jobCtx (MakeJobContext) in its header and waits
    // for its Response.
    int StartJob(const std::string& jobCtx, const std::string& sampleConfig,
                 proto::Response* reply);
    int StartReplay(const std::string& jobCtx, const proto::ReplayStartReq& events,
                    proto::Response* reply);
    int StopReplay(const std::string& jobCtx, proto::Response* reply);
    int StopJob(const std::string& jobCtx, proto::Response* reply);

    // Sends any message and waits for a Response: without a time limit, or
    // at most the answer deadline when one is set (kRecvTimedOut after it).
    int Command(const message::Message& request, proto::Response* reply);
    // The deadline of Command's wait in ms; 0, the default, for none. A
    // deadline makes Command poll the session every few milliseconds.
    void SetAnswerDeadline(uint32_t ms) { answerDeadlineMs_ = ms; }
    // Waits at most timeoutMs for a Response; kRecvTimedOut when none came.
    int AwaitResponse(proto::Response* reply, uint32_t timeoutMs);

    HostSession& Session() { return *session_; }

  private:
    explicit ControlChannel(std::unique_ptr<HostSession> session) : session_(std::move(session)) {}
    std::unique_ptr<HostSession> session_;
    uint32_t answerDeadlineMs_ = 0;
};

// Collected files, put together from FileChunkReq messages in arrival order.
struct CollectedFile {
    std::string data;
    std::string tag;  // from the header's job context
    int32_t dataModule = 0;
    bool complete = false;  // a chunk marked last arrived
    uint32_t chunks = 0;
};

class DataChannel {
  public:
    // Connects and performs the data handshake; the device answers through
    // its uploader, so *reply is the first message of the stream.
    static int Open(HostClient& client, const Target& target, const Handshake& handshake,
                    std::unique_ptr<DataChannel>* out, proto::Response* reply);

    // The next message of the stream: kRecvOk with *chunk filled, or with
    // *finished set (and *chunk untouched) for DataChannelFinish. The chunk's
    // payload is seen in the session's receive buffer, not copied: it is
    // valid until the next read on this channel. Reusing one view across
    // calls reuses its memory too.
    int NextView(FileChunkView* chunk, bool* finished);
    // As NextView, with the payload copied into the message.
    int Next(proto::FileChunkReq* chunk, bool* finished);
    // Reads until DataChannelFinish, appending every chunk; kRecvOk once the
    // finish arrived.
    int ReadUntilFinish(std::vector<proto::FileChunkReq>* chunks);
    // Reads until DataChannelFinish, joining the chunks per FileName.
    int CollectUntilFinish(std::map<std::string, CollectedFile>* files);

    HostSession& Session() { return *session_; }

  private:
    explicit DataChannel(std::unique_ptr<HostSession> session) : session_(std::move(session)) {}
    std::unique_ptr<HostSession> session_;
};

}  // namespace analysis::orbx::host

#endif  // ORU_TOOLS_HOST_PROFILING_CLIENT_H
