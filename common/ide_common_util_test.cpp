#include "common/ide_common_util.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "testing/test_fake_clock.h"

namespace {

using analysis::orbx::common::Clock;
using analysis::orbx::common::FakeClock;

class IdeSleepTest : public ::testing::Test {
  protected:
    void TearDown() override { Clock::SetDefault(nullptr); }
};

TEST_F(IdeSleepTest, TheProcessClockReceivesEveryWaitAndSetEndsThem) {
    IdeStopEvent event;
    FakeClock clock([&](uint32_t, size_t count) {
        if (count >= 3) {
            event.Set();  // set while "sleeping"
        }
    });
    Clock::SetDefault(&clock);
    IdeSleep(7);
    EXPECT_TRUE(event.WaitFor(3000));
    // Set while "sleeping" ends the wait; once set, no sleep at all.
    EXPECT_FALSE(event.WaitFor(1000));
    EXPECT_FALSE(event.WaitFor(1000));
    EXPECT_EQ((std::vector<uint32_t>{7, 3000, 1000}), clock.Sleeps());
    event.Reset();
    EXPECT_FALSE(event.IsSet());
}

TEST_F(IdeSleepTest, SetWakesARealWaitFromAnotherThread) {
    IdeStopEvent event;
    bool result = true;
    std::thread waiter([&] { result = event.WaitFor(20000); });
    event.Set();
    waiter.join();
    EXPECT_FALSE(result) << "Set did not wake a wait of 20 s";
}

}  // namespace
