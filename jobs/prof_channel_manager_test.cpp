#include "jobs/prof_channel_manager.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <mutex>
#include <thread>

#include "testing/fake_drv.h"
#include "testing/process.h"
#include "testing/test_emulator.h"
#include "testing/test_log_capture.h"

namespace Analysis::Orbx::JobWrapper {
namespace {

using analysis::orbx::common::TestLogCapture;
using analysis::orbx::driver::testing::ScopedFakeDrv;
using oru_testing::WaitUntil;

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

// A driver poll that lasts until the test lets it return (at most 10 s).
class HeldPoll {
  public:
    explicit HeldPoll(ScopedFakeDrv& fake) {
        fake.hooks().profChannelPoll = [this](ProfPollInfo*, int, int) {
            std::unique_lock<std::mutex> lock(mutex_);
            ++inPoll_;
            cv_.notify_all();
            cv_.wait_for(lock, std::chrono::seconds(10), [this] { return released_; });
            --inPoll_;
            return released_ ? PROF_STOPPED_ALREADY : 0;
        };
    }
    ~HeldPoll() { Release(); }
    bool WaitInPoll() {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, std::chrono::seconds(5), [this] { return inPoll_ > 0; });
    }
    int InPoll() {
        std::lock_guard<std::mutex> lock(mutex_);
        return inPoll_;
    }
    void Release() {
        std::lock_guard<std::mutex> lock(mutex_);
        released_ = true;
        cv_.notify_all();
    }

  private:
    std::mutex mutex_;
    std::condition_variable cv_;
    int inPoll_ = 0;         // guarded by mutex_
    bool released_ = false;  // guarded by mutex_
};

TEST_F(ProfChannelManagerTest, CollectionsShareOnePollerAndTheLastOrAForcedUnInitStopsIt) {
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
    // The poller was stopped, not merely dropped: its thread ends by itself.
    EXPECT_TRUE(WaitUntil([this] { return logs_.Has("ChannelPoll count: ", DLOG_EVENT); }))
        << "the poll thread did not end";
    EXPECT_TRUE(logs_.Has("ChannelPoll count: " + std::to_string(polls_.load()), DLOG_EVENT));

    manager_.UnInit(false);
    ASSERT_EQ(0, manager_.Init());
    EXPECT_EQ(2u, logs_.Count("ProfChannelManager Init index:1"));

    // A forced UnInit stops the poller whatever the count.
    ASSERT_EQ(0, manager_.Init());
    ASSERT_EQ(0, manager_.Init());
    manager_.UnInit(true);
    EXPECT_EQ(nullptr, manager_.GetChannelPoll());
    ASSERT_EQ(0, manager_.Init());
    EXPECT_EQ(3u, logs_.Count("ProfChannelManager Init index:1"));
    manager_.UnInit(false);
    EXPECT_EQ(nullptr, manager_.GetChannelPoll());
}

TEST_F(ProfChannelManagerTest, TheLastUnInitAndTheNextInitDoNotWaitForTheDriversPoll) {
    HeldPoll held(fake_);
    ASSERT_EQ(0, manager_.Init());
    auto poll = manager_.GetChannelPoll();
    ASSERT_TRUE(held.WaitInPoll());

    manager_.UnInit(false);
    EXPECT_EQ(1, held.InPoll()) << "the last UnInit waited for the driver's poll";
    ASSERT_EQ(0, manager_.Init());
    EXPECT_EQ(1, held.InPoll()) << "Init waited for the driver's poll";
    EXPECT_EQ(poll, manager_.GetChannelPoll());
    EXPECT_TRUE(logs_.Has("ProfChannelManager already inited"));

    manager_.UnInit(false);
    held.Release();
    EXPECT_TRUE(WaitUntil([this] { return logs_.Has("ChannelPoll count: ", DLOG_EVENT); }))
        << "the poll thread did not end";
    ASSERT_EQ(0, manager_.Init());
    EXPECT_NE(poll, manager_.GetChannelPoll());
    manager_.UnInit(true);
}

// A poller whose threads cannot be created is not kept: the next collection starts a new one
// instead of taking over a poller that never ran.
TEST_F(ProfChannelManagerTest, APollerThatCannotStartIsNotKept) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers' reserved address space leaves no limit to set";
#endif
    if (!analysis::orbx::common::NativeOnly("the emulator ignores address-space limits")) {
        return;
    }
    std::ifstream statm("/proc/self/statm");
    unsigned long long pages = 0;
    ASSERT_TRUE(statm >> pages);
    rlimit old{};
    ASSERT_EQ(0, getrlimit(RLIMIT_AS, &old));
    rlimit tight = old;
    // 2 MiB beyond what is mapped: no room for a thread's stack.
    tight.rlim_cur = pages * static_cast<unsigned long long>(sysconf(_SC_PAGESIZE)) + (2u << 20);
    ASSERT_EQ(0, setrlimit(RLIMIT_AS, &tight));
    const int failed = manager_.Init();
    ASSERT_EQ(0, setrlimit(RLIMIT_AS, &old));
    ASSERT_NE(0, failed) << "the poller started without room for its threads";
    EXPECT_EQ(nullptr, manager_.GetChannelPoll());

    ASSERT_EQ(0, manager_.Init());
    EXPECT_FALSE(logs_.Has("ProfChannelManager already inited"));
    EXPECT_EQ(2u, logs_.Count("ProfChannelManager Init index:1"));
    EXPECT_TRUE(WaitUntil([this] { return polls_.load() > 0; })) << "the new poller never polled";
    manager_.UnInit(false);
}

}  // namespace
}  // namespace Analysis::Orbx::JobWrapper
