// The record format of the device's sampled data files: each sample is
// "TimeStamp:<ns>\nIndex:<n>\nDataLen:<len>\n" followed by len bytes of text
// and "\n"; a file is records back to back.
#ifndef ORU_TOOLS_ORU_HOST_RECORDS_H
#define ORU_TOOLS_ORU_HOST_RECORDS_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace analysis::orbx::hosttool {

struct Record {
    uint64_t timestampNs = 0;
    uint32_t index = 0;
    std::string data;
};

struct RecordProblem {
    uint64_t offset = 0;  // byte offset where the bad record starts
    std::string reason;
};

struct RecordFile {
    std::vector<Record> records;
    // Every stretch of bytes that is not a record; parsing goes on at the
    // next "TimeStamp:" that starts a line.
    std::vector<RecordProblem> problems;
};

RecordFile ParseRecords(std::string_view bytes);

}  // namespace analysis::orbx::hosttool

#endif  // ORU_TOOLS_ORU_HOST_RECORDS_H
