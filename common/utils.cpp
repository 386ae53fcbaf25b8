#include "common/utils.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "common/clock.h"
#include "common/ide_common_util.h"
#include "common/log.h"
#include "common/memory_utils.h"
#include "ostrel/mm.h"

namespace analysis::orbx::common {

namespace {

constexpr uint32_t kDirMode = 0750;
constexpr size_t kMaxHomeDirLen = 4096;
constexpr int kMaxListDepth = 10;
constexpr size_t kMaxExecItems = 0x100000;
constexpr size_t kMaxErrorText = 256;

struct FreeDeleter {
    void operator()(char* p) const { free(p); }
};
using CString = std::unique_ptr<char, FreeDeleter>;

// Either platform call may modify its argument, so each works on its own copy.
bool PathPart(const std::string& path, bool wantDir, std::string& out) {
    CString copy(strdup(path.c_str()));
    if (copy == nullptr) {
        ORU_LOGE("KTRX_STRDUP failed");
        return false;
    }
    const char* part = wantDir ? mmDirName(copy.get()) : mmBaseName(copy.get());
    if (part == nullptr) {
        return false;
    }
    out = part;
    return true;
}

bool IsDotEntry(const char* name) {
    return strcmp(name, ".") == 0 || strcmp(name, "..") == 0;
}

// Calls fn(fullPath, name) for every entry of dir, "." and ".." included.
template <class Fn>
bool ForEachEntry(const std::string& dir, Fn fn) {
    mmDirent** entries = nullptr;
    int32_t count = mmScandir(dir.c_str(), &entries, nullptr, nullptr);
    if (count < 0) {
        return false;
    }
    for (int32_t i = 0; i < count; ++i) {
        const char* name = entries[i]->d_name;
        fn(dir + "/" + name, name);
    }
    mmScandirFree(entries, count);
    return true;
}

// argv/envp of a child: copies of the texts and a terminating null.
struct ArgVector {
    std::vector<std::string> texts;
    std::vector<char*> ptrs;

    void Seal() {
        for (auto& t : texts) {
            ptrs.push_back(&t[0]);
        }
        ptrs.push_back(nullptr);
    }
};

}  // namespace

std::string Utils::BaseName(const std::string& path) {
    std::string out;
    return PathPart(path, false, out) ? out : std::string();
}

std::string Utils::DirName(const std::string& path) {
    std::string out;
    return PathPart(path, true, out) ? out : std::string();
}

int Utils::SplitPath(const std::string& path, std::string& dir, std::string& base) {
    CString dirCopy(strdup(path.c_str()));
    CString baseCopy(strdup(path.c_str()));
    if (dirCopy == nullptr || baseCopy == nullptr) {
        ORU_LOGE("KTRX_STRDUP failed");
        return -1;
    }
    const char* d = mmDirName(dirCopy.get());
    const char* b = mmBaseName(baseCopy.get());
    if (d == nullptr || b == nullptr) {
        ORU_LOGE("OsalDirName or OsalBaseName failed");
        return -1;
    }
    dir = d;
    base = b;
    return 0;
}

std::string Utils::BeforeLastPoint(const std::string& text) {
    size_t pos = text.rfind('.');
    return pos == std::string::npos ? std::string() : text.substr(0, pos);
}

std::string Utils::AfterLastPoint(const std::string& text) {
    size_t pos = text.rfind('.');
    return pos == std::string::npos ? std::string() : text.substr(pos + 1);
}

void Utils::GetPathAfter(const std::string& text, const std::string& marker, std::string& out) {
    size_t pos = text.find(marker);
    if (pos == std::string::npos) {
        ORU_LOGE("Failed to find \"%s\" from \"%s\"", BaseName(marker).c_str(),
                 BaseName(text).c_str());
        return;
    }
    std::string rest = text.substr(pos + marker.size());
    size_t first = rest.find_first_not_of("/\\");
    out = first == std::string::npos ? std::string() : rest.substr(first);
}

bool Utils::IsDir(const std::string& path) {
    return !path.empty() && mmIsDir(path.c_str()) == 0;
}

bool Utils::IsFileExist(const std::string& path) {
    return !path.empty() && mmAccess(path.c_str()) == 0;
}

bool Utils::IsDigits(const std::string& text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool Utils::CheckStringIsNonNegativeIntNum(const std::string& text) {
    static const std::string kMax = "2147483647";
    if (text.empty()) {
        return false;
    }
    if (text.size() > kMax.size()) {
        ORU_LOGE("[Utils::CheckStringIsNonNegativeIntNum]numberStr(%s) is too long", text.c_str());
        return false;
    }
    for (char c : text) {
        if (c < '0' || c > '9') {
            ORU_LOGE("[Utils::CheckStringIsNonNegativeIntNum]numberStr(%s) is not a number",
                     text.c_str());
            return false;
        }
    }
    if (text.size() < kMax.size()) {
        return true;
    }
    for (size_t i = 0; i < kMax.size(); ++i) {
        if (text[i] < kMax[i]) {
            return true;
        }
        if (text[i] > kMax[i]) {
            ORU_LOGE("[Utils::CheckStringIsNonNegativeIntNum]numberStr(%s) is over than %s",
                     text.c_str(), kMax.c_str());
            return false;
        }
    }
    return true;
}

uint64_t Utils::GetFileSize(const std::string& path) {
    uint64_t size = 0;
    if (path.empty() || mmGetFileSize(path.c_str(), &size) != 0) {
        return UINT64_MAX;
    }
    return size;
}

// The password entry of the real user; getpwuid_r keeps concurrent callers
// from sharing the C library's static record.
std::string Utils::HomeDir() {
    long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buf(hint > 0 ? static_cast<size_t>(hint) : 16384);
    struct passwd entry {};
    struct passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buf.data(), buf.size(), &found) != 0 || found == nullptr ||
        found->pw_dir == nullptr) {
        return "";
    }
    size_t len = strlen(found->pw_dir);
    if (len == 0 || len >= kMaxHomeDirLen) {
        return "";
    }
    return found->pw_dir;
}

