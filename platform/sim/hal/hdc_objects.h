// HDC clients, servers and sessions of the simulated card, and the table that
// turns the opaque handles given to callers into objects.
//
// A handle is a number, never a pointer: a handle that was closed or destroyed
// is simply not found, so a late call fails cleanly. Objects are reference
// counted; a thread blocked in a call holds its own reference, so closing the
// handle from another thread wakes that thread (Close) and the object, with
// its descriptors, is freed only when the last user has left.
#ifndef OSTREL_SIM_HAL_HDC_OBJECTS_H
#define OSTREL_SIM_HAL_HDC_OBJECTS_H

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ostrel/sim_control.h"

namespace ostrel::sim {

class HdcObject {
  public:
    explicit HdcObject(int kind);
    virtual ~HdcObject();
    HdcObject(const HdcObject&) = delete;
    HdcObject& operator=(const HdcObject&) = delete;

    int Kind() const { return kind_; }
    bool Valid() const { return wakeFd_ >= 0; }
    // Readable once the object is closed; every blocking wait watches it.
    int WakeFd() const { return wakeFd_; }
    bool Closed() const { return closed_.load(); }
    // Marks the object closed and wakes every waiting thread. Idempotent.
    void Close();

  protected:
    // Runs once, on the first Close().
    virtual void OnClose() {}

  private:
    const int kind_;
    const int wakeFd_;
    std::atomic<bool> closed_{false};
};

class Client : public HdcObject {
  public:
    Client(int maxSessions, int serviceType);

    const int maxSessions;
    const int serviceType;
    // Sessions connected through this client and not yet closed; shared with
    // the sessions, which may outlive the client.
    const std::shared_ptr<std::atomic<int>> openSessions;
};

class Server : public HdcObject {
  public:
    Server(uint32_t devId, int serviceType);
    ~Server() override;

    // Binds the device's socket; returns a driver result.
    int Listen(const std::string& dir);

    const uint32_t devId;
    const int serviceType;
    int ListenFd() const { return listenFd_; }

  protected:
    void OnClose() override;

  private:
    int listenFd_ = -1;
    int lockFd_ = -1;  // flock held while this server owns the socket path
    std::string path_;
};

class Session : public HdcObject {
  public:
    // Takes ownership of fd (connected, non-blocking).
    Session(int fd, uint32_t devId, uint32_t vfId, int32_t peerPid,
            std::shared_ptr<std::atomic<int>> clientCount);
    ~Session() override;

    int Fd() const { return fd_; }
    const uint32_t devId;
    const uint32_t vfId;
    const int32_t peerPid;

    std::mutex sendMu;    // one message written at a time
    std::mutex recvMu;    // one message read at a time
    bool broken = false;  // guarded by recvMu: the stream lost its framing

  protected:
    void OnClose() override;

  private:
    const int fd_;
    std::shared_ptr<std::atomic<int>> clientCount_;
};

// Socket path of the server of a device and service in the socket folder.
std::string ServerSocketPath(const std::string& dir, uint32_t devId, int serviceType);

class HandleTable {
  public:
    static HandleTable& Instance();

    void* Add(std::shared_ptr<HdcObject> object);
    // The object of a handle of that kind that is still open, or null.
    std::shared_ptr<HdcObject> Find(const void* handle, int kind);
    template <class T>
    std::shared_ptr<T> Get(const void* handle, int kind) {
        return std::static_pointer_cast<T>(Find(handle, kind));
    }
    // Removes the handle from the table; the caller closes the object.
    std::shared_ptr<HdcObject> Take(const void* handle, int kind);
    std::vector<std::shared_ptr<HdcObject>> TakeAll();
    uint32_t Count(int kind);

  private:
    std::mutex mu_;
    uint64_t nextId_ = 0x10000;                               // guarded by mu_
    std::map<uint64_t, std::shared_ptr<HdcObject>> objects_;  // guarded by mu_
};

}  // namespace ostrel::sim

#endif  // OSTREL_SIM_HAL_HDC_OBJECTS_H
