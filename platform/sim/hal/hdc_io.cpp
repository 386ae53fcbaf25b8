#include "hdc_io.h"

#include <errno.h>
#include <limits.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

namespace ostrel::sim {
namespace {

int64_t NowMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int Remaining(int64_t deadline) {
    if (deadline < 0) {
        return -1;
    }
    int64_t left = deadline - NowMs();
    return left > 0 ? static_cast<int>(std::min<int64_t>(left, INT_MAX)) : 0;
}

}  // namespace

IoResult WaitReady(int fd, short events, int wakeFd, int timeoutMs, bool interruptible) {
    int64_t deadline = timeoutMs < 0 ? -1 : NowMs() + timeoutMs;
    for (;;) {
        struct pollfd fds[2];
        fds[0].fd = wakeFd;
        fds[0].events = POLLIN;
        fds[0].revents = 0;
        fds[1].fd = fd;
        fds[1].events = events;
        fds[1].revents = 0;
        int rc = poll(fds, 2, Remaining(deadline));
        if (rc < 0) {
            if (errno == EINTR) {
                if (interruptible) {
                    return IoResult::kInterrupted;
                }
                continue;
            }
            return IoResult::kError;
        }
        if (fds[0].revents != 0) {
            return IoResult::kWoken;
        }
        if (rc == 0) {
            return IoResult::kTimeout;
        }
        if ((fds[1].revents & POLLNVAL) != 0) {
            return IoResult::kError;
        }
        // Readiness, hang-up or error: the following call tells which.
        return IoResult::kOk;
    }
}

IoResult ReadFull(int fd, int wakeFd, void* buf, size_t n, int timeoutMs) {
    int64_t deadline = timeoutMs < 0 ? -1 : NowMs() + timeoutMs;
    char* p = static_cast<char*>(buf);
    size_t done = 0;
    while (done < n) {
        ssize_t got = recv(fd, p + done, n - done, MSG_DONTWAIT);
        if (got > 0) {
            done += static_cast<size_t>(got);
            continue;
        }
        if (got == 0) {
            return IoResult::kPeerClosed;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == ECONNRESET || errno == EPIPE) {
            return IoResult::kPeerClosed;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            return IoResult::kError;
        }
        IoResult wait = WaitReady(fd, POLLIN, wakeFd, Remaining(deadline), false);
        if (wait != IoResult::kOk) {
            return wait;
        }
    }
    return IoResult::kOk;
}

IoResult WriteAll(int fd, int wakeFd, struct iovec* iov, size_t count) {
    size_t first = 0;
    while (first < count) {
        if (iov[first].iov_len == 0) {
            first++;
            continue;
        }
        struct msghdr msg = {};
        msg.msg_iov = iov + first;
        msg.msg_iovlen = std::min<size_t>(count - first, IOV_MAX);
        ssize_t sent = sendmsg(fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno == EPIPE || errno == ECONNRESET) {
                return IoResult::kPeerClosed;
            }
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                return IoResult::kError;
            }
            IoResult wait = WaitReady(fd, POLLOUT, wakeFd, -1, false);
            if (wait != IoResult::kOk) {
                return wait;
            }
            continue;
        }
        size_t left = static_cast<size_t>(sent);
        while (left > 0 && first < count) {
            size_t take = std::min(left, iov[first].iov_len);
            iov[first].iov_base = static_cast<char*>(iov[first].iov_base) + take;
            iov[first].iov_len -= take;
            left -= take;
            if (iov[first].iov_len == 0) {
                first++;
            }
        }
    }
    return IoResult::kOk;
}

}  // namespace ostrel::sim
