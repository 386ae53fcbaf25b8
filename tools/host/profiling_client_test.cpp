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

TEST_F(ProfilingClientTest, ControlHandshakeThenCommandsEachAnswered) {
    DataPlan plan;
    plan.stopStatus = 1;
    MiniDevice device(plan);
    ASSERT_TRUE(device.Start());
    {
        std::unique_ptr<ControlChannel> ctrl;
        pb::Response reply;
        ASSERT_EQ(ControlChannel::Open(*Client(), {0, 0}, {"job-1", 0, "system"}, &ctrl, &reply),
                  kRecvOk);
        ASSERT_NE(ctrl, nullptr);
        EXPECT_EQ(reply.status(), pb::SUCCESS);
        message::StatusInfo status;
        ASSERT_TRUE(status.FromString(reply.message()));
        EXPECT_EQ(status.info, "ctrl ok");

        const std::string jobCtx = MakeJobContext("job-1", "0", "tag7");
        ASSERT_EQ(ctrl->StartJob(jobCtx, R"({"llc_profiling":"on"})", &reply), kRecvOk);
        EXPECT_EQ(reply.status(), pb::SUCCESS);

        pb::ReplayStartReq events;
        events.add_llc_events("read");
        events.add_llc_events("write");
        ASSERT_EQ(ctrl->StartReplay(jobCtx, events, &reply), kRecvOk);
        ASSERT_EQ(ctrl->StopReplay(jobCtx, &reply), kRecvOk);
        ASSERT_EQ(ctrl->StopJob(jobCtx, &reply), kRecvOk);
        EXPECT_EQ(reply.status(), pb::FAILED);
        ASSERT_TRUE(status.FromString(reply.message()));
        EXPECT_EQ(status.info, "stop job failed");

        // Nothing more is on its way.
        EXPECT_EQ(ctrl->AwaitResponse(&reply, 0), kRecvTimedOut);
    }
    device.Stop();

    const auto seen = device.Seen();
    ASSERT_EQ(seen.size(), 5u);
    EXPECT_EQ(seen[0], "ctrl job-1 0 system");
    message::JobContext ctx;
    const std::string prefix = "start ";
    ASSERT_EQ(seen[1].compare(0, prefix.size(), prefix), 0);
    const size_t configAt = seen[1].rfind(' ');
    ASSERT_TRUE(ctx.FromString(seen[1].substr(prefix.size(), configAt - prefix.size())));
    EXPECT_EQ(ctx.job_id, "job-1");
    EXPECT_EQ(ctx.tag, "tag7");
    EXPECT_EQ(seen[1].substr(configAt + 1), R"({"llc_profiling":"on"})");
    EXPECT_EQ(seen[2], "replay 2");
    EXPECT_EQ(seen[3], "replay stop");
    EXPECT_EQ(seen[4], "stop");
}

TEST_F(ProfilingClientTest, DataHandshakeThenChunksUpToTheFinish) {
    DataPlan plan;
    plan.chunks.push_back(FileChunk("data/llc.data", "first-", false));
    plan.chunks.push_back(FileChunk("data/Memory.data", std::string("\0\1\2", 3), true));
    plan.chunks.push_back(FileChunk("data/llc.data", "second", true));
    MiniDevice device(plan);
    ASSERT_TRUE(device.Start());
    {
        std::unique_ptr<DataChannel> data;
        pb::Response reply;
        ASSERT_EQ(DataChannel::Open(*Client(), {0, 0}, {"job-1", 0, "system"}, &data, &reply),
                  kRecvOk);
        EXPECT_EQ(reply.status(), pb::SUCCESS);

        std::map<std::string, CollectedFile> files;
        ASSERT_EQ(data->CollectUntilFinish(&files), kRecvOk);
        ASSERT_EQ(files.size(), 2u);
        const CollectedFile& llc = files["data/llc.data"];
        EXPECT_EQ(llc.data, "first-second");
        EXPECT_EQ(llc.chunks, 2u);
        EXPECT_TRUE(llc.complete);
        EXPECT_EQ(llc.tag, "tag7");
        EXPECT_EQ(llc.dataModule, kChunkModuleData);
        EXPECT_EQ(files["data/Memory.data"].data, std::string("\0\1\2", 3));

        // The device closes the session after its stream.
        proto::FileChunkReq chunk;
        bool finished = false;
        device.Stop();
        EXPECT_EQ(data->Next(&chunk, &finished), kRecvClosed);
    }
    EXPECT_EQ(device.Seen(), std::vector<std::string>{"data job-1 0 system"});
}

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

TEST_F(ProfilingClientTest, ContainerSessionIsRefusedAndNoListeningDeviceGivesNoChannel) {
    MiniDevice device;
    ASSERT_TRUE(device.Start());
    std::unique_ptr<ControlChannel> ctrl;
    pb::Response reply;
    EXPECT_EQ(ControlChannel::Open(*Client(), {0, 5}, {"job-1", 0, ""}, &ctrl, &reply),
              kRecvContainerRefused);
    EXPECT_EQ(ctrl, nullptr);
    device.Stop();
    EXPECT_EQ(device.Seen(), std::vector<std::string>{"container 5"});
    // With no device listening there is no channel either.
    EXPECT_EQ(ControlChannel::Open(*Client(), {0, 0}, {"job-1", 0, ""}, &ctrl, nullptr),
              kRecvFailed);
    EXPECT_EQ(ctrl, nullptr);
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

TEST_F(HostSessionTest, MessageGoesOutAsAProfilingPacket) {
    pb::CtrlChannelHandshake hs;
    hs.set_jobid("j");
    ASSERT_EQ(session_->SendMessage(hs), 0);
    void* buf = nullptr;
    uint32_t len = 0;
    ASSERT_EQ(HdcSessionRead(device_, &buf, &len), 0);
    const auto* req = static_cast<const IdeTlvReq*>(buf);
    EXPECT_EQ(req->type, 5u);
    EXPECT_EQ(req->dev_id, 0u);
    ASSERT_EQ(req->len, len - IDE_TLV_HEAD_LEN);
    auto decoded = message::DecodeAs<pb::CtrlChannelHandshake>(req->value, req->len);
    ASSERT_NE(decoded, nullptr);
    EXPECT_EQ(decoded->jobid(), "j");
    IdeXfree(buf);
}

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
