#include "hdc/hdc_api.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/ide_common_util.h"
#include "common/memory_utils.h"
#include "testing/sim_session.h"
#include "testing/test_fake_clock.h"
#include "testing/test_log_capture.h"

namespace {

using analysis::orbx::common::Clock;
using analysis::orbx::common::FakeClock;
using analysis::orbx::common::TestLogCapture;
using oru_testing::Buffers;
using oru_testing::ParseSegment;
using oru_testing::Pattern;
using oru_testing::RecvRaw;
using oru_testing::Segment;
using oru_testing::SendRaw;
using ostrel::simtest::ResetSim;
using ostrel::simtest::UseSetting;

class HdcApiTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetSim();
        Clock::SetDefault(&clock_);
    }
    void TearDown() override {
        pair_.Close();
        EXPECT_EQ(0u, ostrel_sim_open_handles(OSTREL_SIM_HANDLE_SESSION));
        Clock::SetDefault(nullptr);
        ResetSim();
    }
    void Open(int dev = 0) { ASSERT_TRUE(pair_.Open(dev)); }

    // Waits at most 5 s, then fails naming `what` and closes both sessions to end blocked calls.
    template <typename T>
    T Within(std::future<T>& op, const std::string& what) {
        if (op.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
            ADD_FAILURE() << what << " did not happen within 5 s";
            for (HDC_SESSION* s : {&pair_.host, &pair_.device}) {
                if (*s != nullptr) {
                    HdcSessionClose(*s);
                    *s = nullptr;
                }
            }
        }
        return op.get();
    }

    static std::string ReadOn(HDC_SESSION session, int* ret, int mode, uint32_t maxLen) {
        void* buf = nullptr;
        uint32_t len = 0;
        *ret = HdcSessionRead(session, &buf, &len, mode, maxLen);
        if (*ret != 0) {
            EXPECT_EQ(nullptr, buf);
            return "";
        }
        std::string out(static_cast<char*>(buf), len);
        IdeXfree(buf);
        return out;
    }

    std::string Read(int* ret, int mode = HDC_FLAG_WAIT, uint32_t maxLen = UINT32_MAX) {
        HDC_SESSION device = pair_.device;
        auto reader = std::async(std::launch::async, [device, ret, mode, maxLen] {
            return ReadOn(device, ret, mode, maxLen);
        });
        return Within(reader, "the device's read of a whole buffer (or its refusal)");
    }

    drvError_t Recv(Buffers* out) {
        HDC_SESSION device = pair_.device;
        auto reader =
            std::async(std::launch::async, [device, out] { return RecvRaw(device, out); });
        return Within(reader, "the device's receipt of a driver message");
    }

    oru_testing::SimSessionPair pair_;
    FakeClock clock_;  // the pauses asked for by the code under test
};

// A buffer filling one segment is one last segment; one byte more adds a second.
TEST_F(HdcApiTest, SegmentBoundaryAtTheDriverMaximum) {
    UseSetting("OSTREL_SIM_MAX_SEGMENT", "1024");
    Open();
    const uint32_t dataMax = 1024 - HDC_PACKET_HEAD_LEN;
    for (uint32_t size : {dataMax, dataMax + 1}) {
        SCOPED_TRACE(size);
        std::string data = Pattern(size, 2);
        ASSERT_EQ(0, HdcSessionWrite(pair_.host, data.data(), data.size()));
        Buffers first;
        ASSERT_EQ(DRV_ERROR_NONE, Recv(&first));
        ASSERT_EQ(1u, first.size());
        EXPECT_EQ(1024u, first[0].size());
        auto a = ParseSegment(first[0]);
        EXPECT_EQ(dataMax, a.len);
        EXPECT_EQ(HDC_PACKET_TAG, a.tag);
        EXPECT_EQ(size == dataMax ? 1 : 0, a.isLast);
        std::string joined = a.data;
        if (size > dataMax) {
            Buffers second;
            ASSERT_EQ(DRV_ERROR_NONE, Recv(&second));
            ASSERT_EQ(1u, second.size());
            auto b = ParseSegment(second[0]);
            EXPECT_EQ(1u, b.len);
            EXPECT_EQ(1, b.isLast);
            EXPECT_EQ(13u, second[0].size());
            joined += b.data;
        }
        EXPECT_EQ(data, joined);
        EXPECT_EQ(DRV_ERROR_NO_DATA, RecvRaw(pair_.device, &first, HDC_FLAG_NOWAIT));
    }
    // The padding after a segment's data holds nothing left by an earlier write.
    ASSERT_EQ(0, HdcSessionWrite(pair_.host, "z", 1));
    Buffers one;
    ASSERT_EQ(DRV_ERROR_NONE, Recv(&one));
    ASSERT_EQ(1u, one.size());
    ASSERT_EQ(13u, one[0].size());
    EXPECT_EQ(std::string(3, '\0'), one[0].substr(10));
}

