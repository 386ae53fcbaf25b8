// Test helper: child processes of a test and waiting on the files they write.
#ifndef ORU_TESTING_PROCESS_H
#define ORU_TESTING_PROCESS_H

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace oru_testing {

// Polls pred until it holds; false past the deadline.
inline bool WaitUntil(const std::function<bool()>& pred,
                      std::chrono::milliseconds deadline = std::chrono::seconds(20)) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

inline std::string ReadText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Pids of the live or unreaped children of pid.
inline std::vector<std::string> ChildrenOf(pid_t pid) {
    std::vector<std::string> children;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) {
        return children;
    }
    for (const dirent* entry; (entry = readdir(proc)) != nullptr;) {
        const std::string name = entry->d_name;
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        const std::string stat = ReadText("/proc/" + name + "/stat");
        const size_t end = stat.rfind(')');
        if (end != std::string::npos && end + 2 < stat.size() &&
            std::atoi(stat.c_str() + stat.find(' ', end + 2) + 1) == pid) {
            children.push_back(name);
        }
    }
    closedir(proc);
    return children;
}

inline int CountIn(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) {
        ++n;
    }
    return n;
}

// Waits until the file holds count occurrences of text; false after a minute.
inline bool WaitForText(const std::string& path, const std::string& text, int count = 1) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (CountIn(ReadText(path), text) < count) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

inline std::string ThreadNamesOf(pid_t pid = 0) {
    const std::string tasks = "/proc/" + (pid == 0 ? "self" : std::to_string(pid)) + "/task/";
    std::string names;
    DIR* dir = opendir(tasks.c_str());
    while (struct dirent* e = dir != nullptr ? readdir(dir) : nullptr) {
        if (e->d_name[0] != '.') {
            names += ReadText(tasks + e->d_name + "/comm");
        }
    }
    if (dir != nullptr) {
        closedir(dir);
    }
    return names;
}

inline int ThreadsNamed(const std::string& prefix, pid_t pid = 0) {
    std::istringstream names(ThreadNamesOf(pid));
    int n = 0;
    for (std::string name; std::getline(names, name);) {
        n += name.compare(0, prefix.size(), prefix) == 0 ? 1 : 0;
    }
    return n;
}

// What a running process holds: descriptors, threads and resident memory now and at peak
// (kB); -1 for a figure that could not be read.
struct ProcessFigures {
    long fds = -1;
    long threads = -1;
    long rssKb = -1;
    long hwmKb = -1;
};

inline long CountDirEntries(const std::string& dir) {
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) {
        return -1;
    }
    long n = 0;
    for (dirent* e = readdir(d); e != nullptr; e = readdir(d)) {
        if (e->d_name[0] != '.') {
            ++n;
        }
    }
    closedir(d);
    return n;
}

inline ProcessFigures FiguresOf(pid_t pid) {
    std::string base = "/proc/" + std::to_string(pid);
    ProcessFigures f;
    f.fds = CountDirEntries(base + "/fd");
    f.threads = CountDirEntries(base + "/task");
    std::istringstream status(ReadText(base + "/status"));
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) {
            f.rssKb = std::strtol(line.c_str() + 6, nullptr, 10);
        } else if (line.rfind("VmHWM:", 0) == 0) {
            f.hwmKb = std::strtol(line.c_str() + 6, nullptr, 10);
        }
    }
    return f;
}

// A child process with extra environment variables and its output in a file.
class Child {
  public:
    Child(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv,
          const std::string& outFile) {
        std::vector<std::string> env;
        for (char** e = environ; *e != nullptr; ++e) {
            env.emplace_back(*e);
        }
        env.insert(env.end(), extraEnv.begin(), extraEnv.end());
        std::vector<std::string> argStore = args;
        std::vector<char*> argv;
        std::vector<char*> envp;
        for (auto& a : argStore) {
            argv.push_back(&a[0]);
        }
        argv.push_back(nullptr);
        for (auto& e : env) {
            envp.push_back(&e[0]);
        }
        envp.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outFile.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Child() { Kill(SIGKILL); }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t Pid() const { return pid_; }
    bool Running() {
        if (pid_ <= 0) {
            return false;
        }
        int status = 0;
        pid_t rc = waitpid(pid_, &status, WNOHANG);
        if (rc == pid_) {
            pid_ = -1;
            status_ = status;
            return false;
        }
        return rc == 0;
    }
    int Wait() {
        if (pid_ > 0 && waitpid(pid_, &status_, 0) == pid_) {
            pid_ = -1;
        }
        return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
    }
    int Kill(int sig) {
        if (pid_ <= 0) {
            return status_;
        }
        kill(pid_, sig);
        waitpid(pid_, &status_, 0);
        pid_ = -1;
        return status_;
    }

  private:
    pid_t pid_ = -1;
    int status_ = 0;
};

}  // namespace oru_testing

#endif  // ORU_TESTING_PROCESS_H
