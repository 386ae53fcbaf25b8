#include "daemon/kvt_hdc.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "daemon/memory_utils.h"
#include "daemon/testing/sim_session.h"

namespace {

using ostrel::simtest::ResetSim;
using ostrel::simtest::UseSetting;

class KvtHdcTest : public ::testing::Test {
  protected:
    void SetUp() override {
        UseSetting("OSTREL_SIM_DEVICES", "2");
        ASSERT_TRUE(pair_.Open(1));
    }
    void TearDown() override {
        pair_.Close();
        ResetSim();
    }
    oru_testing::SimSessionPair pair_;
};

TEST_F(KvtHdcTest, AProfilingPacketTravelsThroughTheFacade) {
    std::string body = oru_testing::Pattern(200000, 9);
    IdeTlvReq* packet = nullptr;
    uint32_t packetLen = 0;
    ASSERT_EQ(0, KvtIdeCreatePacket(body.data(), body.size(), &packet, &packetLen));
    EXPECT_EQ(IDE_PROFILING_REQ, packet->type);
    ASSERT_EQ(0, KvtHdcWrite(pair_.device, packet, packetLen));
    KvtIdeFreePacket(&packet);

    void* buf = nullptr;
    uint32_t len = 0;
    ASSERT_EQ(0, KvtHdcRead(pair_.host, &buf, &len));
    ASSERT_EQ(body.size() + IDE_TLV_HEAD_LEN, len);
    auto* got = static_cast<IdeTlvReq*>(buf);
    EXPECT_EQ(IDE_PROFILING_REQ, got->type);
    EXPECT_EQ(body.size(), got->len);
    EXPECT_EQ(0, memcmp(body.data(), got->value, body.size()));
    IdeXfree(buf);
}

}  // namespace
