#include "driver/config_manager.h"

#include <gtest/gtest.h>

#include "testing/fake_drv.h"
#include "testing/test_log_capture.h"

namespace Analysis::Orbx::Common::Config {
namespace {

using analysis::orbx::common::TestLogCapture;
using analysis::orbx::driver::testing::ScopedFakeDrv;

class ConfigManagerTest : public ::testing::Test {
  protected:
    // Makes the version query answer (ret, word) and counts the queries.
    void Answer(int ret, int64_t word) {
        fake_.hooks().getDeviceInfo = [this, ret, word](uint32_t dev, int32_t module, int32_t type,
                                                        int64_t* value) {
            ++queries_;
            EXPECT_EQ(0u, dev);
            EXPECT_EQ(DEV_MODULE_SYSTEM, module);
            EXPECT_EQ(DEV_INFO_TYPE_VERSION, type);
            *value = word;
            return ret;
        };
    }

    ScopedFakeDrv fake_;
    TestLogCapture logs_;
    int queries_ = 0;
};

TEST_F(ConfigManagerTest, VersionWordsAreRemapped) {
    const std::pair<int64_t, uint32_t> cases[] = {
        {0x0205, 10},
        {0x0800, 7},
        {0x0105, 1},
        {0x0208, 2},
        {0x0300, 3},
        {0x0005, 0},
        // Only bits 8 to 15 name the type.
        {0x10305, 3},
    };
    for (const auto& c : cases) {
        Answer(0, c.first);
        ConfigManager manager;
        EXPECT_EQ(c.second, manager.GetPlatformType()) << std::hex << c.first;
    }
    EXPECT_TRUE(logs_.Has("halGetDeviceInfo get chip id : 10", DLOG_DEBUG));
}

// "Not supported" means a helper device; another failure answers 0 and is not retried.
TEST_F(ConfigManagerTest, NotSupportedMeansHelperDeviceAndAFailureZero) {
    Answer(DRV_ERROR_NOT_SUPPORT, 0x0800);
    EXPECT_EQ(static_cast<uint32_t>(HELPER_DEVICE_TYPE), ConfigManager().GetPlatformType());
    EXPECT_TRUE(
        logs_.Has("Driver doesn't support device type version by halGetDeviceInfo "
                  "interface, ret=65534, set PlatformType::HELPER_DEVICE_TYPE",
                  DLOG_WARN));

    Answer(DRV_ERROR_INVALID_VALUE, 0x0800);
    ConfigManager manager;
    EXPECT_EQ(2, queries_);
    EXPECT_TRUE(logs_.Has("halGetDeviceInfo get device type version failed , ret:1", DLOG_ERROR));
    Answer(0, 0x0800);
    EXPECT_EQ(0u, manager.GetPlatformType());
    EXPECT_EQ(0u, manager.GetPlatformType());
    EXPECT_EQ(2, queries_);
}

}  // namespace
}  // namespace Analysis::Orbx::Common::Config
