#include "transport/hdc_transport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include "common/memory_utils.h"
#include "message/job_context.h"
#include "ostrel/sim_control.h"
#include "testing/sim_session.h"
#include "testing/test_log_capture.h"
#include "transport/uploader.h"
#include "wire/codec.h"

namespace analysis::orbx::transport {
namespace {

using common::TestLogCapture;
using oru_testing::Packet;
using ostrel::simtest::ResetSim;
using ostrel::simtest::UseSetting;
namespace pb = analysis::orbx::proto;

std::shared_ptr<ProfileFileChunk> Chunk(const std::string& bytes, size_t size,
                                        const std::string& fileName, const std::string& extra) {
    auto chunk = std::make_shared<ProfileFileChunk>();
    chunk->chunk = bytes;
    chunk->chunkSize = size;
    chunk->chunkModule = kChunkModuleData;
    chunk->fileName = fileName;
    chunk->extraInfo = extra;
    return chunk;
}

class HdcTransportTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetSim();
        ASSERT_TRUE(pair_.Open(0));
    }
    void TearDown() override {
        transport_.reset();
        if (owned_) {
            pair_.device = nullptr;  // closed by the transport
        }
        pair_.Close();
        ResetSim();
    }

    HDCTransport& Transport() {
        if (transport_ == nullptr) {
            transport_ = HDCTransportFactory::CreateHdcTransport(pair_.device);
            owned_ = transport_ != nullptr;
        }
        EXPECT_NE(transport_, nullptr);
        return static_cast<HDCTransport&>(*transport_);
    }

    std::string HostRead() {
        void* buf = nullptr;
        uint32_t len = 0;
        EXPECT_EQ(HdcSessionRead(pair_.host, &buf, &len), 0);
        std::string out(static_cast<char*>(buf), len);
        IdeXfree(buf);
        return out;
    }

    TestLogCapture log_;
    oru_testing::SimSessionPair pair_;
    std::shared_ptr<ITransport> transport_;
    bool owned_ = false;
};

TEST_F(HdcTransportTest, FailedCreationLeavesTheSessionWithTheCaller) {
    ASSERT_EQ(ostrel_sim_fault_set(OSTREL_SIM_FAULT_SESSION_ATTR, 7, 1), 0);
    const uint32_t open = ostrel_sim_open_handles(OSTREL_SIM_HANDLE_SESSION);
    EXPECT_EQ(HDCTransportFactory::CreateHdcTransport(pair_.device), nullptr);
    EXPECT_EQ(log_.Count("IdeGetDevIdBySession failed, err: "), 1u);
    EXPECT_EQ(ostrel_sim_open_handles(OSTREL_SIM_HANDLE_SESSION), open);
    const std::string ping = "ping";
    EXPECT_EQ(HdcSessionWrite(pair_.device, ping.data(), 4), 0);
    EXPECT_EQ(HostRead(), ping);
}

// The card numbers at most 64 devices: a session of the last is made to report the next.
int NextDevIndex(HDC_SESSION session, int* devId) {
    const int ret = KvtGetDevIdBySession(session, devId);
    *devId += 1;
    return ret;
}

TEST(HdcTransportDevices, DeviceIndex63IsTheLastAccepted) {
    TestLogCapture log;
    ResetSim();
    UseSetting("OSTREL_SIM_DEVICES", "64");
    oru_testing::SimSessionPair pair;
    ASSERT_TRUE(pair.Open(63));
    const uint32_t open = ostrel_sim_open_handles(OSTREL_SIM_HANDLE_SESSION);

    EXPECT_EQ(HDCTransportFactory::CreateHdcTransport(pair.device, NextDevIndex), nullptr);
    EXPECT_EQ(log.Count("[CreateHdcTransport]devId: 64 is not valid!"), 1u);
    EXPECT_EQ(ostrel_sim_open_handles(OSTREL_SIM_HANDLE_SESSION), open);

    auto t = HDCTransportFactory::CreateHdcTransport(pair.device);
    EXPECT_NE(t, nullptr);
    EXPECT_EQ(log.Count("IdeGetDevIdBySession success, devid:63"), 1u);
    if (t != nullptr) {
        pair.device = nullptr;  // the transport closes it
    }
    t.reset();
    pair.Close();
    ResetSim();
}

TEST_F(HdcTransportTest, ChunkNamesAndBytesFollowItsFieldsAtTheirEdges) {
    struct Case {
        std::string bytes;
        size_t size;
        std::string fileName, extra;
        std::string sentBytes, sentName, tag, jobId;
    } cases[] = {
        {std::string("\x00\x10 llc \xff", 8), 8, "data/llc.data.tag1", "job.with.points.3",
         std::string("\x00\x10 llc \xff", 8), "data/llc.data", "tag1", "job.with.points"},
        {"abc", 3, "nopoint", "job.0", "abc", "", "", "job"},    // no point: no name, no tag
        {"0123456789", 4, "f.t", "j.0", "0123", "f", "t", "j"},  // at most its size
        {"xy", 1000, "f.t", "j.0", "xy", "f", "t", "j"},         // no more than it holds
        {"", 0, "f.t", "j.0", "", "f", "t", "j"},                // no payload at all
        {std::string(60000, 'p'), 60000, "f.t", "j.0", std::string(60000, 'p'), "f", "t", "j"},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        auto chunk = Chunk(c.bytes, c.size, c.fileName, c.extra);
        chunk->isLastChunk = i % 2 == 0;
        chunk->offset = i == 0 ? -1 : static_cast<int64_t>(i);
        ASSERT_EQ(Transport().SendBuffer(chunk), 0);
        const std::string packet = HostRead();
        ASSERT_GE(packet.size(), IDE_TLV_HEAD_LEN);
        auto req = message::DecodeAs<pb::FileChunkReq>(packet.data() + IDE_TLV_HEAD_LEN,
                                                       packet.size() - IDE_TLV_HEAD_LEN);
        ASSERT_NE(req, nullptr) << c.fileName;
        // Byte for byte the codec's encoding of what it carries.
        EXPECT_EQ(packet, Packet(5, message::EncodeMessage(*req)));
        EXPECT_EQ(req->chunk(), c.sentBytes);
        EXPECT_EQ(req->chunksizeinbytes(), static_cast<int32_t>(c.size));
        EXPECT_EQ(req->filename(), c.sentName);
        EXPECT_EQ(req->offset(), chunk->offset);
        EXPECT_EQ(req->islastchunk(), chunk->isLastChunk);
        EXPECT_EQ(req->datamodule(), 3);
        message::JobContext ctx;
        ASSERT_TRUE(ctx.FromString(req->hdr().job_ctx()));
        EXPECT_EQ(ctx.tag, c.tag);
        EXPECT_EQ(ctx.job_id, c.jobId);
        EXPECT_EQ(ctx.dev_id, c.extra.substr(c.extra.rfind('.') + 1));
    }
}

