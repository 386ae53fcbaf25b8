#include "tools/host/profiling_client.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "common/memory_utils.h"
#include "message/job_context.h"
#include "message/status_info.h"
#include "ostrel/sim_control.h"
#include "testing/mini_device.h"
#include "testing/process.h"
#include "testing/sim_test_util.h"
#include "wire/codec.h"

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
        // The device's threads close their sessions as they end: give them a moment.
        EXPECT_TRUE(oru_testing::WaitUntil([] {
            return ostrel_sim_open_handles(OSTREL_SIM_HANDLE_SESSION) == 0u;
        })) << ostrel_sim_open_handles(OSTREL_SIM_HANDLE_SESSION)
            << " sessions left open";
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

// Multi-segment chunks arrive exact and in order, the first half seen in place: same-size payloads
// sit at the same address of a receive buffer that stops growing after the first; the rest are
// read whole, each with its fields.
TEST_F(ProfilingClientTest, ChunksArriveExactInOrderInOneReusedBuffer) {
    constexpr int kChunks = 10;
    constexpr size_t kBytes = (1u << 20) + 7;  // three segments of the simulated card
    auto pattern = [](int i) { return ostrel::simtest::Pattern(kBytes, static_cast<unsigned>(i)); };
    DataPlan plan;
    for (int i = 0; i < kChunks; ++i) {
        plan.chunks.push_back(FileChunk("data/big.data", pattern(i), i == kChunks - 1));
    }
    MiniDevice device(plan);
    ASSERT_TRUE(device.Start());
    std::unique_ptr<DataChannel> data;
    ASSERT_EQ(DataChannel::Open(*Client(), {0, 0}, {"job-1", 0, ""}, &data, nullptr), kRecvOk);
    FileChunkView view;
    const char* firstAt = nullptr;
    size_t capacity = 0;
    int received = 0;
    for (bool finished = false; received < kChunks / 2; ++received) {
        ASSERT_EQ(data->NextView(&view, &finished), kRecvOk) << "after " << received << " chunks";
        ASSERT_FALSE(finished) << "after " << received << " chunks";
        EXPECT_EQ(view.fields.filename(), "data/big.data");
        EXPECT_FALSE(view.fields.islastchunk());
        EXPECT_TRUE(view.fields.chunk().empty());
        EXPECT_TRUE(view.payload == pattern(received)) << "chunk " << received << " differs";
        const HdcRecvBuffer& buffer = data->Session().ReceiveBuffer();
        EXPECT_GE(view.payload.data(), buffer.Data()) << "chunk " << received << " was copied";
        EXPECT_LE(view.payload.data() + kBytes, buffer.Data() + buffer.Size());
        if (received == 0) {
            firstAt = view.payload.data();
            capacity = buffer.Capacity();
        }
        EXPECT_EQ(view.payload.data(), firstAt) << "chunk " << received << " was moved";
        EXPECT_EQ(buffer.Capacity(), capacity) << "chunk " << received;
    }
    EXPECT_LT(capacity, 2 * kBytes);
    std::vector<proto::FileChunkReq> rest;
    ASSERT_EQ(data->ReadUntilFinish(&rest), kRecvOk);
    ASSERT_EQ(rest.size(), static_cast<size_t>(kChunks - received));
    for (const proto::FileChunkReq& chunk : rest) {
        EXPECT_TRUE(chunk.chunk() == pattern(received)) << "chunk " << received << " differs";
        EXPECT_EQ(chunk.filename(), "data/big.data");
        EXPECT_EQ(chunk.offset(), -1);
        EXPECT_EQ(chunk.islastchunk(), ++received == kChunks);
    }
    data.reset();
    device.Stop();
}

// The payload seen in place and the other fields agree with a parse of the whole body, and
// a body fails exactly when that parse fails.
TEST(FileChunkViewTest, AgreesWithTheWholeParse) {
    proto::FileChunkReq full;
    full.mutable_hdr()->set_job_ctx("{\"job_id\":\"j\"}");
    full.set_filename("data/x.data");
    full.set_offset(-1);
    full.set_chunk(std::string("pay\0load", 8));
    full.set_chunksizeinbytes(8);
    full.set_islastchunk(true);
    full.set_datamodule(3);
    const std::string body = full.SerializeAsString();
    const std::string chunkField =
        "\x22\x03"
        "abc";                                       // Chunk = "abc"
    const std::string wrongType = "\x20\x05";        // field 4 as a varint: an unknown field
    const std::string badUtf8 = "\x12\x02\xff\xfe";  // FileName, not UTF-8
    struct Case {
        const char* name;
        std::string body;
    };
    const std::vector<Case> cases = {
        {"every field", body},
        {"empty body", ""},
        {"no Chunk", "\x12\x01x"},
        {"Chunk twice, last wins", body + chunkField},
        {"Chunk first", chunkField + "\x12\x01x"},
        {"Chunk with a varint wire type", wrongType + body},
        {"unknown fields", body + "\xa8\x1f\x01" + "\xb2\x1f\x02zz"},
        {"truncated in Chunk", body.substr(0, body.size() - 3)},
        {"Chunk longer than the body",
         "\x22\x7f"
         "abc"},
        {"Chunk length overflows",
         "\x22\xff\xff\xff\xff\x0f"
         "abc"},
        {"tag zero", std::string("\x00\x01", 2)},
        {"end of a group", body + "\x0c"},
        {"bad varint", body + "\x18\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff"},
        {"file name not UTF-8", body + badUtf8},
    };
    FileChunkView view;
    int failures = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        proto::FileChunkReq whole;
        const bool wholeOk = whole.ParseFromArray(c.body.data(), static_cast<int>(c.body.size()));
        const bool viewOk = ParseFileChunkView(c.body.data(), c.body.size(), &view);
        ASSERT_EQ(viewOk, wholeOk);
        failures += wholeOk ? 0 : 1;
        if (!wholeOk) {
            continue;
        }
        EXPECT_TRUE(view.fields.chunk().empty());
        EXPECT_EQ(view.payload, whole.chunk());
        if (!view.payload.empty()) {
            EXPECT_GE(view.payload.data(), c.body.data());
            EXPECT_LE(view.payload.data() + view.payload.size(), c.body.data() + c.body.size());
        }
        view.fields.set_chunk(std::string(view.payload));
        EXPECT_EQ(view.fields.SerializeAsString(), whole.SerializeAsString());
    }
    EXPECT_EQ(failures, 7);  // the malformed rows do fail
}

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
