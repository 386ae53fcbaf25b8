#include "tools/oru_host/records.h"

#include <limits>

namespace analysis::orbx::hosttool {
namespace {

constexpr std::string_view kTimeStamp = "TimeStamp:";
constexpr std::string_view kIndex = "Index:";
constexpr std::string_view kDataLen = "DataLen:";

// Reads "<label><decimal>\n" at *pos; false with the reason otherwise.
bool ReadField(std::string_view bytes, size_t* pos, std::string_view label, uint64_t max,
               uint64_t* value, std::string* reason) {
    if (bytes.substr(*pos, label.size()) != label) {
        *reason = bytes.size() - *pos < label.size() &&
                          label.substr(0, bytes.size() - *pos) == bytes.substr(*pos)
                      ? "truncated record: ends inside \"" + std::string(label) + "\""
                      : "expected \"" + std::string(label) + "\"";
        return false;
    }
    size_t p = *pos + label.size();
    uint64_t v = 0;
    size_t digits = 0;
    while (p < bytes.size() && bytes[p] >= '0' && bytes[p] <= '9') {
        uint64_t d = static_cast<uint64_t>(bytes[p] - '0');
        if (v > (max - d) / 10) {
            *reason = "value of \"" + std::string(label) + "\" out of range";
            return false;
        }
        v = v * 10 + d;
        ++p;
        ++digits;
    }
    if (p >= bytes.size()) {
        *reason = "truncated record: ends inside \"" + std::string(label) + "\"";
        return false;
    }
    if (digits == 0 || bytes[p] != '\n') {
        *reason = "bad value of \"" + std::string(label) + "\"";
        return false;
    }
    *value = v;
    *pos = p + 1;
    return true;
}

bool ReadRecord(std::string_view bytes, size_t* pos, Record* record, std::string* reason) {
    size_t p = *pos;
    uint64_t ts = 0;
    uint64_t index = 0;
    uint64_t len = 0;
    if (!ReadField(bytes, &p, kTimeStamp, std::numeric_limits<uint64_t>::max(), &ts, reason) ||
        !ReadField(bytes, &p, kIndex, std::numeric_limits<uint32_t>::max(), &index, reason) ||
        !ReadField(bytes, &p, kDataLen, std::numeric_limits<uint32_t>::max(), &len, reason)) {
        return false;
    }
    if (bytes.size() - p < len + 1) {
        *reason = "truncated record: " + std::to_string(len) + " data bytes announced, " +
                  std::to_string(bytes.size() - p) + " left";
        return false;
    }
    if (bytes[p + len] != '\n') {
        *reason = "data of " + std::to_string(len) + " bytes is not followed by a line end";
        return false;
    }
    record->timestampNs = ts;
    record->index = static_cast<uint32_t>(index);
    record->data.assign(bytes.data() + p, len);
    *pos = p + len + 1;
    return true;
}

// The next "TimeStamp:" that starts a line after from, or npos.
size_t NextRecordStart(std::string_view bytes, size_t from) {
    size_t p = from;
    while (true) {
        p = bytes.find(kTimeStamp, p);
        if (p == std::string_view::npos || (p > 0 && bytes[p - 1] == '\n')) {
            return p;
        }
        ++p;
    }
}

}  // namespace

RecordFile ParseRecords(std::string_view bytes) {
    RecordFile file;
    size_t pos = 0;
    while (pos < bytes.size()) {
        Record record;
        std::string reason;
        if (ReadRecord(bytes, &pos, &record, &reason)) {
            file.records.push_back(std::move(record));
            continue;
        }
        file.problems.push_back({pos, reason});
        size_t next = NextRecordStart(bytes, pos + 1);
        if (next == std::string_view::npos) {
            break;
        }
        pos = next;
    }
    return file;
}

}  // namespace analysis::orbx::hosttool
