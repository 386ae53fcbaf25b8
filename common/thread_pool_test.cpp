#include "common/thread_pool.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "testing/process.h"
#include "testing/test_log_capture.h"

namespace analysis::orbx::common::thread {
namespace {

std::string CurrentOsThreadName() {
    char name[32] = {};
    pthread_getname_np(pthread_self(), name, sizeof(name));
    return name;
}

// Waits until count tasks have completed; fails after 5 s.
::testing::AssertionResult Completed(const std::atomic<int>& done, int count) {
    if (oru_testing::WaitUntil([&] { return done.load() >= count; }, std::chrono::seconds(5))) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "task " << count << " did not complete within 5 s";
}

class FunctionTask : public Task {
  public:
    FunctionTask(uint32_t key, std::function<void()> work) : key_(key), work_(std::move(work)) {}
    int Execute() override {
        work_();
        return 0;
    }
    uint32_t HashId() override { return key_; }

  private:
    uint32_t key_;
    std::function<void()> work_;
};

std::shared_ptr<Task> MakeTask(uint32_t key, std::function<void()> work) {
    return std::make_shared<FunctionTask>(key, std::move(work));
}

TEST(ThreadPoolTest, RoundRobinVisitsThreadsInTurn) {
    ThreadPool pool(0, 3);
    pool.SetThreadPoolNamePrefix("KTRX_Pool_");
    ASSERT_EQ(pool.Start(), 0);
    ASSERT_TRUE(pool.IsRunning());

    constexpr int kTasks = 5;
    std::vector<std::string> ranOn(kTasks);
    std::atomic<int> done{0};
    for (int i = 0; i < kTasks; ++i) {
        // The key would send every task to thread 1 if it were used.
        ASSERT_TRUE(pool.Dispatch(MakeTask(1, [&, i] {
            ranOn[i] = CurrentOsThreadName();
            ++done;
        })));
    }
    EXPECT_TRUE(Completed(done, kTasks));
    EXPECT_EQ(ranOn, (std::vector<std::string>{"KTRX_Pool_0", "KTRX_Pool_1", "KTRX_Pool_2",
                                               "KTRX_Pool_0", "KTRX_Pool_1"}));
    pool.Stop();
    EXPECT_FALSE(pool.IsRunning());
    EXPECT_FALSE(pool.Dispatch(MakeTask(0, [] {})));
}

// Producers dispatch numbered tasks under a few keys: every task of a key runs on thread key
// mod 4, and one producer's tasks of a key in order.
TEST(ThreadPoolTest, DispatchByKeyKeepsEachKeyOnOneThreadInOrder) {
    constexpr uint32_t kThreads = 4;
    constexpr uint32_t kKeys = 7;
    constexpr int kProducers = 3;
    constexpr int kPerKey = 300;
    TestLogCapture quiet("error");  // the small queues warn whenever full
    ThreadPool pool(ThreadPool::kDispatchByHashId, kThreads);
    pool.SetThreadPoolNamePrefix("KTRX_Key_");
    pool.SetThreadPoolQueueSize(4);
    ASSERT_EQ(pool.Start(), 0);

    struct Record {
        std::string thread;
        int producer;
        uint32_t key;
        int seq;
    };
    std::mutex mutex;
    std::vector<Record> records;
    std::atomic<int> done{0};
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&, p] {
            for (int seq = 0; seq < kPerKey; ++seq) {
                for (uint32_t key = 0; key < kKeys; ++key) {
                    EXPECT_TRUE(pool.Dispatch(MakeTask(key, [&, p, key, seq] {
                        const std::string name = CurrentOsThreadName();
                        {
                            std::lock_guard<std::mutex> lock(mutex);
                            records.push_back({name, p, key, seq});
                        }
                        ++done;
                    })));
                }
            }
        });
    }
    for (auto& producer : producers) {
        producer.join();
    }
    const int total = kProducers * kPerKey * static_cast<int>(kKeys);
    EXPECT_TRUE(Completed(done, total));
    pool.Stop();

    ASSERT_EQ(records.size(), static_cast<size_t>(total));
    std::map<std::pair<int, uint32_t>, int> lastSeq;
    for (const Record& r : records) {
        EXPECT_EQ(r.thread, "KTRX_Key_" + std::to_string(r.key % kThreads));
        auto [it, inserted] = lastSeq.try_emplace({r.producer, r.key}, -1);
        EXPECT_EQ(r.seq, it->second + 1) << "producer " << r.producer << " key " << r.key;
        it->second = r.seq;
    }
}

// Tasks queued behind one that holds the worker until the stop must still run before Stop returns.
TEST(InnnerThreadTest, TasksQueuedWhenStoppingAreExecutedBeforeTheThreadEnds) {
    auto worker = std::make_shared<ThreadPool::InnnerThread>(64);
    EXPECT_FALSE(worker->AddTask(MakeTask(0, [] {})));  // no queue before Start
    worker->SetThreadName("KTRX_Inner");
    ASSERT_EQ(worker->Start(), 0);
    std::atomic<int> executed{0};
    ThreadPool::InnnerThread* self = worker.get();
    ASSERT_TRUE(worker->AddTask(MakeTask(0, [self] {
        while (!self->IsQuit()) {
            std::this_thread::yield();
        }
    })));
    for (int i = 0; i < 10; ++i) {
        ASSERT_TRUE(worker->AddTask(MakeTask(0, [&] { ++executed; })));
    }
    EXPECT_EQ(worker->Stop(), 0);
    EXPECT_EQ(executed.load(), 10);
    EXPECT_FALSE(worker->AddTask(MakeTask(0, [&] { ++executed; })));
    EXPECT_EQ(worker->Stop(), 0);
}

}  // namespace
}  // namespace analysis::orbx::common::thread