TEST_F(HdcApiTest, ManySmallSegmentsAreJoinedInOrder) {
    UseSetting("OSTREL_SIM_MAX_SEGMENT", "1024");
    Open();
    std::string big = Pattern(3 * 1024 * 1024 + 17, 4);
    auto writer = std::async(std::launch::async,
                             [&] { return HdcSessionWrite(pair_.host, big.data(), big.size()); });
    int ret = -1;
    std::string got = Read(&ret);
    EXPECT_EQ(0, Within(writer, "the host's write of 3 MiB"));
    EXPECT_EQ(0, ret);
    EXPECT_TRUE(got == big);
}

TEST_F(HdcApiTest, CapacityOutsideTheRangeFailsEveryWriteBeforeSending) {
    Open();
    TestLogCapture logs;
    std::string data = "x";
    for (int64_t bad : {1023, 524289, 0}) {
        uint64_t sends = ostrel_sim_call_count(OSTREL_SIM_FAULT_SEND);
        ASSERT_EQ(0, ostrel_sim_fault_set_value(OSTREL_SIM_FAULT_CAPACITY, bad, 1));
        EXPECT_EQ(-1, HdcSessionWrite(pair_.host, data.data(), 1));
        EXPECT_EQ(sends, ostrel_sim_call_count(OSTREL_SIM_FAULT_SEND));
        EXPECT_TRUE(logs.Has("Get Hdc Capacity Segment Invaild: " + std::to_string(bad)));
    }
    ASSERT_EQ(0, ostrel_sim_fault_set(OSTREL_SIM_FAULT_CAPACITY, DRV_ERROR_IO, 1));
    EXPECT_EQ(-1, HdcSessionWrite(pair_.host, data.data(), 1));
    EXPECT_TRUE(logs.Has("Get Hdc Capacity Failed,error: 2"));
    EXPECT_EQ(4u, logs.Count("Hdc Capacity Failed, err:"));

    for (int64_t good : {1024, 524288}) {
        ASSERT_EQ(0, ostrel_sim_fault_set_value(OSTREL_SIM_FAULT_CAPACITY, good, 1));
        EXPECT_EQ(0, HdcSessionWrite(pair_.host, data.data(), 1));
        int ret = -1;
        EXPECT_EQ("x", Read(&ret));
    }
    int ret = -1;
    EXPECT_EQ("", Read(&ret, HDC_FLAG_NOWAIT));
    EXPECT_EQ(IDE_READ_NOTHING_YET, ret);
}

TEST_F(HdcApiTest, MessagesWithoutALastFlagContinueWithTheNextOne) {
    Open();
    ASSERT_EQ(DRV_ERROR_NONE, SendRaw(pair_.host, {Segment("ab", false), Segment("cd", false)}));
    ASSERT_EQ(DRV_ERROR_NONE, SendRaw(pair_.host, {Segment("", false)}));
    ASSERT_EQ(DRV_ERROR_NONE, SendRaw(pair_.host, {Segment("ef", false), Segment("g", true)}));
    ASSERT_EQ(DRV_ERROR_NONE, SendRaw(pair_.host, {Segment("next", true)}));
    int ret = -1;
    EXPECT_EQ("abcdefg", Read(&ret));
    EXPECT_EQ(0, ret);
    EXPECT_EQ("next", Read(&ret));
}

