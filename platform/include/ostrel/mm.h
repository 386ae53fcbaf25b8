/*
 * OS layer: thin wrappers over POSIX. Each call returns 0 (EN_OK) on success
 * and EN_ERROR (-1) on failure unless said otherwise; mmGetErrorCode() gives
 * the error number of the last failure of the calling thread.
 */
#ifndef OSTREL_MM_H
#define OSTREL_MM_H

#include <dirent.h>
#include <pthread.h>
#include <semaphore.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

#define EN_OK 0
#define EN_ERROR (-1)
#define EN_INVALID_PARAM (-2)

#define MM_MAX_PATH 4096
#define MM_THREAD_NAME_MAX 15 /* longer names are cut, not refused */

/* ---- Threads ------------------------------------------------------------ */

typedef pthread_t mmThread;
typedef void* (*mmThreadFunc)(void* arg);

/* Thread attributes; zero-filled means: joinable, default scheduling and stack. */
typedef struct {
    int32_t detach;       /* 1: detached */
    int32_t priorityFlag; /* 1: apply priority */
    int32_t priority;
    int32_t policyFlag; /* 1: apply policy */
    int32_t policy;     /* SCHED_* */
    int32_t stackFlag;  /* 1: apply stackSize */
    uint32_t stackSize; /* bytes */
} mmThreadAttr;

int32_t mmCreateTaskWithThreadAttr(mmThread* thread, mmThreadFunc func, void* arg,
                                   const mmThreadAttr* attr);
int32_t mmJoinTask(mmThread* thread);
int32_t mmSetCurrentThreadName(const char* name);
int32_t mmSetThreadName(mmThread* thread, const char* name);

/* ---- Mutexes, semaphores, time ------------------------------------------ */

typedef pthread_mutex_t mmMutex_t;
typedef sem_t mmSem_t;

int32_t mmMutexInit(mmMutex_t* mutex);
int32_t mmMutexLock(mmMutex_t* mutex);
int32_t mmMutexUnLock(mmMutex_t* mutex);
int32_t mmMutexDestroy(mmMutex_t* mutex);
int32_t mmSemInit(mmSem_t* sem, uint32_t value);
/* EN_ERROR with mmGetErrorCode() == EINTR (4) when a signal interrupted the wait. */
int32_t mmSemWait(mmSem_t* sem);
int32_t mmSemPost(mmSem_t* sem);
int32_t mmSemDestroy(mmSem_t* sem);

int32_t mmSleep(uint32_t milliSecond);

typedef struct {
    int64_t tv_sec;
    int64_t tv_nsec;
} mmTimespec;
/* Monotonic clock. */
mmTimespec mmGetTickCount(void);

int32_t mmGetErrorCode(void);
/* Text of an error number into buf (size bytes); returns buf, or NULL on failure. */
char* mmGetErrorFormatMessage(int32_t errnum, char* buf, size_t size);
int32_t mmSACleanup(void);

/* ---- Files and directories ---------------------------------------------- */

#define M_RDONLY 0x0000
#define M_WRONLY 0x0001
#define M_RDWR 0x0002
#define M_CREAT 0x0040
#define M_TRUNC 0x0200
#define M_APPEND 0x0400

/* A descriptor (>= 0) or EN_ERROR. */
int32_t mmOpen2(const char* path, int32_t flags, uint32_t mode);
int32_t mmClose(int32_t fd);
int32_t mmMkdir(const char* path, uint32_t mode); /* EN_ERROR, errno EEXIST when present */
int32_t mmChmod(const char* path, uint32_t mode);
int32_t mmAccess(const char* path); /* 0 when the path exists */
int32_t mmIsDir(const char* path);  /* 0 when the path is a directory */

typedef struct dirent mmDirent;
typedef int (*mmFilter)(const mmDirent* entry);
typedef int (*mmSort)(const mmDirent** a, const mmDirent** b);
/* Number of entries (>= 0, "." and ".." included unless filtered) or EN_ERROR. */
int32_t mmScandir(const char* path, mmDirent*** entryList, mmFilter filter, mmSort sort);
void mmScandirFree(mmDirent** entryList, int32_t count);
/* Removes an empty directory. */
int32_t mmRmdir(const char* path);
int32_t mmUnlink(const char* path);
int32_t mmRealPath(const char* path, char* realPath, int32_t realPathLen);
/* Like dirname(3) and basename(3): may modify path; return a pointer into it or a constant. */
char* mmDirName(char* path);
char* mmBaseName(char* path);
int32_t mmGetFileSize(const char* path, uint64_t* length);
int32_t mmChdir(const char* path);
/* Sets the file-creation mask; returns the previous one. */
int32_t mmUmask(int32_t mask);

/* ---- Processes ---------------------------------------------------------- */

typedef pid_t mmProcess;

/*
 * Starts fileName with argv (argv[0] first, NULL-terminated) and envp. A name
 * without "/" is looked up in the PATH of envp (or of the caller when envp has
 * none). The child's standard output goes to stdoutRedirectFile (created or
 * truncated, mode 0640) when it is non-NULL and non-empty.
 */
int32_t mmCreateProcess(const char* fileName, char* const argv[], char* const envp[],
                        const char* stdoutRedirectFile, mmProcess* id);

#define MM_WAIT_NOHANG 1
#define MM_PROCESS_ENDED 1
#define MM_PROCESS_RUNNING 0
/* MM_PROCESS_ENDED with *exitCode (exit status, or 128 + signal) once the child
 * ended; MM_PROCESS_RUNNING under MM_WAIT_NOHANG while it runs; EN_ERROR else. */
int32_t mmWaitPid(mmProcess pid, int32_t* exitCode, int32_t options);

#ifdef __cplusplus
}
#endif

#endif /* OSTREL_MM_H */
