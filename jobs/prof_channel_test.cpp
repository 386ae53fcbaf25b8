#include "jobs/prof_channel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "driver/json_parser.h"
#include "message/job_context.h"
#include "ostrel/sim_control.h"
#include "testing/chunk_capture.h"
#include "testing/fake_drv.h"
#include "testing/process.h"
#include "testing/test_fake_clock.h"
#include "testing/test_log_capture.h"

namespace analysis::orbx::transport {
namespace {

using analysis::orbx::common::FakeClock;
using analysis::orbx::common::TestLogCapture;
using driver::testing::ScopedFakeDrv;
using oru_testing::ThreadsNamed;
using testing::ChunkCapture;
using testing::SameBytes;
using testing::SentChunk;

constexpr uint32_t kDev = 3;
constexpr uint32_t kChannel = 8;
constexpr uint32_t kMiB = 0x100000;
const char kJobId[] = "7";

// The simulated card's stream sequence: a lost, repeated or reordered piece shows.
std::string Pattern(uint64_t from, uint64_t len) {
    std::string s(len, '\0');
    ostrel_sim_stream_fill(kDev, kChannel, from, reinterpret_cast<uint8_t*>(&s[0]), len);
    return s;
}

// A driver channel: reads take produced bytes in order, 0 when dry (-4 once stopped).
class FakeChannel {
  public:
    explicit FakeChannel(ScopedFakeDrv& fake) {
        fake.hooks().profChannelRead = [this](uint32_t dev, uint32_t channel, char* buf,
                                              uint32_t size) {
            return Read(dev, channel, buf, size);
        };
    }

    void Produce(uint64_t len) {
        std::lock_guard<std::mutex> lock(mutex_);
        produced_ += len;
    }
    void Stop() {
        std::lock_guard<std::mutex> lock(mutex_);
        stopped_ = true;
    }
    void FailNextRead(int code) {
        std::lock_guard<std::mutex> lock(mutex_);
        failNext_ = code;
    }
    void HoldNextRead() {
        std::lock_guard<std::mutex> lock(mutex_);
        holdNext_ = true;
    }
    void WaitUntilHeld() {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!changed_.wait_for(lock, std::chrono::seconds(5), [this] { return holding_; })) {
            ADD_FAILURE() << "no read reached the held driver within 5 s";
        }
    }
    void Open() {
        std::lock_guard<std::mutex> lock(mutex_);
        holdNext_ = false;
        holding_ = false;
        changed_.notify_all();
    }

    int Reads() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return reads_;
    }
    int DryReads() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return dryReads_;
    }

  private:
    int Read(uint32_t dev, uint32_t channel, char* buf, uint32_t size) {
        std::unique_lock<std::mutex> lock(mutex_);
        EXPECT_EQ(kDev, dev);
        EXPECT_EQ(kChannel, channel);
        ++reads_;
        if (holdNext_) {
            holding_ = true;
            changed_.notify_all();
            if (!changed_.wait_for(lock, std::chrono::seconds(10), [this] { return !holding_; })) {
                ADD_FAILURE() << "the held channel read was not let go within 10 s";
            }
        }
        if (failNext_ != 0) {
            int code = failNext_;
            failNext_ = 0;
            return code;
        }
        uint64_t n = std::min<uint64_t>(size, produced_ - consumed_);
        if (n == 0) {
            ++dryReads_;
            return stopped_ ? PROF_STOPPED_ALREADY : 0;
        }
        std::string bytes = Pattern(consumed_, n);
        std::copy(bytes.begin(), bytes.end(), buf);
        consumed_ += n;
        return static_cast<int>(n);
    }

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    uint64_t produced_ = 0;
    uint64_t consumed_ = 0;
    bool stopped_ = false;
    int failNext_ = 0;
    bool holdNext_ = false;
    bool holding_ = false;
    int reads_ = 0;
    int dryReads_ = 0;
};

std::shared_ptr<message::JobContext> Context() {
    auto ctx = std::make_shared<message::JobContext>();
    ctx->job_id = kJobId;
    ctx->dev_id = "5";
    ctx->tag = "tag";
    return ctx;
}

std::shared_ptr<ChannelReader> Reader(std::shared_ptr<message::JobContext> ctx = Context()) {
    auto reader = std::make_shared<ChannelReader>(kDev, kChannel, "data/llc.data", ctx);
    EXPECT_EQ(0, reader->Init());
    return reader;
}