std::string Utils::ExpandHome(const std::string& path) {
    if (path.size() >= 2 && path[0] == '~' && path[1] == '/') {
        return HomeDir() + path.substr(1);
    }
    return path;
}

void Utils::RemoveFile(const std::string& path) {
    if (path.empty()) {
        return;
    }
    std::string expanded = ExpandHome(path);
    char* resolved = static_cast<char*>(IdeXmalloc(MM_MAX_PATH));
    if (resolved == nullptr) {
        ORU_LOGE("IdeXmalloc failed");
        return;
    }
    if (mmRealPath(expanded.c_str(), resolved, MM_MAX_PATH) == 0) {
        int rc = remove(resolved);
        if (rc != 0) {
            ORU_LOGD("remove %s exit code %d", BaseName(resolved).c_str(), rc);
        }
    }
    IdeXfree(resolved);
}

int Utils::CreateDir(const std::string& path) {
    if (path.empty()) {
        return -1;
    }
    if (mmAccess(path.c_str()) == 0) {
        ORU_LOGD("The file already exists, %s", BaseName(path).c_str());
        return 0;
    }
    std::string dir;
    std::string base;
    if (SplitPath(path, dir, base) != 0) {
        ORU_LOGE("Split path failed");
        return -1;
    }
    if (dir != path) {
        int ret = CreateDir(dir);
        if (ret != 0) {
            return ret;
        }
    }
    ORU_LOGI("CreateDir dir %s with 750", base.c_str());
    if (mmMkdir(path.c_str(), kDirMode) != 0 && mmGetErrorCode() != EEXIST) {
        return -1;
    }
    if (mmChmod(path.c_str(), kDirMode) != 0) {
        ORU_LOGW("Chmod : %s unsuccessfully", base.c_str());
    }
    ORU_LOGI("Success to mkdir, FilePath : %s, FileMode : %o", base.c_str(), kDirMode);
    return 0;
}

void Utils::RemoveDir(const std::string& path, bool onlySelf) {
    if (path.empty() || path == "/") {
        ORU_LOGE("empty compare failed.");
        return;
    }
    ORU_LOGI("RemoveDir dir %s", BaseName(path).c_str());
    if (onlySelf) {
        if (mmRmdir(path.c_str()) != 0) {
            ORU_LOGW("OsalRmdir failed %s. ErrorCode : %d", BaseName(path).c_str(),
                     mmGetErrorCode());
        }
        return;
    }
    bool scanned = ForEachEntry(path, [](const std::string& full, const char* name) {
        if (IsDotEntry(name)) {
            return;
        }
        if (IsDir(full)) {
            (void)mmRmdir(full.c_str());
        } else {
            (void)mmUnlink(full.c_str());
        }
    });
    if (!scanned) {
        ORU_LOGW("OsalScandir failed %s. ErrorCode : %d", BaseName(path).c_str(), mmGetErrorCode());
    }
}

void Utils::ListFiles(const std::string& dir, bool recursive, std::vector<std::string>& out,
                      int depth) {
    if (dir.empty() || depth > kMaxListDepth) {
        return;
    }
    (void)ForEachEntry(dir, [&](const std::string& full, const char* name) {
        if (IsDir(full)) {
            if (recursive && !IsDotEntry(name)) {
                ListFiles(full, recursive, out, depth + 1);
            }
            return;
        }
        out.push_back(full);
    });
}

