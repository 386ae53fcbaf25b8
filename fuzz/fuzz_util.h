// Shared by the fuzz targets: quiet logging that still formats every line,
// and a reader of length-prefixed records from the fuzzer's input.
#ifndef ORU_FUZZ_FUZZ_UTIL_H
#define ORU_FUZZ_FUZZ_UTIL_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ostrel/dlog.h"

namespace oru_fuzz {

// Every level is formatted (a bad format argument shows up under the
// sanitizers) but nothing reaches the terminal, unless ORU_FUZZ_LOG=1.
inline void QuietLogs() {
    const char* show = getenv("ORU_FUZZ_LOG");
    if (show == nullptr || std::string(show) != "1") {
        setenv("OSTREL_LOG_FILE", "/dev/null", 1);
    }
    setenv("OSTREL_LOG_LEVEL", "debug", 1);
    DlogReloadSettings();
}

// Walks the input as records: a one-byte tag, a two-byte little-endian
// length and that many bytes (fewer when the input ends early).
class RecordReader {
  public:
    RecordReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool Next(uint8_t* tag, std::string* bytes) {
        if (pos_ + 3 > size_) {
            return false;
        }
        *tag = data_[pos_];
        size_t len =
            static_cast<size_t>(data_[pos_ + 1]) | (static_cast<size_t>(data_[pos_ + 2]) << 8);
        pos_ += 3;
        if (len > size_ - pos_) {
            len = size_ - pos_;
        }
        bytes->assign(reinterpret_cast<const char*>(data_ + pos_), len);
        pos_ += len;
        return true;
    }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// Appends one record in the layout RecordReader reads (seed corpora).
inline void AppendRecord(std::string* out, uint8_t tag, const std::string& bytes) {
    out->push_back(static_cast<char>(tag));
    out->push_back(static_cast<char>(bytes.size() & 0xFF));
    out->push_back(static_cast<char>((bytes.size() >> 8) & 0xFF));
    out->append(bytes);
}

}  // namespace oru_fuzz

#endif  // ORU_FUZZ_FUZZ_UTIL_H