// The limit holds for the whole buffer: a host that never marks a segment last is refused.
TEST_F(HdcApiTest, TheLimitCountsEveryMessageOfABuffer) {
    const uint32_t limit = 3 * 1024 * 1024;
    const uint32_t piece = 500000;
    struct Case {
        int messages;       // of piece bytes each, none marked last
        uint32_t lastSize;  // then one last message of this size (0: none)
        bool accepted;
    };
    for (const Case& c : {Case{7, 0, false}, Case{6, limit - 6 * piece, true},
                          Case{6, limit - 6 * piece + 1, false}}) {
        SCOPED_TRACE(c.messages * piece + c.lastSize);
        Open();
        TestLogCapture logs;
        std::string data = Pattern(c.messages * piece + c.lastSize, 7);
        HDC_SESSION host = pair_.host;
        auto writer = std::async(std::launch::async, [host, &data, c, piece] {
            drvError_t err = DRV_ERROR_NONE;
            for (int i = 0; i < c.messages && err == DRV_ERROR_NONE; ++i) {
                err = SendRaw(host, {Segment(data.substr(i * piece, piece), false)});
            }
            if (c.lastSize > 0 && err == DRV_ERROR_NONE) {
                err = SendRaw(host, {Segment(data.substr(c.messages * piece), true)});
            }
            return err;
        });
        int ret = 0;
        std::string got = Read(&ret, HDC_FLAG_WAIT, limit);
        EXPECT_EQ(DRV_ERROR_NONE, Within(writer, "the host's sends"));
        if (c.accepted) {
            EXPECT_EQ(0, ret);
            EXPECT_TRUE(got == data);
        } else {
            EXPECT_EQ(-1, ret);
            EXPECT_TRUE(logs.Has("buf_len : 3000000 bytes, packet->len: " +
                                 std::to_string(c.lastSize > 0 ? c.lastSize : piece) + " bytes"));
        }
        pair_.Close();
    }
}

TEST_F(HdcApiTest, NoWaitReadKeepsTheFirstPartOfABufferAndWaitsForTheRest) {
    Open();
    ASSERT_EQ(DRV_ERROR_NONE, SendRaw(pair_.host, {Segment("head-", false)}));
    std::atomic<long> readerTid{0};
    HDC_SESSION device = pair_.device;
    auto reader = std::async(std::launch::async, [&readerTid, device] {
        readerTid = ostrel::simtest::ThreadId();
        int ret = -1;
        std::string got = ReadOn(device, &ret, HDC_FLAG_NOWAIT, UINT32_MAX);
        return std::make_pair(ret, got);
    });
    EXPECT_TRUE(ostrel::simtest::WaitBlockedInPoll(readerTid));
    ASSERT_EQ(DRV_ERROR_NONE, SendRaw(pair_.host, {Segment("tail", true)}));
    auto [ret, got] = Within(reader, "the device's read of the buffer's tail");
    EXPECT_EQ(0, ret);
    EXPECT_EQ("head-tail", got);
}

TEST_F(HdcApiTest, ABufferCutShortMidwayEndsThereAndTheNextArrivesWhole) {
    UseSetting("OSTREL_SIM_MAX_SEGMENT", "1024");
    Open();
    const uint32_t dataMax = 1024 - HDC_PACKET_HEAD_LEN;
    // The first buffer fails on its second, then its last segment.
    for (int failing : {1, 2}) {
        SCOPED_TRACE(failing);
        std::string cut = Pattern(dataMax * 3, 5);
        std::string next = Pattern(dataMax + 7, 6);
        ASSERT_EQ(0, ostrel_sim_fault_set_after(OSTREL_SIM_FAULT_SEND, DRV_ERROR_IO, failing, 1));
        EXPECT_EQ(-1, HdcSessionWrite(pair_.host, cut.data(), cut.size()));
        ASSERT_EQ(0, HdcSessionWrite(pair_.host, next.data(), next.size()));
        int ret = -1;
        EXPECT_EQ(cut.substr(0, dataMax * failing), Read(&ret));
        EXPECT_EQ(0, ret);
        EXPECT_EQ(next, Read(&ret));
        EXPECT_EQ(0, ret);
    }
}

TEST_F(HdcApiTest, PollingReadTriesAQuietSession141TimesAndTakesARequestOnceItArrives) {
    Open();
    TestLogCapture logs;
    void* buf = nullptr;
    uint32_t len = 0;
    uint64_t recvs = ostrel_sim_call_count(OSTREL_SIM_FAULT_RECV);
    EXPECT_EQ(-1, HdcSessionReadPoll(pair_.device, &buf, &len, HDC_READ_POLL));
    EXPECT_EQ(141u, ostrel_sim_call_count(OSTREL_SIM_FAULT_RECV) - recvs);
    EXPECT_TRUE(logs.Has("no received request in 141 times"));
    const std::vector<uint32_t> sleeps = clock_.Sleeps();
    ASSERT_EQ(140u, sleeps.size());
    for (size_t i = 0; i < sleeps.size(); ++i) {
        EXPECT_EQ(i + 1, sleeps[i]);
    }

    clock_.SetOnSleep([this](uint32_t, size_t n) {
        if (n == 145) {
            ASSERT_EQ(0, HdcSessionWrite(pair_.host, "late", 4));
        }
    });
    ASSERT_EQ(0, HdcSessionReadPoll(pair_.device, &buf, &len, HDC_READ_POLL));
    EXPECT_EQ("late", std::string(static_cast<char*>(buf), len));
    EXPECT_EQ(145u, clock_.Sleeps().size());
    IdeXfree(buf);
}

