// Contracts of the simulated HDC: message framing, session end, no-wait
// receive, wake-up of blocked calls, handles, attributes and injected faults.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "ostrel/hal.h"
#include "ostrel/sim_control.h"
#include "platform/sim/sim_test_util.h"

namespace {

using ostrel::simtest::Buffers;
using ostrel::simtest::Pattern;
using ostrel::simtest::RecvRaw;
using ostrel::simtest::ResetSim;
using ostrel::simtest::SendRaw;
using ostrel::simtest::ThreadId;
using ostrel::simtest::UseSetting;
using ostrel::simtest::WaitBlockedInPoll;

constexpr int kService = HDC_SERVICE_TYPE_IDE;

class HdcTest : public ::testing::Test {
  protected:
    void SetUp() override { ResetSim(); }
    void TearDown() override {
        ResetSim();
        signal(SIGUSR1, SIG_DFL);
    }

    // Server on `dev`, client, and one connected pair of sessions.
    void Open(int dev = 0) {
        ASSERT_EQ(DRV_ERROR_NONE, drvHdcServerCreate(dev, kService, &server_));
        ASSERT_EQ(DRV_ERROR_NONE, drvHdcClientCreate(&client_, HDC_MAX_SESSION_NUM, kService, 0));
        ASSERT_EQ(DRV_ERROR_NONE, drvHdcSessionConnect(0, dev, client_, &host_));
        ASSERT_EQ(DRV_ERROR_NONE, drvHdcSessionAccept(server_, &device_));
        ASSERT_EQ(DRV_ERROR_NONE, drvHdcSetSessionReference(device_));
    }

    // Runs `call` on a thread of its own, waits until it blocks in the kernel,
    // runs `wake` and returns what the call then returned.
    template <class Call, class Wake>
    drvError_t WakeBlocked(Call call, Wake wake) {
        std::atomic<long> tid{0};
        auto blocked = std::async(std::launch::async, [&] {
            tid = ThreadId();
            return call();
        });
        EXPECT_TRUE(WaitBlockedInPoll(tid));
        wake();
        EXPECT_EQ(std::future_status::ready, blocked.wait_for(std::chrono::seconds(60)));
        return blocked.get();
    }
    drvError_t Receive(HDC_SESSION session) {
        Buffers got;
        return RecvRaw(session, &got);
    }

