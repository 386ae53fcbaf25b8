// The OS layer: threads and their names, semaphores, files and directories,
// and child processes with redirected output.
#include "ostrel/mm.h"
#include "testing/build_paths.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "testing/process.h"
#include "testing/test_emulator.h"

namespace {

using oru_testing::ReadText;

std::string ThreadComm(long tid) {
    std::string comm = ReadText("/proc/self/task/" + std::to_string(tid) + "/comm");
    return comm.substr(0, comm.find('\n'));
}

struct NameProbe {
    std::atomic<long> tid{0};
    mmSem_t named;
    mmSem_t release;
    int32_t rc = -1;
};

void* NameSelf(void* arg) {
    auto* probe = static_cast<NameProbe*>(arg);
    probe->rc = mmSetCurrentThreadName("ide_hdc_process_PROFILING");
    probe->tid = static_cast<long>(syscall(SYS_gettid));
    mmSemPost(&probe->named);
    mmSemWait(&probe->release);
    return nullptr;
}

TEST(MmThreads, LongThreadNamesAreCutTo15Characters) {
    NameProbe probe;
    ASSERT_EQ(EN_OK, mmSemInit(&probe.named, 0));
    ASSERT_EQ(EN_OK, mmSemInit(&probe.release, 0));
    mmThreadAttr attr = {};
    attr.stackFlag = 1;
    attr.stackSize = 0x20000;
    mmThread thread;
    ASSERT_EQ(EN_OK, mmCreateTaskWithThreadAttr(&thread, NameSelf, &probe, &attr));
    ASSERT_EQ(EN_OK, mmSemWait(&probe.named));
    EXPECT_EQ(EN_OK, probe.rc);
    EXPECT_EQ("ide_hdc_process", ThreadComm(probe.tid));
    // Naming another thread cuts the same way.
    EXPECT_EQ(EN_OK, mmSetThreadName(&thread, "KTRX_ChanPool_123456"));
    EXPECT_EQ("KTRX_ChanPool_1", ThreadComm(probe.tid));
    ASSERT_EQ(EN_OK, mmSemPost(&probe.release));
    EXPECT_EQ(EN_OK, mmJoinTask(&thread));
    EXPECT_EQ(EN_OK, mmSemDestroy(&probe.named));
    EXPECT_EQ(EN_OK, mmSemDestroy(&probe.release));
}

void* PostAndEnd(void* arg) {
    mmSemPost(static_cast<mmSem_t*>(arg));
    return nullptr;
}

TEST(MmThreads, DetachedThreadsRunAndBadArgumentsFail) {
    mmSem_t done;
    ASSERT_EQ(EN_OK, mmSemInit(&done, 0));
    mmThreadAttr attr = {};
    attr.detach = 1;
    attr.stackFlag = 1;
    attr.stackSize = 1;  // raised to the platform's minimum
    mmThread thread;
    ASSERT_EQ(EN_OK, mmCreateTaskWithThreadAttr(&thread, PostAndEnd, &done, &attr));
    ASSERT_EQ(EN_OK, mmSemWait(&done));
    EXPECT_EQ(EN_OK, mmSemDestroy(&done));
}

std::vector<char*> Argv(std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    return argv;
}

TEST(MmProcess, ChildOutputGoesToTheRedirectFileAndItsStatusIsReported) {
    std::filesystem::create_directories(oru_testing::TestTmpDir());
    std::string out = oru_testing::TestTmpDir() + "/child.out";
    unlink(out.c_str());
    std::vector<std::string> args = {"sh", "-c", "echo hello; echo \"$GREETING\"; exit 3"};
    std::vector<std::string> env = {"PATH=/nonexistent:/bin:/usr/bin", "GREETING=from env"};
    std::vector<char*> argv = Argv(args);
    std::vector<char*> envp = Argv(env);
    mmProcess pid = -1;
    // A name without "/" is looked up in the PATH of the given environment.
    ASSERT_EQ(EN_OK, mmCreateProcess("sh", argv.data(), envp.data(), out.c_str(), &pid));
    int32_t code = -1;
    ASSERT_EQ(MM_PROCESS_ENDED, mmWaitPid(pid, &code, 0));
    EXPECT_EQ(3, code);
    EXPECT_EQ("hello\nfrom env\n", ReadText(out));
    struct stat st;
    ASSERT_EQ(0, stat(out.c_str(), &st));
    EXPECT_EQ(0u, st.st_mode & 0137);               // at most 0640
    EXPECT_EQ(EN_ERROR, mmWaitPid(pid, &code, 0));  // reaped already

    // A second run truncates the file.
    std::vector<std::string> quiet = {"true"};
    std::vector<char*> quietArgv = Argv(quiet);
    ASSERT_EQ(EN_OK, mmCreateProcess("true", quietArgv.data(), envp.data(), out.c_str(), &pid));
    ASSERT_EQ(MM_PROCESS_ENDED, mmWaitPid(pid, &code, 0));
    EXPECT_EQ(0, code);
    EXPECT_EQ("", ReadText(out));
}

TEST(MmProcess, ARunningChildIsReportedAndAKilledOneEndsWithItsSignal) {
    std::vector<std::string> args = {"sleep", "600"};
    std::vector<char*> argv = Argv(args);
    mmProcess pid = -1;
    ASSERT_EQ(EN_OK, mmCreateProcess("/bin/sleep", argv.data(), nullptr, nullptr, &pid));
    int32_t code = -1;
    EXPECT_EQ(MM_PROCESS_RUNNING, mmWaitPid(pid, &code, MM_WAIT_NOHANG));
    ASSERT_EQ(0, kill(pid, SIGKILL));
    ASSERT_EQ(MM_PROCESS_ENDED, mmWaitPid(pid, &code, 0));
    EXPECT_EQ(128 + SIGKILL, code);
}

TEST(MmProcess, AMissingProgramOrRedirectTargetFails) {
    std::vector<std::string> args = {"no-such-program"};
    std::vector<char*> argv = Argv(args);
    std::vector<std::string> env = {"PATH=/nonexistent"};
    std::vector<char*> envp = Argv(env);
    mmProcess pid = -1;
    EXPECT_EQ(EN_ERROR,
              mmCreateProcess("no-such-program", argv.data(), envp.data(), nullptr, &pid));
    std::vector<std::string> sh = {"sh", "-c", "true"};
    std::vector<char*> shArgv = Argv(sh);
    if (analysis::orbx::common::NativeOnly(
            "qemu-user runs vfork as fork: a failed redirect is not reported")) {
        EXPECT_EQ(EN_ERROR, mmCreateProcess("/bin/sh", shArgv.data(), nullptr,
                                            "/nonexistent/dir/out.txt", &pid));
    }
}

}  // namespace
