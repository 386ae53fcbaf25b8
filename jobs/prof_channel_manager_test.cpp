#include "jobs/prof_channel_manager.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "common/test_log_capture.h"
#include "driver/fake_drv.h"

namespace Analysis::Orbx::JobWrapper {
namespace {

using analysis::orbx::common::TestLogCapture;
using analysis::orbx::driver::testing::ScopedFakeDrv;

class ProfChannelManagerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fake_.hooks().getDevNum = [](uint32_t* num) {
            *num = 1;
            return 0;
        };
        // Nothing runs: the poll answers at once instead of waiting a second.
        fake_.hooks().profChannelPoll = [this](ProfPollInfo*, int, int) {
            ++polls_;
            return PROF_STOPPED_ALREADY;
        };
    }

    ScopedFakeDrv fake_;
    TestLogCapture logs_;
    std::atomic<int> polls_{0};
    ProfChannelManager manager_;
};

TEST_F(ProfChannelManagerTest, CollectionsShareOnePollerAndTheLastStopsIt) {
    ASSERT_EQ(0, manager_.Init());
    auto poll = manager_.GetChannelPoll();
    ASSERT_NE(nullptr, poll);
    EXPECT_TRUE(logs_.Has("Init Poll Succ"));

    ASSERT_EQ(0, manager_.Init());
    EXPECT_TRUE(logs_.Has("ProfChannelManager already inited"));
    EXPECT_EQ(poll, manager_.GetChannelPoll());

    manager_.UnInit(false);
    EXPECT_EQ(poll, manager_.GetChannelPoll());
    EXPECT_FALSE(logs_.Has("UnInit Poll Succ"));

    manager_.UnInit(false);
    EXPECT_EQ(nullptr, manager_.GetChannelPoll());
    EXPECT_TRUE(logs_.Has("UnInit Poll Succ"));
    // The poller was stopped, not merely dropped: its thread has ended.
    int polls = polls_.load();
    EXPECT_TRUE(logs_.Has("ChannelPoll count: " + std::to_string(polls), DLOG_EVENT));

    // Nothing left to release: the next start begins a fresh count.
    manager_.UnInit(false);
    ASSERT_EQ(0, manager_.Init());
    EXPECT_TRUE(logs_.Has("ProfChannelManager Init index:1"));
}

TEST_F(ProfChannelManagerTest, AForcedUnInitStopsThePollerWhateverTheCount) {
    ASSERT_EQ(0, manager_.Init());
    ASSERT_EQ(0, manager_.Init());
    ASSERT_EQ(0, manager_.Init());
    manager_.UnInit(true);
    EXPECT_EQ(nullptr, manager_.GetChannelPoll());
    // The count went to zero with it.
    ASSERT_EQ(0, manager_.Init());
    EXPECT_EQ(2u, logs_.Count("ProfChannelManager Init index:1"));
    manager_.UnInit(false);
    EXPECT_EQ(nullptr, manager_.GetChannelPoll());
}

}  // namespace
}  // namespace Analysis::Orbx::JobWrapper