    HDC_SERVER server_ = nullptr;
    HDC_CLIENT client_ = nullptr;
    HDC_SESSION host_ = nullptr;
    HDC_SESSION device_ = nullptr;
};

TEST_F(HdcTest, MessageWithSeveralBuffersArrivesAsOneReceiveInOrder) {
    Open();
    Buffers first = {"alpha", Pattern(1000, 1), "z"};
    Buffers second = {Pattern(70000, 2)};
    ASSERT_EQ(DRV_ERROR_NONE, SendRaw(host_, first));
    ASSERT_EQ(DRV_ERROR_NONE, SendRaw(host_, second));
    Buffers got;
    ASSERT_EQ(DRV_ERROR_NONE, RecvRaw(device_, &got));
    EXPECT_EQ(first, got);
    ASSERT_EQ(DRV_ERROR_NONE, RecvRaw(device_, &got));
    EXPECT_EQ(second, got);
    // And the other way round.
    ASSERT_EQ(DRV_ERROR_NONE, SendRaw(device_, {"reply", "two"}));
    ASSERT_EQ(DRV_ERROR_NONE, RecvRaw(host_, &got));
    EXPECT_EQ((Buffers{"reply", "two"}), got);
}

TEST_F(HdcTest, FullSizeSegmentsStreamInOrderWhileTheReceiverDrains) {
    Open();
    drvHdcCapacity cap = {HDC_CHAN_TYPE_SOCKET, 0};
    ASSERT_EQ(DRV_ERROR_NONE, drvHdcGetCapacity(&cap));
    constexpr int kMessages = 24;
    std::thread sender([&] {
        for (int i = 0; i < kMessages; ++i) {
            // Each message is larger than the socket buffer, so it is written in parts.
            ASSERT_EQ(DRV_ERROR_NONE,
                      SendRaw(host_, {Pattern(cap.maxSegment, i), Pattern(12, i + 100)}));
        }
    });
    for (int i = 0; i < kMessages; ++i) {
        Buffers got;
        ASSERT_EQ(DRV_ERROR_NONE, RecvRaw(device_, &got));
        ASSERT_EQ(2u, got.size());
        EXPECT_TRUE(got[0] == Pattern(cap.maxSegment, i)) << "message " << i;
        EXPECT_EQ(Pattern(12, i + 100), got[1]);
    }
    sender.join();
}

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

TEST_F(HdcTest, ReceiveReportsClosedPeerWithCode25) {
    Open();
    ASSERT_EQ(DRV_ERROR_NONE, SendRaw(host_, {"last words"}));
    ASSERT_EQ(DRV_ERROR_NONE, drvHdcSessionClose(host_));
    Buffers got;
    // What was sent before the close is still delivered.
    ASSERT_EQ(DRV_ERROR_NONE, RecvRaw(device_, &got));
    EXPECT_EQ(Buffers{"last words"}, got);
    EXPECT_EQ(DRV_ERROR_SESSION_CLOSED, RecvRaw(device_, &got));
    EXPECT_EQ(DRV_ERROR_SESSION_CLOSED, RecvRaw(device_, &got, HDC_FLAG_NOWAIT));
    EXPECT_EQ(DRV_ERROR_SESSION_CLOSED, SendRaw(device_, {"anyone?"}));
}

TEST_F(HdcTest, NoWaitReceiveReportsNoDataWith36) {
    Open();
    Buffers got;
    EXPECT_EQ(DRV_ERROR_NO_DATA, RecvRaw(device_, &got, HDC_FLAG_NOWAIT));
    ASSERT_EQ(DRV_ERROR_NONE, SendRaw(host_, {"now"}));
    // The message may take a moment to become readable; it never becomes 36 again.
    drvError_t rc;
    while ((rc = RecvRaw(device_, &got, HDC_FLAG_NOWAIT)) == DRV_ERROR_NO_DATA) {
        std::this_thread::yield();
    }
    EXPECT_EQ(DRV_ERROR_NONE, rc);
    EXPECT_EQ(Buffers{"now"}, got);
    EXPECT_EQ(DRV_ERROR_NO_DATA, RecvRaw(device_, &got, HDC_FLAG_NOWAIT));
}

TEST_F(HdcTest, ClosingASessionWakesAThreadBlockedInReceive) {
    Open();
    EXPECT_EQ(DRV_ERROR_SESSION_CLOSED,
              WakeBlocked([&] { return Receive(device_); },
                          [&] { ASSERT_EQ(DRV_ERROR_NONE, drvHdcSessionClose(device_)); }));
    // The closed handle is refused from now on; the peer sees the end.
    Buffers got;
    EXPECT_EQ(DRV_ERROR_INVALID_VALUE, RecvRaw(device_, &got));
    EXPECT_EQ(DRV_ERROR_INVALID_VALUE, drvHdcSessionClose(device_));
    EXPECT_EQ(DRV_ERROR_SESSION_CLOSED, RecvRaw(host_, &got));
}

TEST_F(HdcTest, DestroyingAServerWakesAThreadBlockedInAccept) {
    ASSERT_EQ(DRV_ERROR_NONE, drvHdcServerCreate(0, kService, &server_));
    HDC_SESSION s = nullptr;
    drvError_t rc = WakeBlocked([&] { return drvHdcSessionAccept(server_, &s); },
                                [&] { ASSERT_EQ(DRV_ERROR_NONE, drvHdcServerDestroy(server_)); });
    EXPECT_NE(DRV_ERROR_NONE, rc);
    EXPECT_NE(DRV_ERROR_INTERRUPTED, rc);  // not to be mistaken for a signal
    EXPECT_EQ(DRV_ERROR_INVALID_VALUE, drvHdcSessionAccept(server_, &s));
    EXPECT_EQ(DRV_ERROR_INVALID_VALUE, drvHdcServerDestroy(server_));
    // The device can serve again at once, and a host reaches the new server.
    Open();
    Buffers got;
    ASSERT_EQ(DRV_ERROR_NONE, SendRaw(host_, {"again"}));
    ASSERT_EQ(DRV_ERROR_NONE, RecvRaw(device_, &got));
    EXPECT_EQ(Buffers{"again"}, got);
}

void OnSignal(int) {}

TEST_F(HdcTest, ASignalInterruptsAcceptWithCode4AndKeepsTheServer) {
    struct sigaction sa = {};
    sa.sa_handler = OnSignal;  // no SA_RESTART
    ASSERT_EQ(0, sigaction(SIGUSR1, &sa, nullptr));
    ASSERT_EQ(DRV_ERROR_NONE, drvHdcServerCreate(0, kService, &server_));
    pthread_t thread{};
    HDC_SESSION s = nullptr;
    EXPECT_EQ(DRV_ERROR_INTERRUPTED, WakeBlocked(
                                         [&] {
                                             thread = pthread_self();
                                             return drvHdcSessionAccept(server_, &s);
                                         },
                                         [&] { ASSERT_EQ(0, pthread_kill(thread, SIGUSR1)); }));
    // The server is still there and accepts the next session.
    ASSERT_EQ(DRV_ERROR_NONE, drvHdcClientCreate(&client_, 4, kService, 0));
    ASSERT_EQ(DRV_ERROR_NONE, drvHdcSessionConnect(0, 0, client_, &host_));
    EXPECT_EQ(DRV_ERROR_NONE, drvHdcSessionAccept(server_, &device_));
}

TEST_F(HdcTest, CapacityReportsTheConfiguredSegmentAndSendsRespectIt) {
    drvHdcCapacity cap = {HDC_CHAN_TYPE_SOCKET, 0};
    ASSERT_EQ(DRV_ERROR_NONE, drvHdcGetCapacity(&cap));
    EXPECT_EQ(524288u, cap.maxSegment);

    UseSetting("OSTREL_SIM_MAX_SEGMENT", "4096");
    ASSERT_EQ(DRV_ERROR_NONE, drvHdcGetCapacity(&cap));
    EXPECT_EQ(4096u, cap.maxSegment);
    Open();
    EXPECT_EQ(DRV_ERROR_INVALID_VALUE, SendRaw(host_, {Pattern(4097, 1)}));
    ASSERT_EQ(DRV_ERROR_NONE, SendRaw(host_, {Pattern(4096, 1)}));
    Buffers got;
    ASSERT_EQ(DRV_ERROR_NONE, RecvRaw(device_, &got));
    EXPECT_EQ(Buffers{Pattern(4096, 1)}, got);
}

TEST_F(HdcTest, HandlesAreNeverReused) {
    Open();
    HDC_SESSION old = host_;
    ASSERT_EQ(DRV_ERROR_NONE, drvHdcSessionClose(host_));
    for (int i = 0; i < 3; ++i) {
        HDC_SESSION s = nullptr;
        ASSERT_EQ(DRV_ERROR_NONE, drvHdcSessionConnect(0, 0, client_, &s));
        EXPECT_NE(old, s);
        ASSERT_EQ(DRV_ERROR_NONE, drvHdcSessionClose(s));
    }
    EXPECT_EQ(DRV_ERROR_INVALID_VALUE, SendRaw(old, {"stale"}));
}

TEST_F(HdcTest, AClientOpensAtMostItsMaximumOfSessions) {
    ASSERT_EQ(DRV_ERROR_NONE, drvHdcServerCreate(0, kService, &server_));
    ASSERT_EQ(DRV_ERROR_NONE, drvHdcClientCreate(&client_, 2, kService, 0));
    HDC_SESSION s[3] = {};
    ASSERT_EQ(DRV_ERROR_NONE, drvHdcSessionConnect(0, 0, client_, &s[0]));
    ASSERT_EQ(DRV_ERROR_NONE, drvHdcSessionConnect(0, 0, client_, &s[1]));
    EXPECT_NE(DRV_ERROR_NONE, drvHdcSessionConnect(0, 0, client_, &s[2]));
    ASSERT_EQ(DRV_ERROR_NONE, drvHdcSessionClose(s[0]));
    EXPECT_EQ(DRV_ERROR_NONE, drvHdcSessionConnect(0, 0, client_, &s[2]));
}

TEST_F(HdcTest, ResetClosesEverythingAndWakesBlockedCalls) {
    Open();
    EXPECT_EQ(DRV_ERROR_SESSION_CLOSED,
              WakeBlocked([&] { return Receive(device_); }, [] { ostrel_sim_reset(); }));
    EXPECT_EQ(0u, ostrel_sim_open_handles(OSTREL_SIM_HANDLE_SESSION));
    EXPECT_EQ(0u, ostrel_sim_open_handles(OSTREL_SIM_HANDLE_SERVER));
    EXPECT_EQ(0u, ostrel_sim_open_handles(OSTREL_SIM_HANDLE_CLIENT));
}

// ---- injected faults ------------------------------------------------------

TEST_F(HdcTest, ServerCreateAndDestroyFailAsOftenAsInjectedOrWhileTheDeviceIsNotReady) {
    ASSERT_EQ(0, ostrel_sim_fault_set(OSTREL_SIM_FAULT_SERVER_CREATE, DRV_ERROR_NOT_READY, 2));
    EXPECT_EQ(DRV_ERROR_NOT_READY, drvHdcServerCreate(0, kService, &server_));
    EXPECT_EQ(DRV_ERROR_NOT_READY, drvHdcServerCreate(0, kService, &server_));
    ASSERT_EQ(DRV_ERROR_NONE, drvHdcServerCreate(0, kService, &server_));
    EXPECT_EQ(3u, ostrel_sim_call_count(OSTREL_SIM_FAULT_SERVER_CREATE));

    ASSERT_EQ(0, ostrel_sim_fault_set(OSTREL_SIM_FAULT_SERVER_DESTROY, DRV_ERROR_BUSY, 1));
    EXPECT_EQ(DRV_ERROR_BUSY, drvHdcServerDestroy(server_));
    EXPECT_EQ(1u, ostrel_sim_open_handles(OSTREL_SIM_HANDLE_SERVER));  // still there
    EXPECT_EQ(DRV_ERROR_NONE, drvHdcServerDestroy(server_));

    // A device can be not ready for a while; the others are not held up.
    UseSetting("OSTREL_SIM_DEVICES", "2");
    ASSERT_EQ(0, ostrel_sim_device_not_ready(1, 3));
    EXPECT_EQ(-1, ostrel_sim_device_not_ready(2, 1));
    HDC_SERVER other = nullptr;
    ASSERT_EQ(DRV_ERROR_NONE, drvHdcServerCreate(0, kService, &server_));
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(DRV_ERROR_NOT_READY, drvHdcServerCreate(1, kService, &other));
    }
    EXPECT_EQ(DRV_ERROR_NONE, drvHdcServerCreate(1, kService, &other));
}

