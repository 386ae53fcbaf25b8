// The HDC device link through real sessions of the simulated card, against a
// small device made of the daemon's own HDC server, transport and uploader.
#include "tools/oru_host/hdc_link.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "ostrel/sim_control.h"
#include "testing/mini_device.h"
#include "testing/sim_test_util.h"

namespace analysis::orbx::hosttool {
namespace {

namespace pb = analysis::orbx::proto;

using hosttest::DataPlan;
using hosttest::MiniDevice;

class HdcLinkTest : public ::testing::Test {
  protected:
    void SetUp() override { ostrel::simtest::ResetSim(); }
    void TearDown() override {
        EXPECT_EQ(ostrel_sim_open_handles(OSTREL_SIM_HANDLE_SESSION), 0u);
        ostrel::simtest::ResetSim();
    }
};

TEST_F(HdcLinkTest, ClosingFromAnotherThreadEndsAWaitForAReply) {
    // Streams two chunks once the stop has arrived, as oru does, and never answers the stop.
    DataPlan plan;
    plan.chunks = {hosttest::FileChunk("data/Memory.data", "first ", false, ""),
                   hosttest::FileChunk("data/Memory.data", "second", true, "")};
    plan.streamAtStop = true;
    plan.silentStop = true;
    MiniDevice device(plan);
    ASSERT_TRUE(device.Start());
    std::unique_ptr<DeviceLink> link = MakeHdcLink();
    Reply reply;
    std::string error;
    pb::CtrlChannelHandshake ctrl;
    ctrl.set_jobid("job-1");
    ASSERT_TRUE(link->OpenControl(0, 0, ctrl, &reply, &error)) << error;
    EXPECT_EQ(reply.status, 0);
    pb::DataChannelHandshake data;
    data.set_jobid("job-1");
    ASSERT_TRUE(link->OpenData(0, 0, data, &reply, &error)) << error;

    std::thread closer([&] {
        // The stop has arrived and will not be answered.
        EXPECT_TRUE(device.WaitForStop()) << "the job stop never reached the device";
        link->CloseControl();
        link->CloseData();
    });
    pb::JobStopReq stop;
    EXPECT_FALSE(link->Command(stop, &reply, &error));
    EXPECT_EQ(error.rfind("no answer to JobStopReq", 0), 0u) << error;
    closer.join();
    std::shared_ptr<google::protobuf::Message> m;
    // The data session was closed by the host before anything but the
    // handshake answer could be read.
    EXPECT_FALSE(link->ReadData(&m, &error));
    link.reset();
}

}  // namespace
}  // namespace analysis::orbx::hosttool
