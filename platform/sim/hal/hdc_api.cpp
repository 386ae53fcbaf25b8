// HDC calls of the card driver over Unix-domain stream sockets. A device-side
// server listens on hdc-<device>-<service>.sock in the socket folder; a
// host-side client connects to it. One halHdcSend writes one frame; one
// halHdcRecv reads one frame, so the buffers of a message arrive together
// and in order.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_set>
#include <vector>

#include "hdc_io.h"
#include "hdc_objects.h"
#include "no_throw.h"
#include "ostrel/hal.h"
#include "ostrel/sim_control.h"
#include "sim_config.h"
#include "sim_faults.h"

// A message object: the buffers to send, or those of the last received message.
struct drvHdcMsg {
    // One buffer. Its bytes start at an odd address, as a driver that promises
    // no alignment may hand them out: a caller that reads a header in place
    // instead of copying it out trips the alignment sanitizer.
    class Buffer {
      public:
        explicit Buffer(size_t len) : storage_(len + 1) {}
        char* data() { return storage_.data() + 1; }
        const char* data() const { return storage_.data() + 1; }
        size_t size() const { return storage_.size() - 1; }

      private:
        std::vector<char> storage_;
    };
    std::vector<Buffer> buffers;
};

namespace ostrel::sim {
namespace {

constexpr int kHelloTimeoutMs = 2000;

// Message objects handed out and not yet freed: a stale pointer is refused
// instead of being freed twice.
class MsgRegistry {
  public:
    static MsgRegistry& Instance() {
        static MsgRegistry* registry = new MsgRegistry();
        return *registry;
    }
    drvHdcMsg* Create() {
        auto* msg = new drvHdcMsg();
        std::lock_guard<std::mutex> lock(mu_);
        live_.insert(msg);
        return msg;
    }
    bool Known(drvHdcMsg* msg) {
        std::lock_guard<std::mutex> lock(mu_);
        return live_.count(msg) != 0;
    }
    bool Destroy(drvHdcMsg* msg) {
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (live_.erase(msg) == 0) {
                return false;
            }
        }
        delete msg;
        return true;
    }

  private:
    std::mutex mu_;
    std::unordered_set<drvHdcMsg*> live_;
};

bool Injected(int point, int* code) {
    Injection injection = Faults::Instance().Check(point);
    if (injection.fail) {
        *code = injection.code;
        return true;
    }
    return false;
}

drvError_t Connect(int peerNode, int peerDevId, int32_t pid, uint32_t vfId, HDC_CLIENT handle,
                   HDC_SESSION* out) {
    int injected = 0;
    if (Injected(OSTREL_SIM_FAULT_CONNECT, &injected)) {
        return injected;
    }
    if (out == nullptr || peerNode < 0 || peerDevId < 0) {
        return DRV_ERROR_INVALID_VALUE;
    }
    auto client = HandleTable::Instance().Get<Client>(handle, OSTREL_SIM_HANDLE_CLIENT);
    if (client == nullptr) {
        return DRV_ERROR_INVALID_VALUE;
    }
    auto config = GetConfig();
    if (static_cast<uint32_t>(peerDevId) >= config->devices) {
        return DRV_ERROR_INVALID_VALUE;
    }
    if (client->openSessions->fetch_add(1) >= client->maxSessions) {
        client->openSessions->fetch_sub(1);
        return DRV_ERROR_BUSY;
    }
    std::string path =
        ServerSocketPath(config->dir, static_cast<uint32_t>(peerDevId), client->serviceType);
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || path.size() >= sizeof(addr.sun_path)) {
        if (fd >= 0) {
            close(fd);
        }
        client->openSessions->fetch_sub(1);
        return DRV_ERROR_IO;
    }
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    int rc;
    do {
        rc = connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr));
    } while (rc != 0 && errno == EINTR);
    if (rc != 0 || fcntl(fd, F_SETFL, O_NONBLOCK) != 0) {
        close(fd);
        client->openSessions->fetch_sub(1);
        return DRV_ERROR_NOT_READY;  // no server on that device yet
    }
    auto session = std::make_shared<Session>(fd, static_cast<uint32_t>(peerDevId), vfId, pid,
                                             client->openSessions);
    if (!session->Valid()) {
        session->Close();
        return DRV_ERROR_NO_MEMORY;
    }
    Hello hello = {kHelloMagic, vfId, pid, 0};
    struct iovec iov = {&hello, sizeof(hello)};
    if (WriteAll(fd, session->WakeFd(), &iov, 1) != IoResult::kOk) {
        session->Close();
        return DRV_ERROR_NOT_READY;
    }
    *out = HandleTable::Instance().Add(session);
    return DRV_ERROR_NONE;
}

