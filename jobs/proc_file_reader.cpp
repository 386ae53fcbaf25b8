#include "jobs/proc_file_reader.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <utility>

namespace Analysis::Orbx::JobWrapper {

const std::shared_ptr<KeptDescriptors>& KeptDescriptors::ForProcFiles() {
    static const std::shared_ptr<KeptDescriptors> procFiles = [] {
        struct rlimit limit {};
        uint64_t soft = 0;
        if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
            soft = limit.rlim_cur == RLIM_INFINITY ? UINT32_MAX : limit.rlim_cur;
        }
        return std::make_shared<KeptDescriptors>(soft / 100 * kProcShareOfLimitPercent +
                                                 soft % 100 * kProcShareOfLimitPercent / 100);
    }();
    return procFiles;
}

bool KeptDescriptors::Take() {
    uint64_t used = used_.load(std::memory_order_relaxed);
    do {
        if (used >= limit_) {
            return false;
        }
    } while (!used_.compare_exchange_weak(used, used + 1, std::memory_order_relaxed));
    return true;
}

void KeptDescriptors::Give() {
    used_.fetch_sub(1, std::memory_order_relaxed);
}

void ProcFileReader::KeepDescriptor(std::shared_ptr<KeptDescriptors> budget) {
    Release();
    budget_ = std::move(budget);
}

void ProcFileReader::Release() {
    if (fd_ >= 0) {
        (void)close(fd_);
        fd_ = -1;
        budget_->Give();
    }
}

bool ProcFileReader::Open(const std::string& path, size_t maxSize) {
    Close();
    if (fd_ >= 0) {
        if (ReadFrom(fd_, maxSize)) {
            open_ = true;
            return true;
        }
        Release();
    }
    // Close-on-exec: a command started by another thread meanwhile must not
    // inherit the descriptor.
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    bool ok = ReadFrom(fd, maxSize);
    if (ok && budget_ != nullptr && budget_->Take()) {
        fd_ = fd;
    } else {
        (void)close(fd);
    }
    if (!ok) {
        return false;
    }
    open_ = true;
    return true;
}

bool ProcFileReader::ReadFrom(int fd, size_t maxSize) {
    len_ = 0;
    for (;;) {
        if (len_ == data_.size() && !Grow(maxSize)) {
            break;
        }
        size_t room = data_.size() - len_;
        ssize_t n = pread(fd, &data_[len_], room, static_cast<off_t>(len_));
        if (n > 0) {
            len_ += static_cast<size_t>(n);
            if (budget_ != nullptr && static_cast<size_t>(n) < room && len_ <= maxSize) {
                return true;  // a generated file comes whole in one read
            }
        } else if (n == 0) {
            if (len_ <= maxSize) {
                return true;
            }
            break;
        } else if (errno != EINTR) {
            break;
        }
    }
    len_ = 0;
    return false;
}

bool ProcFileReader::Grow(size_t maxSize) {
    if (data_.size() > maxSize) {
        return false;
    }
    size_t size = std::min(data_.empty() ? kInitialSize : data_.size() * 2, maxSize + 1);
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
