#include "driver/ai_drv_dev_api.h"

#include <gtest/gtest.h>

#include "testing/fake_drv.h"
#include "testing/test_log_capture.h"

namespace analysis::orbx::driver {
namespace {

using analysis::orbx::common::TestLogCapture;
using testing::ScopedFakeDrv;

class AiDrvDevApiTest : public ::testing::Test {
  protected:
    ScopedFakeDrv fake_;
    TestLogCapture logs_;
};

TEST_F(AiDrvDevApiTest, DeviceCountAboveSixtyFourOrADriverErrorFails) {
    uint32_t count = 0;
    drvError_t ret = 0;
    fake_.hooks().getDevNum = [&](uint32_t* num) {
        *num = count;
        return ret;
    };
    count = 64;
    EXPECT_EQ(64, DrvGetDevNum());
    count = 65;
    EXPECT_EQ(-1, DrvGetDevNum());
    EXPECT_TRUE(logs_.Has("Failed to drvGetDevNum, ret=0, num=65", DLOG_ERROR));
    count = 2;
    ret = DRV_ERROR_NOT_SUPPORT;
    EXPECT_EQ(-1, DrvGetDevNum());
    EXPECT_TRUE(DrvCheckHelperMode());
    EXPECT_TRUE(logs_.Has("Gxprof work in Helper."));
    ret = DRV_ERROR_IO;
    EXPECT_FALSE(DrvCheckHelperMode());
}

TEST_F(AiDrvDevApiTest, DeviceIdsAreTheFirstCountInOrder) {
    drvError_t ret = 0;
    fake_.hooks().getDevIDs = [&](uint32_t* ids, uint32_t len) {
        EXPECT_EQ(kMaxDeviceNum, len);
        for (uint32_t i = 0; i < len; ++i) {
            ids[i] = 10 + i;
        }
        return ret;
    };
    std::vector<int> ids = {99};
    ASSERT_EQ(0, DrvGetDevIDs(3, ids));
    EXPECT_EQ((std::vector<int>{10, 11, 12}), ids);

    EXPECT_EQ(-1, DrvGetDevIDs(65, ids));
    EXPECT_TRUE(ids.empty());

    ret = DRV_ERROR_IO;
    ids = {1};
    EXPECT_EQ(-1, DrvGetDevIDs(2, ids));
    EXPECT_TRUE(ids.empty());
}

TEST_F(AiDrvDevApiTest, PlatformInfoNotSupportedCountsAsSuccess) {
    drvError_t ret = 0;
    fake_.hooks().getPlatformInfo = [&](uint32_t* info) {
        if (ret == 0) {
            *info = 1;
        }
        return ret;
    };
    uint32_t info = 9;
    EXPECT_EQ(0, DrvGetPlatformInfo(info));
    EXPECT_EQ(1u, info);
    ret = DRV_ERROR_NOT_SUPPORT;
    info = 9;
    EXPECT_EQ(0, DrvGetPlatformInfo(info));
    EXPECT_EQ(9u, info);
    ret = DRV_ERROR_INVALID_VALUE;
    EXPECT_EQ(-1, DrvGetPlatformInfo(info));
    EXPECT_TRUE(logs_.Has("Failed to drvGetPlatformInfo, ret=1", DLOG_ERROR));
}

TEST_F(AiDrvDevApiTest, FrequenciesAreKiloUnitsAsText) {
    int64_t value = 0;
    drvError_t ret = 0;
    std::vector<std::pair<uint32_t, int32_t>> queries;
    fake_.hooks().getDeviceInfo = [&](uint32_t dev, int32_t module, int32_t type, int64_t* out) {
        EXPECT_EQ(DEV_MODULE_SYSTEM, module);
        queries.emplace_back(dev, type);
        *out = value;
        return ret;
    };
    std::string freq = "old";
    value = 1800000;
    EXPECT_TRUE(DrvGetHostFreq(freq));
    EXPECT_EQ("1800.000000", freq);
    value = 1500;
    EXPECT_TRUE(DrvGetDeviceFreq(3, freq));
    EXPECT_EQ("1.500000", freq);
    ASSERT_EQ(2u, queries.size());
    EXPECT_EQ(std::make_pair(0u, static_cast<int32_t>(DEV_INFO_TYPE_HOST_FREQ)), queries[0]);
    EXPECT_EQ(std::make_pair(3u, static_cast<int32_t>(DEV_INFO_TYPE_DEV_FREQ)), queries[1]);

    value = 0;
    EXPECT_FALSE(DrvGetHostFreq(freq));
    EXPECT_EQ("", freq);
    EXPECT_TRUE(logs_.Has(
        "Driver doesn't support DrvGetHostFreq by halGetDeviceInfo interface, ret=0", DLOG_WARN));
    freq = "kept";
    EXPECT_FALSE(DrvGetDeviceFreq(1, freq));
    EXPECT_EQ("kept", freq);
}

}  // namespace
}  // namespace analysis::orbx::driver
