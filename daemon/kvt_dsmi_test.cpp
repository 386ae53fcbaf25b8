#include "daemon/kvt_dsmi.h"

#include <gtest/gtest.h>

#include <vector>

#include "ostrel/sim_control.h"
#include "testing/sim_test_util.h"
#include "testing/test_log_capture.h"

namespace {

using analysis::orbx::common::TestLogCapture;
using ostrel::simtest::ResetSim;
using ostrel::simtest::UseSetting;

class DeviceIds : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetSim();
        setenv("OSTREL_SIM_DEVICES", "3", 1);
        UseSetting("OSTREL_SIM_PHY_IDS", "0:7,1:4,2:9");
    }
    void TearDown() override { ResetSim(); }
};

TEST_F(DeviceIds, DeviceListsAndBothDirectionsOfTheMapping) {
    TestLogCapture logs;
    std::vector<uint32_t> ids(1125, 0);
    uint32_t devNum = 0;
    EXPECT_EQ(-1, IdeGetDevList(&devNum, ids.data(), 1123));
    EXPECT_EQ(-1, IdeGetDevList(&devNum, ids.data(), 1125));
    EXPECT_EQ(2u, logs.Count("len is invalid"));

    ASSERT_EQ(0, IdeGetDevList(&devNum, ids.data(), 1124));
    EXPECT_EQ(3u, devNum);
    EXPECT_EQ((std::vector<uint32_t>{0, 1, 2}),
              std::vector<uint32_t>(ids.begin(), ids.begin() + 3));

    std::vector<uint32_t> phys(IDE_MAX_DEV_NUM, 0);
    ASSERT_EQ(0, IdeGetPhyDevList(&devNum, phys.data(), IDE_MAX_DEV_NUM));
    ASSERT_EQ(3u, devNum);
    EXPECT_EQ((std::vector<uint32_t>{7, 4, 9}),
              std::vector<uint32_t>(phys.begin(), phys.begin() + 3));

    uint32_t logId = 99;
    ASSERT_EQ(0, IdeGetLogIdByPhyId(9, &logId));
    EXPECT_EQ(2u, logId);
    EXPECT_TRUE(logs.Has("the logical ID(2) is a corresponding physical ID(9)"));
    EXPECT_EQ(-1, IdeGetLogIdByPhyId(5, &logId));

    uint32_t index = 99;
    ASSERT_EQ(0, IdeGetDevIdIndexByPhyId(4, &index));
    EXPECT_EQ(1u, index);
    EXPECT_EQ(-1, IdeGetDevIdIndexByPhyId(1125, &index));
}

TEST_F(DeviceIds, DriverFailuresEndTheQueries) {
    TestLogCapture logs;
    std::vector<uint32_t> phys(IDE_MAX_DEV_NUM, 0);
    uint32_t devNum = 0;
    ASSERT_EQ(0, ostrel_sim_fault_set(OSTREL_SIM_FAULT_PHY_ID, DRV_ERROR_IO, 1));
    EXPECT_EQ(-1, IdeGetPhyDevList(&devNum, phys.data(), IDE_MAX_DEV_NUM));
    EXPECT_TRUE(logs.Has("drvDeviceGetPhyIdByIndex devIds: 0 failed, err: 2"));

    ASSERT_EQ(0, ostrel_sim_fault_set(OSTREL_SIM_FAULT_DEV_NUM, DRV_ERROR_IO, 1));
    EXPECT_EQ(-1, IdeGetPhyDevList(&devNum, phys.data(), IDE_MAX_DEV_NUM));
    EXPECT_TRUE(logs.Has("Get physical device number failed, err: 2"));

    ASSERT_EQ(0, ostrel_sim_fault_set(OSTREL_SIM_FAULT_LOCAL_IDS, DRV_ERROR_IO, 1));
    uint32_t logId = 0;
    EXPECT_EQ(-1, IdeGetLogIdByPhyId(7, &logId));
    EXPECT_TRUE(logs.Has("get device IDs failed, err: 2"));

    // No devices: an empty list, and no logical id for anything.
    ASSERT_EQ(0, ostrel_sim_fault_set_value(OSTREL_SIM_FAULT_DEV_NUM, 0, 2));
    EXPECT_EQ(0, IdeGetPhyDevList(&devNum, phys.data(), IDE_MAX_DEV_NUM));
    EXPECT_EQ(0u, devNum);
    EXPECT_EQ(-1, IdeGetLogIdByPhyId(7, &logId));

    // A count above the limit is reported without converting anything.
    uint64_t phyCalls = ostrel_sim_call_count(OSTREL_SIM_FAULT_PHY_ID);
    ASSERT_EQ(0, ostrel_sim_fault_set_value(OSTREL_SIM_FAULT_DEV_NUM, 2000, 1));
    EXPECT_EQ(0, IdeGetPhyDevList(&devNum, phys.data(), IDE_MAX_DEV_NUM));
    EXPECT_EQ(2000u, devNum);
    EXPECT_EQ(phyCalls, ostrel_sim_call_count(OSTREL_SIM_FAULT_PHY_ID));
}

}  // namespace
