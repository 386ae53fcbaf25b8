#include "hdc_objects.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

namespace ostrel::sim {
namespace {

int MakeDirs(const std::string& dir) {
    std::string partial;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = dir.find('/', pos + 1);
        partial = dir.substr(0, pos);
        if (!partial.empty() && mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) {
            return -1;
        }
    }
    return 0;
}

}  // namespace

HdcObject::HdcObject(int kind) : kind_(kind), wakeFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

HdcObject::~HdcObject() {
    if (wakeFd_ >= 0) {
        close(wakeFd_);
    }
}

void HdcObject::Close() {
    if (closed_.exchange(true)) {
        return;
    }
    OnClose();
    uint64_t one = 1;
    if (wakeFd_ >= 0) {
        ssize_t rc = write(wakeFd_, &one, sizeof(one));
        (void)rc;  // the counter cannot overflow with one write
    }
}

Client::Client(int sessionLimit, int service)
    : HdcObject(OSTREL_SIM_HANDLE_CLIENT),
      maxSessions(sessionLimit),
      serviceType(service),
      openSessions(std::make_shared<std::atomic<int>>(0)) {}

std::string ServerSocketPath(const std::string& dir, uint32_t devId, int serviceType) {
    return dir + "/hdc-" + std::to_string(devId) + "-" + std::to_string(serviceType) + ".sock";
}

Server::Server(uint32_t device, int service)
    : HdcObject(OSTREL_SIM_HANDLE_SERVER), devId(device), serviceType(service) {}

Server::~Server() {
    if (listenFd_ >= 0) {
        close(listenFd_);
    }
    if (lockFd_ >= 0) {
        close(lockFd_);
    }
}

int Server::Listen(const std::string& dir) {
    std::string path = ServerSocketPath(dir, devId, serviceType);
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof(addr.sun_path) || MakeDirs(dir) != 0) {
        return DRV_ERROR_IO;
    }
    std::string lockPath = path.substr(0, path.size() - 5) + ".lock";
    lockFd_ = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lockFd_ < 0 || flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
        return DRV_ERROR_IO;  // another server owns this device and service
    }
    unlink(path.c_str());  // left behind by a server that did not end cleanly
    listenFd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listenFd_ < 0) {
        return DRV_ERROR_IO;
    }
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    if (bind(listenFd_, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) != 0 ||
        listen(listenFd_, 128) != 0) {
        return DRV_ERROR_IO;
    }
    path_ = path;
    return DRV_ERROR_NONE;
}

void Server::OnClose() {
    // Later connects find no socket; a new server may take the path at once,
    // while threads still in accept hold the old descriptor until they leave.
    if (!path_.empty()) {
        unlink(path_.c_str());
    }
    if (lockFd_ >= 0) {
        close(lockFd_);
        lockFd_ = -1;
    }
}

Session::Session(int fd, uint32_t device, uint32_t vf, int32_t peer,
                 std::shared_ptr<std::atomic<int>> clientCount)
    : HdcObject(OSTREL_SIM_HANDLE_SESSION),
      devId(device),
      vfId(vf),
      peerPid(peer),
      fd_(fd),
      clientCount_(std::move(clientCount)) {}

Session::~Session() {
    close(fd_);
}

void Session::OnClose() {
    // The peer sees the end of the stream now, even while a local thread still
    // holds the session for a moment.
    shutdown(fd_, SHUT_RDWR);
    if (clientCount_ != nullptr) {
        clientCount_->fetch_sub(1);
    }
}

HandleTable& HandleTable::Instance() {
    static HandleTable* table = new HandleTable();  // never destroyed: see hdc_objects.h
    return *table;
}

void* HandleTable::Add(std::shared_ptr<HdcObject> object) {
    std::lock_guard<std::mutex> lock(mu_);
    uint64_t id = nextId_++;
    objects_[id] = std::move(object);
    return reinterpret_cast<void*>(static_cast<uintptr_t>(id));
}

std::shared_ptr<HdcObject> HandleTable::Find(const void* handle, int kind) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = objects_.find(static_cast<uint64_t>(reinterpret_cast<uintptr_t>(handle)));
    if (it == objects_.end() || it->second->Kind() != kind) {
        return nullptr;
    }
    return it->second;
}

std::shared_ptr<HdcObject> HandleTable::Take(const void* handle, int kind) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = objects_.find(static_cast<uint64_t>(reinterpret_cast<uintptr_t>(handle)));
    if (it == objects_.end() || it->second->Kind() != kind) {
        return nullptr;
    }
    std::shared_ptr<HdcObject> object = std::move(it->second);
    objects_.erase(it);
    return object;
}

std::vector<std::shared_ptr<HdcObject>> HandleTable::TakeAll() {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<std::shared_ptr<HdcObject>> all;
    for (auto& entry : objects_) {
        all.push_back(std::move(entry.second));
    }
    objects_.clear();
    return all;
}

uint32_t HandleTable::Count(int kind) {
    std::lock_guard<std::mutex> lock(mu_);
    uint32_t n = 0;
    for (const auto& entry : objects_) {
        if (entry.second->Kind() == kind) {
            n++;
        }
    }
    return n;
}

}  // namespace ostrel::sim