TEST_F(HdcTest, InjectedAcceptAndSendFaultsReturnAtOnceAndSendNothing) {
    Open();
    ASSERT_EQ(0, ostrel_sim_fault_set(OSTREL_SIM_FAULT_ACCEPT, DRV_ERROR_INTERRUPTED, 1));
    HDC_SESSION s = nullptr;
    EXPECT_EQ(DRV_ERROR_INTERRUPTED, drvHdcSessionAccept(server_, &s));
    ASSERT_EQ(0, ostrel_sim_fault_set(OSTREL_SIM_FAULT_ACCEPT, DRV_ERROR_IO, 1));
    EXPECT_EQ(DRV_ERROR_IO, drvHdcSessionAccept(server_, &s));
    HDC_SESSION host = nullptr;
    ASSERT_EQ(DRV_ERROR_NONE, drvHdcSessionConnect(0, 0, client_, &host));
    EXPECT_EQ(DRV_ERROR_NONE, drvHdcSessionAccept(server_, &s));

    ASSERT_EQ(0, ostrel_sim_fault_set(OSTREL_SIM_FAULT_SEND, DRV_ERROR_IO, 1));
    EXPECT_EQ(DRV_ERROR_IO, SendRaw(host_, {"lost"}));
    ASSERT_EQ(DRV_ERROR_NONE, SendRaw(host_, {"kept"}));
    Buffers got;
    ASSERT_EQ(DRV_ERROR_NONE, RecvRaw(device_, &got));
    EXPECT_EQ(Buffers{"kept"}, got);
}

