// Application-monitor client (libostrel_monitor.so): registration and
// heartbeats sent to the monitor service over its Unix socket.
#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "appmon_protocol.h"
#include "hal/no_throw.h"
#include "hal/sim_faults.h"
#include "ostrel/appmon.h"

using ostrel::sim::Faults;
using ostrel::sim::Injection;
using ostrel::sim::NoThrow;

namespace {

// One request at a time across all clients, and never a request on a
// descriptor that appmon_client_exit is closing.
std::mutex g_mu;

bool Injected(int point, int* code) {
    Injection injection = Faults::Instance().Check(point);
    *code = injection.code;
    return injection.fail;
}

bool SendAll(int fd, const std::string& line) {
    size_t done = 0;
    while (done < line.size()) {
        ssize_t n = send(fd, line.data() + done, line.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// Reads one reply line; true when it is "OK".
bool ReadOk(int fd) {
    std::string reply;
    char c = 0;
    while (reply.size() < static_cast<size_t>(ostrel::sim::kAppmonMaxLine)) {
        struct pollfd p = {fd, POLLIN, 0};
        int rc = poll(&p, 1, ostrel::sim::kAppmonReplyTimeoutMs);
        if (rc < 0 && errno == EINTR) {
            continue;
        }
        if (rc <= 0) {
            return false;
        }
        ssize_t n = recv(fd, &c, 1, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        if (c == '\n') {
            return reply == "OK";
        }
        reply.push_back(c);
    }
    return false;
}

bool OneLine(const char* text) {
    return strchr(text, '\n') == nullptr;
}

int Request(appmon_client_t* client, const std::string& line) {
    std::lock_guard<std::mutex> lock(g_mu);
    if (client->fd < 0) {
        return -1;
    }
    return SendAll(client->fd, line) && ReadOk(client->fd) ? 0 : -1;
}

}  // namespace

extern "C" {

int appmon_client_init(appmon_client_t* client, const char* serverPath) {
    return NoThrow<int>(-1, [&]() -> int {
        if (client != nullptr) {
            // Never left holding a descriptor it does not own (a zeroed record says 0).
            client->fd = -1;
            client->registered = 0;
        }
        int injected = 0;
        if (Injected(OSTREL_SIM_FAULT_APPMON_INIT, &injected)) {
            return injected;
        }
        if (client == nullptr || serverPath == nullptr) {
            return -1;
        }
        struct sockaddr_un addr = {};
        addr.sun_family = AF_UNIX;
        size_t len = strlen(serverPath);
        if (len == 0 || len >= sizeof(addr.sun_path) || len >= sizeof(client->serverPath)) {
            return -1;
        }
        memcpy(addr.sun_path, serverPath, len + 1);
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            return -1;
        }
        int rc;
        do {
            rc = connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr));
        } while (rc != 0 && errno == EINTR);
        if (rc != 0) {
            close(fd);
            return -1;  // nothing listens there
        }
        memcpy(client->serverPath, serverPath, len + 1);
        std::lock_guard<std::mutex> lock(g_mu);
        client->fd = fd;
        return 0;
    });
}

int appmon_client_register(appmon_client_t* client, unsigned long timeoutMs, const char* script) {
    return NoThrow<int>(-1, [&]() -> int {
        int injected = 0;
        if (Injected(OSTREL_SIM_FAULT_APPMON_REGISTER, &injected)) {
            return injected;
        }
        if (client == nullptr || script == nullptr || !OneLine(script)) {
            return -1;
        }
        std::string line = "REGISTER " + std::to_string(getpid()) + " " +
                           std::to_string(timeoutMs) + " " + script + "\n";
        if (Request(client, line) != 0) {
            return -1;
        }
        client->registered = 1;
        return 0;
    });
}

int appmon_client_heartbeat(appmon_client_t* client) {
    return NoThrow<int>(-1, [&]() -> int {
        int injected = 0;
        if (Injected(OSTREL_SIM_FAULT_APPMON_HEARTBEAT, &injected)) {
            return injected;
        }
        if (client == nullptr) {
            return -1;
        }
        return Request(client, "HEARTBEAT " + std::to_string(getpid()) + "\n");
    });
}

int appmon_client_deregister(appmon_client_t* client, const char* reason) {
    return NoThrow<int>(-1, [&]() -> int {
        int injected = 0;
        if (Injected(OSTREL_SIM_FAULT_APPMON_DEREGISTER, &injected)) {
            return injected;
        }
        if (client == nullptr || reason == nullptr || !OneLine(reason)) {
            return -1;
        }
        int rc = Request(client, "DEREGISTER " + std::to_string(getpid()) + " " + reason + "\n");
        if (rc == 0) {
            client->registered = 0;
        }
        return rc;
    });
}

void appmon_client_exit(appmon_client_t* client) {
    if (client == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> lock(g_mu);
    if (client->fd >= 0) {
        close(client->fd);
    }
    client->fd = -1;
    client->registered = 0;
}

}  // extern "C"
