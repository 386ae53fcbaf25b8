#include "driver/platform.h"

#include <gtest/gtest.h>

#include "driver/json_parser.h"
#include "testing/fake_drv.h"
#include "testing/test_log_capture.h"

namespace {

using analysis::orbx::common::TestLogCapture;
using Analysis::Orbx::Common::Platform::Platform;
using analysis::orbx::driver::testing::ScopedFakeDrv;
using Gxprofiler::Parser::ChannelSettings;
using Gxprofiler::Parser::JsonParser;

class PlatformTest : public ::testing::Test {
  protected:
    void Answer(drvError_t ret, uint32_t side) {
        fake_.hooks().getPlatformInfo = [ret, side](uint32_t* info) {
            if (ret == 0) {
                *info = side;
            }
            return ret;
        };
    }

    ScopedFakeDrv fake_;
    TestLogCapture logs_;
    Platform platform_;
};

// A driver failure leaves the run side; "not supported" leaves it unknown.
TEST_F(PlatformTest, RunSideFollowsTheDriver) {
    EXPECT_FALSE(platform_.IsDeviceSide());
    Answer(0, 1);
    EXPECT_EQ(0, platform_.InitRunSide());
    EXPECT_FALSE(platform_.IsDeviceSide());
    Answer(0, 0);
    EXPECT_EQ(0, platform_.InitRunSide());
    EXPECT_TRUE(platform_.IsDeviceSide());
    EXPECT_TRUE(logs_.Has("Set runSide: 0", DLOG_INFO));

    Answer(DRV_ERROR_IO, 1);
    EXPECT_EQ(-1, platform_.InitRunSide());
    EXPECT_TRUE(logs_.Has("get platform info failed.", DLOG_ERROR));
    EXPECT_TRUE(platform_.IsDeviceSide());

    Answer(DRV_ERROR_NOT_SUPPORT, 0);
    Platform fresh;
    EXPECT_EQ(0, fresh.InitRunSide());
    EXPECT_TRUE(logs_.Has("Set runSide: 2", DLOG_INFO));
    EXPECT_FALSE(fresh.IsDeviceSide());
}

TEST(JsonParserTest, ReaderBufferSizesOutsideOneToFourMiBAreIgnored) {
    JsonParser parser;
    ChannelSettings settings;
    const std::pair<uint32_t, uint32_t> cases[] = {
        {0xFFFFF, 0}, {0x100000, 0x100000}, {0x400000, 0x400000}, {0x400001, 0}};
    for (const auto& c : cases) {
        settings.channelBufferSize = c.first;
        parser.SetChannelSettings(8, settings);
        EXPECT_EQ(c.second, parser.GetChannelBufferSize(8)) << c.first;
    }
}

}  // namespace
