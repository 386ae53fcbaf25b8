// Profiling channels of the simulated card: the channel list, start checks,
// reads, polls, the counter and stream modes, and injected faults.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <future>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "ostrel/hal.h"
#include "ostrel/sim_control.h"
#include "testing/sim_test_util.h"

namespace {

using ostrel::simtest::ResetSim;
using ostrel::simtest::ThreadId;
using ostrel::simtest::UseSetting;
using ostrel::simtest::WaitBlockedIn;

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

std::string ReadAll(uint32_t dev, uint32_t channel, uint32_t chunk, int* last) {
    std::string out;
    std::vector<char> buf(chunk);
    int n;
    while ((n = prof_channel_read(dev, channel, buf.data(), chunk)) > 0) {
        out.append(buf.data(), static_cast<size_t>(n));
    }
    *last = n;
    return out;
}

class ChannelsTest : public ::testing::Test {
  protected:
    void SetUp() override { ResetSim(); }
    void TearDown() override { ResetSim(); }
};

TEST_F(ChannelsTest, ListNamesTheConfiguredChannelsWithTheChipType) {
    ProfChannelList list;
    memset(&list, 0xAB, sizeof(list));
    ASSERT_EQ(0, prof_drv_get_channels(0, &list));
    EXPECT_EQ(1u, list.chipType);
    ASSERT_EQ(4u, list.channelNum);
    EXPECT_EQ(kLlc, list.channels[0].channelId);
    EXPECT_STREQ("llc", list.channels[0].channelName);
    EXPECT_EQ(0, list.channels[4].channelId);  // the rest is zeroed

    setenv("OSTREL_SIM_CHIP_VERSION", "0x0803", 1);
    UseSetting("OSTREL_SIM_CHANNELS", "8:llc,200:odd:7,0:zero,5:a_name_of_exactly_31_characters");
    ASSERT_EQ(0, prof_drv_get_channels(0, &list));
    EXPECT_EQ(8u, list.chipType);
    ASSERT_EQ(4u, list.channelNum);
    EXPECT_EQ(200u, list.channels[1].channelId);
    EXPECT_EQ(7u, list.channels[1].channelType);
    EXPECT_EQ(0u, list.channels[2].channelId);
    EXPECT_STREQ("a_name_of_exactly_31_characters", list.channels[3].channelName);

    UseSetting("OSTREL_SIM_CHANNELS", "");
    ASSERT_EQ(0, prof_drv_get_channels(0, &list));
    EXPECT_EQ(0u, list.channelNum);
    EXPECT_NE(0, prof_drv_get_channels(1, &list));
}

TEST_F(ChannelsTest, StartChecksTheRecordAndTheCacheBlock) {
    Start s;
    EXPECT_EQ(PROF_ERROR, prof_drv_start(0, kLlc, nullptr));
    // Each spoils one field of an otherwise valid record.
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
    // Other channels take no block.
    EXPECT_EQ(PROF_OK, StartChannel(0, 2));
}

TEST_F(ChannelsTest, ReadsHandOutWhatIsThereInOrderThenStoppedOnceDrained) {
    UseSetting("OSTREL_SIM_CHANNEL_MODE", "manual");
    std::vector<char> buf(64);
    EXPECT_EQ(PROF_STOPPED_ALREADY, prof_channel_read(0, 2, buf.data(), 64));  // never started
    EXPECT_EQ(PROF_ERROR, prof_channel_read(0, 9, buf.data(), 64));
    EXPECT_EQ(-1, ostrel_sim_channel_inject(0, 2, "x", 1));  // not started
    ProfPollInfo ready[6];
    EXPECT_EQ(PROF_STOPPED_ALREADY, prof_channel_poll(ready, 6, 0));  // no channel started
    ASSERT_EQ(PROF_OK, StartChannel(0, 2));
    EXPECT_EQ(0, prof_channel_read(0, 2, buf.data(), 64));  // running, empty
    EXPECT_EQ(0, prof_channel_poll(ready, 6, 0));
    std::string data;
    for (int i = 0; i < 100; ++i) {
        data.push_back(static_cast<char>(i));
    }
    ASSERT_EQ(100, ostrel_sim_channel_inject(0, 2, data.data(), data.size()));
    ASSERT_EQ(30, prof_channel_read(0, 2, buf.data(), 30));
    EXPECT_EQ(data.substr(0, 30), std::string(buf.data(), 30));
    ASSERT_EQ(64, prof_channel_read(0, 2, buf.data(), 64));
    EXPECT_EQ(data.substr(30, 64), std::string(buf.data(), 64));
    ASSERT_EQ(6, prof_channel_read(0, 2, buf.data(), 64));
    EXPECT_EQ(data.substr(94), std::string(buf.data(), 6));
    EXPECT_EQ(0, prof_channel_read(0, 2, buf.data(), 64));

    // What is left at the stop can still be read; then the channel reports -4.
    ASSERT_EQ(10, ostrel_sim_channel_inject(0, 2, data.data(), 10));
    ASSERT_EQ(PROF_OK, prof_stop(0, 2));
    ASSERT_EQ(10, prof_channel_read(0, 2, buf.data(), 64));
    EXPECT_EQ(data.substr(0, 10), std::string(buf.data(), 10));
    EXPECT_EQ(PROF_STOPPED_ALREADY, prof_channel_read(0, 2, buf.data(), 64));
    EXPECT_EQ(PROF_STOPPED_ALREADY, prof_channel_read(0, 2, buf.data(), 64));
}

TEST_F(ChannelsTest, TheRingIsBoundedAndWrapsAround) {
    setenv("OSTREL_SIM_CHANNEL_MODE", "manual", 1);
    UseSetting("OSTREL_SIM_RING_BYTES", "64");
    ASSERT_EQ(PROF_OK, StartChannel(0, 3));
    std::string data(100, '\0');
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<char>('A' + i % 26);
    }
    EXPECT_EQ(64, ostrel_sim_channel_inject(0, 3, data.data(), 100));
    EXPECT_EQ(0, ostrel_sim_channel_inject(0, 3, data.data(), 1));
    std::vector<char> buf(64);
    ASSERT_EQ(40, prof_channel_read(0, 3, buf.data(), 40));
    // 40 free bytes, 24 of them at the end of the ring and 16 at its start.
    EXPECT_EQ(36, ostrel_sim_channel_inject(0, 3, data.data() + 64, 36));
    int last = 0;
    std::string rest = ReadAll(0, 3, 7, &last);
    EXPECT_EQ(0, last);
    EXPECT_EQ(data.substr(40), rest);
    OstrelSimChannelStats stats;
    ASSERT_EQ(0, ostrel_sim_channel_stats(0, 3, &stats));
    EXPECT_EQ(100u, stats.produced);
    EXPECT_EQ(100u, stats.read);
    EXPECT_EQ(37u, stats.dropped);
}

