// Process-level set-up of the daemon: the single-instance lock, logging and
// signals. Main thread only.
#ifndef ORU_DAEMON_IDE_PLATFORM_UTIL_H
#define ORU_DAEMON_IDE_PLATFORM_UTIL_H

#include <string>

// Root prefix + home directory + "/ide_daemon/" (the home directory is ""
// when unknown, empty or too long).
std::string IdeLockDir();
// IdeLockDir() + ".ilka.lock".
std::string IdeLockFilePath();

enum IdeLockResult {
    IDE_LOCK_OK = 0,
    IDE_LOCK_HELD = 1,   // another process holds the lock: the file is left alone
    IDE_LOCK_ERROR = 2,  // the lock file could not be opened or set up
};

// Creates the lock directory (mode 750) and the lock file (mode 600) and
// places an exclusive write lock on the whole file. On IDE_LOCK_OK *fd holds
// the locked descriptor (close-on-exec), to be kept for the life of the
// process. A lock found held is logged and printed once ("oru is exist, don't
// start again").
IdeLockResult IdeSingleProcessLock(int* fd);

// Removes the lock file and then closes fd, so that the file is never removed
// while another process holds a lock on it.
void IdeSingleProcessUnlock(int fd);

// Initialises the logging library and sets the process attributes.
void IdeLogInit();

// Ignores SIGPIPE. 0 or the failure's error code.
int IdeDaemonSubInit();

// Orderly stop: SIGTERM and SIGINT ask the daemon to stop.
//
// IdeStopSignalsBlock blocks both in the calling thread; it runs on the main
// thread before any other thread exists, so every thread inherits the mask
// and no other thread's system call is ever interrupted by them (children
// get an empty mask back at spawn). IdeStopSignalsArm then installs the
// handler and unblocks both in the main thread alone. The handler does only
// async-signal-safe work: the first signal sets the stop flag and calls wake
// (which must itself be async-signal-safe); a second signal, while the
// teardown the first one started still runs, ends the process at once with
// status 128 + the signal. 0, or the failure's error code.
int IdeStopSignalsBlock();
int IdeStopSignalsArm(void (*wake)());
// true once a stop signal arrived.
bool IdeStopRequested();
// true when a stop signal waits while the stop signals are still blocked
// (before serving starts, e.g. during the wait for devices).
bool IdeStopSignalPending();

#endif  // ORU_DAEMON_IDE_PLATFORM_UTIL_H
