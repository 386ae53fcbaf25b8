#include "jobs/prof_timer.h"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "testing/test_log_capture.h"

namespace Analysis::Orbx::JobWrapper {
namespace {

using analysis::orbx::common::TestLogCapture;

// What the handlers did, in order: "E<tag>" for Execute, "U<tag>" for Uninit.
class EventLog {
  public:
    void Add(const std::string& event) {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back(event);
        cv_.notify_all();
    }
    size_t Count(const std::string& event) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return CountLocked(event);
    }
    std::vector<std::string> Events() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }
    // Waits (bounded, so that a broken timer fails the test instead of
    // hanging it) until event has happened at least n times.
    bool WaitFor(const std::string& event, size_t n) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, std::chrono::seconds(20),
                            [&] { return CountLocked(event) >= n; });
    }

  private:
    size_t CountLocked(const std::string& event) const {
        return static_cast<size_t>(std::count(events_.begin(), events_.end(), event));
    }

    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<std::string> events_;
};

class RecordingHandler : public TimerHandler {
  public:
    RecordingHandler(uint32_t tag, EventLog& log) : TimerHandler(tag), log_(log) {}
    void Execute() override {
        char name[16] = {};
        (void)pthread_getname_np(pthread_self(), name, sizeof(name));
        {
            std::lock_guard<std::mutex> lock(mutex_);
            threadName_ = name;
        }
        log_.Add("E" + std::to_string(GetTag()));
    }
    int Init() override { return 0; }
    int Uninit() override {
        log_.Add("U" + std::to_string(GetTag()));
        return 0;
    }
    std::string ThreadName() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return threadName_;
    }

  private:
    EventLog& log_;
    mutable std::mutex mutex_;
    std::string threadName_;
};

std::shared_ptr<ProfTimer> MakeTimer() {
    return std::make_shared<ProfTimer>(std::make_shared<TimerParam>(1000),
                                       [](uint64_t) { std::this_thread::yield(); });
}

// Index of the first and last occurrence of event, or -1.
int FirstIndex(const std::vector<std::string>& events, const std::string& event) {
    auto it = std::find(events.begin(), events.end(), event);
    return it == events.end() ? -1 : static_cast<int>(it - events.begin());
}
int LastIndex(const std::vector<std::string>& events, const std::string& event) {
    auto it = std::find(events.rbegin(), events.rend(), event);
    return it == events.rend() ? -1 : static_cast<int>(events.rend() - it) - 1;
}

TEST(ProfTimerTest, RunsHandlersInTagOrderOnItsThreadAndReleasesThemInTagOrderAtStop) {
    EventLog log;
    auto timer = MakeTimer();
    auto high = std::make_shared<RecordingHandler>(7, log);
    auto low = std::make_shared<RecordingHandler>(2, log);
    timer->RegisterTimerHandler(7, high);
    timer->RegisterTimerHandler(2, low);

    ASSERT_EQ(timer->Start(), 0);
    ASSERT_TRUE(log.WaitFor("E7", 3));
    ASSERT_EQ(timer->Stop(), 0);

    std::vector<std::string> events = log.Events();
    // Each pass runs tag 2 before tag 7.
    std::vector<std::string> executes;
    for (const auto& e : events) {
        if (e[0] == 'E') {
            executes.push_back(e);
        }
    }
    ASSERT_GE(executes.size(), 6u);
    for (size_t i = 0; i + 1 < executes.size(); i += 2) {
        EXPECT_EQ(executes[i], "E2");
        EXPECT_EQ(executes[i + 1], "E7");
    }
    // Released once each, in tag order, after their last execution.
    ASSERT_EQ(log.Count("U2"), 1u);
    ASSERT_EQ(log.Count("U7"), 1u);
    EXPECT_EQ(events[events.size() - 2], "U2");
    EXPECT_EQ(events.back(), "U7");
    EXPECT_EQ(high->ThreadName(), "KTRX_ProfTimer");

    // A second stop has nothing left to release.
    EXPECT_EQ(timer->Stop(), 0);
    EXPECT_EQ(log.Count("U2"), 1u);
}

// A pass runs at least once even when the timer is stopped at once; a second
// start is refused while it runs, and a stopped timer starts again.
TEST(ProfTimerTest, PassRunsAtLeastOnceEvenWhenStoppedAtOnceAndSecondStartIsRefused) {
    EventLog log;
    TestLogCapture capture;
    auto timer = MakeTimer();
    timer->RegisterTimerHandler(1, std::make_shared<RecordingHandler>(1, log));
    ASSERT_EQ(timer->Start(), 0);
    EXPECT_EQ(timer->Start(), -1);
    EXPECT_EQ(capture.Matching("ProfTimer is running").size(), 1u);
    ASSERT_EQ(timer->Stop(), 0);
    EXPECT_GE(log.Count("E1"), 1u);
    EXPECT_EQ(log.Count("U1"), 1u);
    EXPECT_EQ(timer->Start(), 0);
    EXPECT_EQ(timer->Stop(), 0);
}

TEST(ProfTimerTest, RemovedHandlerIsReleasedOnceAndNeverRunsAgain) {
    EventLog log;
    auto timer = MakeTimer();
    timer->RegisterTimerHandler(1, std::make_shared<RecordingHandler>(1, log));
    timer->RegisterTimerHandler(2, std::make_shared<RecordingHandler>(2, log));
    ASSERT_EQ(timer->Start(), 0);
    ASSERT_TRUE(log.WaitFor("E1", 1));

    timer->RemoveTimerHandler(1);
    timer->RemoveTimerHandler(9);  // unknown: nothing happens
    size_t executedAtRemoval = log.Count("E1");
    // The other handler keeps running after the removal.
    ASSERT_TRUE(log.WaitFor("E2", log.Count("E2") + 2));
    ASSERT_EQ(timer->Stop(), 0);

    std::vector<std::string> events = log.Events();
    EXPECT_EQ(log.Count("E1"), executedAtRemoval);
    EXPECT_EQ(log.Count("U1"), 1u);
    EXPECT_LT(LastIndex(events, "E1"), FirstIndex(events, "U1"));
    EXPECT_EQ(log.Count("U2"), 1u);
}

TEST(TimerManagerTest, StopWithoutUserDoesNotUnbalanceTheCount) {
    EventLog log;
    TimerManager& manager = TimerManager::GetInstance();
    manager.StopProfTimer();
    manager.StopProfTimer();

    // The next start must still start a timer, and one stop must stop it.
    ASSERT_EQ(manager.StartProfTimer(), 0);
    manager.RegisterTimerHandler(5, std::make_shared<RecordingHandler>(5, log));
    ASSERT_TRUE(log.WaitFor("E5", 1));
    manager.StopProfTimer();
    EXPECT_EQ(log.Count("U5"), 1u);
}

}  // namespace
}  // namespace Analysis::Orbx::JobWrapper
