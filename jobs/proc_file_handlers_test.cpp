#include "jobs/proc_file_handlers.h"

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/test_log_capture.h"
#include "jobs/sampling_test_support.h"

namespace Analysis::Orbx::JobWrapper {
namespace {

using analysis::orbx::common::TestLogCapture;
using testing::FakeProc;
using testing::MakeJobContext;
using testing::ManualClock;
using testing::UploadRecorder;

class ProcFileHandlersTest : public ::testing::Test {
  protected:
    template <class Handler, class... Extra>
    std::shared_ptr<Handler> Make(const std::string& file, const std::string& dataName,
                                  Extra... extra) {
        auto handler =
            std::make_shared<Handler>(2, 0, 4096, 0, file, dataName, nullptr,
                                      MakeJobContext("j", "0", "t"), upload_.uploader(), extra...);
        handler->SetTimeSource(clock_.Source());
        EXPECT_EQ(handler->Init(), 0);
        return handler;
    }

    FakeProc proc_;
    ManualClock clock_{1};
    UploadRecorder upload_;
};

TEST_F(ProcFileHandlersTest, SystemCpuSamplerSendsTheLeadingCpuLinesLowered) {
    std::string stat =
        proc_.Write("stat", "CPU  10 20 30\ncpu0 1 2 3\nintr 5 6\ncpu1 after intr\n");
    auto handler = Make<ProcStatFileHandler>(stat, "SystemCpuUsage.data");
    handler->Execute();
    EXPECT_EQ(handler->Uninit(), 0);
    EXPECT_EQ(upload_.Texts("data/SystemCpuUsage.data.t"),
              (std::vector<std::string>{"cpu  10 20 30\ncpu0 1 2 3\n"}));
}

TEST_F(ProcFileHandlersTest, SystemCpuSamplerWithoutLeadingCpuLineSendsNothing) {
    std::string stat = proc_.Write("stat", "intr 5\ncpu 1 2\n");
    auto handler = Make<ProcStatFileHandler>(stat, "SystemCpuUsage.data");
    handler->Execute();
    EXPECT_EQ(handler->GetIndex(), 1u);
    EXPECT_EQ(handler->Uninit(), 0);
    EXPECT_TRUE(upload_.Sent().empty());
}

TEST_F(ProcFileHandlersTest, ProcessCpuSamplerAddsTheNameAndTheSystemCpuLine) {
    proc_.Write("stat", "intr 1\nCPU 5 6 7\ncpu0 1\n");
    proc_.Write("123/stat", "123 (my worker) S 1 2 3\n");
    proc_.Write("123/comm", "my worker\n");
    auto handler =
        Make<ProcPidStatFileHandler>(proc_.Root() + "/123/stat", "CpuUsage.data", uint32_t{123});
    handler->Execute();

    // A line handed over by the all-processes sampler replaces the read.
    auto shared = std::make_shared<std::string>("cpu 8 8 8");
    handler->SetSystemCpuLine(shared);
    clock_.Advance(1);
    handler->Execute();
    EXPECT_EQ(handler->Uninit(), 0);

    EXPECT_EQ(
        upload_.Texts("data/123-CpuUsage.data.t"),
        (std::vector<std::string>{"123 (my worker) S 1 2 3\nProcessName:my worker\ncpu 5 6 7\n",
                                  "123 (my worker) S 1 2 3\nProcessName:my worker\ncpu 8 8 8\n"}));
}

TEST_F(ProcFileHandlersTest, NameIsSelfWhenTheCommFileIsGoneOrTooLarge) {
    TestLogCapture log;
    proc_.Write("stat", "cpu 1\n");
    proc_.Write("8/statm", "1 2\n");  // no comm file: the process is on its way out
    proc_.Write("9/statm", "3 4\n");
    proc_.Write("9/comm", std::string(0x200001, 'n'));
    auto gone = Make<ProcPidMemFileHandler>(proc_.Root() + "/8/statm", "Memory.data", uint32_t{8});
    auto huge = Make<ProcPidMemFileHandler>(proc_.Root() + "/9/statm", "Memory.data", uint32_t{9});
    gone->Execute();
    huge->Execute();
    EXPECT_EQ(gone->Uninit(), 0);
    EXPECT_EQ(huge->Uninit(), 0);

    EXPECT_EQ(upload_.Texts("data/8-Memory.data.t"),
              (std::vector<std::string>{"1 2\nProcessName:self\n"}));
    EXPECT_EQ(upload_.Texts("data/9-Memory.data.t"),
              (std::vector<std::string>{"3 4\nProcessName:self\n"}));
    EXPECT_EQ(log.Count("proc comm file size is invalid", DLOG_WARN), 1u);
    EXPECT_EQ(log.Count("proc comm file size is invalid", DLOG_ERROR), 1u);
}

}  // namespace
}  // namespace Analysis::Orbx::JobWrapper
