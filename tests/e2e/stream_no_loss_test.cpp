// No data lost under backpressure: the simulated cache channel streams a verifiable byte
// sequence as fast as the daemon reads it, while the host reads slowly. Every byte reaches the
// host once and in order, and the daemon's resident memory grows by less than 64 MiB.
//
// ORU_STREAM_TEST_MIB sets the stream's size (default 64 MiB; scripts/soak runs several
// hundred), made 2 MiB more than a multiple of 4 MiB: the reader then ships the stream's end as
// a dry remainder at once, so every byte reaches the host while the job runs.
#include <gtest/gtest.h>
#include "testing/build_paths.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <iostream>
#include <memory>
#include <regex>
#include <string>
#include <thread>

#include "ostrel/sim_control.h"
#include "testing/daemon_fixture.h"
#include "testing/host_job.h"
#include "tools/host/profiling_client.h"

namespace {

using namespace analysis::orbx;
using host::DataChannel;
using host::Handshake;

constexpr char kJobId[] = "stream1";
constexpr uint64_t kMiB = 1024 * 1024;
// The host pauses after every chunk, so the daemon runs ahead and queues.
constexpr auto kHostPausePerChunk = std::chrono::milliseconds(15);

uint64_t StreamBytes() {
    const char* mib = std::getenv("ORU_STREAM_TEST_MIB");
    uint64_t n = mib != nullptr ? std::strtoull(mib, nullptr, 10) : 0;
    return ((n != 0 ? n : 64) / 4 * 4 + 2) * kMiB;
}

// Sanitizers' shadow memory and quarantine would dwarf the figures.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kCheckMemory = false;
#else
constexpr bool kCheckMemory = true;
#endif

// The daemon on one simulated device whose cache channel streams `total` bytes.
class StreamNoLossTest : public oru_e2e::DaemonChild {
  protected:
    void StartStreamDaemon(uint64_t total) {
        const std::string bytes = "OSTREL_SIM_STREAM_BYTES=" + std::to_string(total);
        StartDaemon(1, {"OSTREL_SIM_CHANNEL_MODE=stream", bytes}, oru_testing::TestTmpDir(), "");
    }
};

// Reads until DataChannelFinish at the slow host's pace, checking every stream byte.
oru_testing::StreamRead ReadSlowly(DataChannel& data, std::atomic<uint64_t>& received) {
    return oru_testing::ReadStream(data, [&received](uint64_t bytes) {
        received.store(bytes);
        std::this_thread::sleep_for(kHostPausePerChunk);
    });
}

TEST_F(StreamNoLossTest, EveryByteOfTheStreamReachesASlowHostInOrderWithinTheQueuesMemory) {
    const uint64_t total = StreamBytes();
    ASSERT_NO_FATAL_FAILURE(StartStreamDaemon(total));

    Handshake hs{kJobId, 0, ""};
    auto ctrl = oru_testing::OpenControl(*client_, hs);
    ASSERT_NE(ctrl, nullptr);
    ctrl->SetAnswerDeadline(60000);  // the stop waits for the slow host to drain the queue
    auto data = oru_testing::OpenData(*client_, hs);
    ASSERT_NE(data, nullptr);
    proto::Response reply;
    const oru_testing::ProcessFigures before = oru_testing::FiguresOf(daemon_->Pid());

    std::atomic<uint64_t> received{0};
    auto hostRead = std::async(std::launch::async, [&] { return ReadSlowly(*data, received); });
    std::string ctx = host::MakeJobContext(kJobId, "0", "t1");
    ASSERT_EQ(ctrl->StartJob(ctx, oru_testing::LlcConfig(kJobId), &reply), host::kRecvOk);
    ASSERT_EQ(reply.status(), proto::SUCCESS) << reply.message();
    ASSERT_EQ(ctrl->StartReplay(ctx, oru_testing::LlcEvents(), &reply), host::kRecvOk);
    ASSERT_EQ(reply.status(), proto::SUCCESS) << reply.message();

    auto started = std::chrono::steady_clock::now();
    auto deadline = started + std::chrono::minutes(10);
    while (received.load() < total && std::chrono::steady_clock::now() < deadline &&
           hostRead.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready) {
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const oru_testing::ProcessFigures during = oru_testing::FiguresOf(daemon_->Pid());
    ASSERT_EQ(ctrl->StopReplay(ctx, &reply), host::kRecvOk);
    EXPECT_EQ(reply.status(), proto::SUCCESS) << reply.message();
    ASSERT_EQ(ctrl->StopJob(ctx, &reply), host::kRecvOk);
    EXPECT_EQ(reply.status(), proto::SUCCESS) << reply.message();
    bool finished = false;
    oru_testing::StreamRead result =
        oru_testing::FinishedWithin(hostRead, *data, &finished, std::chrono::seconds(60));
    ASSERT_TRUE(finished)
        << "the slow host did not reach DataChannelFinish within 60 s of the stop";

    EXPECT_EQ(result.rc, host::kRecvOk);
    EXPECT_EQ(result.firstBad, -1) << "the stream differs from the byte at this offset on";
    EXPECT_EQ(result.bytes, total);
    EXPECT_EQ(result.otherChunks, 0u);
    std::string daemonLog = Log();
    EXPECT_EQ(oru_testing::CountIn(daemonLog, "Upload data failed"), 0);
    EXPECT_EQ(oru_testing::CountIn(daemonLog, "Failed to upload data"), 0);

    // The upload queue holds at most kUploaderQueueBytes; reader buffers and the chunk in flight
    // the rest.
    const uint64_t boundKb = 64 * kMiB / 1024;
    const uint64_t growthKb = static_cast<uint64_t>(std::max(0L, during.hwmKb - before.rssKb));
    std::cout << "stream " << total / kMiB << " MiB in " << result.chunks << " chunks, " << seconds
              << " s; daemon VmRSS before " << before.rssKb << " kB, VmHWM during " << during.hwmKb
              << " kB, growth " << growthKb << " kB (bound " << boundKb << " kB)" << std::endl;
    ASSERT_GT(before.rssKb, 0);
    ASSERT_GT(during.hwmKb, 0);
    if (kCheckMemory) {
        EXPECT_LE(growthKb, boundKb);
    }
}

// The host is still behind when its job stops: the stop waits until the host has taken every
// queued chunk and the DataChannelFinish, then answers SUCCESS. A slow machine may read less
// of the stream before the stop, so the host must get exactly what the daemon read.
TEST_F(StreamNoLossTest, HostBehindAtTheStopStillGetsEveryChunkAndTheFinish) {
    const uint64_t total = 18 * kMiB;  // four full chunks and a dry remainder
    ASSERT_NO_FATAL_FAILURE(StartStreamDaemon(total));
    oru_e2e::HostJob job;
    job.read = false;
    ASSERT_TRUE(job.Start(*client_, "behind1"));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the stream is read and queued
    proto::ReplayStopReq replayStop;
    ASSERT_TRUE(job.Command(replayStop));

    // The host holds its data session while the job stops, then reads again.
    proto::JobStopReq stop;
    stop.mutable_hdr()->set_job_ctx(job.ctx);
    ASSERT_EQ(job.ctrl->Session().SendMessage(stop), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    std::atomic<uint64_t> received{0};
    auto hostRead = std::async(std::launch::async, [&] { return ReadSlowly(*job.data, received); });
    proto::Response reply;
    ASSERT_EQ(job.ctrl->AwaitResponse(&reply, 10000), host::kRecvOk)
        << "the job stop was not answered";
    EXPECT_EQ(reply.status(), proto::SUCCESS) << reply.message();
    ASSERT_EQ(hostRead.wait_for(std::chrono::seconds(10)), std::future_status::ready)
        << "the data session did not end";
    oru_testing::StreamRead result = hostRead.get();
    EXPECT_EQ(result.rc, host::kRecvOk) << "the data session ended without DataChannelFinish";
    EXPECT_EQ(result.firstBad, -1);
    const std::string daemonLog = Log();
    std::smatch read;
    ASSERT_TRUE(std::regex_search(daemonLog, read, std::regex("total_size_channel: (\\d+) bytes")))
        << "the daemon logged no channel total";
    const uint64_t readBytes = std::stoull(read[1]);
    EXPECT_GT(readBytes, 4 * kMiB) << "the host was never behind by a chunk";
    EXPECT_LE(readBytes, total);
    EXPECT_EQ(result.bytes, readBytes);
}

}  // namespace