TEST_F(HdcTransportTest, PooledPayloadIsSentFromItsBuffer) {
    common::memory::BufferPool pool(4096, 1);
    auto chunk = Chunk("", 5, "data/llc.data.null", "job.0");
    chunk->pooled = pool.Take();
    ASSERT_NE(chunk->pooled, nullptr);
    std::memcpy(chunk->pooled->Data(), "pooledXXX", 9);
    ASSERT_EQ(Transport().SendBuffer(chunk), 0);
    const std::string packet = HostRead();
    ASSERT_GE(packet.size(), IDE_TLV_HEAD_LEN);
    auto req = message::DecodeAs<pb::FileChunkReq>(packet.data() + IDE_TLV_HEAD_LEN,
                                                   packet.size() - IDE_TLV_HEAD_LEN);
    ASSERT_NE(req, nullptr);
    EXPECT_EQ(req->chunk(), "poole");
    EXPECT_EQ(req->chunksizeinbytes(), 5);
}

TEST_F(HdcTransportTest, PacketsAreReadWhenTheirLengthMatchesUntilTheHostCloses) {
    const std::string longer = std::string(kContainerRefusal) + "!";
    struct Case {
        std::string bytes;
        int ret;  // -1: refused, the session goes on
        const char* log;
    } cases[] = {
        {std::string(11, '\x01'), -1, "hdc read failed: ret=0; bufLen=11"},
        {Packet(5, "", 0), 12, nullptr},
        // Claims more than arrived: a reader trusting it would read past the buffer.
        {Packet(5, "four", 1000), -1, "hdc read failed: ret=-1; bufLen=16"},
        {Packet(5, "four", 2), -1, "hdc read failed: ret=-1; bufLen=16"},
        {Packet(5, "good", 4), 16, nullptr},
        {Packet(5, kContainerRefusal, kContainerRefusalLen), -2, nullptr},
        {Packet(5, longer, static_cast<uint32_t>(longer.size())),
         static_cast<int>(12 + longer.size()), nullptr},
    };
    for (const Case& c : cases) {
        log_.Clear();
        ASSERT_EQ(HdcSessionWrite(pair_.host, c.bytes.data(), c.bytes.size()), 0);
        IdeTlvReq* packet = reinterpret_cast<IdeTlvReq*>(1);
        EXPECT_EQ(Transport().RecvPacket(&packet), c.ret) << c.bytes.size();
        if (c.ret == -1) {
            EXPECT_EQ(packet, nullptr);
            EXPECT_EQ(log_.Count(c.log), 1u) << c.log;
            continue;
        }
        ASSERT_NE(packet, nullptr);
        EXPECT_EQ(packet->type, 5u);
        if (c.ret > 0) {
            EXPECT_EQ(std::string(packet->value, packet->len), c.bytes.substr(12));
        }
        Transport().DestroyPacket(packet);
    }
    // A host that closes ends the reads.
    ASSERT_EQ(HdcSessionClose(pair_.host), 0);
    pair_.host = nullptr;
    IdeTlvReq* packet = reinterpret_cast<IdeTlvReq*>(1);
    EXPECT_EQ(Transport().RecvPacket(&packet), -1);
    EXPECT_EQ(packet, nullptr);
    EXPECT_EQ(log_.Count("hdc read failed: ret=1; bufLen=0"), 1u);
}

TEST_F(HdcTransportTest, CloseSessionTwiceClosesOnce) {
    HDCTransport& t = Transport();
    const uint32_t open = ostrel_sim_open_handles(OSTREL_SIM_HANDLE_SESSION);
    EXPECT_EQ(t.CloseSession(), 0);
    EXPECT_EQ(ostrel_sim_open_handles(OSTREL_SIM_HANDLE_SESSION), open - 1);
    EXPECT_EQ(t.CloseSession(), 0);
    EXPECT_EQ(ostrel_sim_open_handles(OSTREL_SIM_HANDLE_SESSION), open - 1);
    EXPECT_EQ(log_.Count("close HDC session"), 1u);
    EXPECT_EQ(ostrel_sim_call_count(OSTREL_SIM_FAULT_SESSION_CLOSE), 1u);

    const std::string value = "late";
    EXPECT_EQ(t.SendBuffer(value.data(), 4), -1);
    EXPECT_EQ(log_.Count("hdc write failed, outLen=16 bytes"), 1u);
    IdeTlvReq* packet = nullptr;
    EXPECT_EQ(t.RecvPacket(&packet), -1);
}

}  // namespace
}  // namespace analysis::orbx::transport
