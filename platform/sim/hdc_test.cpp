// Contracts of the simulated HDC the daemon's own tests would not show broken: whole messages
// from concurrent senders, and reset.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "ostrel/hal.h"
#include "ostrel/sim_control.h"
#include "testing/sim_test_util.h"

namespace {

using ostrel::simtest::Buffers;
using ostrel::simtest::RecvRaw;
using ostrel::simtest::ResetSim;
using ostrel::simtest::SendRaw;
using ostrel::simtest::ThreadId;
using ostrel::simtest::WaitBlockedInPoll;

constexpr int kService = HDC_SERVICE_TYPE_IDE;

class HdcTest : public ::testing::Test {
  protected:
    void SetUp() override { ResetSim(); }
    void TearDown() override { ResetSim(); }

    void Open(int dev = 0) {
        ASSERT_EQ(DRV_ERROR_NONE, drvHdcServerCreate(dev, kService, &server_));
        ASSERT_EQ(DRV_ERROR_NONE, drvHdcClientCreate(&client_, HDC_MAX_SESSION_NUM, kService, 0));
        ASSERT_EQ(DRV_ERROR_NONE, drvHdcSessionConnect(0, dev, client_, &host_));
        ASSERT_EQ(DRV_ERROR_NONE, drvHdcSessionAccept(server_, &device_));
        ASSERT_EQ(DRV_ERROR_NONE, drvHdcSetSessionReference(device_));
    }

    HDC_SERVER server_ = nullptr;
    HDC_CLIENT client_ = nullptr;
    HDC_SESSION host_ = nullptr;
    HDC_SESSION device_ = nullptr;
};

TEST_F(HdcTest, MessagesFromTwoSendingThreadsDoNotInterleave) {
    Open();
    constexpr int kEach = 40;
    auto send = [&](char tag) {
        for (int i = 0; i < kEach; ++i) {
            ASSERT_EQ(DRV_ERROR_NONE,
                      SendRaw(host_, {std::string(1, tag), std::string(200000, tag)}));
        }
    };
    std::thread a(send, 'a');
    std::thread b(send, 'b');
    int counts[2] = {0, 0};
    for (int i = 0; i < 2 * kEach; ++i) {
        Buffers got;
        ASSERT_EQ(DRV_ERROR_NONE, RecvRaw(device_, &got));
        ASSERT_EQ(2u, got.size());
        ASSERT_EQ(std::string(200000, got[0][0]), got[1]);
        counts[got[0][0] - 'a']++;
    }
    a.join();
    b.join();
    EXPECT_EQ(kEach, counts[0]);
    EXPECT_EQ(kEach, counts[1]);
}

TEST_F(HdcTest, ResetClosesEverythingAndWakesBlockedCalls) {
    Open();
    std::atomic<long> tid{0};
    auto blocked = std::async(std::launch::async, [&] {
        tid = ThreadId();
        Buffers got;
        return RecvRaw(device_, &got);
    });
    EXPECT_TRUE(WaitBlockedInPoll(tid));
    ostrel_sim_reset();
    ASSERT_EQ(std::future_status::ready, blocked.wait_for(std::chrono::seconds(5)))
        << "the blocked receive did not end at the reset within 5 s";
    EXPECT_EQ(DRV_ERROR_SESSION_CLOSED, blocked.get());
    EXPECT_EQ(0u, ostrel_sim_open_handles(OSTREL_SIM_HANDLE_SESSION));
    EXPECT_EQ(0u, ostrel_sim_open_handles(OSTREL_SIM_HANDLE_SERVER));
    EXPECT_EQ(0u, ostrel_sim_open_handles(OSTREL_SIM_HANDLE_CLIENT));
}

}  // namespace
