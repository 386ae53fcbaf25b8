#include "jobs/prof_timer.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <iterator>
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
    // Bounded, so that a broken timer fails the test instead of hanging it.
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
    RecordingHandler(uint32_t tag, EventLog& log, std::function<void()> onUninit = nullptr)
        : TimerHandler(tag), log_(log), onUninit_(std::move(onUninit)) {}
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
        if (onUninit_) {
            onUninit_();
        }
        return 0;
    }
    std::string ThreadName() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return threadName_;
    }

  private:
    EventLog& log_;
    const std::function<void()> onUninit_;
    mutable std::mutex mutex_;
    std::string threadName_;
};

constexpr uint64_t kMs = 1000000;

std::shared_ptr<ProfTimer> MakeTimer() {
    return std::make_shared<ProfTimer>(
        std::make_shared<TimerParam>(1000),
        [](std::condition_variable&, std::unique_lock<std::mutex>& lock, uint64_t) {
            lock.unlock();
            std::this_thread::yield();
            lock.lock();
        });
}

// Runs once every period of the test's clock (in ns).
class PeriodicHandler : public RecordingHandler {
  public:
    PeriodicHandler(uint32_t tag, uint64_t period, const std::atomic<uint64_t>& clock,
                    EventLog& log)
        : RecordingHandler(tag, log), period_(period), clock_(clock) {}
    void Execute() override {
        if (DueInNs() == 0) {
            last_ = clock_.load();
            RecordingHandler::Execute();
        }
    }
    uint64_t DueInNs() const override { return TimeUntilDue(last_, period_, clock_.load()); }

  private:
    const uint64_t period_;
    const std::atomic<uint64_t>& clock_;
    uint64_t last_ = 0;
};

// The timer's wait without a deadline: records what was asked and returns only when woken,
// by the timer itself or by the test (Elapse), as the deadline would.
class FakeWait {
  public:
    TimerWait Func() {
        return
            [this](std::condition_variable& cv, std::unique_lock<std::mutex>& lock, uint64_t ns) {
                {
                    std::lock_guard<std::mutex> guard(mutex_);
                    asked_.push_back(ns);
                    timerCv_ = &cv;
                    timerMutex_ = lock.mutex();
                }
                seen_.notify_all();
                // Woken by the timer's own notification; 10 s only bounds a lost one.
                cv.wait_for(lock, std::chrono::seconds(10));
            };
    }
    // The nth asked sleep (from 1); fails when the timer did not sleep that often within 5 s.
    uint64_t Asked(size_t n) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!seen_.wait_for(lock, std::chrono::seconds(5), [&] { return asked_.size() >= n; })) {
            ADD_FAILURE() << "the timer did not go to sleep a " << n << "th time";
            return 0;
        }
        return asked_[n - 1];
    }
    void Elapse() {
        std::condition_variable* cv = nullptr;
        std::mutex* timerMutex = nullptr;
        {
            std::lock_guard<std::mutex> guard(mutex_);
            cv = timerCv_;
            timerMutex = timerMutex_;
        }
        ASSERT_NE(cv, nullptr);
        std::lock_guard<std::mutex> guard(*timerMutex);
        cv->notify_all();
    }

  private:
    std::mutex mutex_;
    std::condition_variable seen_;
    std::vector<uint64_t> asked_;
    std::condition_variable* timerCv_ = nullptr;
    std::mutex* timerMutex_ = nullptr;
};

// A second start is refused while the timer runs; a stopped timer starts again.
TEST(ProfTimerTest, RunsHandlersInTagOrderOnItsThreadReleasesThemInTagOrderAtStopAndRestarts) {
    EventLog log;
    TestLogCapture capture;
    auto timer = MakeTimer();
    auto high = std::make_shared<RecordingHandler>(7, log);
    auto low = std::make_shared<RecordingHandler>(2, log);
    timer->RegisterTimerHandler(7, high);
    timer->RegisterTimerHandler(2, low);

    ASSERT_EQ(timer->Start(), 0);
    EXPECT_EQ(timer->Start(), -1);
    EXPECT_EQ(capture.Count("ProfTimer is running"), 1u);
    ASSERT_TRUE(log.WaitFor("E7", 3));
    ASSERT_EQ(timer->Stop(), 0);

    std::vector<std::string> events = log.Events();
    std::vector<std::string> executes;
    std::copy_if(events.begin(), events.end(), std::back_inserter(executes),
                 [](const std::string& e) { return e[0] == 'E'; });
    ASSERT_GE(executes.size(), 6u);
    for (size_t i = 0; i + 1 < executes.size(); i += 2) {
        EXPECT_EQ(executes[i], "E2");
        EXPECT_EQ(executes[i + 1], "E7");
    }
    ASSERT_EQ(log.Count("U2"), 1u);
    ASSERT_EQ(log.Count("U7"), 1u);
    EXPECT_EQ(events[events.size() - 2], "U2");
    EXPECT_EQ(events.back(), "U7");
    EXPECT_EQ(high->ThreadName(), "KTRX_ProfTimer");

    EXPECT_EQ(timer->Stop(), 0);
    EXPECT_EQ(log.Count("U2"), 1u);

    // Restarted and stopped at once, it still runs a pass.
    timer->RegisterTimerHandler(1, std::make_shared<RecordingHandler>(1, log));
    EXPECT_EQ(timer->Start(), 0);
    EXPECT_EQ(timer->Stop(), 0);
    EXPECT_GE(log.Count("E1"), 1u);
    EXPECT_EQ(log.Count("U1"), 1u);
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
    ASSERT_TRUE(log.WaitFor("E2", log.Count("E2") + 2));
    ASSERT_EQ(timer->Stop(), 0);

    std::vector<std::string> events = log.Events();
    EXPECT_EQ(log.Count("E1"), executedAtRemoval);
    EXPECT_EQ(log.Count("U1"), 1u);
    const auto released = std::find(events.begin(), events.end(), "U1");
    EXPECT_EQ(std::find(released, events.end(), "E1"), events.end()) << "ran after its release";
    EXPECT_EQ(log.Count("U2"), 1u);
}

