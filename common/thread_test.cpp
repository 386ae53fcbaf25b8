#include "common/thread.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "testing/test_log_capture.h"

namespace analysis::orbx::common::thread {
namespace {

using Analysis::Orbx::GxprofErrMgr::GxprofErrorManager;

template <typename Future>
::testing::AssertionResult Within(Future& f, const char* what) {
    if (f.wait_for(std::chrono::seconds(5)) == std::future_status::ready) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << what << " did not happen within 5 s";
}

std::string CurrentOsThreadName() {
    char name[32] = {};
    pthread_getname_np(pthread_self(), name, sizeof(name));
    return name;
}

// Runs until asked to quit, reporting what it saw when it began.
class LoopThread : public Thread {
  public:
    ~LoopThread() override { Stop(); }

    std::future<void> Began() { return began_.get_future(); }
    int Runs() const { return runs_.load(); }
    std::string OsName() const { return osName_; }
    ErrorContext Context() const { return context_; }

  protected:
    void Run(const ErrorContext& context) override {
        context_ = context;
        osName_ = CurrentOsThreadName();
        if (runs_.fetch_add(1) == 0) {
            began_.set_value();
        }
        while (!IsQuit()) {
            std::this_thread::yield();
        }
    }

  private:
    std::promise<void> began_;
    std::atomic<int> runs_{0};
    std::string osName_;
    ErrorContext context_{7, "x", "y", "z"};
};

TEST(ThreadTest, RunsNamedThreadWithDefaultErrorContextUntilStoppedAndRestarts) {
    TestLogCapture log;
    // Starting threads hand over the empty error context, not the caller's.
    GxprofErrorManager::GetInstance().SetErrorContext({42, "module", "code", "message"});

    LoopThread worker;
    EXPECT_EQ(worker.Stop(), 0);  // before any start
    EXPECT_TRUE(worker.IsQuit());
    worker.SetThreadName("KTRX_TestWorker");
    ASSERT_EQ(worker.Start(), 0);
    auto began = worker.Began();
    ASSERT_TRUE(Within(began, "the thread's start"));
    EXPECT_FALSE(worker.IsQuit());  // Start cleared the quit
    EXPECT_EQ(worker.Start(), 0);   // already running: no second thread

    EXPECT_EQ(worker.Stop(), 0);
    EXPECT_TRUE(worker.IsQuit());
    EXPECT_EQ(worker.Runs(), 1);
    EXPECT_EQ(worker.OsName(), "KTRX_TestWorker");
    const ErrorContext seen = worker.Context();
    EXPECT_TRUE(seen.id == 0 && seen.module.empty() && seen.code.empty() && seen.message.empty());
    EXPECT_EQ(log.Count("New thread KTRX_TestWorker begins to run"), 1u);
    EXPECT_EQ(worker.Stop(), 0);   // stopping twice is harmless
    ASSERT_EQ(worker.Start(), 0);  // a stopped thread starts again
    EXPECT_EQ(worker.Stop(), 0);
    EXPECT_EQ(worker.Runs(), 2);
}

// Its body ends by stopping itself, as a receiver does when its session breaks.
class SelfStoppingThread : public Thread {
  public:
    ~SelfStoppingThread() override { Stop(); }
    std::future<int> InnerStop() { return innerStop_.get_future(); }

  protected:
    void Run(const ErrorContext&) override { innerStop_.set_value(Stop()); }

  private:
    std::promise<int> innerStop_;
};

TEST(ThreadTest, StopFromItsOwnRunReturnsWithoutJoiningAndOwnerJoinsLater) {
    SelfStoppingThread worker;
    auto innerStop = worker.InnerStop();
    ASSERT_EQ(worker.Start(), 0);
    ASSERT_TRUE(Within(innerStop, "the thread's stop of itself"));
    EXPECT_EQ(innerStop.get(), 0);
    EXPECT_TRUE(worker.IsQuit());
    EXPECT_EQ(worker.Stop(), 0);
}

class HeldThread : public Thread {
  public:
    explicit HeldThread(std::shared_future<void> release) : release_(std::move(release)) {}
    ~HeldThread() override { Stop(); }
    std::future<void> SawQuit() { return sawQuit_.get_future(); }

  protected:
    void Run(const ErrorContext&) override {
        while (!IsQuit()) {
            std::this_thread::yield();
        }
        sawQuit_.set_value();
        release_.wait();
    }

  private:
    std::shared_future<void> release_;
    std::promise<void> sawQuit_;
};

TEST(ThreadTest, StopNoWaitOnlyAsksTheThreadToEnd) {
    std::promise<void> release;
    HeldThread worker(release.get_future().share());
    auto sawQuit = worker.SawQuit();
    ASSERT_EQ(worker.Start(), 0);
    worker.StopNoWait();  // returns although the thread cannot end yet
    EXPECT_TRUE(worker.IsQuit());
    EXPECT_TRUE(Within(sawQuit, "the thread's sight of the quit request"));
    release.set_value();
    EXPECT_EQ(worker.Stop(), 0);
}

// Drops the last reference to itself from its own body.
class SelfOwnedThread : public Thread {
  public:
    explicit SelfOwnedThread(std::promise<void>& destroyed) : destroyed_(destroyed) {}
    ~SelfOwnedThread() override { destroyed_.set_value(); }
    void Own(std::shared_ptr<SelfOwnedThread> self) { self_ = std::move(self); }

  protected:
    void Run(const ErrorContext&) override {
        std::shared_ptr<SelfOwnedThread> last = std::move(self_);
        last.reset();  // nothing of this object may be touched from here on
    }

  private:
    std::promise<void>& destroyed_;
    std::shared_ptr<SelfOwnedThread> self_;
};

TEST(ThreadTest, DestroyedOnItsOwnThreadDoesNotWaitForItself) {
    TestLogCapture log;
    std::promise<void> destroyed;
    auto done = destroyed.get_future();
    {
        auto worker = std::make_shared<SelfOwnedThread>(destroyed);
        worker->Own(worker);
        ASSERT_EQ(worker->Start(), 0);
    }
    EXPECT_TRUE(Within(done, "the thread's destruction of itself"));
    EXPECT_EQ(log.Count("Failed to stop thread."), 0u);
}

}  // namespace
}  // namespace analysis::orbx::common::thread
