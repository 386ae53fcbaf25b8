// Stores the file chunks of a job's data session under the output folder.
// Each chunk is appended to the file its name gives, in arrival order; the
// first chunk of a name in a run starts the file afresh. Names that would
// leave the folder (absolute paths, ".." components) or overwrite the files
// oru-host writes itself are refused. Not thread-safe: one data reader owns it.
#ifndef ORU_TOOLS_ORU_HOST_CHUNK_WRITER_H
#define ORU_TOOLS_ORU_HOST_CHUNK_WRITER_H

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace analysis::orbx::hosttool {

// Where chunks without a file name go (a channel reader whose job names no
// data file sends its chunks unnamed).
constexpr const char* kUnnamedDataFile = "data/unnamed.data";

// Points kept of a file's arrivals; past it every second point is dropped.
constexpr size_t kMaxArrivals = 512;

struct FileStats {
    uint64_t bytes = 0;
    uint64_t chunks = 0;
    // (milliseconds since the run started, bytes received so far) per chunk,
    // thinned to at most kMaxArrivals points.
    std::vector<std::pair<uint64_t, uint64_t>> arrivals;
};

struct RefusedChunk {
    std::string fileName;
    std::string reason;
    uint64_t bytes = 0;
};

// The relative path a chunk name stands for ("data//x" becomes "data/x"),
// or false with the reason when the name is refused.
bool SafeRelativePath(const std::string& fileName, std::string* path, std::string* reason);

class ChunkWriter {
  public:
    explicit ChunkWriter(std::string dir) : dir_(std::move(dir)) {}

    enum class Result { kWritten, kRefused, kFailed };
    // On kRefused or kFailed *reason says why; the chunk is then recorded in
    // Refused() or Failed(). atMs: when the chunk arrived, for the arrivals.
    Result Write(const std::string& fileName, const std::string& bytes, std::string* reason,
                 uint64_t atMs = 0);

    const std::map<std::string, FileStats>& Files() const { return files_; }
    const std::vector<RefusedChunk>& Refused() const { return refused_; }
    const std::vector<RefusedChunk>& Failed() const { return failed_; }

  private:
    std::string dir_;
    std::map<std::string, FileStats> files_;  // by relative path
    std::vector<RefusedChunk> refused_;
    std::vector<RefusedChunk> failed_;
};

// Own files of oru-host at the top of the output folder.
const std::set<std::string>& ReservedNames();

// Creates dir and every missing parent; false with errno's text on failure.
bool MakeDirs(const std::string& dir, std::string* reason);

}  // namespace analysis::orbx::hosttool

#endif  // ORU_TOOLS_ORU_HOST_CHUNK_WRITER_H
