#include "message/codec.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>

#include "common/test_log_capture.h"

namespace analysis::orbx::message {
namespace {

using common::TestLogCapture;
namespace pb = analysis::orbx::proto;

std::string FrameHead(uint32_t nameLen) {
    uint32_t be = htonl(nameLen);
    return std::string(reinterpret_cast<const char*>(&be), sizeof(be));
}

std::string Frame(const std::string& name, const std::string& body = "") {
    return FrameHead(static_cast<uint32_t>(name.size() + 1)) + name + std::string(1, '\0') + body;
}

// A big-endian name length, the full type name, a zero byte, then the body.
TEST(CodecFrame, LengthNameZeroAndBody) {
    pb::JobStopReq empty;
    const std::string name = "analysis.orbx.proto.JobStopReq";
    const std::string bytes = EncodeMessage(empty);
    ASSERT_EQ(bytes.size(), 4 + name.size() + 1);
    EXPECT_EQ(bytes, Frame(name));
    MessagePtr decoded = DecodeMessage(bytes);
    ASSERT_NE(decoded, nullptr);
    EXPECT_EQ(decoded->GetTypeName(), name);
    EXPECT_EQ(decoded->ByteSizeLong(), 0u);

    pb::DeviceInfo msg;
    msg.set_dev_id("7");
    EXPECT_EQ(EncodeMessage(msg), Frame("analysis.orbx.proto.DeviceInfo", msg.SerializeAsString()));
}

TEST(CodecFrame, NullMessageEncodesToNothing) {
    TestLogCapture log;
    EXPECT_TRUE(EncodeMessage(static_cast<const Message*>(nullptr)).empty());
    EXPECT_TRUE(log.Count("Message is null"));
}

// Each refused frame logs its own reason, and nothing of a later check.
TEST(CodecDecode, RefusedFramesAndTheirReasons) {
    const std::string stop = "analysis.orbx.proto.JobStopReq";
    const std::string longName(1024, 'x');
    const std::string beyond = FrameHead(static_cast<uint32_t>(stop.size() + 2)) + stop + '\0';
    const struct {
        std::string bytes;
        size_t len;  // 0: the size of bytes
        std::string logged;
        std::string notLogged;
    } cases[] = {
        {FrameHead(0), 0, "Failed to CreateMessage from name:", "bufLen less than"},
        // A name length of 1025 passes the limit, 1026 does not.
        {FrameHead(1025) + longName + '\0', 0, "Failed to CreateMessage from name:", "too big"},
        {FrameHead(1026) + longName + std::string(2, '\0'), 0,
         "[DecodeMessage] buf size(1026) is too big.", "CreateMessage"},
        {beyond, 0,
         "bufLen less than name, bufLen=" + std::to_string(beyond.size()) +
             ", expected_len=" + std::to_string(4 + stop.size() + 2),
         "FindMessageTypeByName"},
        {std::string("\0\0\0", 3), 0, "bufLen less than name len, bufLen=3, expected_len=4", ""},
        // The length check comes first: the bytes past the frame head are not read.
        {Frame(stop), kMaxFrameBytes + 1, "[DecodeMessage] buf size(134217729) is too big.", ""},
        {Frame("analysis.orbx.proto.NoSuchThing", "\xff\xff\xff"), 0,
         "Failed to FindMessageTypeByName, name=analysis.orbx.proto.NoSuchThing", "ParseFromArray"},
        // The package is part of the name.
        {Frame("JobStopReq"), 0, "Failed to CreateMessage from name:JobStopReq", ""},
        // Field 2 (JobId) claiming 100 bytes that are not there.
        {Frame(stop, std::string("\x12\x64x", 3)), 0, "Failed to ParseFromArray, dataLen=3", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.logged);
        TestLogCapture log;
        EXPECT_EQ(DecodeMessage(c.bytes.data(), c.len != 0 ? c.len : c.bytes.size()), nullptr);
        EXPECT_TRUE(log.Count(c.logged));
        if (!c.notLogged.empty()) {
            EXPECT_FALSE(log.Count(c.notLogged));
        }
    }
    EXPECT_EQ(DecodeMessage(nullptr, 0), nullptr);
}

TEST(CodecDecode, NameEndsAtItsFirstZeroByte) {
    const std::string name = "analysis.orbx.proto.DataChannelFinish";
    // nameLen covers trailing padding after the zero byte.
    const std::string bytes =
        FrameHead(static_cast<uint32_t>(name.size() + 4)) + name + std::string(4, '\0');
    MessagePtr msg = DecodeMessage(bytes);
    ASSERT_NE(msg, nullptr);
    EXPECT_EQ(msg->GetTypeName(), name);
}

TEST(CodecDecode, BrokenBodyIsRejected) {
    TestLogCapture log;
    // Field 2 (JobId) as a length-delimited value claiming 100 bytes that are not there.
    EXPECT_EQ(DecodeMessage(Frame("analysis.orbx.proto.JobStopReq", std::string("\x12\x64x", 3))),
              nullptr);
    EXPECT_TRUE(log.Count("Failed to ParseFromArray, dataLen=3"));
}

TEST(CodecDecode, DecodeAsRefusesAnotherType) {
    pb::JobStopReq msg;
    msg.set_jobid("j");
    const std::string bytes = EncodeMessage(msg);
    EXPECT_EQ(DecodeAs<pb::JobStartReq>(bytes.data(), bytes.size()), nullptr);
    EXPECT_NE(DecodeAs<pb::JobStopReq>(bytes.data(), bytes.size()), nullptr);
}

// Round trips: every type, every field set to a value other than its default.
template <class T>
void ExpectRoundTrip(const T& original) {
    const std::string bytes = EncodeMessage(original);
    ASSERT_FALSE(bytes.empty());
    auto decoded = DecodeAs<T>(bytes.data(), bytes.size());
    ASSERT_NE(decoded, nullptr) << original.GetTypeName();
    EXPECT_EQ(decoded->SerializeAsString(), original.SerializeAsString());
    EXPECT_EQ(decoded->DebugString(), original.DebugString());
}

pb::Header MakeHeader() {
    pb::Header h;
    h.set_magic("magic");
    h.set_job_ctx(R"({"job_id":"1.2","dev_id":"0"})");
    return h;
}

TEST(CodecRoundTrip, EveryMessageType) {
    ExpectRoundTrip(MakeHeader());

    pb::FileChunkReq chunk;
    *chunk.mutable_hdr() = MakeHeader();
    chunk.set_filename("data/llc.data");
    chunk.set_offset(-1);
    chunk.set_chunk(std::string("\0\x01\xff binary", 10));
    chunk.set_chunksizeinbytes(10);
    chunk.set_islastchunk(true);
    chunk.set_needack(true);
    chunk.set_tag("tag");
    chunk.set_tagsuffix("sfx");
    chunk.set_chunkstarttime(UINT64_MAX);
    chunk.set_chunkendtime(12345);
    chunk.set_datamodule(3);
    ExpectRoundTrip(chunk);

    pb::FileChunkFlushReq flush;
    *flush.mutable_hdr() = MakeHeader();
    flush.set_filename("f");
    flush.set_datamodule(5);
    ExpectRoundTrip(flush);

    pb::Response rsp;
    *rsp.mutable_hdr() = MakeHeader();
    rsp.set_jobid("job");
    rsp.set_status(pb::FAILED);
    rsp.set_message(R"({"status":1})");
    ExpectRoundTrip(rsp);

    pb::JobStartReq start;
    *start.mutable_hdr() = MakeHeader();
    start.set_sampleconfig(R"({"llc_profiling":"on"})");
    ExpectRoundTrip(start);

    pb::JobStopReq stop;
    *stop.mutable_hdr() = MakeHeader();
    stop.set_jobid("job");
    ExpectRoundTrip(stop);

    pb::ReplayStartReq replay;
    *replay.mutable_hdr() = MakeHeader();
    replay.set_replayid(-2);
    replay.add_ctrl_cpu_events("0x11");
    replay.add_ts_cpu_events("0x12");
    replay.add_ai_cpu_events("0x13");
    replay.add_ai_core_events("0x14");
    replay.add_ai_core_events_cores(1);
    replay.add_ai_core_events_cores(2);
    replay.add_llc_events("read");
    replay.add_ddr_events("write");
    replay.add_aiv_events("0x15");
    replay.add_aiv_events_cores(3);
    ExpectRoundTrip(replay);

    pb::ReplayStopReq replayStop;
    *replayStop.mutable_hdr() = MakeHeader();
    replayStop.set_replayid(9);
    ExpectRoundTrip(replayStop);

    pb::FinishJobRsp finish;
    *finish.mutable_hdr() = MakeHeader();
    finish.set_jobid("job");
    finish.set_status(pb::FAILED);
    finish.set_message("m");
    ExpectRoundTrip(finish);

    pb::CtrlChannelHandshake ctrl;
    ctrl.set_jobid("job");
    ctrl.set_devid(63);
    ctrl.set_mode("system-wide");
    ExpectRoundTrip(ctrl);

    pb::DataChannelHandshake data;
    data.set_jobid("job");
    data.set_devid(-1);
    data.set_mode("m");
    ExpectRoundTrip(data);

    pb::DeviceInfo dev;
    dev.set_dev_id("3");
    ExpectRoundTrip(dev);

    pb::DataChannelFinish fin;
    *fin.mutable_hdr() = MakeHeader();
    ExpectRoundTrip(fin);
}

TEST(CodecRoundTrip, SameFieldNumbersAsTheHostExpects) {
    // A FileChunkReq written by hand with the schema's field numbers.
    std::string body;
    body += std::string("\x12\x01", 2) + "f";  // 2 FileName
    body += std::string("\x28\x05", 2);        // 5 ChunkSizeInBytes
    body += std::string("\x30\x01", 2);        // 6 IsLastChunk
    body += std::string("\x60\x03", 2);        // 12 DataModule
    const std::string frame = Frame("analysis.orbx.proto.FileChunkReq", body);
    auto msg = DecodeAs<pb::FileChunkReq>(frame.data(), frame.size());
    ASSERT_NE(msg, nullptr);
    EXPECT_EQ(msg->filename(), "f");
    EXPECT_EQ(msg->chunksizeinbytes(), 5);
    EXPECT_TRUE(msg->islastchunk());
    EXPECT_EQ(msg->datamodule(), 3);

    // Field 3 (Status) varint 1 is FAILED.
    const std::string rspFrame = Frame("analysis.orbx.proto.Response", std::string("\x18\x01", 2));
    auto rsp = DecodeAs<pb::Response>(rspFrame.data(), rspFrame.size());
    ASSERT_NE(rsp, nullptr);
    EXPECT_EQ(rsp->status(), pb::FAILED);
}

}  // namespace
}  // namespace analysis::orbx::message
