#include "tools/oru_host/chunk_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>

namespace analysis::orbx::hosttool {

const std::set<std::string>& ReservedNames() {
    static const std::set<std::string> names = {"job.json",    "system.csv", "processes.csv",
                                                "report.html", "cache.csv",  "ctrl_cpu.csv",
                                                "trace.json"};
    return names;
}

namespace {

bool WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

bool MakeDirs(const std::string& dir, std::string* reason) {
    std::string path;
    size_t pos = 0;
    while (pos <= dir.size()) {
        size_t slash = dir.find('/', pos);
        if (slash == std::string::npos) {
            slash = dir.size();
        }
        path = dir.substr(0, slash);
        pos = slash + 1;
        if (path.empty() || path == "." || path == "..") {
            continue;
        }
        if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
            *reason = path + ": " + std::strerror(errno);
            return false;
        }
    }
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        *reason = dir + ": not a folder";
        return false;
    }
    return true;
}

bool SafeRelativePath(const std::string& fileName, std::string* path, std::string* reason) {
    if (fileName.empty()) {
        *path = kUnnamedDataFile;
        return true;
    }
    if (fileName.find('\0') != std::string::npos) {
        *reason = "the name holds a zero byte";
        return false;
    }
    if (fileName.front() == '/') {
        *reason = "absolute path";
        return false;
    }
    std::string out;
    size_t pos = 0;
    while (pos <= fileName.size()) {
        size_t slash = fileName.find('/', pos);
        if (slash == std::string::npos) {
            slash = fileName.size();
        }
        std::string part = fileName.substr(pos, slash - pos);
        pos = slash + 1;
        if (part.empty() || part == ".") {
            continue;
        }
        if (part == "..") {
            *reason = "a \"..\" component leaves the output folder";
            return false;
        }
        if (!out.empty()) {
            out += '/';
        }
        out += part;
    }
    if (out.empty()) {
        *reason = "the name has no file part";
        return false;
    }
    if (fileName.back() == '/') {
        *reason = "the name ends with a folder separator";
        return false;
    }
    if (ReservedNames().count(out) != 0) {
        *reason = "the name is one of oru-host's own files";
        return false;
    }
    *path = out;
    return true;
}

ChunkWriter::Result ChunkWriter::Write(const std::string& fileName, const std::string& bytes,
                                       std::string* reason, uint64_t atMs) {
    std::string rel;
    if (!SafeRelativePath(fileName, &rel, reason)) {
        refused_.push_back({fileName, *reason, bytes.size()});
        return Result::kRefused;
    }
    std::string full = dir_ + "/" + rel;
    size_t slash = full.rfind('/');
    if (!MakeDirs(full.substr(0, slash), reason)) {
        failed_.push_back({rel, *reason, bytes.size()});
        return Result::kFailed;
    }
    auto it = files_.find(rel);
    int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC;
    flags |= it == files_.end() ? O_TRUNC : O_APPEND;
    int fd = ::open(full.c_str(), flags, 0644);
    if (fd < 0) {
        *reason = rel + ": " + std::strerror(errno);
        failed_.push_back({rel, *reason, bytes.size()});
        return Result::kFailed;
    }
    bool ok = WriteAll(fd, bytes.data(), bytes.size());
    int savedErrno = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        savedErrno = errno;
    }
    FileStats& stats = files_[rel];
    if (!ok) {
        *reason = rel + ": " + std::strerror(savedErrno);
        failed_.push_back({rel, *reason, bytes.size()});
        return Result::kFailed;
    }
    stats.bytes += bytes.size();
    stats.chunks += 1;
    if (stats.arrivals.size() >= kMaxArrivals) {
        size_t kept = 0;
        for (size_t i = 0; i < stats.arrivals.size(); i += 2) {
            stats.arrivals[kept++] = stats.arrivals[i];
        }
        stats.arrivals.resize(kept);
    }
    stats.arrivals.push_back({atMs, stats.bytes});
    return Result::kWritten;
}

}  // namespace analysis::orbx::hosttool
