#include "driver/ai_drv_prof_api.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "driver/json_parser.h"
#include "testing/fake_drv.h"
#include "testing/test_log_capture.h"

namespace analysis::orbx::driver {
namespace {

using analysis::orbx::common::TestLogCapture;
using testing::ScopedFakeDrv;

struct Entry {
    uint32_t id;
    uint32_t type;
    std::string name;
};

// Makes the driver answer a channel list of `count` entries (the given ones
// first) for every device, counting the queries.
void AnswerChannels(ScopedFakeDrv& fake, uint32_t count, std::vector<Entry> entries,
                    int* calls = nullptr, int ret = 0) {
    fake.hooks().profDrvGetChannels = [=](uint32_t, ProfChannelList* list) {
        if (calls != nullptr) {
            ++*calls;
        }
        list->chipType = 7;
        list->channelNum = count;
        for (size_t i = 0; i < entries.size() && i < PROF_CHANNEL_MAX_NUM; ++i) {
            list->channels[i].channelId = entries[i].id;
            list->channels[i].channelType = entries[i].type;
            std::memcpy(list->channels[i].channelName, entries[i].name.data(),
                        std::min<size_t>(entries[i].name.size(), PROF_CHANNEL_NAME_LEN));
        }
        return ret;
    };
}

class DrvChannelsMgrTest : public ::testing::Test {
  protected:
    void TearDown() override {
        Gxprofiler::Parser::JsonParser::GetInstance().ClearChannelSettings();
    }

    ScopedFakeDrv fake_;
    TestLogCapture logs_;
    DrvChannelsMgr mgr_;
};

// A name of the full width is cut at 32 characters; a device never queried
// and a channel switched off have no valid channel.
TEST_F(DrvChannelsMgrTest, InvalidIdsAreSkippedAndTheOthersKeptInOrder) {
    const std::string longName(PROF_CHANNEL_NAME_LEN, 'n');
    AnswerChannels(
        fake_, 5,
        {{0, 1, "zero"}, {8, 1, "llc"}, {200, 1, "far"}, {160, 3, "last"}, {5, 1, longName}});
    DrvProfChannelsInfo info;
    info.deviceId = 2;
    ASSERT_EQ(0, DrvGetChannels(info));
    ASSERT_EQ(3u, info.channels.size());
    EXPECT_EQ(8u, info.channels[0].channelId);
    EXPECT_EQ("llc", info.channels[0].channelName);
    EXPECT_EQ(160u, info.channels[1].channelId);
    EXPECT_EQ(3u, info.channels[1].channelType);
    EXPECT_EQ(longName, info.channels[2].channelName);
    EXPECT_EQ(7u, info.chipType);
    EXPECT_TRUE(logs_.Has("Channel id is invalid, channelId=200, i=2", DLOG_ERROR));

    ASSERT_EQ(0, mgr_.GetAllChannels(2));
    EXPECT_TRUE(mgr_.ChannelIsValid(2, 160));
    EXPECT_FALSE(mgr_.ChannelIsValid(2, 200));
    EXPECT_FALSE(mgr_.ChannelIsValid(3, 8));
    Gxprofiler::Parser::ChannelSettings off;
    off.profSwitch = false;
    Gxprofiler::Parser::JsonParser::GetInstance().SetChannelSettings(8, off);
    EXPECT_FALSE(mgr_.ChannelIsValid(2, 8));
    EXPECT_TRUE(mgr_.ChannelIsValid(2, 5));
}

TEST_F(DrvChannelsMgrTest, ChannelCountsOutsideOneTo160FailAndKeepTheEarlierList) {
    AnswerChannels(fake_, 1, {{8, 1, "llc"}});
    ASSERT_EQ(0, mgr_.GetAllChannels(1));

    for (uint32_t count : {0u, 161u}) {
        AnswerChannels(fake_, count, {{9, 1, "other"}});
        EXPECT_EQ(-1, mgr_.GetAllChannels(1)) << count;
        EXPECT_TRUE(logs_.Has("DrvGetChannels channel num is invalid, channelNum=" +
                              std::to_string(count)));
        EXPECT_TRUE(mgr_.ChannelIsValid(1, 8)) << count;
        EXPECT_FALSE(mgr_.ChannelIsValid(1, 9)) << count;
    }

    AnswerChannels(fake_, PROF_CHANNEL_MAX_NUM, {{9, 1, "other"}});
    EXPECT_EQ(0, mgr_.GetAllChannels(1));
    EXPECT_TRUE(mgr_.ChannelIsValid(1, 9));
    EXPECT_FALSE(mgr_.ChannelIsValid(1, 8));  // replaced, not merged
}

TEST_F(DrvChannelsMgrTest, DriverFailureAndNegativeDeviceFail) {
    int calls = 0;
    AnswerChannels(fake_, 1, {{8, 1, "llc"}}, &calls, DRV_ERROR_IO);
    EXPECT_EQ(-1, mgr_.GetAllChannels(0));
    EXPECT_EQ(1, calls);
    EXPECT_FALSE(mgr_.ChannelIsValid(0, 8));

    EXPECT_EQ(-1, mgr_.GetAllChannels(-3));
    EXPECT_EQ(1, calls);
}

class AiDrvProfApiTest : public ::testing::Test {
  protected:
    ScopedFakeDrv fake_;
    TestLogCapture logs_;
};

TEST_F(AiDrvProfApiTest, ReadOfAStoppedChannelIsNoDataAndOtherErrorsFail) {
    int ret = 0;
    fake_.hooks().profChannelRead = [&](uint32_t, uint32_t, char*, uint32_t) { return ret; };
    uint8_t buf[16];
    ret = 12;
    EXPECT_EQ(12, DrvChannelRead(0, 8, buf, sizeof(buf)));
    ret = PROF_STOPPED_ALREADY;
    EXPECT_EQ(0, DrvChannelRead(0, 8, buf, sizeof(buf)));
    EXPECT_TRUE(
        logs_.Has("profChannel has stopped already, profDeviceId=0, profChannel=8, bufSize=16bytes",
                  DLOG_WARN));
    ret = -2;
    EXPECT_EQ(-1, DrvChannelRead(0, 8, buf, sizeof(buf)));
    EXPECT_TRUE(logs_.Has(
        "Failed to prof_channel_read, profDeviceId=0, profChannel=8, bufSize=16bytes, ret=-2"));
}

TEST_F(AiDrvProfApiTest, PollResultsAboveCapacityAndErrorsFail) {
    int ret = 0;
    fake_.hooks().profChannelPoll = [&](ProfPollInfo*, int, int) { return ret; };
    ProfPollInfo records[6] = {};
    ret = 6;
    EXPECT_EQ(6, DrvChannelPoll(records, 6, 1));
    ret = 7;
    EXPECT_EQ(-1, DrvChannelPoll(records, 6, 1));
    ret = PROF_STOPPED_ALREADY;
    EXPECT_EQ(PROF_STOPPED_ALREADY, DrvChannelPoll(records, 6, 1));
    EXPECT_EQ(-1, DrvChannelPoll(nullptr, 6, 1));
}

}  // namespace
}  // namespace analysis::orbx::driver