std::vector<uint64_t> Sizes(const std::vector<SentChunk>& chunks) {
    std::vector<uint64_t> sizes;
    for (const auto& c : chunks) {
        sizes.push_back(c.data.size());
    }
    return sizes;
}

class ChannelReaderTest : public ::testing::Test {
  protected:
    ScopedFakeDrv fake_;
    FakeChannel channel_{fake_};
    TestLogCapture logs_;
    ChunkCapture capture_{kJobId, static_cast<int>(kDev)};
};

// Less than 1 MiB waits for the removal and then goes out whole.
TEST_F(ChannelReaderTest, ADryChannelSendsFromOneMiBNotBelow) {
    auto reader = Reader();
    channel_.Produce(kMiB - 1);
    reader->Execute();
    channel_.Produce(1);
    reader->Execute();
    channel_.Produce(2 * kMiB);
    reader->Execute();
    channel_.Produce(500 * 1024);
    reader->Execute();
    reader->Execute();
    reader->Uninit();
    auto chunks = capture_.Finish();
    ASSERT_EQ((std::vector<uint64_t>{kMiB, 2 * kMiB, 500 * 1024}), Sizes(chunks));
    EXPECT_TRUE(SameBytes(Pattern(0, 3 * kMiB + 500 * 1024), ChunkCapture::Joined(chunks)));
    // Handed over, not copied: a copy would not carry the reader's 4 MiB storage.
    EXPECT_GE(chunks[0].capacity, kReaderBufferSize);
    const SentChunk& c = chunks[2];
    EXPECT_EQ(500u * 1024, c.chunkSize);
    EXPECT_EQ("data/llc.data.null", c.fileName);
    EXPECT_EQ("7.5", c.extraInfo);
    EXPECT_EQ(kChunkModuleData, c.chunkModule);
    EXPECT_EQ(-1, c.offset);
    EXPECT_FALSE(c.isLastChunk);
    EXPECT_TRUE(
        logs_.Has("total_size_channel: 3657728 bytes, file:data/llc.data, job_id:7", DLOG_EVENT));
}

TEST_F(ChannelReaderTest, AFullBufferGoesOutBeforeTheNextReadAndAPassYieldsAt32MiB) {
    auto reader = Reader();
    channel_.Produce(40 * kMiB + 100);
    reader->Execute();
    // Eight full buffers read: seven sent, the eighth waits for the next pass.
    EXPECT_EQ(8, channel_.Reads());
    reader->Execute();
    reader->Uninit();
    auto chunks = capture_.Finish();
    std::vector<uint64_t> expected(10, kReaderBufferSize);
    expected.push_back(100);
    EXPECT_EQ(expected, Sizes(chunks));
    EXPECT_TRUE(SameBytes(Pattern(0, 40 * kMiB + 100), ChunkCapture::Joined(chunks)));
}

TEST_F(ChannelReaderTest, AReadErrorEndsThePassAndKeepsWhatWasRead) {
    auto reader = Reader();
    channel_.Produce(kMiB / 2);
    reader->Execute();
    channel_.Produce(2 * kMiB);
    channel_.FailNextRead(-2);
    reader->Execute();
    EXPECT_TRUE(logs_.Has("read device 3, channel:8, ret=-1", DLOG_ERROR));
    reader->Execute();
    auto chunks = capture_.Finish();
    EXPECT_EQ((std::vector<uint64_t>{kMiB / 2 + 2 * kMiB}), Sizes(chunks));
    EXPECT_TRUE(SameBytes(Pattern(0, kMiB / 2 + 2 * kMiB), ChunkCapture::Joined(chunks)));
}

TEST_F(ChannelReaderTest, RemovalDrainsAStoppedChannel) {
    auto reader = Reader();
    channel_.Produce(3 * kMiB / 2);
    reader->Execute();
    channel_.Produce(6 * kMiB);
    channel_.Stop();
    reader->SetQuit();
    reader->Execute();  // a pass queued before the removal reads nothing
    int reads = channel_.Reads();
    reader->Uninit();
    EXPECT_GT(channel_.Reads(), reads);
    auto chunks = capture_.Finish();
    EXPECT_TRUE(SameBytes(Pattern(0, 3 * kMiB / 2 + 6 * kMiB), ChunkCapture::Joined(chunks)));
    EXPECT_EQ(3u * kMiB / 2, chunks.front().data.size());
}

