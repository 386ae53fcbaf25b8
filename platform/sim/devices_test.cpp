// Device enumeration, id mapping and device information of the simulated card.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "ostrel/hal.h"
#include "ostrel/sim_control.h"
#include "platform/sim/sim_test_util.h"

namespace {

using ostrel::simtest::ResetSim;
using ostrel::simtest::UseSetting;

class DevicesTest : public ::testing::Test {
  protected:
    void SetUp() override { ResetSim(); }
    void TearDown() override { ResetSim(); }
};

std::vector<uint32_t> PhysicalIds() {
    uint32_t n = 0;
    EXPECT_EQ(DRV_ERROR_NONE, drvGetDevNum(&n));
    std::vector<uint32_t> logical(64, 0xFFFF);
    EXPECT_EQ(DRV_ERROR_NONE, drvGetDeviceLocalIDs(logical.data(), 64));
    std::vector<uint32_t> phys;
    for (uint32_t i = 0; i < n; ++i) {
        uint32_t p = 0xFFFF;
        EXPECT_EQ(DRV_ERROR_NONE, drvDeviceGetPhyIdByIndex(logical[i], &p));
        phys.push_back(p);
    }
    return phys;
}

// Id lists stop at the given length; invalid settings keep their defaults.
TEST_F(DevicesTest, InvalidSettingsKeepTheirDefaults) {
    UseSetting("OSTREL_SIM_DEVICES", "4");
    uint32_t ids[4] = {77, 77, 77, 77};
    ASSERT_EQ(DRV_ERROR_NONE, drvGetDeviceLocalIDs(ids, 2));
    EXPECT_EQ((std::vector<uint32_t>{0, 1, 77, 77}), std::vector<uint32_t>(ids, ids + 4));

    setenv("OSTREL_SIM_DEVICES", "2", 1);
    UseSetting("OSTREL_SIM_PHY_IDS", "0:3,1:3");  // two devices cannot share an id
    EXPECT_EQ((std::vector<uint32_t>{0, 1}), PhysicalIds());
    UseSetting("OSTREL_SIM_DEVICES", "65");
    EXPECT_EQ(std::vector<uint32_t>{0}, PhysicalIds());
    UseSetting("OSTREL_SIM_DEVICES", "two");
    EXPECT_EQ(std::vector<uint32_t>{0}, PhysicalIds());
    UseSetting("OSTREL_SIM_DEVICES", "0");
    EXPECT_TRUE(PhysicalIds().empty());
}

// A system information value of device 0; -1 when the query fails.
int64_t SystemInfo(int32_t type) {
    int64_t value = 0;
    return halGetDeviceInfo(0, DEV_MODULE_SYSTEM, type, &value) == DRV_ERROR_NONE ? value : -1;
}

TEST_F(DevicesTest, InjectedDeviceQueryFaults) {
    uint32_t n = 0;
    ASSERT_EQ(0, ostrel_sim_fault_set(OSTREL_SIM_FAULT_DEV_NUM, DRV_ERROR_NOT_SUPPORT, 1));
    EXPECT_EQ(DRV_ERROR_NOT_SUPPORT, drvGetDevNum(&n));
    ASSERT_EQ(0, ostrel_sim_fault_set_value(OSTREL_SIM_FAULT_DEV_NUM, 65, 1));
    ASSERT_EQ(DRV_ERROR_NONE, drvGetDevNum(&n));
    EXPECT_EQ(65u, n);
    ASSERT_EQ(DRV_ERROR_NONE, drvGetDevNum(&n));
    EXPECT_EQ(1u, n);

    uint32_t phy = 0;
    ASSERT_EQ(0, ostrel_sim_fault_set(OSTREL_SIM_FAULT_PHY_ID, DRV_ERROR_IO, 1));
    EXPECT_EQ(DRV_ERROR_IO, drvDeviceGetPhyIdByIndex(0, &phy));
    EXPECT_EQ(DRV_ERROR_NONE, drvDeviceGetPhyIdByIndex(0, &phy));

    ASSERT_EQ(0, ostrel_sim_fault_set_value(OSTREL_SIM_FAULT_DEVICE_INFO, 0, 1));
    EXPECT_EQ(0, SystemInfo(DEV_INFO_TYPE_HOST_FREQ));
    int64_t value = 0;
    ASSERT_EQ(0, ostrel_sim_fault_set(OSTREL_SIM_FAULT_DEVICE_INFO, DRV_ERROR_NOT_SUPPORT, 1));
    EXPECT_EQ(DRV_ERROR_NOT_SUPPORT,
              halGetDeviceInfo(0, DEV_MODULE_SYSTEM, DEV_INFO_TYPE_VERSION, &value));

    uint32_t info = 0;
    ASSERT_EQ(0, ostrel_sim_fault_set(OSTREL_SIM_FAULT_PLATFORM_INFO, DRV_ERROR_NOT_SUPPORT, 1));
    EXPECT_EQ(DRV_ERROR_NOT_SUPPORT, drvGetPlatformInfo(&info));
    EXPECT_EQ(1u, ostrel_sim_call_count(OSTREL_SIM_FAULT_PLATFORM_INFO));
}

}  // namespace
