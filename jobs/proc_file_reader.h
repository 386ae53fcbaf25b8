// The file-system side of the /proc samplers: the process listing and the
// samplers' input stream.
//
// ProcFileReader: Open reads a small file whole (a
// /proc file is generated when it is read, so one pass gives a consistent
// snapshot) into a buffer that is kept from one file to the next, then
// ReadLine hands the content out line by line. Once the buffer has grown to
// the largest file read, reading allocates nothing, and no descriptor stays
// open between Open and Close.
//
// Not safe for concurrent use.
#ifndef ORU_JOBS_PROC_FILE_READER_H
#define ORU_JOBS_PROC_FILE_READER_H

#include <cstddef>
#include <cstdint>
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

class ProcFileReader {
  public:
    ProcFileReader() = default;
    ProcFileReader(const ProcFileReader&) = delete;
    ProcFileReader& operator=(const ProcFileReader&) = delete;

    // Reads the whole file. False, and nothing to read, when it cannot be
    // opened or read (a process that has just exited, for one) or exceeds
    // 512 MiB.
    bool Open(const std::string& path);
    bool IsOpen() const { return open_; }
    // The next line without its newline; a last line without a newline
    // counts. False at the end, or when nothing is open. The view is valid
    // until the next Open.
    bool ReadLine(std::string_view& line);
    void Close();

  private:
    static constexpr size_t kInitialSize = 1024;
    static constexpr size_t kMaxSize = 0x20000000;  // larger files are refused

    bool Grow();

    std::string data_;  // capacity kept; the first len_ bytes are the file
    size_t len_ = 0;
    size_t pos_ = 0;
    bool open_ = false;
};

}  // namespace Analysis::Orbx::JobWrapper

#endif  // ORU_JOBS_PROC_FILE_READER_H
