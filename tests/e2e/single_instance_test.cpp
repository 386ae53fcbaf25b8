// The single-instance lock, between processes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "common/oru_paths.h"
#include "daemon/ide_platform_util.h"
#include "daemon/utils.h"

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

ino_t InodeOf(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

TEST(SingleInstanceLock, LivesInTheHomeDirectoryUnderTheRootPrefix) {
    EXPECT_EQ(std::string(analysis::orbx::common::kRootPrefix) + Utils::HomeDir() +
                  "/ide_daemon/.ilka.lock",
              IdeLockFilePath());
    EXPECT_EQ(IdeLockDir() + ".ilka.lock", IdeLockFilePath());
}

TEST(SingleInstanceLock, ASecondProcessIsRefusedAndLeavesTheFileAlone) {
    std::string path = IdeLockFilePath();
    int fd = -1;
    ASSERT_EQ(IDE_LOCK_OK, IdeSingleProcessLock(&fd));
    ASSERT_GE(fd, 0);
    struct stat st {};
    ASSERT_EQ(0, stat(path.c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777u);
    ASSERT_EQ(0, stat(IdeLockDir().c_str(), &st));
    EXPECT_EQ(0750u, st.st_mode & 0777u);
    EXPECT_NE(0, fcntl(fd, F_GETFD) & FD_CLOEXEC);
    ino_t inode = InodeOf(path);

    EXPECT_EQ(IDE_LOCK_HELD, LockInChild());
    EXPECT_EQ(IDE_LOCK_HELD, LockInChild());
    // The same file is still there, and still locked.
    EXPECT_EQ(inode, InodeOf(path));
    EXPECT_EQ(IDE_LOCK_HELD, LockInChild());

    IdeSingleProcessUnlock(fd);
    EXPECT_FALSE(Utils::IsFileExist(path));
    EXPECT_EQ(IDE_LOCK_OK, LockInChild());
    // The child ended without unlocking: its file stays and is free again.
    EXPECT_TRUE(Utils::IsFileExist(path));
    ASSERT_EQ(IDE_LOCK_OK, IdeSingleProcessLock(&fd));
    IdeSingleProcessUnlock(fd);
}

}  // namespace
