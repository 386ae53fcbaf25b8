// OS layer over POSIX.
#include "ostrel/mm.h"

#include <errno.h>
#include <fcntl.h>
#include <libgen.h>
#include <limits.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>

extern char** environ;

namespace {

thread_local int32_t g_lastError = 0;

int32_t Fail(int err) {
    g_lastError = err;
    return EN_ERROR;
}

int32_t Check(int rc) {
    return rc == 0 ? EN_OK : Fail(errno);
}

std::string CutName(const char* name) {
    std::string n = name != nullptr ? name : "";
    if (n.size() > MM_THREAD_NAME_MAX) {
        n.resize(MM_THREAD_NAME_MAX);
    }
    return n;
}

int ToOpenFlags(int32_t flags) {
    int out = 0;
    switch (flags & 0x3) {
        case M_WRONLY:
            out = O_WRONLY;
            break;
        case M_RDWR:
            out = O_RDWR;
            break;
        default:
            out = O_RDONLY;
            break;
    }
    if ((flags & M_CREAT) != 0)
        out |= O_CREAT;
    if ((flags & M_TRUNC) != 0)
        out |= O_TRUNC;
    if ((flags & M_APPEND) != 0)
        out |= O_APPEND;
    return out | O_CLOEXEC;
}

// PATH of envp when it has one, else of the caller.
std::string SearchPath(char* const envp[]) {
    if (envp != nullptr) {
        for (char* const* e = envp; *e != nullptr; ++e) {
            if (strncmp(*e, "PATH=", 5) == 0) {
                return *e + 5;
            }
        }
    }
    const char* p = getenv("PATH");
    return p != nullptr ? p : "/usr/bin:/bin";
}

std::string ResolveProgram(const char* fileName, char* const envp[]) {
    if (strchr(fileName, '/') != nullptr) {
        return fileName;
    }
    std::string paths = SearchPath(envp);
    size_t start = 0;
    while (start <= paths.size()) {
        size_t end = paths.find(':', start);
        if (end == std::string::npos)
            end = paths.size();
        std::string dir = paths.substr(start, end - start);
        if (dir.empty())
            dir = ".";
        std::string candidate = dir + "/" + fileName;
        if (access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        start = end + 1;
    }
    return "";
}

}  // namespace

extern "C" {

int32_t mmCreateTaskWithThreadAttr(mmThread* thread, mmThreadFunc func, void* arg,
                                   const mmThreadAttr* attr) {
    if (thread == nullptr || func == nullptr) {
        return Fail(EINVAL);
    }
    pthread_attr_t pa;
    if (pthread_attr_init(&pa) != 0) {
        return Fail(errno);
    }
    if (attr != nullptr) {
        if (attr->detach == 1) {
            pthread_attr_setdetachstate(&pa, PTHREAD_CREATE_DETACHED);
        }
        if (attr->policyFlag == 1) {
            pthread_attr_setinheritsched(&pa, PTHREAD_EXPLICIT_SCHED);
            pthread_attr_setschedpolicy(&pa, attr->policy);
        }
        if (attr->priorityFlag == 1) {
            struct sched_param sp;
            sp.sched_priority = attr->priority;
            pthread_attr_setschedparam(&pa, &sp);
        }
        if (attr->stackFlag == 1) {
            size_t size = attr->stackSize < PTHREAD_STACK_MIN ? PTHREAD_STACK_MIN : attr->stackSize;
            pthread_attr_setstacksize(&pa, size);
        }
    }
    int rc = pthread_create(thread, &pa, func, arg);
    pthread_attr_destroy(&pa);
    return rc == 0 ? EN_OK : Fail(rc);
}

int32_t mmJoinTask(mmThread* thread) {
    if (thread == nullptr) {
        return Fail(EINVAL);
    }
    int rc = pthread_join(*thread, nullptr);
    return rc == 0 ? EN_OK : Fail(rc);
}

int32_t mmSetCurrentThreadName(const char* name) {
    if (name == nullptr) {
        return Fail(EINVAL);
    }
    return Check(prctl(PR_SET_NAME, CutName(name).c_str()));
}

int32_t mmSetThreadName(mmThread* thread, const char* name) {
    if (thread == nullptr || name == nullptr) {
        return Fail(EINVAL);
    }
    int rc = pthread_setname_np(*thread, CutName(name).c_str());
    return rc == 0 ? EN_OK : Fail(rc);
}

int32_t mmMutexInit(mmMutex_t* m) {
    if (m == nullptr)
        return Fail(EINVAL);
    int rc = pthread_mutex_init(m, nullptr);
    return rc == 0 ? EN_OK : Fail(rc);
}
int32_t mmMutexLock(mmMutex_t* m) {
    if (m == nullptr)
        return Fail(EINVAL);
    int rc = pthread_mutex_lock(m);
    return rc == 0 ? EN_OK : Fail(rc);
}
int32_t mmMutexUnLock(mmMutex_t* m) {
    if (m == nullptr)
        return Fail(EINVAL);
    int rc = pthread_mutex_unlock(m);
    return rc == 0 ? EN_OK : Fail(rc);
}
int32_t mmMutexDestroy(mmMutex_t* m) {
    if (m == nullptr)
        return Fail(EINVAL);
    int rc = pthread_mutex_destroy(m);
    return rc == 0 ? EN_OK : Fail(rc);
}

int32_t mmSemInit(mmSem_t* s, uint32_t value) {
    if (s == nullptr)
        return Fail(EINVAL);
    return Check(sem_init(s, 0, value));
}
int32_t mmSemWait(mmSem_t* s) {
    if (s == nullptr)
        return Fail(EINVAL);
    return Check(sem_wait(s));
}
int32_t mmSemPost(mmSem_t* s) {
    if (s == nullptr)
        return Fail(EINVAL);
    return Check(sem_post(s));
}
int32_t mmSemDestroy(mmSem_t* s) {
    if (s == nullptr)
        return Fail(EINVAL);
    return Check(sem_destroy(s));
}

int32_t mmSleep(uint32_t ms) {
    struct timespec req;
    req.tv_sec = ms / 1000;
    req.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    while (nanosleep(&req, &req) != 0) {
        if (errno != EINTR) {
            return Fail(errno);
        }
    }
    return EN_OK;
}

mmTimespec mmGetTickCount(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    mmTimespec out;
    out.tv_sec = ts.tv_sec;
    out.tv_nsec = ts.tv_nsec;
    return out;
}

int32_t mmGetErrorCode(void) {
    return g_lastError != 0 ? g_lastError : errno;
}

char* mmGetErrorFormatMessage(int32_t errnum, char* buf, size_t size) {
    if (buf == nullptr || size == 0) {
        return nullptr;
    }
    const char* text = strerror_r(errnum, buf, size);  // GNU variant
    if (text != buf) {
        snprintf(buf, size, "%s", text);
    }
    return buf;
}

int32_t mmSACleanup(void) {
    return EN_OK;
}

int32_t mmOpen2(const char* path, int32_t flags, uint32_t mode) {
    if (path == nullptr)
        return Fail(EINVAL);
    int fd = open(path, ToOpenFlags(flags), static_cast<mode_t>(mode));
    return fd >= 0 ? fd : Fail(errno);
}

int32_t mmClose(int32_t fd) {
    return Check(close(fd));
}

int32_t mmMkdir(const char* path, uint32_t mode) {
    if (path == nullptr)
        return Fail(EINVAL);
    return Check(mkdir(path, static_cast<mode_t>(mode)));
}

int32_t mmChmod(const char* path, uint32_t mode) {
    if (path == nullptr)
        return Fail(EINVAL);
    return Check(chmod(path, static_cast<mode_t>(mode)));
}

int32_t mmAccess(const char* path) {
    if (path == nullptr)
        return Fail(EINVAL);
    return Check(access(path, F_OK));
}

int32_t mmIsDir(const char* path) {
    if (path == nullptr)
        return Fail(EINVAL);
    struct stat st;
    if (stat(path, &st) != 0)
        return Fail(errno);
    return S_ISDIR(st.st_mode) ? EN_OK : Fail(ENOTDIR);
}

int32_t mmScandir(const char* path, mmDirent*** entryList, mmFilter filter, mmSort sort) {
    if (path == nullptr || entryList == nullptr)
        return Fail(EINVAL);
    int n = scandir(path, entryList, filter,
                    reinterpret_cast<int (*)(const struct dirent**, const struct dirent**)>(sort));
    return n >= 0 ? n : Fail(errno);
}

void mmScandirFree(mmDirent** entryList, int32_t count) {
    if (entryList == nullptr)
        return;
    for (int32_t i = 0; i < count; ++i) {
        free(entryList[i]);
    }
    free(entryList);
}

int32_t mmRmdir(const char* path) {
    if (path == nullptr)
        return Fail(EINVAL);
    return Check(rmdir(path));
}

int32_t mmUnlink(const char* path) {
    if (path == nullptr)
        return Fail(EINVAL);
    return Check(unlink(path));
}

int32_t mmRealPath(const char* path, char* realPath, int32_t realPathLen) {
    if (path == nullptr || realPath == nullptr || realPathLen < PATH_MAX)
        return Fail(EINVAL);
    return realpath(path, realPath) != nullptr ? EN_OK : Fail(errno);
}

char* mmDirName(char* path) {
    return path == nullptr ? nullptr : dirname(path);
}
char* mmBaseName(char* path) {
    return path == nullptr ? nullptr : basename(path);
}

int32_t mmGetFileSize(const char* path, uint64_t* length) {
    if (path == nullptr || length == nullptr)
        return Fail(EINVAL);
    struct stat st;
    if (stat(path, &st) != 0)
        return Fail(errno);
    *length = static_cast<uint64_t>(st.st_size);
    return EN_OK;
}

int32_t mmChdir(const char* path) {
    if (path == nullptr)
        return Fail(EINVAL);
    return Check(chdir(path));
}

int32_t mmUmask(int32_t mask) {
    return static_cast<int32_t>(umask(static_cast<mode_t>(mask)));
}

int32_t mmCreateProcess(const char* fileName, char* const argv[], char* const envp[],
                        const char* stdoutRedirectFile, mmProcess* id) {
    if (fileName == nullptr || argv == nullptr || id == nullptr)
        return Fail(EINVAL);
    std::string program = ResolveProgram(fileName, envp);
    if (program.empty())
        return Fail(ENOENT);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (stdoutRedirectFile != nullptr && stdoutRedirectFile[0] != '\0') {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, stdoutRedirectFile,
                                         O_WRONLY | O_CREAT | O_TRUNC, 0640);
    }
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    // A caller's blocked signals are its own business: the child starts with
    // none blocked, so it can still be stopped.
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    pid_t pid = -1;
    int rc =
        posix_spawn(&pid, program.c_str(), &actions, &attr, argv, envp != nullptr ? envp : environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        return Fail(rc);
    *id = pid;
    return EN_OK;
}

int32_t mmWaitPid(mmProcess pid, int32_t* exitCode, int32_t options) {
    int status = 0;
    pid_t rc;
    do {
        rc = waitpid(pid, &status, (options & MM_WAIT_NOHANG) != 0 ? WNOHANG : 0);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0)
        return Fail(errno);
    if (rc == 0)
        return MM_PROCESS_RUNNING;
    if (exitCode != nullptr) {
        *exitCode = WIFEXITED(status) ? WEXITSTATUS(status)
                                      : (WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1);
    }
    return MM_PROCESS_ENDED;
}

}  // extern "C"
