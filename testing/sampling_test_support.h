// Test support for the /proc samplers and system-information jobs.
#ifndef ORU_TESTING_SAMPLING_TEST_SUPPORT_H
#define ORU_TESTING_SAMPLING_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "jobs/prof_timer.h"
#include "message/job_context.h"
#include "testing/chunk_capture.h"
#include "testing/test_temp_dir.h"
#include "transport/uploader.h"

namespace Analysis::Orbx::JobWrapper::testing {

using analysis::orbx::transport::testing::CapturingTransport;
using analysis::orbx::transport::testing::SentChunk;

struct Record {
    uint64_t timeStamp = 0;
    uint64_t index = 0;
    std::string data;
};

// Splits a data file into its records; false (and a failure) unless all are well formed.
inline bool ParseRecords(const std::string& bytes, std::vector<Record>& records) {
    records.clear();
    size_t pos = 0;
    auto field = [&](const char* name, uint64_t& value) {
        std::string prefix = std::string(name) + ":";
        if (bytes.compare(pos, prefix.size(), prefix) != 0) {
            return false;
        }
        size_t end = bytes.find('\n', pos);
        if (end == std::string::npos || end == pos + prefix.size()) {
            return false;
        }
        std::string digits = bytes.substr(pos + prefix.size(), end - pos - prefix.size());
        if (digits.find_first_not_of("0123456789") != std::string::npos) {
            return false;
        }
        value = std::strtoull(digits.c_str(), nullptr, 10);
        pos = end + 1;
        return true;
    };
    while (pos < bytes.size()) {
        Record record;
        uint64_t length = 0;
        if (!field("TimeStamp", record.timeStamp) || !field("Index", record.index) ||
            !field("DataLen", length)) {
            ADD_FAILURE() << "bad record header at byte " << pos;
            return false;
        }
        if (pos + length + 1 > bytes.size() || bytes[pos + length] != '\n') {
            ADD_FAILURE() << "bad record body at byte " << pos;
            return false;
        }
        record.data = bytes.substr(pos, length);
        pos += length + 1;
        records.push_back(record);
    }
    return true;
}

// A started uploader over a CapturingTransport; Sent() drains and stops it.
class UploadRecorder {
  public:
    UploadRecorder()
        : transport_(std::make_shared<CapturingTransport>()),
          uploader_(std::make_shared<analysis::orbx::transport::Uploader>(transport_)) {
        EXPECT_EQ(uploader_->Init(512), 0);
        EXPECT_EQ(uploader_->Start(), 0);
    }
    ~UploadRecorder() { (void)uploader_->Stop(true); }

    const std::shared_ptr<analysis::orbx::transport::Uploader>& uploader() const {
        return uploader_;
    }

    std::vector<SentChunk> Sent() {
        (void)uploader_->Stop(false);
        return transport_->Chunks();
    }

    std::map<std::string, std::string> SentByFile() {
        std::map<std::string, std::string> files;
        for (const auto& chunk : Sent()) {
            files[chunk.fileName] += chunk.data.substr(0, chunk.chunkSize);
        }
        return files;
    }

    std::map<std::string, std::vector<Record>> RecordsByFile() {
        std::map<std::string, std::vector<Record>> out;
        for (const auto& [name, bytes] : SentByFile()) {
            EXPECT_TRUE(ParseRecords(bytes, out[name])) << name;
        }
        return out;
    }
    std::vector<Record> Records(const std::string& fileName) { return RecordsByFile()[fileName]; }
    std::vector<std::string> Texts(const std::string& fileName) {
        std::vector<std::string> texts;
        for (const Record& record : Records(fileName)) {
            texts.push_back(record.data);
        }
        return texts;
    }

  private:
    std::shared_ptr<CapturingTransport> transport_;
    std::shared_ptr<analysis::orbx::transport::Uploader> uploader_;
};

class ManualClock {
  public:
    explicit ManualClock(uint64_t start) : now_(start) {}
    void Advance(uint64_t ns) { now_ += ns; }
    void Set(uint64_t ns) { now_ = ns; }
    TimeSource Source() {
        return [this] { return now_; };
    }

  private:
    uint64_t now_;
};

// A folder of fake /proc files, removed with the object.
class FakeProc : public analysis::orbx::common::TestTempDir {
  public:
    std::string Root() const { return Path().string(); }
    void AddProcess(uint32_t pid, const std::string& name) {
        std::string dir = std::to_string(pid) + "/";
        Write(dir + "stat", std::to_string(pid) + " (" + name + ") S 1 2 3\n");
        Write(dir + "statm", "100 20 10 1 0 50 0\n");
        Write(dir + "comm", name + "\n");
    }
    void RemoveProcess(uint32_t pid) { std::filesystem::remove_all(Path() / std::to_string(pid)); }
};

inline std::shared_ptr<analysis::orbx::message::JobContext> MakeJobContext(const std::string& jobId,
                                                                           const std::string& devId,
                                                                           const std::string& tag) {
    auto ctx = std::make_shared<analysis::orbx::message::JobContext>();
    ctx->job_id = jobId;
    ctx->dev_id = devId;
    ctx->tag = tag;
    return ctx;
}

}  // namespace Analysis::Orbx::JobWrapper::testing

#endif  // ORU_TESTING_SAMPLING_TEST_SUPPORT_H
