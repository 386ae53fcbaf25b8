// The OS layer: threads and their names, semaphores, files and directories,
// and child processes with redirected output.
#include "ostrel/mm.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

std::string TmpDir() {
    std::string dir = ORU_TEST_TMP_DIR;
    for (size_t pos = dir.find('/', 1); pos != std::string::npos; pos = dir.find('/', pos + 1)) {
        mkdir(dir.substr(0, pos).c_str(), 0755);
    }
    mkdir(dir.c_str(), 0755);
    return dir;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string ThreadComm(long tid) {
    std::string comm = ReadFile("/proc/self/task/" + std::to_string(tid) + "/comm");
    if (!comm.empty() && comm.back() == '\n') {
        comm.pop_back();
    }
    return comm;
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
    EXPECT_EQ(EN_OK, mmSetThreadName(&thread, "short"));
    EXPECT_EQ("short", ThreadComm(probe.tid));
    ASSERT_EQ(EN_OK, mmSemPost(&probe.release));
    EXPECT_EQ(EN_OK, mmJoinTask(&thread));
    EXPECT_EQ(EN_OK, mmSemDestroy(&probe.named));
    EXPECT_EQ(EN_OK, mmSemDestroy(&probe.release));
    EXPECT_NE(EN_OK, mmSetCurrentThreadName(nullptr));
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
    EXPECT_EQ(EN_ERROR, mmCreateTaskWithThreadAttr(nullptr, PostAndEnd, &done, &attr));
    EXPECT_EQ(EN_ERROR, mmCreateTaskWithThreadAttr(&thread, nullptr, &done, &attr));
    EXPECT_EQ(EINVAL, mmGetErrorCode());
}

TEST(MmFiles, CreateSizeListAndRemove) {
    std::string dir = TmpDir() + "/files";
    std::string sub = dir + "/sub";
    std::string file = dir + "/data.bin";
    unlink(file.c_str());
    rmdir(sub.c_str());
    rmdir(dir.c_str());
    ASSERT_EQ(EN_OK, mmMkdir(dir.c_str(), 0750));
    EXPECT_EQ(EN_ERROR, mmMkdir(dir.c_str(), 0750));
    EXPECT_EQ(EEXIST, mmGetErrorCode());
    ASSERT_EQ(EN_OK, mmMkdir(sub.c_str(), 0750));
    EXPECT_EQ(EN_OK, mmIsDir(dir.c_str()));

    int32_t fd = mmOpen2(file.c_str(), M_WRONLY | M_CREAT | M_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(5, write(fd, "12345", 5));
    EXPECT_EQ(EN_OK, mmClose(fd));
    uint64_t size = 0;
    ASSERT_EQ(EN_OK, mmGetFileSize(file.c_str(), &size));
    EXPECT_EQ(5u, size);
    EXPECT_EQ(EN_OK, mmAccess(file.c_str()));
    EXPECT_EQ(EN_ERROR, mmIsDir(file.c_str()));
    EXPECT_EQ(EN_OK, mmChmod(file.c_str(), 0640));
    struct stat st;
    ASSERT_EQ(0, stat(file.c_str(), &st));
    EXPECT_EQ(0640u, st.st_mode & 0777);

    mmDirent** entries = nullptr;
    int32_t n = mmScandir(dir.c_str(), &entries, nullptr, nullptr);
    ASSERT_EQ(4, n);  // ".", "..", "sub", "data.bin"
    std::vector<std::string> names;
    for (int32_t i = 0; i < n; ++i) {
        names.push_back(entries[i]->d_name);
    }
    mmScandirFree(entries, n);
    EXPECT_NE(names.end(), std::find(names.begin(), names.end(), "data.bin"));

    char real[PATH_MAX];
    ASSERT_EQ(EN_OK, mmRealPath((sub + "/../data.bin").c_str(), real, PATH_MAX));
    EXPECT_EQ(file, std::string(real));
    EXPECT_EQ(EN_ERROR, mmRealPath(file.c_str(), real, 16));  // buffer too small

    EXPECT_EQ(EN_ERROR, mmRmdir(dir.c_str()));  // not empty
    EXPECT_EQ(EN_OK, mmUnlink(file.c_str()));
    EXPECT_EQ(EN_OK, mmRmdir(sub.c_str()));
    EXPECT_EQ(EN_OK, mmRmdir(dir.c_str()));
    EXPECT_EQ(EN_ERROR, mmAccess(dir.c_str()));
    EXPECT_EQ(ENOENT, mmGetErrorCode());
    EXPECT_EQ(EN_ERROR, mmOpen2(file.c_str(), M_RDONLY, 0));
    EXPECT_EQ(ENOENT, mmGetErrorCode());
    char text[128];
    ASSERT_NE(nullptr, mmGetErrorFormatMessage(ENOENT, text, sizeof(text)));
    EXPECT_STRNE("", text);
}

TEST(MmFiles, DirAndBaseNames) {
    char a[] = "/var/log/npu/profiling/job.1";
    EXPECT_STREQ("job.1", mmBaseName(a));
    char b[] = "/var/log/npu/profiling/job.1";
    EXPECT_STREQ("/var/log/npu/profiling", mmDirName(b));
    char c[] = "plain";
    EXPECT_STREQ(".", mmDirName(c));
    EXPECT_EQ(nullptr, mmBaseName(nullptr));
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
    std::string out = TmpDir() + "/child.out";
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
    EXPECT_EQ("hello\nfrom env\n", ReadFile(out));
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
    EXPECT_EQ("", ReadFile(out));
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
    EXPECT_EQ(EN_ERROR,
              mmCreateProcess("/bin/sh", shArgv.data(), nullptr, "/nonexistent/dir/out.txt", &pid));
    EXPECT_EQ(EN_ERROR, mmCreateProcess(nullptr, shArgv.data(), nullptr, nullptr, &pid));
}

TEST(MmTime, TickCountNeverGoesBack) {
    mmTimespec a = mmGetTickCount();
    mmTimespec b = mmGetTickCount();
    EXPECT_GE(b.tv_sec * 1000000000LL + b.tv_nsec, a.tv_sec * 1000000000LL + a.tv_nsec);
    EXPECT_GE(a.tv_nsec, 0);
    EXPECT_LT(a.tv_nsec, 1000000000LL);
    EXPECT_EQ(EN_OK, mmSleep(0));
}

}  // namespace
