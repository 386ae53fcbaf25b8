// Cache counter jobs on a chip with a cache channel (the simulated card's default chip);
// the script-based job's Init refuses this chip but keeps the configuration.
#include "jobs/prof_hardware_mem_job.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "common/oru_paths.h"
#include "driver/config_manager.h"
#include "driver/json_parser.h"
#include "driver/platform.h"
#include "jobs/collection_register.h"
#include "jobs/prof_channel_manager.h"
#include "message/job_context.h"
#include "message/profile_params.h"
#include "ostrel/sim_control.h"
#include "testing/chunk_capture.h"
#include "testing/fake_drv.h"
#include "testing/process.h"
#include "testing/sim_test_util.h"
#include "testing/test_log_capture.h"

namespace Analysis::Orbx::JobWrapper {
namespace {

using analysis::orbx::common::TestLogCapture;
using analysis::orbx::driver::DrvChannelsMgr;
using analysis::orbx::driver::LibraryDrvFuncs;
using analysis::orbx::driver::testing::ScopedFakeDrv;
using analysis::orbx::transport::testing::ChunkCapture;
using analysis::orbx::transport::testing::SameBytes;
using analysis::orbx::transport::testing::SentChunk;
using Gxprofiler::Parser::ChannelSettings;
using Gxprofiler::Parser::JsonParser;

constexpr int kDev = 0;
constexpr uint32_t kDevOnHost = 2;
const char kJobId[] = "llc-job";
constexpr uint32_t kLlc = PROF_CHANNEL_LLC;

std::shared_ptr<CollectionJobCfg> LlcCfg(const EventList& events, int32_t interval = 20) {
    auto cfg = std::make_shared<CollectionJobCfg>();
    cfg->jobTag = 2;
    cfg->events = std::make_shared<EventList>(events);
    auto common = std::make_shared<CollectionJobCommonParams>();
    common->devId = kDev;
    common->devIdOnHost = kDevOnHost;
    common->hostDevId = kDevOnHost;
    common->params = std::make_shared<analysis::orbx::message::ProfileParams>();
    common->params->job_id = kJobId;
    common->params->gxprof_llc_profiling = "on";
    common->params->llc_interval = interval;
    common->jobCtx = std::make_shared<analysis::orbx::message::JobContext>();
    common->jobCtx->job_id = kJobId;
    common->jobCtx->dev_id = std::to_string(kDevOnHost);
    common->jobCtx->tag = "7";
    cfg->commonParams = common;
    return cfg;
}

OstrelSimChannelStats Stats() {
    OstrelSimChannelStats stats{};
    EXPECT_EQ(0, ostrel_sim_channel_stats(kDev, kLlc, &stats));
    return stats;
}

class HardwareMemJobTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ostrel::simtest::ResetSim();
        ostrel::simtest::UseSetting("OSTREL_SIM_CHANNEL_MODE", "manual");
        // Wait for ready channels without the driver's one-second poll.
        fake_.hooks().profChannelPoll = [](ProfPollInfo* out, int num, int) {
            int ret = LibraryDrvFuncs().profChannelPoll(out, num, 0);
            if (ret == 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            return ret;
        };
        ASSERT_EQ(0, Analysis::Orbx::Common::Platform::Platform::GetInstance().InitRunSide());
        ASSERT_EQ(1u, Common::Config::ConfigManager::GetInstance().GetPlatformType());
        ASSERT_EQ(0, DrvChannelsMgr::GetInstance().GetAllChannels(kDev));
        ASSERT_EQ(0, ProfChannelManager::GetInstance().Init());
    }
    void TearDown() override {
        ProfChannelManager::GetInstance().UnInit(true);
        JsonParser::GetInstance().ClearChannelSettings();
        ostrel::simtest::ResetSim();
    }

