// The file-system side of the /proc samplers: the process listing, the
// samplers' input stream and the count of descriptors they keep open.
//
// ProcFileReader: Open reads a small file whole (a
// /proc file is generated when it is read, so one pass gives a consistent
// snapshot) into a buffer that is kept from one file to the next, then
// ReadLine hands the content out line by line. Once the buffer has grown to
// the largest file read, reading allocates nothing. By default no descriptor
// stays open between Open and Close; a reader told to keep its descriptor
// (KeepDescriptor) reads the same file again with pread at offset 0.
//
// ProcFileReader is not safe for concurrent use; KeptDescriptors is.
#ifndef ORU_JOBS_PROC_FILE_READER_H
#define ORU_JOBS_PROC_FILE_READER_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace Analysis::Orbx::JobWrapper {

// The last component of a path, for log lines (which show no directories).
inline const char* PathBaseName(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path.c_str() : path.c_str() + slash + 1;
}

// Fills pids with the process ids found in procRoot (entries whose name is
// a decimal number from 1 to 4294967295 without leading zero), sorted
// increasing. False, pids empty, when the
// directory cannot be read (or pids cannot grow). Allocates only when pids
// must grow. Reads no more than the directory: no per-entry file status.
bool ListPids(const std::string& procRoot, std::vector<uint32_t>& pids);

// How many descriptors the readers that share it may keep open between
// reads. Safe for concurrent use.
class KeptDescriptors {
  public:
    // The share of the process's descriptor limit that the /proc samplers
    // may keep open, in percent: the rest stays for sessions, channels and
    // commands.
    static constexpr uint64_t kProcShareOfLimitPercent = 50;

    explicit KeptDescriptors(uint64_t limit) : limit_(limit) {}
    KeptDescriptors(const KeptDescriptors&) = delete;
    KeptDescriptors& operator=(const KeptDescriptors&) = delete;

    // The budget of every /proc sampler of the process:
    // kProcShareOfLimitPercent of the soft RLIMIT_NOFILE at first use.
    static const std::shared_ptr<KeptDescriptors>& ForProcFiles();

    // One more descriptor may be kept: true, and counted; false when all are.
    bool Take();
    void Give();
    uint64_t InUse() const { return used_.load(std::memory_order_relaxed); }
    uint64_t Limit() const { return limit_; }

  private:
    const uint64_t limit_;
    std::atomic<uint64_t> used_{0};
};

class ProcFileReader {
  public:
    ProcFileReader() = default;
    ~ProcFileReader() { Release(); }
    ProcFileReader(const ProcFileReader&) = delete;
    ProcFileReader& operator=(const ProcFileReader&) = delete;

    static constexpr size_t kMaxSize = 0x20000000;  // larger files are refused

    // Reads the whole file. False, and nothing to read, when it cannot be
    // opened or read (a process that has just exited, for one) or exceeds
    // maxSize bytes.
    bool Open(const std::string& path, size_t maxSize = kMaxSize);
    bool IsOpen() const { return open_; }

    // From now on the reader reads one /proc file (a generated file, which
    // one read returns whole when the buffer holds it) and keeps its
    // descriptor between Opens while budget lets it take one; later Opens
    // of the same path read it again with pread at offset 0. When that read
    // fails (the process has gone, or its pid was taken by another) the
    // descriptor is closed and given back, and the path is opened afresh.
    // Beyond the budget every Open opens, reads and closes.
    // REQUIRES: every later Open names the same path.
    void KeepDescriptor(std::shared_ptr<KeptDescriptors> budget);
    // Closes a kept descriptor and gives it back.
    void Release();
    bool HoldsDescriptor() const { return fd_ >= 0; }

    // Everything the last Open read; valid until the next Open.
    std::string_view Content() const {
        return open_ ? std::string_view(data_.data(), len_) : std::string_view();
    }
    // The next line without its newline; a last line without a newline
    // counts. False at the end, or when nothing is open. The view is valid
    // until the next Open.
    bool ReadLine(std::string_view& line);
    void Close();

  private:
    static constexpr size_t kInitialSize = 1024;

    // Room for one more read, up to one byte beyond maxSize.
    bool Grow(size_t maxSize);
    // Reads fd from offset 0 into the buffer: until end of file, or for a
    // kept reader until a read leaves room in the buffer.
    bool ReadFrom(int fd, size_t maxSize);

    std::shared_ptr<KeptDescriptors> budget_;  // set for a reader that keeps
    int fd_ = -1;                              // the kept descriptor
    std::string data_;                         // capacity kept; the first len_ bytes are the file
    size_t len_ = 0;
    size_t pos_ = 0;
    bool open_ = false;
};

}  // namespace Analysis::Orbx::JobWrapper

#endif  // ORU_JOBS_PROC_FILE_READER_H