// Reads the hello of a freshly accepted connection; null when it is not one
// of ours or says nothing in time.
std::shared_ptr<Session> Greet(int fd, const Server& server) {
    Hello hello = {};
    if (ReadFull(fd, server.WakeFd(), &hello, sizeof(hello), kHelloTimeoutMs) != IoResult::kOk ||
        hello.magic != kHelloMagic) {
        return nullptr;
    }
    auto session = std::make_shared<Session>(fd, server.devId, hello.vfId, hello.pid, nullptr);
    return session->Valid() ? session : nullptr;
}

drvError_t ReadFrame(Session& session, drvHdcMsg* msg, int* count) {
    uint32_t header[2] = {0, 0};
    IoResult r = ReadFull(session.Fd(), session.WakeFd(), header, sizeof(header), -1);
    if (r == IoResult::kPeerClosed || r == IoResult::kWoken) {
        return DRV_ERROR_SESSION_CLOSED;
    }
    uint32_t maxSegment = GetConfig()->maxSegment;
    if (r != IoResult::kOk || header[0] != kFrameMagic || header[1] == 0 ||
        header[1] > kMaxFrameBuffers) {
        session.broken = true;
        return DRV_ERROR_IO;
    }
    std::vector<uint32_t> lengths(header[1]);
    r = ReadFull(session.Fd(), session.WakeFd(), lengths.data(), lengths.size() * 4, -1);
    uint64_t total = 0;
    for (uint32_t len : lengths) {
        total += len;
        if (len > maxSegment) {
            r = IoResult::kError;
        }
    }
    if (r == IoResult::kOk && total > kMaxFrameBytes) {
        r = IoResult::kError;
    }
    msg->buffers.clear();
    try {
        for (size_t i = 0; i < lengths.size() && r == IoResult::kOk; ++i) {
            msg->buffers.emplace_back(lengths[i]);
            r = ReadFull(session.Fd(), session.WakeFd(), msg->buffers.back().data(), lengths[i],
                         -1);
        }
    } catch (const std::bad_alloc&) {
        msg->buffers.clear();
        session.broken = true;
        return DRV_ERROR_NO_MEMORY;
    }
    if (r != IoResult::kOk) {
        msg->buffers.clear();
        session.broken = true;  // a partial frame leaves the stream unusable
        return (r == IoResult::kPeerClosed || r == IoResult::kWoken) ? DRV_ERROR_SESSION_CLOSED
                                                                     : DRV_ERROR_IO;
    }
    *count = static_cast<int>(msg->buffers.size());
    return DRV_ERROR_NONE;
}

}  // namespace
}  // namespace ostrel::sim

using namespace ostrel::sim;