TEST_F(ChannelReaderTest, AFailedUploadDropsTheBufferAndTheReaderGoesOn) {
    auto ctx = Context();
    ctx->job_id = "no-such-job";
    auto reader = Reader(ctx);
    channel_.Produce(kMiB);
    reader->Execute();
    channel_.Produce(kMiB);
    reader->Execute();
    EXPECT_EQ(2u, logs_.Count("Upload data failed, jobId: no-such-job"));
    EXPECT_TRUE(capture_.Finish().empty());
}

int WaitForThreads(const std::string& prefix, int n) {
    oru_testing::WaitUntil([&] { return ThreadsNamed(prefix) == n; }, std::chrono::minutes(1));
    return ThreadsNamed(prefix);
}

// Answers from the script in order, then "nothing ready" after a short wait.
class FakePoll {
  public:
    explicit FakePoll(ScopedFakeDrv& fake) {
        fake.hooks().profChannelPoll = [this](ProfPollInfo* out, int num, int) {
            return Poll(out, num);
        };
    }
    void Then(int code, std::vector<ProfPollInfo> ready = {}) {
        std::lock_guard<std::mutex> lock(mutex_);
        script_.push_back({code, std::move(ready)});
    }
    int Calls() const { return calls_.load(); }
    bool WaitScriptDone() {
        std::unique_lock<std::mutex> lock(mutex_);
        return done_.wait_for(lock, std::chrono::minutes(1), [this] { return script_.empty(); });
    }

  private:
    int Poll(ProfPollInfo* out, int num) {
        ++calls_;
        std::unique_lock<std::mutex> lock(mutex_);
        if (script_.empty()) {
            lock.unlock();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            return 0;
        }
        auto step = std::move(script_.front());
        script_.erase(script_.begin());
        done_.notify_all();
        if (step.second.empty()) {
            return step.first;
        }
        int n = std::min<int>(num, static_cast<int>(step.second.size()));
        std::copy(step.second.begin(), step.second.begin() + n, out);
        return n;
    }

    std::mutex mutex_;
    std::condition_variable done_;
    std::vector<std::pair<int, std::vector<ProfPollInfo>>> script_;
    std::atomic<int> calls_{0};
};

class ChannelPollTest : public ChannelReaderTest {
  protected:
    ChannelPollTest() { DeviceCount(1); }
    void DeviceCount(uint32_t count) {
        fake_.hooks().getDevNum = [count](uint32_t* num) {
            *num = count;
            return 0;
        };
    }
    // Holds a pass of reader in its first read and queues passes until the reader is busy.
    void MakeBusy(ChannelPoll& poll, const ChannelReader& reader) {
        channel_.Produce(kMiB);
        channel_.HoldNextRead();
        poll.DispatchChannel(kDev, kChannel);
        channel_.WaitUntilHeld();
        poll.DispatchChannel(kDev, kChannel);
        EXPECT_FALSE(reader.IsBusy());
        poll.DispatchChannel(kDev, kChannel);
        EXPECT_TRUE(reader.IsBusy());
    }

    FakePoll poll_{fake_};
};

TEST_F(ChannelPollTest, PoolSizeFollowsTheDeviceCountWithinFourToSixtyFour) {
    EXPECT_EQ(4u, ChannelPoll::PoolSizeForDevices(-1));
    EXPECT_EQ(5u, ChannelPoll::PoolSizeForDevices(5));
    EXPECT_EQ(64u, ChannelPoll::PoolSizeForDevices(64));
    EXPECT_EQ(64u, ChannelPoll::PoolSizeForDevices(100));

    // A driver count above 64 is refused by the device query: the least pool.
    const std::pair<uint32_t, int> cases[] = {{1, 4}, {64, 64}, {100, 4}};
    for (const auto& c : cases) {
        DeviceCount(c.first);
        ChannelPoll poll;
        ASSERT_EQ(0, poll.Start());
        EXPECT_EQ(c.second, WaitForThreads("KTRX_ChanPool_", c.second)) << c.first;
        EXPECT_EQ(1, WaitForThreads("KTRX_ChanPoll", 1));
        EXPECT_EQ(0, poll.Stop());
        // A joined thread may linger in /proc/self/task for a moment.
        EXPECT_EQ(0, WaitForThreads("KTRX_ChanPool_", 0));
        EXPECT_EQ(0, WaitForThreads("KTRX_ChanPoll", 0));
    }
}