// A handler runs once due and not before; a new or removed handler wakes the timer at once.
TEST(ProfTimerTest, SleepsUntilTheFirstHandlerIsDue) {
    EventLog log;
    std::atomic<uint64_t> clock{1000 * kMs};
    FakeWait wait;
    auto timer = std::make_shared<ProfTimer>(std::make_shared<TimerParam>(1000), wait.Func());
    timer->RegisterTimerHandler(1, std::make_shared<PeriodicHandler>(1, 100 * kMs, clock, log));
    ASSERT_EQ(timer->Start(), 0);

    EXPECT_EQ(wait.Asked(1), 100 * kMs);
    EXPECT_EQ(log.Count("E1"), 1u);
    clock += 60 * kMs;
    wait.Elapse();
    EXPECT_EQ(wait.Asked(2), 40 * kMs);
    EXPECT_EQ(log.Count("E1"), 1u) << "ran 40 ms early";
    clock += 39 * kMs + kMs / 2;
    wait.Elapse();
    EXPECT_EQ(wait.Asked(3), kMs) << "a pause shorter than the timer's";
    EXPECT_EQ(log.Count("E1"), 1u) << "ran 0.5 ms early";
    clock += kMs / 2;
    wait.Elapse();
    EXPECT_EQ(wait.Asked(4), 100 * kMs);
    EXPECT_EQ(log.Count("E1"), 2u) << "did not run when due";

    timer->RegisterTimerHandler(2, std::make_shared<PeriodicHandler>(2, 30 * kMs, clock, log));
    EXPECT_EQ(wait.Asked(5), 30 * kMs);
    EXPECT_EQ(log.Count("E2"), 1u);
    timer->RemoveTimerHandler(2);
    EXPECT_EQ(wait.Asked(6), 100 * kMs);
    timer->RemoveTimerHandler(1);
    EXPECT_EQ(wait.Asked(7), ProfTimer::kLongestWaitNs);
    EXPECT_EQ(log.Count("E1"), 2u);
    ASSERT_EQ(timer->Stop(), 0);
    EXPECT_EQ(log.Count("U1"), 1u);
    EXPECT_EQ(log.Count("U2"), 1u);
}

TEST(ProfTimerTest, StopWakesASleepingTimerAtOnce) {
    EventLog log;
    std::atomic<uint64_t> clock{1000 * kMs};  // never moves: the handler stays due in an hour
    auto timer = std::make_shared<ProfTimer>(std::make_shared<TimerParam>(1000));
    timer->RegisterTimerHandler(1, std::make_shared<PeriodicHandler>(1, 3600000 * kMs, clock, log));
    ASSERT_EQ(timer->Start(), 0);
    ASSERT_TRUE(log.WaitFor("E1", 1)) << "the first pass did not run";

    auto stopped = std::async(std::launch::async, [&timer] { return timer->Stop(); });
    ASSERT_EQ(stopped.wait_for(std::chrono::seconds(5)), std::future_status::ready)
        << "Stop did not wake the sleeping timer";
    EXPECT_EQ(stopped.get(), 0);
    EXPECT_EQ(log.Count("E1"), 1u);
    EXPECT_EQ(log.Count("U1"), 1u);
}

// The last user's stop releases the old timer's handlers without holding up another start; a
// stop without a user does not unbalance the count.
TEST(TimerManagerTest, StartDoesNotWaitForTheLastStopToEndTheOldTimer) {
    TimerManager& manager = TimerManager::GetInstance();
    manager.StopProfTimer();
    manager.StopProfTimer();
    EventLog log;
    std::promise<void> entered;
    std::promise<void> release;
    ASSERT_EQ(manager.StartProfTimer(), 0);
    manager.RegisterTimerHandler(6, std::make_shared<RecordingHandler>(6, log, [&] {
                                     entered.set_value();
                                     (void)release.get_future().wait_for(std::chrono::seconds(10));
                                 }));
    auto lastStop = std::async(std::launch::async, [&manager] { manager.StopProfTimer(); });
    ASSERT_EQ(entered.get_future().wait_for(std::chrono::seconds(5)), std::future_status::ready)
        << "the last stop did not release the handler";

    auto start = std::async(std::launch::async, [&manager] { return manager.StartProfTimer(); });
    bool started = start.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    release.set_value();
    lastStop.get();
    ASSERT_TRUE(started) << "the start waited for the old timer's stop";
    EXPECT_EQ(start.get(), 0);
    manager.RegisterTimerHandler(5, std::make_shared<RecordingHandler>(5, log));
    EXPECT_TRUE(log.WaitFor("E5", 1)) << "the new timer does not run";
    manager.StopProfTimer();
    EXPECT_EQ(log.Count("U5"), 1u);
}

}  // namespace
}  // namespace Analysis::Orbx::JobWrapper
