#include "common/singleton.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

namespace analysis::orbx::common::singleton {
namespace {

std::atomic<int> g_constructed{0};

class CountedService : public Singleton<CountedService> {
  public:
    CountedService() { ++g_constructed; }
    int value = 5;
};

TEST(SingletonTest, ConcurrentFirstUseCreatesOneInstance) {
    constexpr int kThreads = 8;
    std::promise<void> go;
    std::shared_future<void> start = go.get_future().share();
    std::vector<std::future<CountedService*>> seen;
    for (int i = 0; i < kThreads; ++i) {
        seen.push_back(std::async(std::launch::async, [start] {
            start.wait();
            return &CountedService::GetInstance();
        }));
    }
    go.set_value();
    for (auto& f : seen) {
        ASSERT_EQ(f.wait_for(std::chrono::seconds(5)), std::future_status::ready)
            << "a first use did not return within 5 s";
    }
    CountedService* first = seen[0].get();
    for (int i = 1; i < kThreads; ++i) {
        EXPECT_EQ(seen[i].get(), first);
    }
    EXPECT_EQ(g_constructed.load(), 1);
    EXPECT_EQ(first->value, 5);
}

}  // namespace
}  // namespace analysis::orbx::common::singleton
