// Profiling channels of the simulated card where the daemon's tests rely on them being exact.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ostrel/hal.h"
#include "ostrel/sim_control.h"
#include "testing/sim_test_util.h"

namespace {

using ostrel::simtest::ResetSim;
using ostrel::simtest::UseSetting;

static_assert(sizeof(ProfChannelList) == 6408, "channel list record");
static_assert(sizeof(ProfChannelEntry) == 40, "channel entry");

constexpr uint32_t kLlc = PROF_CHANNEL_LLC;

// A valid start record of channel 8 with its block; Reset() restores it.
struct Start {
    Start() { Reset(); }
    Start(const Start&) = delete;
    Start& operator=(const Start&) = delete;
    void Reset() {
        block = {1, 1};
        para = {PROF_CHANNEL_TYPE_PERIPHERAL, 1, 1, &block, sizeof(block)};
    }
    ProfLlcConfig block;
    ProfStartPara para;
};

int StartChannel(uint32_t dev, uint32_t channel, uint32_t periodMs = 1, uint32_t mode = 1) {
    Start s;
    s.block = {periodMs, mode};
    s.para.samplePeriod = periodMs;
    if (channel != kLlc) {
        s.para.userData = nullptr;
        s.para.userDataSize = 0;
    }
    return prof_drv_start(dev, channel, &s.para);
}

class ChannelsTest : public ::testing::Test {
  protected:
    void SetUp() override { ResetSim(); }
    void TearDown() override { ResetSim(); }
};

TEST_F(ChannelsTest, StartChecksTheRecordAndTheCacheBlock) {
    Start s;
    EXPECT_EQ(PROF_ERROR, prof_drv_start(0, kLlc, nullptr));
    void (*const spoil[])(Start&) = {
        [](Start& t) { t.para.channelType = 2; },    [](Start& t) { t.para.samplePeriod = 0; },
        [](Start& t) { t.para.realTime = 0; },       [](Start& t) { t.para.userDataSize = 4; },
        [](Start& t) { t.para.userData = nullptr; }, [](Start& t) { t.block.mode = 0; },
        [](Start& t) { t.block.mode = 3; },          [](Start& t) { t.block.period = 0; }};
    for (size_t i = 0; i < sizeof(spoil) / sizeof(spoil[0]); ++i) {
        s.Reset();
        spoil[i](s);
        EXPECT_EQ(PROF_ERROR, prof_drv_start(0, kLlc, &s.para)) << "case " << i;
    }
    EXPECT_EQ(PROF_ERROR, StartChannel(1, kLlc));  // no such device
    EXPECT_EQ(PROF_ERROR, StartChannel(0, 9));     // no such channel

    s.Reset();
    s.block = {20, 2};
    s.para.samplePeriod = 7;
    ASSERT_EQ(PROF_OK, prof_drv_start(0, kLlc, &s.para));
    EXPECT_EQ(PROF_ERROR, prof_drv_start(0, kLlc, &s.para));  // already running
    OstrelSimChannelStats stats;
    ASSERT_EQ(0, ostrel_sim_channel_stats(0, kLlc, &stats));
    EXPECT_EQ(1u, stats.started);
    EXPECT_EQ(7u, stats.samplePeriod);
    EXPECT_EQ(20u, stats.blockPeriod);
    EXPECT_EQ(2u, stats.blockMode);
    ASSERT_EQ(PROF_OK, prof_stop(0, kLlc));
    EXPECT_EQ(PROF_ERROR, prof_stop(0, kLlc));
    ASSERT_EQ(0, ostrel_sim_channel_stats(0, kLlc, &stats));
    EXPECT_EQ(0u, stats.started);
    EXPECT_EQ(1u, stats.startCount);
    EXPECT_EQ(PROF_OK, StartChannel(0, 2));
}

TEST_F(ChannelsTest, StreamModeDeliversTheBoundedSequenceWithoutLoss) {
    setenv("OSTREL_SIM_CHANNEL_MODE", "stream", 1);
    UseSetting("OSTREL_SIM_STREAM_BYTES", "1000003");
    ASSERT_EQ(PROF_OK, StartChannel(0, kLlc));
    ProfPollInfo ready[6] = {};
    ASSERT_EQ(1, prof_channel_poll(ready, 6, 0));
    std::vector<uint8_t> buf(65521);
    uint64_t offset = 0;
    for (;;) {
        uint32_t want = static_cast<uint32_t>(offset % 3 == 0 ? buf.size() : 4093);
        int n = prof_channel_read(0, kLlc, reinterpret_cast<char*>(buf.data()), want);
        ASSERT_GE(n, 0);
        if (n == 0) {
            break;
        }
        ASSERT_EQ(-1, ostrel_sim_stream_verify(0, kLlc, offset, buf.data(), n))
            << "at offset " << offset;
        offset += static_cast<uint64_t>(n);
    }
    EXPECT_EQ(1000003u, offset);
    EXPECT_EQ(0, prof_channel_poll(ready, 6, 0));  // drained, still running
    ASSERT_EQ(PROF_OK, prof_stop(0, kLlc));
    EXPECT_EQ(PROF_STOPPED_ALREADY,
              prof_channel_read(0, kLlc, reinterpret_cast<char*>(buf.data()), 16));
    ASSERT_EQ(PROF_OK, StartChannel(0, kLlc));
    ASSERT_EQ(16, prof_channel_read(0, kLlc, reinterpret_cast<char*>(buf.data()), 16));
    EXPECT_EQ(-1, ostrel_sim_stream_verify(0, kLlc, 0, buf.data(), 16));
}

TEST_F(ChannelsTest, TheStreamSequenceDetectsLossDuplicationAndMixUps) {
    std::vector<uint8_t> buf(1000);
    ostrel_sim_stream_fill(1, 8, 37, buf.data(), buf.size());
    for (size_t i = 0; i < buf.size(); i += 97) {
        EXPECT_EQ(ostrel_sim_stream_byte(1, 8, 37 + i), buf[i]);
    }
    EXPECT_EQ(-1, ostrel_sim_stream_verify(1, 8, 37, buf.data(), buf.size()));
    EXPECT_EQ(0, ostrel_sim_stream_verify(1, 8, 38, buf.data(), buf.size()));  // shifted
    EXPECT_EQ(0, ostrel_sim_stream_verify(1, 2, 37, buf.data(), buf.size()));  // other channel
    EXPECT_EQ(0, ostrel_sim_stream_verify(0, 8, 37, buf.data(), buf.size()));  // other device
    buf[500] ^= 1;
    EXPECT_EQ(500, ostrel_sim_stream_verify(1, 8, 37, buf.data(), buf.size()));
    // A run of 8 bytes repeated is caught where the repeat starts.
    ostrel_sim_stream_fill(1, 8, 0, buf.data(), buf.size());
    memcpy(buf.data() + 108, buf.data() + 100, 8);
    EXPECT_EQ(108, ostrel_sim_stream_verify(1, 8, 0, buf.data(), buf.size()));
}

}  // namespace