    ScopedFakeDrv fake_;
    TestLogCapture logs_;
};

TEST_F(HardwareMemJobTest, LlcInitNeedsEventsTheSwitchAndTheDeviceItself) {
    ProfLlcJob job;
    EXPECT_EQ(-1, job.Init(LlcCfg({})));
    EXPECT_TRUE(logs_.Has("Job check event param not pass"));
    auto host = LlcCfg({"read"});
    host->commonParams->params->hostProfiling = true;
    EXPECT_EQ(-1, job.Init(host));
    auto off = LlcCfg({"read"});
    off->commonParams->params->gxprof_llc_profiling = "off";
    EXPECT_EQ(-1, job.Init(off));
    EXPECT_TRUE(logs_.Has("LLC Profiling not enabled"));
    EXPECT_EQ(0, job.Init(LlcCfg({"read"})));

    ProfMiniLlcJob mini;
    EXPECT_EQ(-1, mini.Init(LlcCfg({"read"})));
    EXPECT_TRUE(logs_.Has("Mini LLC Profiling not enabled"));
}

TEST_F(HardwareMemJobTest, LlcModeIsTheLastReadOrWriteEventAndAPeriodOutsideOneTo1000IsOneMs) {
    const struct {
        EventList events;
        int32_t interval;
        uint32_t mode;
        uint32_t period;
    } cases[] = {{{"read", "write"}, 20, 2, 20},
                 {{"write", "read"}, 0, 1, 1},
                 {{"read", "bogus"}, 1001, 1, 1},
                 {{"read"}, 1, 1, 1},
                 {{"read"}, 1000, 1, 1000}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.interval);
        ProfLlcJob job;
        ASSERT_EQ(0, job.Init(LlcCfg(c.events, c.interval)));
        EXPECT_EQ(0, job.Process());
        EXPECT_EQ(0, job.Uninit());
        OstrelSimChannelStats stats = Stats();
        EXPECT_EQ(c.mode, stats.blockMode);
        EXPECT_EQ(c.period, stats.samplePeriod);
        EXPECT_EQ(c.period, stats.blockPeriod);
    }
    EXPECT_EQ(1u, logs_.Count("LLC event:bogus not support", DLOG_WARN));
    EXPECT_TRUE(logs_.Has("Begin to start profiling Channel 8, events:"));
    EXPECT_TRUE(logs_.Has("start profiling Channel 8, events:read,bogus, ret=0"));
    // A period configured for the channel starts it; the block keeps the job's.
    ChannelSettings settings;
    settings.period = 50;
    JsonParser::GetInstance().SetChannelSettings(kLlc, settings);
    ProfLlcJob job;
    ASSERT_EQ(0, job.Init(LlcCfg({"write"}, 1001)));
    EXPECT_EQ(0, job.Process());
    EXPECT_EQ(0, job.Uninit());
    EXPECT_EQ(50u, Stats().samplePeriod);
    EXPECT_EQ(1u, Stats().blockPeriod);
}

TEST_F(HardwareMemJobTest,
       ASwitchedOffChannelStartsNothingAndAFailedStartLeavesTheReaderForUninit) {
    ChannelSettings off;
    off.profSwitch = false;
    JsonParser::GetInstance().SetChannelSettings(kLlc, off);
    ProfLlcJob job;
    ASSERT_EQ(0, job.Init(LlcCfg({"read"})));
    EXPECT_EQ(0, job.Process());
    EXPECT_EQ(0u, Stats().startCount);
    EXPECT_FALSE(logs_.Has("AddReader"));
    EXPECT_EQ(0, job.Uninit());
    EXPECT_EQ(2u, logs_.Count("Channel is invalid, devId:0, channelId:8", DLOG_WARN));
    EXPECT_EQ(0u, ostrel_sim_call_count(OSTREL_SIM_FAULT_PROF_STOP));
    EXPECT_FALSE(logs_.Has("RemoveReader"));

    JsonParser::GetInstance().ClearChannelSettings();
    ASSERT_EQ(0, ostrel_sim_fault_set(OSTREL_SIM_FAULT_PROF_START, 9, 1));
    ProfLlcJob failing;
    ASSERT_EQ(0, failing.Init(LlcCfg({"read"})));
    EXPECT_EQ(-1, failing.Process());
    EXPECT_TRUE(logs_.Has("Function ret check failed", DLOG_ERROR));
    EXPECT_TRUE(logs_.Has("AddReader, devId:0, channel:8"));
    EXPECT_EQ(0, failing.Uninit());
    EXPECT_TRUE(logs_.Has("RemoveReader, devId:0, channel:8"));
}

// Runs a registered cache job until the channel handed out `bytes`: what reached the uploader.
std::vector<SentChunk> CollectStream(uint64_t bytes) {
    ChunkCapture capture(kJobId, static_cast<int>(kDev));
    auto job = std::make_shared<ProfLlcJob>();
    EXPECT_EQ(0, job->Init(LlcCfg({"read", "write"})));
    auto& registry = CollectionRegisterMgr::GetInstance();
    EXPECT_EQ(0, registry.CollectionJobRegisterAndRun(kDev, 2, job));
    EXPECT_TRUE(
        oru_testing::WaitUntil([&] { return Stats().read >= bytes; }, std::chrono::minutes(2)))
        << "the channel handed out only " << Stats().read << " bytes";
    EXPECT_EQ(0, registry.CollectionJobUnregisterAndStop(kDev, 2));
    return capture.Finish();
}

