#include "jobs/prof_perf_job.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace Analysis::Orbx::JobWrapper {
namespace {

using Paths = std::vector<std::string>;

TEST(CtrlCpuCommandTest, FrequencyFollowsTheSamplingInterval) {
    EXPECT_EQ(CtrlCpuSampleFrequency(0), 100);
    EXPECT_EQ(CtrlCpuSampleFrequency(-5), 100);
    EXPECT_EQ(CtrlCpuSampleFrequency(20), 50);
    EXPECT_EQ(CtrlCpuSampleFrequency(3), 333);
    EXPECT_EQ(CtrlCpuSampleFrequency(1), 1000);
    EXPECT_EQ(CtrlCpuSampleFrequency(1000), 1);
    // Longer than a second still records: once a second, never "0 per second".
    EXPECT_EQ(CtrlCpuSampleFrequency(2500), 1);
}

TEST(CtrlCpuCommandTest, EventsBecomeRawEventNames) {
    EXPECT_EQ(CtrlCpuEventsText({"0x11", "0x8"}), "{r11,r8}");
    EXPECT_EQ(CtrlCpuEventsText({"0x11"}), "{r11}");
    EXPECT_EQ(CtrlCpuEventsText({}), "{}");
    // Only the first two characters are replaced, whatever they are.
    EXPECT_EQ(CtrlCpuEventsText({"x0x", "0x"}), "{rx,r}");
}

TEST(CtrlCpuPieceTest, OnlyNamesWithThreePointsArePieces) {
    EXPECT_TRUE(IsCtrlCpuPiece("/d/ai_ctrl_cpu.data.0.1"));
    EXPECT_TRUE(IsCtrlCpuPiece("ai_ctrl_cpu.data.3.17"));
    // The script's output file itself.
    EXPECT_FALSE(IsCtrlCpuPiece("/d/ai_ctrl_cpu.data.0"));
    // A converted piece.
    EXPECT_FALSE(IsCtrlCpuPiece("/d/ai_ctrl_cpu.data.0.1.txt"));
    EXPECT_FALSE(IsCtrlCpuPiece("/d/llc.data.0.1"));
    EXPECT_FALSE(IsCtrlCpuPiece("/d/perf.log"));
    // Points in the folder do not count.
    EXPECT_TRUE(IsCtrlCpuPiece("/a.b/c.d/ai_ctrl_cpu.data.0.1"));
    EXPECT_FALSE(IsCtrlCpuPiece("/a.b/ai_ctrl_cpu.data.0"));
}

TEST(CtrlCpuPieceTest, TheLastPieceWaitsUntilRecordingEnds) {
    const Paths listed = {"/d/ai_ctrl_cpu.data.0.2", "/d/ai_ctrl_cpu.data.0",
                          "/d/ai_ctrl_cpu.data.0.1", "/d/perf.log", "/d/ai_ctrl_cpu.data.0.1.txt"};
    EXPECT_EQ(SelectCtrlCpuPieces(listed, false), Paths({"/d/ai_ctrl_cpu.data.0.1"}));
    EXPECT_EQ(SelectCtrlCpuPieces(listed, true),
              Paths({"/d/ai_ctrl_cpu.data.0.1", "/d/ai_ctrl_cpu.data.0.2"}));
}

TEST(CtrlCpuPieceTest, ASinglePieceIsStillBeingWritten) {
    const Paths listed = {"/d/ai_ctrl_cpu.data.0", "/d/ai_ctrl_cpu.data.0.0"};
    EXPECT_TRUE(SelectCtrlCpuPieces(listed, false).empty());
    EXPECT_EQ(SelectCtrlCpuPieces(listed, true), Paths({"/d/ai_ctrl_cpu.data.0.0"}));
    EXPECT_TRUE(SelectCtrlCpuPieces({"/d/ai_ctrl_cpu.data.0"}, true).empty());
}

TEST(CtrlCpuPieceTest, PiecesComeInRecordingOrderPastNine) {
    Paths listed;
    for (int n = 12; n >= 0; --n) {
        listed.push_back("/d/ai_ctrl_cpu.data.0." + std::to_string(n));
    }
    Paths expected;
    for (int n = 0; n <= 11; ++n) {
        expected.push_back("/d/ai_ctrl_cpu.data.0." + std::to_string(n));
    }
    // Piece 12 is the one being written, not piece 9.
    EXPECT_EQ(SelectCtrlCpuPieces(listed, false), expected);
    expected.push_back("/d/ai_ctrl_cpu.data.0.12");
    EXPECT_EQ(SelectCtrlCpuPieces(listed, true), expected);
}

TEST(CtrlCpuPieceTest, OddNamesStillSortConsistently) {
    // Mixed numeric and other endings must not break the ordering.
    const Paths listed = {"/d/ai_ctrl_cpu.data.0.1a", "/d/ai_ctrl_cpu.data.0.10",
                          "/d/ai_ctrl_cpu.data.0.9", "/d/ai_ctrl_cpu.data.0.007",
                          "/d/ai_ctrl_cpu.data.1.0"};
    EXPECT_EQ(
        SelectCtrlCpuPieces(listed, true),
        Paths({"/d/ai_ctrl_cpu.data.0.007", "/d/ai_ctrl_cpu.data.0.9", "/d/ai_ctrl_cpu.data.0.10",
               "/d/ai_ctrl_cpu.data.0.1a", "/d/ai_ctrl_cpu.data.1.0"}));
}

}  // namespace
}  // namespace Analysis::Orbx::JobWrapper