extern "C" {

drvError_t drvHdcClientCreate(HDC_CLIENT* client, int maxSessionNum, int serviceType, int flag) {
    return NoThrow<drvError_t>(DRV_ERROR_NO_MEMORY, [&]() -> drvError_t {
        (void)flag;
        int injected = 0;
        if (Injected(OSTREL_SIM_FAULT_CLIENT_CREATE, &injected)) {
            return injected;
        }
        if (client == nullptr || maxSessionNum <= 0 || serviceType < 0) {
            return DRV_ERROR_INVALID_VALUE;
        }
        auto object = std::make_shared<Client>(maxSessionNum, serviceType);
        if (!object->Valid()) {
            return DRV_ERROR_NO_MEMORY;
        }
        *client = HandleTable::Instance().Add(object);
        return DRV_ERROR_NONE;
    });
}

drvError_t drvHdcClientDestroy(HDC_CLIENT client) {
    auto object = HandleTable::Instance().Take(client, OSTREL_SIM_HANDLE_CLIENT);
    if (object == nullptr) {
        return DRV_ERROR_INVALID_VALUE;
    }
    object->Close();
    return DRV_ERROR_NONE;
}

drvError_t drvHdcServerCreate(int devId, int serviceType, HDC_SERVER* server) {
    return NoThrow<drvError_t>(DRV_ERROR_NO_MEMORY, [&]() -> drvError_t {
        int injected = 0;
        if (Injected(OSTREL_SIM_FAULT_SERVER_CREATE, &injected)) {
            return injected;
        }
        auto config = GetConfig();
        if (server == nullptr || devId < 0 || static_cast<uint32_t>(devId) >= config->devices ||
            serviceType < 0) {
            return DRV_ERROR_INVALID_VALUE;
        }
        if (Faults::Instance().DeviceNotReady(static_cast<uint32_t>(devId))) {
            return DRV_ERROR_NOT_READY;
        }
        auto object = std::make_shared<Server>(static_cast<uint32_t>(devId), serviceType);
        if (!object->Valid()) {
            return DRV_ERROR_NO_MEMORY;
        }
        int rc = object->Listen(config->dir);
        if (rc != DRV_ERROR_NONE) {
            return rc;
        }
        *server = HandleTable::Instance().Add(object);
        return DRV_ERROR_NONE;
    });
}

drvError_t drvHdcServerDestroy(HDC_SERVER server) {
    int injected = 0;
    if (Injected(OSTREL_SIM_FAULT_SERVER_DESTROY, &injected)) {
        return injected;
    }
    auto object = HandleTable::Instance().Take(server, OSTREL_SIM_HANDLE_SERVER);
    if (object == nullptr) {
        return DRV_ERROR_INVALID_VALUE;
    }
    object->Close();
    return DRV_ERROR_NONE;
}

drvError_t drvHdcSessionAccept(HDC_SERVER handle, HDC_SESSION* session) {
    return NoThrow<drvError_t>(DRV_ERROR_NO_MEMORY, [&]() -> drvError_t {
        int injected = 0;
        if (Injected(OSTREL_SIM_FAULT_ACCEPT, &injected)) {
            return injected;
        }
        if (session == nullptr) {
            return DRV_ERROR_INVALID_VALUE;
        }
        auto server = HandleTable::Instance().Get<Server>(handle, OSTREL_SIM_HANDLE_SERVER);
        if (server == nullptr) {
            return DRV_ERROR_INVALID_VALUE;
        }
        for (;;) {
            IoResult wait = WaitReady(server->ListenFd(), POLLIN, server->WakeFd(), -1, true);
            if (wait == IoResult::kInterrupted) {
                return DRV_ERROR_INTERRUPTED;
            }
            if (wait == IoResult::kWoken || server->Closed()) {
                return DRV_ERROR_INVALID_VALUE;  // destroyed meanwhile
            }
            if (wait != IoResult::kOk) {
                return DRV_ERROR_IO;
            }
            int fd = accept4(server->ListenFd(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED) {
                    continue;  // taken by another accepting thread, or gone
                }
                if (errno == EINTR) {
                    return DRV_ERROR_INTERRUPTED;
                }
                return DRV_ERROR_IO;
            }
            auto accepted = Greet(fd, *server);
            if (accepted == nullptr) {
                close(fd);
                if (server->Closed()) {
                    return DRV_ERROR_INVALID_VALUE;
                }
                continue;
            }
            *session = HandleTable::Instance().Add(accepted);
            return DRV_ERROR_NONE;
        }
    });
}

drvError_t drvHdcSetSessionReference(HDC_SESSION session) {
    return HandleTable::Instance().Find(session, OSTREL_SIM_HANDLE_SESSION) != nullptr
               ? DRV_ERROR_NONE
               : DRV_ERROR_INVALID_VALUE;
}

drvError_t drvHdcSessionConnect(int peerNode, int peerDevId, HDC_CLIENT client,
                                HDC_SESSION* session) {
    return NoThrow<drvError_t>(DRV_ERROR_NO_MEMORY, [&]() -> drvError_t {
        return Connect(peerNode, peerDevId, static_cast<int32_t>(getpid()), 0, client, session);
    });
}

drvError_t halHdcSessionConnectEx(int peerNode, int peerDevId, int peerPid, HDC_CLIENT client,
                                  HDC_SESSION* session) {
    return NoThrow<drvError_t>(DRV_ERROR_NO_MEMORY, [&]() -> drvError_t {
        if (peerPid < 0) {
            return DRV_ERROR_INVALID_VALUE;
        }
        return Connect(peerNode, peerDevId, peerPid, 0, client, session);
    });
}

drvError_t ostrel_sim_session_connect_vf(int peerNode, int peerDevId, uint32_t vfId,
                                         HDC_CLIENT client, HDC_SESSION* session) {
    return NoThrow<drvError_t>(DRV_ERROR_NO_MEMORY, [&]() -> drvError_t {
        return Connect(peerNode, peerDevId, static_cast<int32_t>(getpid()), vfId, client, session);
    });
}

drvError_t drvHdcSessionClose(HDC_SESSION session) {
    int injected = 0;
    if (Injected(OSTREL_SIM_FAULT_SESSION_CLOSE, &injected)) {
        return injected;
    }
    auto object = HandleTable::Instance().Take(session, OSTREL_SIM_HANDLE_SESSION);
    if (object == nullptr) {
        return DRV_ERROR_INVALID_VALUE;
    }
    object->Close();
    return DRV_ERROR_NONE;
}

drvError_t drvHdcGetCapacity(struct drvHdcCapacity* capacity) {
    Injection injection = Faults::Instance().Check(OSTREL_SIM_FAULT_CAPACITY);
    if (injection.fail) {
        return injection.code;
    }
    if (capacity == nullptr || capacity->chanType != HDC_CHAN_TYPE_SOCKET) {
        return DRV_ERROR_INVALID_VALUE;
    }
    capacity->maxSegment =
        injection.override ? static_cast<uint32_t>(injection.value) : GetConfig()->maxSegment;
    return DRV_ERROR_NONE;
}

drvError_t drvHdcAllocMsg(HDC_SESSION session, struct drvHdcMsg** msg, int count) {
    return NoThrow<drvError_t>(DRV_ERROR_NO_MEMORY, [&]() -> drvError_t {
        int injected = 0;
        if (Injected(OSTREL_SIM_FAULT_ALLOC_MSG, &injected)) {
            return injected;
        }
        if (msg == nullptr || count < 1 ||
            HandleTable::Instance().Find(session, OSTREL_SIM_HANDLE_SESSION) == nullptr) {
            return DRV_ERROR_INVALID_VALUE;
        }
        *msg = MsgRegistry::Instance().Create();
        return DRV_ERROR_NONE;
    });
}

drvError_t drvHdcFreeMsg(struct drvHdcMsg* msg) {
    return MsgRegistry::Instance().Destroy(msg) ? DRV_ERROR_NONE : DRV_ERROR_INVALID_VALUE;
}

drvError_t drvHdcReuseMsg(struct drvHdcMsg* msg) {
    if (!MsgRegistry::Instance().Known(msg)) {
        return DRV_ERROR_INVALID_VALUE;
    }
    msg->buffers.clear();
    return DRV_ERROR_NONE;
}

drvError_t drvHdcAddMsgBuffer(struct drvHdcMsg* msg, char* buf, int len) {
    return NoThrow<drvError_t>(DRV_ERROR_NO_MEMORY, [&]() -> drvError_t {
        if (buf == nullptr || len <= 0 || !MsgRegistry::Instance().Known(msg) ||
            msg->buffers.size() >= kMaxFrameBuffers) {
            return DRV_ERROR_INVALID_VALUE;
        }
        msg->buffers.emplace_back(static_cast<size_t>(len));
        std::memcpy(msg->buffers.back().data(), buf, static_cast<size_t>(len));
        return DRV_ERROR_NONE;
    });
}

drvError_t drvHdcGetMsgBuffer(struct drvHdcMsg* msg, int index, char** buf, int* len) {
    if (buf == nullptr || len == nullptr || !MsgRegistry::Instance().Known(msg) || index < 0 ||
        static_cast<size_t>(index) >= msg->buffers.size()) {
        return DRV_ERROR_INVALID_VALUE;
    }
    drvHdcMsg::Buffer& b = msg->buffers[static_cast<size_t>(index)];
    *buf = b.data();
    *len = static_cast<int>(b.size());
    return DRV_ERROR_NONE;
}

drvError_t halHdcSend(HDC_SESSION handle, struct drvHdcMsg* msg, uint64_t flag, uint32_t timeout) {
    return NoThrow<drvError_t>(DRV_ERROR_NO_MEMORY, [&]() -> drvError_t {
        // A no-wait send still writes the whole message: a part of one would
        // break the framing of every later message.
        (void)flag;
        (void)timeout;
        int injected = 0;
        if (Injected(OSTREL_SIM_FAULT_SEND, &injected)) {
            return injected;
        }
        auto session = HandleTable::Instance().Get<Session>(handle, OSTREL_SIM_HANDLE_SESSION);
        if (session == nullptr || !MsgRegistry::Instance().Known(msg) || msg->buffers.empty()) {
            return DRV_ERROR_INVALID_VALUE;
        }
        uint32_t maxSegment = GetConfig()->maxSegment;
        std::vector<uint32_t> header = {kFrameMagic, static_cast<uint32_t>(msg->buffers.size())};
        std::vector<struct iovec> iov;
        iov.push_back({header.data(), header.size() * 4});
        for (const auto& b : msg->buffers) {
            if (b.size() > maxSegment) {
                return DRV_ERROR_INVALID_VALUE;
            }
            header.push_back(static_cast<uint32_t>(b.size()));
        }
        iov[0].iov_base = header.data();
        iov[0].iov_len = header.size() * 4;
        for (auto& b : msg->buffers) {
            iov.push_back({b.data(), b.size()});
        }
        std::lock_guard<std::mutex> lock(session->sendMu);
        IoResult r = WriteAll(session->Fd(), session->WakeFd(), iov.data(), iov.size());
        if (r == IoResult::kOk) {
            return DRV_ERROR_NONE;
        }
        return (r == IoResult::kPeerClosed || r == IoResult::kWoken) ? DRV_ERROR_SESSION_CLOSED
                                                                     : DRV_ERROR_IO;
    });
}

drvError_t halHdcRecv(HDC_SESSION handle, struct drvHdcMsg* msg, int bufLen, uint64_t flag,
                      int* recvBufCount, uint32_t timeout) {
    return NoThrow<drvError_t>(DRV_ERROR_NO_MEMORY, [&]() -> drvError_t {
        (void)bufLen;
        (void)timeout;
        int injected = 0;
        if (Injected(OSTREL_SIM_FAULT_RECV, &injected)) {
            return injected;
        }
        auto session = HandleTable::Instance().Get<Session>(handle, OSTREL_SIM_HANDLE_SESSION);
        if (session == nullptr || recvBufCount == nullptr || !MsgRegistry::Instance().Known(msg)) {
            return DRV_ERROR_INVALID_VALUE;
        }
        std::lock_guard<std::mutex> lock(session->recvMu);
        if (session->broken) {
            return DRV_ERROR_IO;
        }
        if ((flag & HDC_FLAG_NOWAIT) != 0) {
            IoResult ready = WaitReady(session->Fd(), POLLIN, session->WakeFd(), 0, false);
            if (ready == IoResult::kWoken) {
                return DRV_ERROR_SESSION_CLOSED;
            }
            if (ready == IoResult::kTimeout) {
                return DRV_ERROR_NO_DATA;
            }
        }
        return ReadFrame(*session, msg, recvBufCount);
    });
}

drvError_t halHdcGetSessionAttr(HDC_SESSION handle, int attr, int* value) {
    int injected = 0;
    if (Injected(OSTREL_SIM_FAULT_SESSION_ATTR, &injected)) {
        return injected;
    }
    auto session = HandleTable::Instance().Get<Session>(handle, OSTREL_SIM_HANDLE_SESSION);
    if (session == nullptr || value == nullptr) {
        return DRV_ERROR_INVALID_VALUE;
    }
    switch (attr) {
        case HDC_SESSION_ATTR_DEV_ID:
            *value = static_cast<int>(session->devId);
            return DRV_ERROR_NONE;
        case HDC_SESSION_ATTR_VFID:
            *value = static_cast<int>(session->vfId);
            return DRV_ERROR_NONE;
        default:
            return DRV_ERROR_NOT_SUPPORT;
    }
}

uint32_t ostrel_sim_open_handles(int kind) {
    return HandleTable::Instance().Count(kind);
}

}  // extern "C"
