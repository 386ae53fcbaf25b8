// ostrel-sim-monitor: the simulated application-monitor service. Accepts
// registrations, heartbeats and deregistrations on a Unix socket and logs
// each, one line with the time, to standard output (or --log FILE). Ends on
// SIGTERM or SIGINT, removing its socket.
//
//   ostrel-sim-monitor --socket PATH [--log FILE] [--refuse N]
//
// --refuse N answers the first N registrations with an error.
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "appmon_protocol.h"

namespace {

struct Options {
    std::string socketPath;
    std::string logPath;
    long refuse = 0;
};

struct Registration {
    unsigned long timeoutMs = 0;
    int64_t lastBeatMs = 0;
    bool overdueLogged = false;
};

struct Connection {
    int fd = -1;
    std::string pending;  // bytes of a line not yet complete
    long pid = -1;        // last pid that spoke on this connection
};

FILE* g_log = stdout;

int64_t NowMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void Log(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void Log(const char* fmt, ...) {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    struct tm tmv;
    localtime_r(&tv.tv_sec, &tmv);
    char stamp[32];
    strftime(stamp, sizeof(stamp), "%Y-%m-%d %H:%M:%S", &tmv);
    fprintf(g_log, "[%s.%03ld] ", stamp, static_cast<long>(tv.tv_usec / 1000));
    va_list args;
    va_start(args, fmt);
    vfprintf(g_log, fmt, args);
    va_end(args);
    fputc('\n', g_log);
    fflush(g_log);
}

bool ParseArgs(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (i + 1 >= argc) {
            return false;
        }
        if (a == "--socket") {
            o->socketPath = argv[++i];
        } else if (a == "--log") {
            o->logPath = argv[++i];
        } else if (a == "--refuse") {
            o->refuse = strtol(argv[++i], nullptr, 10);
        } else {
            return false;
        }
    }
    return !o->socketPath.empty();
}

void MakeParents(const std::string& path) {
    for (size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1)) {
        mkdir(path.substr(0, pos).c_str(), 0755);
    }
}

int Listen(const std::string& path) {
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof(addr.sun_path)) {
        return -1;
    }
    MakeParents(path);
    unlink(path.c_str());
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    if (fd < 0 || bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) != 0 ||
        listen(fd, 16) != 0) {
        if (fd >= 0) {
            close(fd);
        }
        return -1;
    }
    return fd;
}

class Service {
  public:
    explicit Service(long refuse) : refuse_(refuse) {}

    // Handles one request line; returns the reply line.
    std::string Handle(Connection& c, const std::string& line) {
        char verb[16] = {0};
        long pid = -1;
        int used = 0;
        if (sscanf(line.c_str(), "%15s %ld %n", verb, &pid, &used) < 2 || pid <= 0) {
            Log("bad request \"%s\"", line.c_str());
            return "ERR bad request";
        }
        c.pid = pid;
        std::string rest = line.substr(static_cast<size_t>(used));
        std::string v = verb;
        if (v == "REGISTER") {
            char* end = nullptr;
            unsigned long timeoutMs = strtoul(rest.c_str(), &end, 10);
            std::string script = *end == ' ' ? std::string(end + 1) : std::string();
            if (refuse_ > 0) {
                refuse_--;
                Log("register refused pid=%ld", pid);
                return "ERR refused";
            }
            Registration& r = registered_[pid];
            r.timeoutMs = timeoutMs;
            r.lastBeatMs = NowMs();
            r.overdueLogged = false;
            Log("register pid=%ld timeout=%lu script=%s", pid, timeoutMs, script.c_str());
            return "OK";
        }
        auto it = registered_.find(pid);
        if (v == "HEARTBEAT") {
            if (it == registered_.end()) {
                Log("heartbeat refused pid=%ld (not registered)", pid);
                return "ERR not registered";
            }
            it->second.lastBeatMs = NowMs();
            it->second.overdueLogged = false;
            Log("heartbeat pid=%ld", pid);
            return "OK";
        }
        if (v == "DEREGISTER") {
            if (it == registered_.end()) {
                return "ERR not registered";
            }
            registered_.erase(it);
            Log("deregister pid=%ld reason=%s", pid, rest.c_str());
            return "OK";
        }
        Log("bad request \"%s\"", line.c_str());
        return "ERR bad request";
    }