TEST_F(HdcApiTest, ServerDestroyRetriesWhileBusy) {
    TestLogCapture logs;
    HDC_SERVER server = HdcServerCreate(0, HDC_SERVICE_TYPE_IDE);
    ASSERT_NE(nullptr, server);
    ASSERT_EQ(0, ostrel_sim_fault_set(OSTREL_SIM_FAULT_SERVER_DESTROY, DRV_ERROR_BUSY, 3));
    EXPECT_EQ(0, HdcServerDestroy(server));
    EXPECT_EQ((std::vector<uint32_t>{100, 100, 100}), clock_.Sleeps());
    EXPECT_TRUE(logs.Has("[HdcServerDestroy]hdc server destroy error : 23, times 3"));
    EXPECT_EQ(0u, ostrel_sim_open_handles(OSTREL_SIM_HANDLE_SERVER));

    server = HdcServerCreate(0, HDC_SERVICE_TYPE_IDE);
    ASSERT_NE(nullptr, server);
    ASSERT_EQ(0, ostrel_sim_fault_set(OSTREL_SIM_FAULT_SERVER_DESTROY, DRV_ERROR_BUSY, -1));
    EXPECT_EQ(-1, HdcServerDestroy(server));
    EXPECT_EQ(3u + 29u, clock_.Sleeps().size());
    EXPECT_TRUE(logs.Has("times 30"));
    EXPECT_FALSE(logs.Has("times 31"));

    ASSERT_EQ(0, ostrel_sim_fault_set(OSTREL_SIM_FAULT_SERVER_DESTROY, DRV_ERROR_IO, 1));
    EXPECT_EQ(-1, HdcServerDestroy(server));
    EXPECT_EQ(3u + 29u, clock_.Sleeps().size());  // no pause
    ostrel_sim_fault_clear_all();
    EXPECT_EQ(0, HdcServerDestroy(server));
}

TEST(IdeCreatePacket, LaysOutHeaderValueAndATerminatingZero) {
    IdeTlvReq* packet = nullptr;
    uint32_t packetLen = 0;
    const char value[] = {'h', 'e', 'l', 'l', 'o'};
    ASSERT_EQ(0, IdeCreatePacket(IDE_PROFILING_REQ, value, 5, &packet, &packetLen));
    ASSERT_NE(nullptr, packet);
    EXPECT_EQ(17u, packetLen);
    const auto* raw = reinterpret_cast<const unsigned char*>(packet);
    const unsigned char header[12] = {5, 0, 0, 0, 0, 0, 0, 0, 5, 0, 0, 0};
    EXPECT_EQ(0, memcmp(header, raw, 12));
    EXPECT_EQ(0, memcmp("hello", raw + 12, 5));
    EXPECT_STREQ("hello", packet->value);
    IdeFreePacket(&packet);
    EXPECT_EQ(nullptr, packet);

    ASSERT_EQ(0, IdeCreatePacket(IDE_HOOK_REG_REQ, "", 0, &packet, &packetLen));
    EXPECT_EQ(12u, packetLen);
    EXPECT_EQ(0u, packet->len);
    EXPECT_EQ(IDE_HOOK_REG_REQ, packet->type);
    IdeFreePacket(&packet);
}

TEST(IdeCreatePacket, RefusesLengthsThatOverflowTheHeader) {
    TestLogCapture logs;
    IdeTlvReq* packet = nullptr;
    uint32_t packetLen = 0;
    EXPECT_EQ(-1, IdeCreatePacket(5, "x", 0xFFFFFFF3u, &packet, &packetLen));
    EXPECT_EQ(-1, IdeCreatePacket(5, "x", 0xFFFFFFFFu, &packet, &packetLen));
    EXPECT_TRUE(logs.Has("[IdeCreatePacket]value_len: 4294967283 bytes, tlv_len: 12 bytes"));
    EXPECT_EQ(nullptr, packet);
    // The largest length whose packet length still fits 32 bits passes the check.
    EXPECT_TRUE(IdeTlvValueLenValid(0xFFFFFFF2u));
    EXPECT_FALSE(IdeTlvValueLenValid(0xFFFFFFF3u));
}

}  // namespace