TEST_F(ChannelPollTest, ProfilingStoppedIsWaitedOutAndReadyChannelsAreDispatched) {
    ChannelPoll poll;
    poll.AddReader(kDev, kChannel, Reader());
    channel_.Produce(2 * kMiB);
    poll_.Then(PROF_STOPPED_ALREADY);
    poll_.Then(PROF_STOPPED_ALREADY);
    poll_.Then(0, {{kDev, kChannel}, {kDev, 9}});
    ASSERT_EQ(0, poll.Start());
    ASSERT_TRUE(poll_.WaitScriptDone());
    poll.Stop();  // the pool runs what was queued before it ends
    EXPECT_TRUE(logs_.Has("Sleep count: 2, Dispatch count: " + std::to_string(poll_.Calls() - 2) +
                          ", DispatchChannel count: 2"));
    EXPECT_TRUE(logs_.Has("Failed to find devId:3, channel:9", DLOG_WARN));
    auto chunks = capture_.Finish();
    EXPECT_EQ((std::vector<uint64_t>{2 * kMiB}), Sizes(chunks));
}

TEST_F(ChannelPollTest, APollErrorEndsThePollThread) {
    poll_.Then(PROF_ERROR);
    ChannelPoll poll;
    ASSERT_EQ(0, poll.Start());
    ASSERT_TRUE(poll_.WaitScriptDone());
    EXPECT_EQ(0, WaitForThreads("KTRX_ChanPoll", 0));
    EXPECT_EQ(1, poll_.Calls());
    EXPECT_TRUE(logs_.Has("Failed to poll channel", DLOG_ERROR));
    EXPECT_EQ(0, poll.Stop());
}

TEST_F(ChannelPollTest, TheFourthDispatchIsDroppedWithoutLosingData) {
    ChannelPoll poll;
    auto reader = Reader();
    poll.AddReader(kDev, kChannel, reader);
    ASSERT_EQ(0, poll.Start());
    MakeBusy(poll, *reader);
    poll.DispatchChannel(kDev, kChannel);  // dropped
    channel_.Produce(5 * kMiB);
    channel_.Open();
    poll.Stop();  // runs the queued executions

    // Three passes ran, each until the channel was dry.
    EXPECT_EQ(3, channel_.DryReads());
    EXPECT_FALSE(reader->IsBusy());
    poll.RemoveReader(kDev, kChannel);
    auto chunks = capture_.Finish();
    EXPECT_TRUE(SameBytes(Pattern(0, 6 * kMiB), ChunkCapture::Joined(chunks)));
}

TEST_F(ChannelPollTest, APollFindingOnlyBusyReadersBacksOffBeforeTheNext) {
    FakeClock clock;
    ChannelPoll poll;
    poll.SetClock(clock);
    auto reader = Reader();
    poll.AddReader(kDev, kChannel, reader);
    poll_.Then(0, {{kDev, kChannel}});  // an idle reader: queued, no pause
    // Taken once the record before it is dispatched: that one must not meet a busy reader.
    poll_.Then(0);
    ASSERT_EQ(0, poll.Start());
    ASSERT_TRUE(poll_.WaitScriptDone());
    poll.RemoveReader(kDev, kChannel);  // waits for that execution
    reader = Reader();
    poll.AddReader(kDev, kChannel, reader);

    MakeBusy(poll, *reader);
    // Reported twice more while the reader is busy.
    poll_.Then(0, {{kDev, kChannel}});
    poll_.Then(0, {{kDev, kChannel}});
    EXPECT_TRUE(clock.AwaitSleeps(ChannelPoll::kBusyBackoffMs, 2)) << "no second back-off";
    channel_.Open();
    poll.Stop();
    poll.RemoveReader(kDev, kChannel);
    EXPECT_EQ((std::vector<uint32_t>{ChannelPoll::kBusyBackoffMs, ChannelPoll::kBusyBackoffMs}),
              clock.Sleeps());
    EXPECT_TRUE(SameBytes(Pattern(0, kMiB), ChunkCapture::Joined(capture_.Finish())));
}

}  // namespace
}  // namespace analysis::orbx::transport
