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

TEST_F(DevicesTest, OneDeviceWhosePhysicalIdIsItsLogicalIdByDefault) {
    EXPECT_EQ(std::vector<uint32_t>{0}, PhysicalIds());
    uint32_t index = 99;
    ASSERT_EQ(DRV_ERROR_NONE, drvDeviceGetIndexByPhyId(0, &index));
    EXPECT_EQ(0u, index);
    EXPECT_NE(DRV_ERROR_NONE, drvDeviceGetIndexByPhyId(1, &index));
    uint32_t phy = 0;
    EXPECT_NE(DRV_ERROR_NONE, drvDeviceGetPhyIdByIndex(1, &phy));
}

TEST_F(DevicesTest, PhysicalIdsFollowTheConfiguredMapping) {
    setenv("OSTREL_SIM_DEVICES", "3", 1);
    UseSetting("OSTREL_SIM_PHY_IDS", "0:4,1:5");
    EXPECT_EQ((std::vector<uint32_t>{4, 5, 2}), PhysicalIds());
    uint32_t index = 99;
    ASSERT_EQ(DRV_ERROR_NONE, drvDeviceGetIndexByPhyId(5, &index));
    EXPECT_EQ(1u, index);
    ASSERT_EQ(DRV_ERROR_NONE, drvDeviceGetIndexByPhyId(2, &index));
    EXPECT_EQ(2u, index);
    EXPECT_NE(DRV_ERROR_NONE, drvDeviceGetIndexByPhyId(0, &index));  // 0 is now device 4
    uint32_t ids[64] = {};
    ASSERT_EQ(DRV_ERROR_NONE, drvGetDevIDs(ids, 64));
    EXPECT_EQ(0u, ids[0]);
    EXPECT_EQ(2u, ids[2]);
}

TEST_F(DevicesTest, IdListsStopAtTheGivenLength) {
    UseSetting("OSTREL_SIM_DEVICES", "4");
    uint32_t ids[4] = {77, 77, 77, 77};
    ASSERT_EQ(DRV_ERROR_NONE, drvGetDeviceLocalIDs(ids, 2));
    EXPECT_EQ(0u, ids[0]);
    EXPECT_EQ(1u, ids[1]);
    EXPECT_EQ(77u, ids[2]);
    EXPECT_NE(DRV_ERROR_NONE, drvGetDeviceLocalIDs(nullptr, 4));
    EXPECT_NE(DRV_ERROR_NONE, drvGetDevNum(nullptr));
}

TEST_F(DevicesTest, InvalidSettingsKeepTheirDefaults) {
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

TEST_F(DevicesTest, DeviceInformationByType) {
    EXPECT_EQ(0x0100, SystemInfo(DEV_INFO_TYPE_VERSION));  // not the mini class (0x00..)
    EXPECT_EQ(1800000, SystemInfo(DEV_INFO_TYPE_HOST_FREQ));
    EXPECT_EQ(1000000, SystemInfo(DEV_INFO_TYPE_DEV_FREQ));
    int64_t value = 0;
    EXPECT_EQ(DRV_ERROR_NOT_SUPPORT, halGetDeviceInfo(0, DEV_MODULE_SYSTEM, 2, &value));
    EXPECT_EQ(DRV_ERROR_NOT_SUPPORT, halGetDeviceInfo(0, 3, DEV_INFO_TYPE_VERSION, &value));
    EXPECT_NE(DRV_ERROR_NONE,
              halGetDeviceInfo(1, DEV_MODULE_SYSTEM, DEV_INFO_TYPE_VERSION, &value));
    EXPECT_NE(DRV_ERROR_NONE,
              halGetDeviceInfo(0, DEV_MODULE_SYSTEM, DEV_INFO_TYPE_VERSION, nullptr));

    setenv("OSTREL_SIM_CHIP_VERSION", "0x0205", 1);
    UseSetting("OSTREL_SIM_DEVICE_FREQ", "1500000");
    EXPECT_EQ(0x0205, SystemInfo(DEV_INFO_TYPE_VERSION));
    EXPECT_EQ(1500000, SystemInfo(DEV_INFO_TYPE_DEV_FREQ));
}

TEST_F(DevicesTest, PlatformInfoAndApiVersion) {
    uint32_t info = 9;
    ASSERT_EQ(DRV_ERROR_NONE, drvGetPlatformInfo(&info));
    EXPECT_EQ(0u, info);  // device side
    UseSetting("OSTREL_SIM_RUN_SIDE", "1");
    ASSERT_EQ(DRV_ERROR_NONE, drvGetPlatformInfo(&info));
    EXPECT_EQ(1u, info);
    uint32_t version = 0;
    ASSERT_EQ(DRV_ERROR_NONE, halGetAPIVersion(&version));
    EXPECT_NE(0u, version);
    EXPECT_NE(DRV_ERROR_NONE, halGetAPIVersion(nullptr));
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

    EXPECT_STREQ("server_create", ostrel_sim_fault_name(OSTREL_SIM_FAULT_SERVER_CREATE));
    EXPECT_STREQ("appmon_deregister", ostrel_sim_fault_name(OSTREL_SIM_FAULT_APPMON_DEREGISTER));
    EXPECT_EQ(nullptr, ostrel_sim_fault_name(OSTREL_SIM_FAULT_POINT_COUNT));
}

}  // namespace
