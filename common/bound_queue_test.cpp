#include "common/bound_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "testing/test_log_capture.h"

namespace analysis::orbx::common::queue {
namespace {

using IntQueue = BoundQueue<std::shared_ptr<int>>;

std::shared_ptr<int> Item(int value) {
    return std::make_shared<int>(value);
}

bool IsPending(const std::future<bool>& result) {
    return result.wait_for(std::chrono::seconds(0)) == std::future_status::timeout;
}

// Starts a push on its own thread; returns once it waits for room.
std::future<bool> PushIntoFullQueue(IntQueue& queue, int value, const TestLogCapture& log) {
    const size_t fullBefore = log.Count("QueueFull,QueueName");
    auto result =
        std::async(std::launch::async, [&queue, value] { return queue.Push(Item(value)); });
    EXPECT_TRUE(log.WaitFor("QueueFull,QueueName", fullBefore + 1));
    return result;
}

// A full queue blocks a push until a pop; Quit refuses the blocked push and later ones, and what
// is stored still drains through TryPop.
TEST(BoundQueueTest, FullQueueBlocksPushUntilPopOrQuitAndKeepsOrder) {
    TestLogCapture log;
    IntQueue queue(2);
    ASSERT_TRUE(queue.Push(Item(1)));
    ASSERT_TRUE(queue.Push(Item(2)));
    EXPECT_TRUE(queue.IsFull());
    EXPECT_EQ(log.Count("IsFULL, QueueName: BoundQueue, QueueCapacity:2, QueueSize:2"), 1u);

    auto third = PushIntoFullQueue(queue, 3, log);
    EXPECT_EQ(log.Count("QueueFull,QueueName: BoundQueue, QueueCapacity:2, QueueSize:2, "
                        "Percent:100.0000%"),
              1u);
    EXPECT_TRUE(IsPending(third));
    EXPECT_EQ(queue.Size(), 2u);
    std::shared_ptr<int> item;
    ASSERT_TRUE(queue.Pop(item));
    EXPECT_EQ(*item, 1);
    EXPECT_TRUE(third.get());

    auto fourth = PushIntoFullQueue(queue, 4, log);
    queue.Quit();
    queue.Quit();
    EXPECT_FALSE(fourth.get());
    EXPECT_FALSE(queue.Push(Item(5)));
    EXPECT_EQ(queue.Size(), 2u);
    for (int expected : {2, 3}) {
        ASSERT_TRUE(queue.TryPop(item));
        EXPECT_EQ(*item, expected);
    }
    EXPECT_FALSE(queue.TryPop(item));
    EXPECT_FALSE(queue.Pop(item));
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(*item, 3);  // left unchanged
}

TEST(BoundQueueTest, LogsFillLevelEvery500PushesUnderItsName) {
    TestLogCapture log;
    IntQueue queue(1000);
    queue.SetQueueName("UploaderQueue");
    queue.SetQueueName("");
    for (int i = 0; i < 499; ++i) {
        ASSERT_TRUE(queue.Push(Item(i)));
    }
    EXPECT_EQ(log.Count("HisMaxCut"), 0u);

    ASSERT_TRUE(queue.Push(Item(499)));  // finds 499 stored
    std::shared_ptr<int> item;
    for (int i = 0; i < 300; ++i) {
        ASSERT_TRUE(queue.TryPop(item));
    }
    for (int i = 0; i < 500; ++i) {  // the last one finds 699 stored
        ASSERT_TRUE(queue.Push(Item(i)));
    }
    EXPECT_EQ(log.Count("HisMaxCut"), 2u);
    EXPECT_EQ(log.Count("QueueName: UploaderQueue, QueueCapacity:1000, QueueSize:499, "
                        "HisMaxCut:499, Percent:49.9000%"),
              1u);
    EXPECT_EQ(log.Count("QueueName: UploaderQueue, QueueCapacity:1000, QueueSize:699, "
                        "HisMaxCut:699, Percent:69.9000%"),
              1u);
    EXPECT_EQ(log.Count("IsFULL"), 0u);
}

// Producers and consumers (Pop and TryPop) on a small queue: every item arrives exactly once,
// each producer's in order.
TEST(BoundQueueTest, ManyProducersAndConsumersDeliverEveryItemExactlyOnce) {
    TestLogCapture log("error");  // a full queue warns on every push
    constexpr int kProducers = 4;
    constexpr int kConsumers = 3;
    constexpr int kPerProducer = 20000;
    IntQueue queue(8);

    std::atomic<bool> producersDone{false};
    std::vector<std::vector<int>> received(kConsumers);
    std::vector<std::thread> consumers;
    // Consumer 0 polls with TryPop; the others block in Pop until the queue is quit and empty.
    consumers.emplace_back([&queue, &producersDone, &mine = received[0]] {
        std::shared_ptr<int> item;
        while (true) {
            if (queue.TryPop(item)) {
                mine.push_back(*item);
            } else if (producersDone.load()) {
                while (queue.TryPop(item)) {
                    mine.push_back(*item);
                }
                return;
            } else {
                std::this_thread::yield();
            }
        }
    });
    for (int c = 1; c < kConsumers; ++c) {
        consumers.emplace_back([&queue, &mine = received[c]] {
            std::shared_ptr<int> item;
            while (queue.Pop(item)) {
                mine.push_back(*item);
            }
        });
    }
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&queue, p] {
            for (int i = 0; i < kPerProducer; ++i) {
                ASSERT_TRUE(queue.Push(Item(p * kPerProducer + i)));
            }
        });
    }
    for (auto& producer : producers) {
        producer.join();
    }
    queue.Quit();
    producersDone.store(true);
    for (auto& consumer : consumers) {
        consumer.join();
    }

    std::set<int> all;
    size_t total = 0;
    for (const auto& mine : received) {
        std::vector<int> lastOfProducer(kProducers, -1);
        for (int value : mine) {
            const int producer = value / kPerProducer;
            EXPECT_GT(value, lastOfProducer[producer]);
            lastOfProducer[producer] = value;
        }
        total += mine.size();
        all.insert(mine.begin(), mine.end());
    }
    EXPECT_EQ(total, static_cast<size_t>(kProducers * kPerProducer));
    EXPECT_EQ(all.size(), static_cast<size_t>(kProducers * kPerProducer));
}

}  // namespace
}  // namespace analysis::orbx::common::queue
