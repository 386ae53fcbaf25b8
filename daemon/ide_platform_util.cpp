#include "daemon/ide_platform_util.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "common/log.h"
#include "common/oru_paths.h"
#include "common/utils.h"
#include "ostrel/mm.h"

using analysis::orbx::common::Utils;

namespace {

constexpr uint32_t kLockFileMode = 0600;
constexpr int kLockAttempts = 3;

// true when fd still refers to the file at path: a lock on an inode that was
// unlinked meanwhile guards nothing.
bool StillThePath(int fd, const std::string& path) {
    struct stat byFd {};
    struct stat byPath {};
    return fstat(fd, &byFd) == 0 && stat(path.c_str(), &byPath) == 0 &&
           byFd.st_dev == byPath.st_dev && byFd.st_ino == byPath.st_ino;
}

IdeLockResult SetCloseOnExec(int fd) {
    int flags = fcntl(fd, F_GETFD);
    if (flags < 0) {
        ORU_LOGE("single process fcntl get fd");
        return IDE_LOCK_ERROR;
    }
    if (fcntl(fd, F_SETFD, flags | FD_CLOEXEC) < 0) {
        ORU_LOGE("single process fcntl set fd");
        return IDE_LOCK_ERROR;
    }
    return IDE_LOCK_OK;
}

IdeLockResult LockOnce(const std::string& path, int* fd) {
    int f = mmOpen2(path.c_str(), M_WRONLY | M_CREAT, kLockFileMode);
    if (f < 0) {
        ORU_LOGE("single process open %s fd = %d", Utils::BaseName(path).c_str(), f);
        return IDE_LOCK_ERROR;
    }
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;
    if (fcntl(f, F_SETLK, &lock) < 0) {
        (void)mmClose(f);
        return IDE_LOCK_HELD;
    }
    IdeLockResult result = SetCloseOnExec(f);
    if (result != IDE_LOCK_OK) {
        // Still ours: the file can go before the lock is released.
        Utils::RemoveFile(path);
        (void)mmClose(f);
        return result;
    }
    *fd = f;
    return IDE_LOCK_OK;
}

}  // namespace

std::string IdeLockDir() {
    return std::string(analysis::orbx::common::kRootPrefix) + Utils::HomeDir() + "/ide_daemon/";
}

std::string IdeLockFilePath() {
    return IdeLockDir() + "." + "ilka" + ".lock";
}

IdeLockResult IdeSingleProcessLock(int* fd) {
    std::string dir = IdeLockDir();
    (void)Utils::CreateDir(dir);
    std::string path = IdeLockFilePath();
    for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
        int f = -1;
        IdeLockResult result = LockOnce(path, &f);
        if (result == IDE_LOCK_HELD) {
            ORU_LOGE("oru is exist, don't start again");
            printf("oru is exist, don't start again\n");
            fflush(stdout);
            return result;
        }
        if (result != IDE_LOCK_OK) {
            return result;
        }
        if (StillThePath(f, path)) {
            *fd = f;
            return IDE_LOCK_OK;
        }
        // The file was replaced while we locked it (the previous instance was
        // removing it): lock the file that is there now.
        (void)mmClose(f);
    }
    ORU_LOGE("single process open %s fd = %d", Utils::BaseName(path).c_str(), -1);
    return IDE_LOCK_ERROR;
}

void IdeSingleProcessUnlock(int fd) {
    Utils::RemoveFile(IdeLockFilePath());
    if (fd >= 0) {
        (void)mmClose(fd);
    }
}

void IdeLogInit() {
    (void)dlog_init();
    LogAttr attr{};
    attr.type = 1;
    attr.pid = 0;
    attr.deviceId = 0;
    if (DlogSetAttr(attr) != 0) {
        ORU_LOGW("Set log attr failed.");
    }
}

namespace {

volatile sig_atomic_t g_stopRequested = 0;
void (*volatile g_stopWake)() = nullptr;

void OnStopSignal(int sig) {
    if (g_stopRequested != 0) {
        _exit(128 + sig);
    }
    g_stopRequested = 1;
    int savedErrno = errno;
    void (*wake)() = g_stopWake;
    if (wake != nullptr) {
        wake();
    }
    errno = savedErrno;
}

sigset_t StopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
}

}  // namespace

int IdeStopSignalsBlock() {
    sigset_t set = StopSignals();
    return pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int IdeStopSignalsArm(void (*wake)()) {
    g_stopWake = wake;
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    // The other stop signal waits while the handler runs: it then counts as
    // the second one.
    action.sa_mask = StopSignals();
    if (sigaction(SIGTERM, &action, nullptr) != 0 || sigaction(SIGINT, &action, nullptr) != 0) {
        return errno;
    }
    sigset_t set = StopSignals();
    return pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

bool IdeStopRequested() {
    return g_stopRequested != 0;
}

bool IdeStopSignalPending() {
    sigset_t pending;
    if (sigpending(&pending) != 0) {
        return false;
    }
    return sigismember(&pending, SIGTERM) == 1 || sigismember(&pending, SIGINT) == 1;
}

int IdeDaemonSubInit() {
    if (signal(SIGPIPE, SIG_IGN) == SIG_ERR) {
        return errno;
    }
    return 0;
}
