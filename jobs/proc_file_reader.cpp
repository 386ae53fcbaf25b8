#include "jobs/proc_file_reader.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>

namespace Analysis::Orbx::JobWrapper {

bool ProcFileReader::Open(const std::string& path) {
    Close();
    // Close-on-exec: a command started by another thread meanwhile must not
    // inherit the descriptor.
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    bool ok = true;
    for (;;) {
        if (len_ == data_.size() && !Grow()) {
            ok = false;
            break;
        }
        ssize_t n = read(fd, &data_[len_], data_.size() - len_);
        if (n > 0) {
            len_ += static_cast<size_t>(n);
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            ok = false;
            break;
        }
    }
    (void)close(fd);
    if (!ok) {
        len_ = 0;
        return false;
    }
    open_ = true;
    return true;
}

bool ProcFileReader::Grow() {
    size_t size = data_.empty() ? kInitialSize : data_.size() * 2;
    if (size > kMaxSize) {
        return false;
    }
    try {
        data_.resize(size);
    } catch (const std::exception&) {
        return false;
    }
    return true;
}

bool ProcFileReader::ReadLine(std::string_view& line) {
    if (!open_ || pos_ >= len_) {
        return false;
    }
    std::string_view rest(data_.data() + pos_, len_ - pos_);
    size_t end = rest.find('\n');
    if (end == std::string_view::npos) {
        line = rest;
        pos_ = len_;
    } else {
        line = rest.substr(0, end);
        pos_ += end + 1;
    }
    return true;
}

void ProcFileReader::Close() {
    open_ = false;
    len_ = 0;
    pos_ = 0;
}

namespace {

// The pid of a /proc entry name: a decimal number of 1 to 4294967295 as the
// kernel writes it (no leading zero); 0 for anything else.
uint32_t PidOf(const char* name) {
    if (name[0] == '0') {
        return 0;
    }
    uint64_t value = 0;
    const char* c = name;
    for (; *c >= '0' && *c <= '9'; ++c) {
        value = value * 10 + static_cast<uint64_t>(*c - '0');
        if (value > UINT32_MAX) {
            return 0;
        }
    }
    return (*c == '\0') ? static_cast<uint32_t>(value) : 0;
}

}  // namespace

bool ListPids(const std::string& procRoot, std::vector<uint32_t>& pids) {
    pids.clear();
    DIR* dir = opendir(procRoot.c_str());
    if (dir == nullptr) {
        return false;
    }
    bool ok = true;
    try {
        while (const struct dirent* entry = readdir(dir)) {
            uint32_t pid = PidOf(entry->d_name);
            if (pid != 0) {
                pids.push_back(pid);
            }
        }
    } catch (const std::exception&) {
        ok = false;
    }
    (void)closedir(dir);
    if (!ok) {
        pids.clear();
        return false;
    }
    // The kernel lists /proc in pid order already; other directories may not.
    if (!std::is_sorted(pids.begin(), pids.end())) {
        std::sort(pids.begin(), pids.end());
    }
    return true;
}

}  // namespace Analysis::Orbx::JobWrapper
