// The single-instance lock, between processes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "common/oru_paths.h"
#include "common/utils.h"
#include "daemon/ide_platform_util.h"

namespace {

using analysis::orbx::common::Utils;

// Runs IdeSingleProcessLock in a child process; its result as exit status.
int LockInChild() {
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        int fd = -1;
        _exit(static_cast<int>(IdeSingleProcessLock(&fd)));
    }
    int status = 0;
    EXPECT_EQ(pid, waitpid(pid, &status, 0));
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Refusing other processes is proven between oru processes in oru_start_test, a killed
// holder's file in daemon_process_faults_test; here: where the lock lives, its modes, and
// that an unlock removes it.
TEST(SingleInstanceLock, LivesInTheHomeDirectoryUnderTheRootPrefix) {
    const std::string path = IdeLockFilePath();
    EXPECT_EQ(std::string(analysis::orbx::common::kRootPrefix) + Utils::HomeDir() +
                  "/ide_daemon/.ilka.lock",
              path);
    int fd = -1;
    ASSERT_EQ(IDE_LOCK_OK, IdeSingleProcessLock(&fd));
    ASSERT_GE(fd, 0);
    struct stat st {};
    ASSERT_EQ(0, stat(path.c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777u);
    ASSERT_EQ(0, stat(IdeLockDir().c_str(), &st));
    EXPECT_EQ(0750u, st.st_mode & 0777u);
    EXPECT_NE(0, fcntl(fd, F_GETFD) & FD_CLOEXEC);
    EXPECT_EQ(IDE_LOCK_HELD, LockInChild());

    IdeSingleProcessUnlock(fd);
    EXPECT_FALSE(Utils::IsFileExist(path));
    EXPECT_EQ(IDE_LOCK_OK, LockInChild());
    Utils::RemoveFile(path);
}

}  // namespace