void ExpectTheStream(const std::vector<SentChunk>& chunks) {
    std::string all = ChunkCapture::Joined(chunks);
    OstrelSimChannelStats stats = Stats();
    EXPECT_EQ(stats.produced, all.size());
    EXPECT_EQ(-1, ostrel_sim_stream_verify(
                      kDev, kLlc, 0, reinterpret_cast<const uint8_t*>(all.data()), all.size()));
    for (size_t i = 0; i < chunks.size(); ++i) {
        EXPECT_EQ("data/llc.data.null", chunks[i].fileName);
        EXPECT_EQ("llc-job.2", chunks[i].extraInfo);
        EXPECT_EQ(analysis::orbx::kChunkModuleData, chunks[i].chunkModule);
        if (i + 1 < chunks.size()) {
            EXPECT_GE(chunks[i].data.size(), 0x100000u);  // only the last may be short
        }
    }
}

TEST_F(HardwareMemJobTest, StreamsReachTheUploaderWholeAndInOrder) {
    ostrel::simtest::UseSetting("OSTREL_SIM_CHANNEL_MODE", "stream");
    ASSERT_EQ(0, DrvChannelsMgr::GetInstance().GetAllChannels(kDev));
    ExpectTheStream(CollectStream(40 * 0x100000));  // stopped midway

    // Two full buffers and a remainder too small to go out before the end.
    const uint64_t total = 8 * 0x100000 + 12345;
    setenv("OSTREL_SIM_STREAM_BYTES", std::to_string(total).c_str(), 1);
    ostrel_sim_reset();
    ASSERT_EQ(0, DrvChannelsMgr::GetInstance().GetAllChannels(kDev));
    auto chunks = CollectStream(total);
    EXPECT_EQ(total, ChunkCapture::Joined(chunks).size());
    ExpectTheStream(chunks);
    ASSERT_EQ(3u, chunks.size());
    EXPECT_EQ(12345u, chunks[2].data.size());
}

std::string OutputFile() {
    return Common::Config::ConfigManager::GetInstance().GetPerfDataDir(kDev) + "/llc.data." +
           std::to_string(kDevOnHost);
}

TEST_F(HardwareMemJobTest, MiniLlcWithAHashInTheEventsRunsNoScriptButShipsTheFile) {
    ProfMiniLlcJob job;
    job.Init(LlcCfg({"read#"}));  // refused for this chip, configuration kept
    EXPECT_EQ(0, job.Process());
    EXPECT_TRUE(logs_.Has("llc_event:read#, profLlcCmd:"));
    EXPECT_FALSE(logs_.Has("Begin to start profiling llc"));
    // The output file was created all the same; fill it with two chunks' worth.
    const std::string content = ostrel::simtest::Pattern(2 * ProfMiniLlcJob::kUploadChunkSize, 3);
    ASSERT_TRUE(std::ofstream(OutputFile(), std::ios::binary | std::ios::trunc) << content);
    ChunkCapture capture(kJobId, static_cast<int>(kDev));
    // No recording of its own: the stop runs no "--kill", which would end other jobs'.
    EXPECT_EQ(0, job.Uninit());
    EXPECT_FALSE(logs_.Has("--kill"));
    auto chunks = capture.Finish();
    ASSERT_EQ(3u, chunks.size());
    EXPECT_EQ(ProfMiniLlcJob::kUploadChunkSize, chunks[0].data.size());
    EXPECT_EQ(ProfMiniLlcJob::kUploadChunkSize, chunks[1].data.size());
    EXPECT_EQ(0u, chunks[2].data.size());
    EXPECT_TRUE(SameBytes(content, ChunkCapture::Joined(chunks)));
    for (const auto& c : chunks) {
        EXPECT_EQ("data/llc.data.7", c.fileName);
        EXPECT_EQ("llc-job.2", c.extraInfo);
        EXPECT_EQ(-1, c.offset);
        EXPECT_EQ(c.data.size(), c.chunkSize);
    }
}

}  // namespace
}  // namespace Analysis::Orbx::JobWrapper
