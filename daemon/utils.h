// File-system, text, time and process routines shared by the daemon core and
// the profiling service. Stateless; every routine reports by its return value,
// logs its failures (paths by their base name only) and never throws.
#ifndef ORU_DAEMON_UTILS_H
#define ORU_DAEMON_UTILS_H

#include <cstdint>
#include <string>
#include <vector>

namespace analysis::orbx::common {

// A command for ExecCmd.
struct ExecCmdParams {
    std::string path;                // program path (or a name looked up in PATH)
    bool async = false;              // true: do not wait for the child
    std::string stdoutRedirectFile;  // empty: no redirection
};

class Utils {
public:
    // Path names.
    static std::string BaseName(const std::string& path);
    static std::string DirName(const std::string& path);
    static int SplitPath(const std::string& path, std::string& dir, std::string& base);
    static std::string BeforeLastPoint(const std::string& text);
    static std::string AfterLastPoint(const std::string& text);
    static void GetPathAfter(const std::string& text, const std::string& marker,
                             std::string& out);

    // Tests.
    static bool IsDir(const std::string& path);
    static bool IsFileExist(const std::string& path);
    static bool IsDigits(const std::string& text);
    // Decimal texts of 0 to 2147483647; leading zeros allowed.
    static bool CheckStringIsNonNegativeIntNum(const std::string& text);
    // UINT64_MAX on failure.
    static uint64_t GetFileSize(const std::string& path);

    // Directories.
    static std::string HomeDir();
    static std::string ExpandHome(const std::string& path);
    static void RemoveFile(const std::string& path);
    static int CreateDir(const std::string& path);  // mode 750, parents included
    static void RemoveDir(const std::string& path, bool onlySelf);
    static void ListFiles(const std::string& dir, bool recursive, std::vector<std::string>& out,
                          int depth);
    static void ListDirs(const std::string& dir, bool recursive, std::vector<std::string>& out,
                         int depth);

    // Time.
    static uint64_t GetTimeNs();
    static uint64_t GetCycleCount();
    static int Usleep(uint64_t microseconds);

    // Strings.
    static std::vector<std::string> Split(const std::string& text, bool skip = false,
                                          const std::string& skipToken = "",
                                          const std::string& delimiter = " ");
    static std::string Join(const std::vector<std::string>& items);
    static std::string ToUpper(const std::string& text);

    // Files and processes.
    static int ChangeToCommandDir(const std::string& command);
    static int ExecCmd(const ExecCmdParams& command, const std::vector<std::string>& argv,
                       const std::vector<std::string>& envp, int& exitCode, int& childPid);
    static void LogLastError();
};

}  // namespace analysis::orbx::common

#endif  // ORU_DAEMON_UTILS_H
