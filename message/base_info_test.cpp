#include "message/base_info.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "message/job_context.h"
#include "message/status_info.h"
#include "testing/test_log_capture.h"

namespace analysis::orbx::message {
namespace {

using analysis::orbx::common::TestLogCapture;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

std::set<std::string> Members(const std::string& text) {
    std::set<std::string> members;
    for (const auto& [key, value] : Json(text).GetValue().AsObject()) {
        members.insert("\"" + key + "\":" + value.ToString());
    }
    return members;
}

JobContext FilledContext() {
    JobContext ctx;
    ctx.result_dir = "/var/log/npu/profiling/7";
    ctx.module = "llc";
    ctx.tag = "0";
    ctx.dev_id = "3";
    ctx.job_id = "job-7";
    ctx.chunkStartTime = 2147483647;
    ctx.chunkEndTime = 12;
    ctx.dataModule = -3;
    ctx.stream_enabled = "on";
    return ctx;
}

TEST(MessageText, EmptyTextFailsSilentlyAndEmptyObjectChangesNothing) {
    JobContext ctx = FilledContext();
    TestLogCapture log("warning");
    EXPECT_FALSE(ctx.FromString(""));
    EXPECT_TRUE(ctx.FromString("{}"));
    EXPECT_THAT(log.Texts(), IsEmpty());
    EXPECT_EQ(Members(ctx.ToString()), Members(FilledContext().ToString()));
}

TEST(MessageText, JobContextPrintsAllKeysAndReadsThemBack) {
    JobContext written = FilledContext();
    std::string text = written.ToString();
    EXPECT_EQ(Members(text),
              (std::set<std::string>{
                  R"("result_dir":"/var/log/npu/profiling/7")", R"("module":"llc")", R"("tag":"0")",
                  R"("dev_id":"3")", R"("job_id":"job-7")", R"("chunkStartTime":2147483647)",
                  R"("chunkEndTime":12)", R"("dataModule":-3)", R"("stream_enabled":"on")"}));
    JobContext read;
    ASSERT_TRUE(read.FromString(text));
    EXPECT_EQ(Members(read.ToString()), Members(text));
}

TEST(MessageText, ChunkTimeAboveThirtyTwoBitsPrintsButDoesNotReadBack) {
    JobContext written = FilledContext();
    written.chunkStartTime = 3000000000u;
    std::string text = written.ToString();
    EXPECT_NE(text.find(R"("chunkStartTime":3000000000)"), std::string::npos);

    JobContext read = FilledContext();
    read.chunkStartTime = 5;
    TestLogCapture log("warning");
    EXPECT_FALSE(read.FromString(text));
    EXPECT_EQ(read.chunkStartTime, 5u);
    EXPECT_THAT(log.Texts(), ElementsAre("JobContext ::FromString(): stoi"));
}

TEST(MessageText, ParseErrorsAreLoggedWithTheClassName) {
    StatusInfo status;
    TestLogCapture log("warning");
    EXPECT_FALSE(status.FromString("[1]"));
    EXPECT_FALSE(status.FromString(R"({"status":-})"));
    EXPECT_THAT(log.Texts(), ElementsAre("StatusInfo ::FromString(): Input json string error",
                                         "StatusInfo ::FromString(): stod"));
    EXPECT_EQ(status.status, 1);
}

}  // namespace
}  // namespace analysis::orbx::message
