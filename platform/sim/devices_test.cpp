// Device enumeration and id mapping of the simulated card; its injected
// query faults are proven through the daemon's device queries.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "ostrel/hal.h"
#include "ostrel/sim_control.h"
#include "testing/sim_test_util.h"

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

}  // namespace
