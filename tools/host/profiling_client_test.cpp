#include "tools/host/profiling_client.h"

#include <gtest/gtest.h>

#include <chrono>

#include <string>
#include <thread>
#include <vector>

#include "daemon/memory_utils.h"
#include "message/codec.h"
#include "message/job_context.h"
#include "message/status_info.h"
#include "ostrel/sim_control.h"
#include "platform/sim/sim_test_util.h"
#include "tools/host/testing/mini_device.h"

namespace analysis::orbx::host {
namespace {

namespace pb = analysis::orbx::proto;
using hosttest::MiniDevice;
using ostrel::simtest::ResetSim;

using hosttest::DataPlan;
using hosttest::FileChunk;

class ProfilingClientTest : public ::testing::Test {
  protected:
    void SetUp() override { ResetSim(); }
    void TearDown() override {
        client_.reset();
        // The miniature device's threads close their sessions as they end;
        // give them a moment on a loaded machine before counting.
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (ostrel_sim_open_handles(OSTREL_SIM_HANDLE_SESSION) != 0u &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        EXPECT_EQ(ostrel_sim_open_handles(OSTREL_SIM_HANDLE_SESSION), 0u);
        ResetSim();
    }

    std::shared_ptr<HostClient> Client() {
        if (client_ == nullptr) {
            client_ = HostClient::Create();
        }
        EXPECT_NE(client_, nullptr);
        return client_;
    }

    std::shared_ptr<HostClient> client_;
};

TEST_F(ProfilingClientTest, ChunkStreamKeepsItsOrderAndFields) {
    DataPlan plan;
    for (int i = 0; i < 50; ++i) {
        plan.chunks.push_back(FileChunk("data/f.data", std::to_string(i), i == 49));
    }
    MiniDevice device(plan);
    ASSERT_TRUE(device.Start());
    std::unique_ptr<DataChannel> data;
    ASSERT_EQ(DataChannel::Open(*Client(), {0, 0}, {"job-1", 0, ""}, &data, nullptr), kRecvOk);
    std::vector<proto::FileChunkReq> chunks;
    ASSERT_EQ(data->ReadUntilFinish(&chunks), kRecvOk);
    ASSERT_EQ(chunks.size(), 50u);
    for (int i = 0; i < 50; ++i) {
        EXPECT_EQ(chunks[i].chunk(), std::to_string(i));
        EXPECT_EQ(chunks[i].filename(), "data/f.data");
        EXPECT_EQ(chunks[i].offset(), -1);
        EXPECT_EQ(chunks[i].islastchunk(), i == 49);
    }
    data.reset();
    device.Stop();
}

// ---- The session itself -------------------------------------------------

class HostSessionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetSim();
        server_ = HdcServerCreate(0, HDC_SERVICE_TYPE_IDE);
        ASSERT_NE(server_, nullptr);
        client_ = HostClient::Create();
        ASSERT_NE(client_, nullptr);
        session_ = client_->Connect(0);
        ASSERT_NE(session_, nullptr);
        device_ = HdcServerAccept(server_);
        ASSERT_NE(device_, nullptr);
    }
    void TearDown() override {
        session_.reset();
        client_.reset();
        if (device_ != nullptr) {
            HdcSessionClose(device_);
        }
        HdcServerDestroy(server_);
        EXPECT_EQ(ostrel_sim_open_handles(OSTREL_SIM_HANDLE_SESSION), 0u);
        ResetSim();
    }
    void DeviceWrite(const std::string& bytes) {
        ASSERT_EQ(HdcSessionWrite(device_, bytes.data(), static_cast<uint32_t>(bytes.size())), 0);
    }

    HDC_SERVER server_ = nullptr;
    HDC_SESSION device_ = nullptr;
    std::shared_ptr<HostClient> client_;
    std::unique_ptr<HostSession> session_;
};

TEST_F(HostSessionTest, MalformedPacketsAreFailuresAndTheNextOneIsRead) {
    DeviceWrite(std::string(11, 'x'));
    std::string value;
    EXPECT_EQ(session_->RecvValue(&value), kRecvFailed);

    std::string lying(IDE_TLV_HEAD_LEN, '\0');
    lying[8] = 100;  // claims 100 value bytes, carries 3
    DeviceWrite(lying + "abc");
    EXPECT_EQ(session_->RecvValue(&value), kRecvFailed);

    std::string sound(IDE_TLV_HEAD_LEN, '\0');
    sound[8] = 3;
    DeviceWrite(sound + "abc");
    EXPECT_EQ(session_->RecvValue(&value), kRecvOk);
    EXPECT_EQ(value, "abc");

    // A packet whose value is not a message.
    DeviceWrite(sound + "xyz");
    message::MessagePtr msg;
    EXPECT_EQ(session_->RecvMessage(&msg), kRecvFailed);
}

TEST_F(HostSessionTest, CloseIsOnceAndEndsReads) {
    EXPECT_EQ(session_->Close(), 0);
    EXPECT_EQ(session_->Close(), 0);
    EXPECT_EQ(ostrel_sim_call_count(OSTREL_SIM_FAULT_SESSION_CLOSE), 1u);
    std::string value;
    EXPECT_EQ(session_->RecvValue(&value), kRecvFailed);
    EXPECT_EQ(session_->SendValue("a", 1), -1);
}

}  // namespace
}  // namespace analysis::orbx::host
