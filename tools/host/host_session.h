// Host side of the device's profiling service: HDC sessions to a device, each
// carrying request packets (type 5) whose value is one framed profiler
// message. Built on the daemon's own session layer and codec.
//
// Threading: a HostClient may be shared by threads; one HostSession is used
// by one thread at a time, except Close, which may be called from any thread
// (a blocked read then fails).
//
// Memory: a session joins each packet's segments into one receive buffer that
// it keeps and reuses, so reading costs no allocation once the buffer has
// grown to the longest packet; RecvView hands that buffer out without a copy.
#ifndef ORU_TOOLS_HOST_HOST_SESSION_H
#define ORU_TOOLS_HOST_HOST_SESSION_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "hdc/hdc_api.h"
#include "ostrel/hal.h"
#include "wire/codec.h"

namespace analysis::orbx::host {

// The host is node 0 for the device; the device's servers listen on service 4.
constexpr int kHostPeerNode = 0;
constexpr int kProfilingServiceType = HDC_SERVICE_TYPE_IDE;
constexpr uint32_t kProfilingRequestType = 5;

// Results of the reads.
constexpr int kRecvOk = 0;
constexpr int kRecvClosed = 1;             // the device closed the session
constexpr int kRecvFailed = -1;            // read failure, malformed packet or undecodable value
constexpr int kRecvContainerRefused = -2;  // the device refused a container session
constexpr int kRecvTimedOut = -3;          // nothing arrived in time (timed reads only)

class HostSession;

// One HDC client of the profiling service type; sessions keep it alive.
class HostClient : public std::enable_shared_from_this<HostClient> {
  public:
    // A client, or null when the driver refuses one.
    static std::shared_ptr<HostClient> Create();
    ~HostClient();
    HostClient(const HostClient&) = delete;
    HostClient& operator=(const HostClient&) = delete;

    // A session to the profiling service of device devId, or null. A
    // non-zero vfId presents that virtual function, as a session from a
    // container does (simulated card only).
    std::unique_ptr<HostSession> Connect(int devId, uint32_t vfId = 0);

    HDC_CLIENT Handle() const { return client_; }

  private:
    explicit HostClient(HDC_CLIENT client) : client_(client) {}
    HDC_CLIENT client_;
};

class HostSession {
  public:
    HostSession(std::shared_ptr<HostClient> client, HDC_SESSION session);
    ~HostSession();
    HostSession(const HostSession&) = delete;
    HostSession& operator=(const HostSession&) = delete;

    // Sends msg framed as the value of one request packet: 0 or -1.
    int SendMessage(const message::Message& msg);
    // Sends length bytes as the value of one request packet: 0 or -1.
    int SendValue(const void* value, uint32_t length);
    // Writes length bytes as they are (for malformed packets): 0 or -1.
    int SendRaw(const void* bytes, uint32_t length);

    // Reads one packet and hands out its value (blocking): kRecvOk,
    // kRecvClosed or kRecvFailed (a packet shorter than its header or whose
    // length field disagrees with what arrived).
    int RecvValue(std::string* value);
    // As RecvValue, handing out a view of the value inside the session's
    // receive buffer, valid until the next read on this session.
    int RecvView(std::string_view* value);
    // Reads one packet and decodes its value: kRecvOk with *msg set,
    // kRecvContainerRefused for the container refusal text, kRecvClosed or
    // kRecvFailed.
    int RecvMessage(message::MessagePtr* msg);
    // As RecvMessage, giving up with kRecvTimedOut when nothing arrived
    // within timeoutMs (polled every few milliseconds).
    int RecvMessageWithin(message::MessagePtr* msg, uint32_t timeoutMs);

    // Closes the session; later calls do nothing. 0 or -1.
    int Close();
    HDC_SESSION Handle() const { return session_.load(); }
    // The receive buffer: the last packet read, and the room it keeps.
    const HdcRecvBuffer& ReceiveBuffer() const { return recv_; }

    // The container refusal text, which a device sends instead of a message.
    static bool IsContainerRefusal(std::string_view value);

  private:
    // Reads one packet into recv_, waiting for it or not, and sets *value to
    // its value; the kRecv* codes (kRecvTimedOut when not waiting and nothing
    // is there).
    int ReadPacket(std::string_view* value, bool wait);
    static int DecodeValue(std::string_view value, message::MessagePtr* msg);

    std::shared_ptr<HostClient> client_;
    HdcRecvBuffer recv_;  // used by the one reading thread
    std::atomic<HDC_SESSION> session_;
    std::mutex closeMutex_;
};

}  // namespace analysis::orbx::host

#endif  // ORU_TOOLS_HOST_HOST_SESSION_H
