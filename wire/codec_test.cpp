#include "wire/codec.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>

#include "testing/test_log_capture.h"

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

    // The name ends at its first zero byte: nameLen may cover padding after it.
    const std::string finish = "analysis.orbx.proto.DataChannelFinish";
    decoded = DecodeMessage(FrameHead(static_cast<uint32_t>(finish.size() + 4)) + finish +
                            std::string(4, '\0'));
    ASSERT_NE(decoded, nullptr);
    EXPECT_EQ(decoded->GetTypeName(), finish);
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

    pb::JobStopReq stopMsg;
    stopMsg.set_jobid("j");
    const std::string bytes = EncodeMessage(stopMsg);
    EXPECT_EQ(DecodeAs<pb::JobStartReq>(bytes.data(), bytes.size()), nullptr);
    EXPECT_NE(DecodeAs<pb::JobStopReq>(bytes.data(), bytes.size()), nullptr);
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
