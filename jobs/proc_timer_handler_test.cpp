#include "jobs/proc_timer_handler.h"

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "jobs/proc_file_handlers.h"
#include "testing/sampling_test_support.h"
#include "testing/test_log_capture.h"

namespace Analysis::Orbx::JobWrapper {
namespace {

using analysis::orbx::common::TestLogCapture;
using testing::FakeProc;
using testing::MakeJobContext;
using testing::ManualClock;
using testing::Record;
using testing::UploadRecorder;

constexpr uint64_t kMs = 1000000;

// A sampler storing the next scripted text as it stands on each sample.
class ScriptedHandler : public ProcTimerHandler {
  public:
    ScriptedHandler(uint32_t tag, uint64_t bufSize, std::shared_ptr<Uploader> uploader)
        : ProcTimerHandler(tag, 0, bufSize, 0, "", "Scripted.data", nullptr,
                           MakeJobContext("job7", "3", "t1"), std::move(uploader)) {}

    void Push(const std::string& text) { texts_.push_back(text); }
    void Sample(const std::string& text) {
        Push(text);
        Execute();
    }

  protected:
    void ParseProcFile(ProcFileReader& file, std::string& text) override {
        EXPECT_FALSE(file.IsOpen());
        if (!texts_.empty()) {
            text = texts_.front();
            texts_.pop_front();
        }
    }

  private:
    std::deque<std::string> texts_;
};

// The chunks a handler with bufSize sends for samples, each declaring its own size.
std::vector<std::string> Chunks(uint64_t bufSize, const std::vector<std::string>& samples,
                                bool uninit) {
    UploadRecorder upload;
    ScriptedHandler handler(0, bufSize, upload.uploader());
    EXPECT_EQ(handler.Init(), 0);
    for (const std::string& text : samples) {
        handler.Sample(text);
    }
    if (uninit) {
        EXPECT_EQ(handler.Uninit(), 0);
    }
    std::vector<std::string> chunks;
    for (const auto& chunk : upload.Sent()) {
        EXPECT_EQ(chunk.data.size(), chunk.chunkSize);
        chunks.push_back(chunk.data);
    }
    return chunks;
}

TEST(ProcTimerHandlerTest, BufferIsSentAtThreeQuartersAndRecordsThatDoNotFitFlushFirst) {
    const std::string a6000(6000, 'a'), b143(143, 'b'), b144(144, 'b'), big(100, 'L');
    const std::string a60(60, 'a'), b50(50, 'b'), c10(10, 'c');
    const struct {
        uint64_t bufSize;
        std::vector<std::string> samples;
        bool uninit;
        std::vector<std::string> chunks;
    } cases[] = {
        // 6143 bytes of 8192 stay; the byte that makes 6144 sends all as one chunk.
        {8192, {a6000, b143}, false, {}},
        {8192, {a6000, b144}, false, {a6000 + b144}},
        // A record larger than the buffer goes alone after the pending bytes.
        {64, {"pending-1;", big, "after;"}, true, {"pending-1;", big, "after;"}},
        // 40 bytes free: the 60 go first; 40 free after the 50, so the 10 stay.
        {100, {a60, b50, c10}, true, {a60, b50 + c10}},
    };
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
        EXPECT_EQ(Chunks(cases[i].bufSize, cases[i].samples, cases[i].uninit), cases[i].chunks)
            << "case " << i;
    }
}

TEST(ProcTimerHandlerTest, InitOnceExecuteOnlyWhileInitedUninitFlushesOnce) {
    TestLogCapture log;
    UploadRecorder upload;
    ScriptedHandler cpu(1, 1024, upload.uploader());
    ScriptedHandler timerData(4, 1024, upload.uploader());
    cpu.Execute();
    EXPECT_EQ(log.Count("ProcTimerHandler is not inited: Scripted.data", DLOG_ERROR), 1u);
    EXPECT_EQ(cpu.GetIndex(), 0u);

    ASSERT_EQ(cpu.Init(), 0);
    ASSERT_EQ(timerData.Init(), 0);
    EXPECT_EQ(cpu.Init(), -1);
    EXPECT_EQ(log.Count("The Handler is inited", DLOG_ERROR), 1u);
    cpu.Sample("kept");
    timerData.Sample("y");
    EXPECT_EQ(cpu.Uninit(), 0);
    EXPECT_EQ(cpu.Uninit(), 0);
    EXPECT_EQ(timerData.Uninit(), 0);
    cpu.Execute();
    EXPECT_EQ(log.Count("ProcTimerHandler is not inited", DLOG_ERROR), 2u);

    // The chunks name the data file, the job and the handler's module.
    const auto sent = upload.Sent();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].data, "kept");
    EXPECT_EQ(sent[0].chunkModule, 3);
    EXPECT_EQ(sent[1].chunkModule, 5);
    for (const auto& chunk : sent) {
        EXPECT_EQ(chunk.fileName, "data/Scripted.data.t1");
        EXPECT_EQ(chunk.extraInfo, "job7.3");
    }
}