TEST_F(ChannelsTest, AWaitingPollIsWokenByAChannelThatStartsAndProduces) {
    UseSetting("OSTREL_SIM_CHANNEL_MODE", "manual");
    std::atomic<long> tid{0};
    ProfPollInfo ready[6] = {};
    auto poller = std::async(std::launch::async, [&] {
        tid = ThreadId();
        return prof_channel_poll(ready, 6, 3600);
    });
    ASSERT_TRUE(WaitBlockedIn(tid, "futex"));
    ASSERT_EQ(PROF_OK, StartChannel(0, 10));  // a start alone is no data
    ASSERT_EQ(4, ostrel_sim_channel_inject(0, 10, "data", 4));
    ASSERT_EQ(std::future_status::ready, poller.wait_for(std::chrono::seconds(60)));
    ASSERT_EQ(1, poller.get());
    EXPECT_EQ(0u, ready[0].deviceId);
    EXPECT_EQ(10u, ready[0].channelId);
}

TEST_F(ChannelsTest, PollFillsAtMostTheGivenRecordsAndServesEveryChannelInTurn) {
    setenv("OSTREL_SIM_DEVICES", "2", 1);
    UseSetting("OSTREL_SIM_CHANNEL_MODE", "manual");
    std::set<std::pair<uint32_t, uint32_t>> all = {{0, 2}, {0, 3}, {1, 2}};
    for (const auto& c : all) {
        ASSERT_EQ(PROF_OK, StartChannel(c.first, c.second));
        ASSERT_EQ(1, ostrel_sim_channel_inject(c.first, c.second, "z", 1));
    }
    std::set<std::pair<uint32_t, uint32_t>> seen;
    for (int round = 0; round < 2; ++round) {
        ProfPollInfo ready[2] = {};
        ASSERT_EQ(2, prof_channel_poll(ready, 2, 0));
        for (const ProfPollInfo& r : ready) {
            seen.insert({r.deviceId, r.channelId});
        }
    }
    EXPECT_EQ(all, seen);
    // A stopped channel that still holds data is reported until it is drained.
    ASSERT_EQ(PROF_OK, prof_stop(1, 2));
    char c;
    ASSERT_EQ(1, prof_channel_read(0, 2, &c, 1));
    ASSERT_EQ(1, prof_channel_read(0, 3, &c, 1));
    ProfPollInfo ready[6] = {};
    ASSERT_EQ(1, prof_channel_poll(ready, 6, 0));
    EXPECT_EQ(1u, ready[0].deviceId);
    ASSERT_EQ(1, prof_channel_read(1, 2, &c, 1));
    EXPECT_EQ(0, prof_channel_poll(ready, 6, 0));
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
    // A new start begins the sequence again.
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

TEST_F(ChannelsTest, InjectedChannelFaults) {
    ProfChannelList list;
    ASSERT_EQ(0, ostrel_sim_fault_set_value(OSTREL_SIM_FAULT_GET_CHANNELS, 161, 1));
    ASSERT_EQ(0, prof_drv_get_channels(0, &list));
    EXPECT_EQ(161u, list.channelNum);
    ASSERT_EQ(0, ostrel_sim_fault_set(OSTREL_SIM_FAULT_GET_CHANNELS, 5, 1));
    EXPECT_EQ(5, prof_drv_get_channels(0, &list));

    UseSetting("OSTREL_SIM_CHANNEL_MODE", "manual");
    ASSERT_EQ(0, ostrel_sim_fault_set(OSTREL_SIM_FAULT_PROF_START, 7, 1));
    EXPECT_EQ(7, StartChannel(0, 2));
    ASSERT_EQ(PROF_OK, StartChannel(0, 2));
    ASSERT_EQ(3, ostrel_sim_channel_inject(0, 2, "abc", 3));

    ProfPollInfo ready[6];
    ASSERT_EQ(0, ostrel_sim_fault_set(OSTREL_SIM_FAULT_CHANNEL_POLL, PROF_ERROR, 1));
    EXPECT_EQ(PROF_ERROR, prof_channel_poll(ready, 6, 0));
    ASSERT_EQ(0, ostrel_sim_fault_set(OSTREL_SIM_FAULT_CHANNEL_POLL, PROF_STOPPED_ALREADY, 1));
    EXPECT_EQ(PROF_STOPPED_ALREADY, prof_channel_poll(ready, 6, 0));
    EXPECT_EQ(1, prof_channel_poll(ready, 6, 0));

    char buf[8];
    ASSERT_EQ(0, ostrel_sim_fault_set(OSTREL_SIM_FAULT_CHANNEL_READ, -2, 1));
    EXPECT_EQ(-2, prof_channel_read(0, 2, buf, sizeof(buf)));
    ASSERT_EQ(3, prof_channel_read(0, 2, buf, sizeof(buf)));  // nothing was lost
    EXPECT_EQ("abc", std::string(buf, 3));

    ASSERT_EQ(0, ostrel_sim_fault_set(OSTREL_SIM_FAULT_PROF_STOP, 9, 1));
    EXPECT_EQ(9, prof_stop(0, 2));
    EXPECT_EQ(PROF_OK, prof_stop(0, 2));
}

}  // namespace
