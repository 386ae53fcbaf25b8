#include "daemon/ide_common_util.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

std::atomic<int> g_calls{0};
std::atomic<uint32_t> g_lastMs{0};
IdeStopEvent* g_eventToSet = nullptr;

void RecordSleep(uint32_t ms) {
    g_calls++;
    g_lastMs = ms;
}

void SleepAndStop(uint32_t ms) {
    RecordSleep(ms);
    g_eventToSet->Set();
}

class IdeSleepTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_calls = 0;
        g_lastMs = 0;
    }
    void TearDown() override { IdeSetSleepFunc(nullptr); }
};

TEST_F(IdeSleepTest, InstalledSleepReceivesEveryWaitAndSetEndsThem) {
    IdeSetSleepFunc(RecordSleep);
    IdeStopEvent event;
    EXPECT_TRUE(event.WaitFor(3000));
    EXPECT_EQ(1, g_calls.load());
    EXPECT_EQ(3000u, g_lastMs.load());

    // Set while "sleeping" ends the wait; once set, no sleep at all.
    IdeSetSleepFunc(SleepAndStop);
    g_eventToSet = &event;
    EXPECT_FALSE(event.WaitFor(1000));
    EXPECT_FALSE(event.WaitFor(1000));
    EXPECT_EQ(2, g_calls.load());
    event.Reset();
    EXPECT_FALSE(event.IsSet());
}

TEST_F(IdeSleepTest, SetWakesARealWaitFromAnotherThread) {
    IdeStopEvent event;
    bool result = true;
    std::thread waiter([&] { result = event.WaitFor(600000); });
    event.Set();
    waiter.join();
    EXPECT_FALSE(result);
}

}  // namespace