class ProcFileSamplerTest : public ::testing::Test {
  protected:
    std::shared_ptr<ProcMemFileHandler> MakeMem(const std::string& file, uint64_t intervalNs,
                                                uint64_t bufSize = 32768) {
        auto handler = std::make_shared<ProcMemFileHandler>(
            1, 0, bufSize, intervalNs, file, "Memory.data", nullptr,
            MakeJobContext("job1", "0", "tg"), upload_.uploader());
        handler->SetTimeSource(clock_.Source());
        EXPECT_EQ(handler->Init(), 0);
        return handler;
    }

    FakeProc proc_;
    ManualClock clock_{5000 * kMs};
    UploadRecorder upload_;
};

TEST_F(ProcFileSamplerTest, FirstPassSamplesAtOnceLaterPassesWaitForTheInterval) {
    std::string file = proc_.Write("meminfo", "MemTotal: 10 kB\n");
    auto handler = MakeMem(file, 100 * kMs);

    // The timer sleeps as long as the sampler says it is due in.
    EXPECT_EQ(handler->DueInNs(), 0u);
    handler->Execute();  // at once
    EXPECT_EQ(handler->DueInNs(), 100 * kMs);
    clock_.Advance(99 * kMs);
    EXPECT_EQ(handler->DueInNs(), 1 * kMs);
    handler->Execute();  // too early
    clock_.Advance(1 * kMs);
    EXPECT_EQ(handler->DueInNs(), 0u);
    handler->Execute();  // 100 ms after the first
    clock_.Advance(150 * kMs);
    EXPECT_EQ(handler->DueInNs(), 0u);
    handler->Execute();  // late passes sample at once
    clock_.Advance(50 * kMs);
    EXPECT_EQ(handler->DueInNs(), 50 * kMs) << "a late pass must not make the next one early";
    handler->Execute();  // 50 ms after the last sample: too early
    EXPECT_EQ(handler->GetIndex(), 3u);
    EXPECT_EQ(handler->Uninit(), 0);

    std::vector<Record> records = upload_.Records("data/Memory.data.tg");
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].timeStamp, 5000 * kMs);
    EXPECT_EQ(records[1].timeStamp, 5100 * kMs);
    EXPECT_EQ(records[2].timeStamp, 5250 * kMs);
    for (size_t i = 0; i < records.size(); ++i) {
        EXPECT_EQ(records[i].index, i);
        EXPECT_EQ(records[i].data, "MemTotal: 10 kB\n");
    }
}

// A missing file costs a warning and no sample; an empty one a warning and no record.
TEST_F(ProcFileSamplerTest, AMissingOrEmptyFileGivesNoRecordAndRecordsAreFramed) {
    TestLogCapture log;
    auto gone = MakeMem(proc_.Root() + "/gone/statm", 0);
    gone->Execute();
    EXPECT_EQ(gone->GetIndex(), 0u);
    EXPECT_EQ(log.Count("Open file statm failed", DLOG_WARN), 1u);
    EXPECT_EQ(gone->Uninit(), 0);

    std::string file = proc_.Write("meminfo", "");
    auto handler = MakeMem(file, 0);
    handler->Execute();
    EXPECT_EQ(handler->GetIndex(), 1u);
    EXPECT_EQ(log.Count("data is empty, fileName:Memory.data", DLOG_WARN), 1u);
    EXPECT_EQ(log.Count("", DLOG_ERROR), 0u);

    // Every line is stored with its line break, the last one too.
    proc_.Write("meminfo", "MemTotal: 10 kB\nMemFree:  5 kB");
    clock_.Advance(kMs);
    handler->Execute();
    EXPECT_EQ(handler->Uninit(), 0);
    EXPECT_EQ(upload_.SentByFile()["data/Memory.data.tg"],
              "TimeStamp:5001000000\nIndex:1\nDataLen:31\n"
              "MemTotal: 10 kB\nMemFree:  5 kB\n\n");
}

}  // namespace
}  // namespace Analysis::Orbx::JobWrapper