    // Logs registrations whose heartbeat is late; returns the ms until the
    // next one can be, or -1.
    int CheckOverdue() {
        int64_t now = NowMs();
        int64_t next = -1;
        for (auto& entry : registered_) {
            Registration& r = entry.second;
            int64_t due = r.lastBeatMs + static_cast<int64_t>(r.timeoutMs);
            if (now > due) {
                if (!r.overdueLogged) {
                    Log("heartbeat overdue pid=%ld", entry.first);
                    r.overdueLogged = true;
                }
            } else if (next < 0 || due - now < next) {
                next = due - now + 1;
            }
        }
        return static_cast<int>(next);
    }

    void Disconnected(const Connection& c) {
        if (c.pid > 0) {
            Log("disconnect pid=%ld", c.pid);
        }
    }

  private:
    long refuse_;
    std::map<long, Registration> registered_;
};

// Reads what the connection sent and answers every complete line; false when
// the connection ended.
bool Serve(Service& service, Connection& c) {
    char buf[1024];
    ssize_t n = recv(c.fd, buf, sizeof(buf), 0);
    if (n < 0 && errno == EINTR) {
        return true;
    }
    if (n <= 0) {
        return false;
    }
    c.pending.append(buf, static_cast<size_t>(n));
    size_t nl;
    while ((nl = c.pending.find('\n')) != std::string::npos) {
        std::string reply = service.Handle(c, c.pending.substr(0, nl)) + "\n";
        c.pending.erase(0, nl + 1);
        if (send(c.fd, reply.data(), reply.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(reply.size())) {
            return false;
        }
    }
    return c.pending.size() < static_cast<size_t>(ostrel::sim::kAppmonMaxLine);
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseArgs(argc, argv, &options)) {
        fprintf(stderr, "usage: %s --socket PATH [--log FILE] [--refuse N]\n", argv[0]);
        return 2;
    }
    if (!options.logPath.empty()) {
        MakeParents(options.logPath);
        g_log = fopen(options.logPath.c_str(), "ae");
        if (g_log == nullptr) {
            fprintf(stderr, "cannot open %s\n", options.logPath.c_str());
            return 1;
        }
    }
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    sigprocmask(SIG_BLOCK, &stop, nullptr);
    int sigFd = signalfd(-1, &stop, SFD_CLOEXEC);
    int listenFd = Listen(options.socketPath);
    if (sigFd < 0 || listenFd < 0) {
        fprintf(stderr, "cannot listen on %s: %s\n", options.socketPath.c_str(), strerror(errno));
        return 1;
    }
    Log("listening on %s", options.socketPath.c_str());
    Service service(options.refuse);
    std::vector<Connection> connections;
    for (;;) {
        std::vector<struct pollfd> fds = {{sigFd, POLLIN, 0}, {listenFd, POLLIN, 0}};
        for (const Connection& c : connections) {
            fds.push_back({c.fd, POLLIN, 0});
        }
        int rc = poll(fds.data(), fds.size(), service.CheckOverdue());
        if (rc < 0 && errno != EINTR) {
            break;
        }
        if (rc <= 0) {
            continue;
        }
        for (size_t i = connections.size(); i-- > 0;) {
            if (fds[i + 2].revents != 0 && !Serve(service, connections[i])) {
                service.Disconnected(connections[i]);
                close(connections[i].fd);
                connections.erase(connections.begin() + static_cast<long>(i));
            }
        }
        if (fds[1].revents != 0) {
            int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                connections.push_back({fd, "", -1});
            }
        }
        if (fds[0].revents != 0) {
            break;  // after serving what had arrived before the signal
        }
    }
    for (const Connection& c : connections) {
        close(c.fd);
    }
    close(listenFd);
    unlink(options.socketPath.c_str());
    Log("stopped");
    return 0;
}
