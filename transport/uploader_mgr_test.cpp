#include "transport/uploader_mgr.h"

#include <gtest/gtest.h>

#include <string>

#include "testing/chunk_capture.h"
#include "testing/test_log_capture.h"

namespace analysis::orbx::transport {
namespace {

using common::TestLogCapture;

using CountingTransport = testing::CapturingTransport;  // nothing is sent anywhere

class UploaderMgrTest : public ::testing::Test {
  protected:
    void TearDown() override { UploaderMgr::GetInstance().UnInit(); }

    std::shared_ptr<Uploader> MakeUploader(std::shared_ptr<CountingTransport> transport) {
        auto uploader = std::make_shared<Uploader>(std::move(transport));
        EXPECT_EQ(uploader->Init(16), 0);
        return uploader;
    }
    TestLogCapture log_;
};

// One job id runs on two devices: each device's chunks reach its own uploader.
TEST_F(UploaderMgrTest, ChunksReachTheUploaderOfTheirJobAndDevice) {
    auto ta = std::make_shared<CountingTransport>();
    auto tb = std::make_shared<CountingTransport>();
    auto a = MakeUploader(ta);
    auto b = MakeUploader(tb);
    UploaderMgr& mgr = UploaderMgr::GetInstance();
    mgr.AddUploader("job", 0, a);
    mgr.AddUploader("job", 1, b);

    auto chunk = std::make_shared<ProfileFileChunk>();
    chunk->chunk = "for b";
    chunk->chunkSize = 5;
    chunk->chunkModule = kChunkModuleData;
    EXPECT_EQ(mgr.UploadData("job", 1, chunk), 0);
    ASSERT_EQ(b->Start(), 0);
    ASSERT_EQ(a->Start(), 0);
    b->Stop(false);
    a->Stop(false);
    EXPECT_TRUE(ta->Chunks().empty());
    ASSERT_EQ(tb->Chunks().size(), 1u);
    EXPECT_EQ(tb->Chunks()[0].data, "for b");

    EXPECT_EQ(mgr.UploadData("job", 2, chunk), -1);
    EXPECT_EQ(mgr.UploadData("nobody", 0, chunk), -1);
    EXPECT_TRUE(log_.Count("Get id[nobody] uploader failed"));
}

// Add replaces and ignores a null uploader; Del and UnInit let the uploaders go.
TEST_F(UploaderMgrTest, ReplacedDeletedAndUnInitedUploadersAreReleased) {
    UploaderMgr& mgr = UploaderMgr::GetInstance();
    auto first = MakeUploader(std::make_shared<CountingTransport>());
    auto second = MakeUploader(std::make_shared<CountingTransport>());
    std::shared_ptr<Uploader> out;
    mgr.AddUploader("job", 0, first);
    mgr.AddUploader("job", 0, second);
    mgr.AddUploader("job", 0, nullptr);
    mgr.GetUploader("job", 0, out);
    EXPECT_EQ(out, second);
    out.reset();
    EXPECT_EQ(first.use_count(), 1);
    mgr.DelUploader("job", 0);
    EXPECT_EQ(second.use_count(), 1);
    mgr.AddUploader("job", 0, first);
    EXPECT_EQ(mgr.UnInit(), 0);
    EXPECT_EQ(first.use_count(), 1);
}

TEST_F(UploaderMgrTest, DevModeKeysAndTheirJobs) {
    EXPECT_EQ(UploaderMgr::DevModeKey(3, "system-wide"), "3_system-wide");
    EXPECT_NE(UploaderMgr::DevModeKey(1, ""), UploaderMgr::DevModeKey(0, ""));
    EXPECT_NE(UploaderMgr::DevModeKey(0, ""), UploaderMgr::DevModeKey(0, "def_mode"));
    UploaderMgr& mgr = UploaderMgr::GetInstance();
    mgr.UpdateDevModeJobMap(1, "m", "job1");
    mgr.UpdateDevModeJobMap(1, "m", "job2");
    EXPECT_EQ(mgr.GetDevModeJobId(1, "m"), "job2");
    EXPECT_EQ(mgr.GetDevModeJobId(2, "m"), "");
    EXPECT_EQ(mgr.UnInit(), 0);
    EXPECT_EQ(mgr.GetDevModeJobId(1, "m"), "");
}

}  // namespace
}  // namespace analysis::orbx::transport