TEST_F(HdcTest, InjectedCapacityAttributeAndReceiveFaults) {
    Open();
    drvHdcCapacity cap = {HDC_CHAN_TYPE_SOCKET, 0};
    ASSERT_EQ(0, ostrel_sim_fault_set_value(OSTREL_SIM_FAULT_CAPACITY, 1023, 1));
    ASSERT_EQ(DRV_ERROR_NONE, drvHdcGetCapacity(&cap));
    EXPECT_EQ(1023u, cap.maxSegment);
    ASSERT_EQ(0, ostrel_sim_fault_set(OSTREL_SIM_FAULT_CAPACITY, DRV_ERROR_IO, 1));
    EXPECT_EQ(DRV_ERROR_IO, drvHdcGetCapacity(&cap));
    ASSERT_EQ(DRV_ERROR_NONE, drvHdcGetCapacity(&cap));
    EXPECT_EQ(524288u, cap.maxSegment);

    int value = 0;
    ASSERT_EQ(0, ostrel_sim_fault_set(OSTREL_SIM_FAULT_SESSION_ATTR, DRV_ERROR_IO, 1));
    EXPECT_EQ(DRV_ERROR_IO, halHdcGetSessionAttr(device_, HDC_SESSION_ATTR_VFID, &value));
    EXPECT_EQ(DRV_ERROR_NONE, halHdcGetSessionAttr(device_, HDC_SESSION_ATTR_VFID, &value));

    ASSERT_EQ(0, ostrel_sim_fault_set(OSTREL_SIM_FAULT_RECV, DRV_ERROR_SESSION_CLOSED, 1));
    Buffers got;
    EXPECT_EQ(DRV_ERROR_SESSION_CLOSED, RecvRaw(device_, &got));
    ASSERT_EQ(DRV_ERROR_NONE, SendRaw(host_, {"after"}));
    ASSERT_EQ(DRV_ERROR_NONE, RecvRaw(device_, &got));
    EXPECT_EQ(Buffers{"after"}, got);

    // A value cannot be reported by a call that reports none; unknown points fail.
    EXPECT_EQ(-1, ostrel_sim_fault_set_value(OSTREL_SIM_FAULT_SEND, 1, 1));
    EXPECT_EQ(-1, ostrel_sim_fault_set(OSTREL_SIM_FAULT_POINT_COUNT, 1, 1));
}

TEST_F(HdcTest, FaultsCanComeFromTheEnvironment) {
    UseSetting("OSTREL_SIM_FAULTS", "server_create:34:2,capacity=2048,send:2:-1,bogus:1");
    EXPECT_EQ(DRV_ERROR_NOT_READY, drvHdcServerCreate(0, kService, &server_));
    EXPECT_EQ(DRV_ERROR_NOT_READY, drvHdcServerCreate(0, kService, &server_));
    drvHdcCapacity cap = {HDC_CHAN_TYPE_SOCKET, 0};
    ASSERT_EQ(DRV_ERROR_NONE, drvHdcGetCapacity(&cap));
    EXPECT_EQ(2048u, cap.maxSegment);
    ASSERT_EQ(DRV_ERROR_NONE, drvHdcGetCapacity(&cap));
    EXPECT_EQ(524288u, cap.maxSegment);
    Open();
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(DRV_ERROR_IO, SendRaw(host_, {"x"}));  // every time
    }
    ostrel_sim_fault_clear_all();
    EXPECT_EQ(DRV_ERROR_NONE, SendRaw(host_, {"x"}));
}

}  // namespace
