// File-system, text, time and process routines shared by the daemon core and
// the profiling service. Stateless; every routine reports by its return value,
// logs its failures (paths by their base name only) and never throws.
#ifndef ORU_COMMON_UTILS_H
#define ORU_COMMON_UTILS_H

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
    static void GetPathAfter(const std::string& text, const std::string& marker, std::string& out);

    // Tests.
    static bool IsDir(const std::string& path);
    static bool IsFileExist(const std::string& path);
    static bool IsDigits(const std::string& text);
    // Decimal texts of 0 to 2147483647; leading zeros allowed.
    static bool CheckStringIsNonNegativeIntNum(const std::string& text);
    // UINT64_MAX on failure.
    static uint64_t GetFileSize(const std::string& path);

    // Directories.
    // Home directory of the real user, "" when unknown, empty or 4096 characters or more.
    static std::string HomeDir();
    // "~/x" becomes HomeDir() + "/x"; any other path is returned unchanged.
    static std::string ExpandHome(const std::string& path);
    // Removes the file the path (after ExpandHome) resolves to, if any.
    static void RemoveFile(const std::string& path);
    static int CreateDir(const std::string& path);  // mode 750, parents included
    // onlySelf: removes the directory and everything below it; otherwise
    // removes everything below it and keeps the directory. "" and "/" are refused.
    static void RemoveDir(const std::string& path, bool onlySelf);
    // Appends the full paths (dir + "/" + name) of the entries that are not
    // directories, descending into subdirectories when recursive; callers pass
    // depth 0 and nothing below depth 10 is listed.
    static void ListFiles(const std::string& dir, bool recursive, std::vector<std::string>& out,
                          int depth);
    // As ListFiles, for the directories other than "." and "..".
    static void ListDirs(const std::string& dir, bool recursive, std::vector<std::string>& out,
                         int depth);

    // Time, on the process clock (common/clock.h).
    static uint64_t GetTimeNs();
    static uint64_t GetCycleCount();
    // Sleeps microseconds / 1000 milliseconds (999 us sleep 0 ms); returns 0.
    static int Usleep(uint64_t microseconds);

    // Strings.
    static std::vector<std::string> Split(const std::string& text, bool skip = false,
                                          const std::string& skipToken = "",
                                          const std::string& delimiter = " ");
    // The items with separator between them (a path by default).
    static std::string Join(const std::vector<std::string>& items,
                            const std::string& separator = "/");
    static std::string ToUpper(const std::string& text);

    // Files and processes.
    static int ChangeToCommandDir(const std::string& command);
    // Starts command.path with argv (argv[0] is the path itself, then the
    // items) and exactly the environment envp. Asynchronous: childPid is set
    // and 0 returned once the child runs. Otherwise the working directory
    // changes to the program's directory, the child is waited for, and its
    // exit status (or 128 + signal) goes to exitCode; a synchronous run
    // refuses an exitCode of -1 on entry. 0 or -1.
    static int ExecCmd(const ExecCmdParams& command, const std::vector<std::string>& argv,
                       const std::vector<std::string>& envp, int& exitCode, int& childPid);
    static void LogLastError();
};

}  // namespace analysis::orbx::common

#endif  // ORU_COMMON_UTILS_H