void Utils::ListDirs(const std::string& dir, bool recursive, std::vector<std::string>& out,
                     int depth) {
    if (dir.empty() || depth > kMaxListDepth) {
        return;
    }
    (void)ForEachEntry(dir, [&](const std::string& full, const char* name) {
        if (IsDotEntry(name) || !IsDir(full)) {
            return;
        }
        out.push_back(full);
        if (recursive) {
            ListDirs(full, recursive, out, depth + 1);
        }
    });
}

uint64_t Utils::GetTimeNs() {
    return Clock::Default().NowNs();
}

// On the card (AArch64) this is the generic timer's virtual count. Other
// processors have no such register: there a monotonic nanosecond clock stands
// in, so the values are ordered but not in timer ticks.
uint64_t Utils::GetCycleCount() {
#if defined(__aarch64__)
    uint64_t count = 0;
    __asm__ volatile("mrs %0, cntvct_el0" : "=r"(count));
    return count;
#else
    return GetTimeNs();
#endif
}

int Utils::Usleep(uint64_t microseconds) {
    uint64_t ms = microseconds / 1000;
    IdeSleep(ms > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(ms));
    return 0;
}

std::vector<std::string> Utils::Split(const std::string& text, bool skip,
                                      const std::string& skipToken, const std::string& delimiter) {
    std::vector<std::string> pieces;
    if (text.empty()) {
        return pieces;
    }
    if (delimiter.empty()) {
        if (!skip || text != skipToken) {
            pieces.push_back(text);
        }
        return pieces;
    }
    std::string rest = text + delimiter;
    size_t start = 0;
    for (size_t pos = rest.find(delimiter); pos != std::string::npos;
         pos = rest.find(delimiter, start)) {
        std::string piece = rest.substr(start, pos - start);
        if (!skip || piece != skipToken) {
            pieces.push_back(piece);
        }
        start = pos + delimiter.size();
    }
    return pieces;
}

std::string Utils::Join(const std::vector<std::string>& items, const std::string& separator) {
    std::string out;
    for (size_t i = 0; i < items.size(); ++i) {
        if (i > 0) {
            out += separator;
        }
        out += items[i];
    }
    return out;
}

std::string Utils::ToUpper(const std::string& text) {
    std::string out = text;
    for (char& c : out) {
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    }
    return out;
}

int Utils::ChangeToCommandDir(const std::string& command) {
    if (command.empty()) {
        return -1;
    }
    std::string dir;
    if (!PathPart(command, true, dir)) {
        return -1;
    }
    if (mmChdir(dir.c_str()) != 0) {
        ORU_LOGW("chdir(%s) failed.", BaseName(dir).c_str());
    }
    return 0;
}

int Utils::ExecCmd(const ExecCmdParams& command, const std::vector<std::string>& argv,
                   const std::vector<std::string>& envp, int& exitCode, int& childPid) {
    if (argv.size() > kMaxExecItems || envp.size() > kMaxExecItems) {
        ORU_LOGE("invalid argv or envp size");
        return -1;
    }
    std::string args;
    for (size_t i = 0; i < argv.size(); ++i) {
        args += (i > 0 ? " " : "") + argv[i];
    }
    ORU_LOGI("Execute cmd:\"%s %s\", stdoutRedirectFile=%s", BaseName(command.path).c_str(),
             BaseName(args).c_str(), BaseName(command.stdoutRedirectFile).c_str());
    ArgVector childArgv;
    ArgVector childEnvp;
    try {
        childArgv.texts.push_back(command.path);
        childArgv.texts.insert(childArgv.texts.end(), argv.begin(), argv.end());
        childArgv.Seal();
        childEnvp.texts = envp;
        childEnvp.Seal();
    } catch (const std::bad_alloc&) {
        ORU_LOGE("Pointer is null");
        return -1;
    }
    if (command.path.empty()) {
        return -1;
    }
    if (!command.async && exitCode == -1) {
        return -1;
    }
    if (!command.async) {
        (void)ChangeToCommandDir(command.path);
    }
    const char* redirect =
        command.stdoutRedirectFile.empty() ? nullptr : command.stdoutRedirectFile.c_str();
    mmProcess pid = -1;
    if (mmCreateProcess(command.path.c_str(), childArgv.ptrs.data(), childEnvp.ptrs.data(),
                        redirect, &pid) != 0) {
        return -1;
    }
    childPid = static_cast<int>(pid);
    if (command.async) {
        return 0;
    }
    int32_t status = 0;
    if (mmWaitPid(pid, &status, 0) != MM_PROCESS_ENDED) {
        return -1;
    }
    exitCode = status;
    return 0;
}

void Utils::LogLastError() {
    int32_t code = mmGetErrorCode();
    char text[kMaxErrorText + 1] = {0};
    const char* info = mmGetErrorFormatMessage(code, text, sizeof(text));
    ORU_LOGE("ErrorCode:%d, errinfo:%s", code, info != nullptr ? info : "");
}

}  // namespace analysis::orbx::common
