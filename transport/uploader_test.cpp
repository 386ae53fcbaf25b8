#include "transport/uploader.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "testing/test_log_capture.h"

namespace analysis::orbx::transport {
namespace {

using common::TestLogCapture;

// Records what the uploader sends; sends can be held at a gate.
class FakeTransport : public ITransport {
  public:
    struct Sent {
        bool raw = false;      // SendBuffer(bytes, length)
        std::string bytes;     // raw bytes, or the chunk's payload
        std::string fileName;  // chunks only
        int32_t module = 0;
    };

    int SendBuffer(const void* buffer, int length) override {
        Sent s;
        s.raw = true;
        s.bytes.assign(static_cast<const char*>(buffer), static_cast<size_t>(length));
        return Record(std::move(s)) == 0 ? length : -1;
    }
    int SendBuffer(std::shared_ptr<ProfileFileChunk> chunk) override {
        Sent s;
        s.bytes = chunk->chunk;
        s.fileName = chunk->fileName;
        s.module = chunk->chunkModule;
        return Record(std::move(s));
    }
    int CloseSession() override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++closes_;
            held_ = false;  // an ended session frees a blocked write
        }
        cv_.notify_all();
        return 0;
    }
    int Closes() {
        std::lock_guard<std::mutex> lock(mutex_);
        return closes_;
    }

    void Hold() {
        std::lock_guard<std::mutex> lock(mutex_);
        held_ = true;
    }
    void Release() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            held_ = false;
        }
        cv_.notify_all();
    }
    void WaitEntered(size_t n) {
        std::unique_lock<std::mutex> lock(mutex_);
        ASSERT_TRUE(cv_.wait_for(lock, std::chrono::seconds(5), [&] { return entered_ >= n; }))
            << "the uploader did not begin send " << n;
    }
    void FailNext(int n) {
        std::lock_guard<std::mutex> lock(mutex_);
        failNext_ = n;
    }
    std::vector<Sent> Sends() {
        std::lock_guard<std::mutex> lock(mutex_);
        return sent_;
    }

  private:
    int Record(Sent s) {
        std::unique_lock<std::mutex> lock(mutex_);
        ++entered_;
        cv_.notify_all();
        if (!cv_.wait_for(lock, std::chrono::seconds(10), [&] { return !held_; })) {
            ADD_FAILURE() << "the held send was not let go within 10 s";
        }
        if (failNext_ > 0) {
            --failNext_;
            return -1;
        }
        sent_.push_back(std::move(s));
        return 0;
    }

    std::mutex mutex_;
    std::condition_variable cv_;
    bool held_ = false;
    size_t entered_ = 0;
    int failNext_ = 0;
    int closes_ = 0;
    std::vector<Sent> sent_;
};

std::shared_ptr<ProfileFileChunk> DataChunk(int i) {
    auto c = std::make_shared<ProfileFileChunk>();
    c->chunk = "payload-" + std::to_string(i);
    c->chunkSize = c->chunk.size();
    c->chunkModule = kChunkModuleData;
    c->fileName = "data/f" + std::to_string(i) + ".data.tag";
    c->extraInfo = "job.0";
    c->offset = -1;
    return c;
}

class UploaderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        transport_ = std::make_shared<FakeTransport>();
        uploader_ = std::make_shared<Uploader>(transport_);
        uploader_->SetThreadName("KTRX_Upld_test");
        ASSERT_EQ(uploader_->Init(512), 0);
    }
    // A failed expectation must not leave the uploader stuck in a held send.
    void TearDown() override { transport_->Release(); }

    TestLogCapture log_;
    std::shared_ptr<FakeTransport> transport_;
    std::shared_ptr<Uploader> uploader_;
};

// Half queued before the start, half while running; a stop without force sends everything.
TEST_F(UploaderTest, ChunksArriveInQueueOrderWhateverTheirKind) {
    auto message = [](int i) {
        return std::string("\0\x01\xfe\xff msg \0", 10) + std::to_string(i);
    };
    for (int i = 0; i < 100; ++i) {
        if (i == 50) {
            ASSERT_EQ(uploader_->Start(), 0);
        }
        if (i % 10 == 0) {
            const std::string msg = message(i);
            ASSERT_EQ(uploader_->UploadData(msg.data(), static_cast<int>(msg.size())), 0);
        } else {
            ASSERT_EQ(uploader_->UploadData(DataChunk(i)), 0);
        }
    }
    EXPECT_EQ(uploader_->Stop(false), 0);
    EXPECT_TRUE(log_.Count("queue size remaining: 0, force_quit:0"));

    const auto sent = transport_->Sends();
    ASSERT_EQ(sent.size(), 100u);
    for (int i = 0; i < 100; ++i) {
        if (i % 10 == 0) {
            EXPECT_TRUE(sent[i].raw) << i;
            EXPECT_EQ(sent[i].bytes, message(i));
        } else {
            EXPECT_FALSE(sent[i].raw) << i;
            EXPECT_EQ(sent[i].bytes, "payload-" + std::to_string(i));
        }
    }
}

TEST_F(UploaderTest, The513thUploadWaitsUntilTheUploaderTakesOne) {
    for (int i = 0; i < 512; ++i) {
        ASSERT_EQ(uploader_->UploadData(DataChunk(i)), 0);
    }
    std::atomic<bool> returned{false};
    std::thread producer([&] {
        EXPECT_EQ(uploader_->UploadData(DataChunk(512)), 0);
        returned.store(true);
    });
    // The queue reports itself full before the producer, who cannot have returned, waits.
    ASSERT_TRUE(
        log_.WaitFor("QueueFull,QueueName: UploaderQueue, QueueCapacity:512, QueueSize:512"));
    EXPECT_FALSE(returned.load());

    transport_->Hold();
    ASSERT_EQ(uploader_->Start(), 0);
    transport_->WaitEntered(1);  // one chunk taken out: room for the producer
    producer.join();
    EXPECT_TRUE(returned.load());

    transport_->Release();
    uploader_->Stop(false);
    const auto sent = transport_->Sends();
    ASSERT_EQ(sent.size(), 513u);
    EXPECT_EQ(sent.back().bytes, "payload-512");
}

TEST_F(UploaderTest, ForcedStopSendsAtMostTheChunkInHand) {
    transport_->Hold();
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(uploader_->UploadData(DataChunk(i)), 0);
    }
    ASSERT_EQ(uploader_->Start(), 0);
    transport_->WaitEntered(1);
    std::thread stopper([&] { EXPECT_EQ(uploader_->Stop(true), 0); });
    ASSERT_TRUE(log_.WaitFor("Stopping uploader, force_quit:1."));
    transport_->Release();
    stopper.join();

    const auto sent = transport_->Sends();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].bytes, "payload-0");
    EXPECT_TRUE(log_.Count("queue size remaining: 4, force_quit:1"));
    EXPECT_FALSE(uploader_->Flush());  // the thread has ended: no wait for what stays queued

    EXPECT_EQ(uploader_->UploadData(DataChunk(9)), -1);
    EXPECT_TRUE(log_.Count("[Uploader::UploadData]Push data failed."));
}

// A failed send, and a message chunk claiming more bytes than it holds, drop that chunk only.
TEST_F(UploaderTest, FailedSendDropsThatChunkAndGoesOn) {
    transport_->FailNext(2);
    const std::string msg = "hello";
    auto overlong = std::make_shared<ProfileFileChunk>();
    overlong->chunk = "abc";
    overlong->chunkSize = 4096;
    overlong->chunkModule = kChunkModuleMessage;
    ASSERT_EQ(uploader_->UploadData(msg.data(), static_cast<int>(msg.size())), 0);
    ASSERT_EQ(uploader_->UploadData(DataChunk(1)), 0);
    ASSERT_EQ(uploader_->UploadData(overlong), 0);
    ASSERT_EQ(uploader_->UploadData(DataChunk(2)), 0);
    ASSERT_EQ(uploader_->Start(), 0);
    uploader_->Stop(false);

    const auto sent = transport_->Sends();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].bytes, "payload-2");
    EXPECT_TRUE(log_.Count("Failed to upload data, data_len=5 bytes, sent len=-1 bytes"));
    EXPECT_TRUE(log_.Count("Failed to upload data, data_len=4096 bytes, sent len=-1 bytes"));
    EXPECT_EQ(log_.Count("Failed to upload data"), 3u);
}

// Flush and Finish wait until the chunk in hand is sent, not just until the queue is empty.
TEST_F(UploaderTest, FlushAndFinishWaitUntilTheChunkInHandIsSent) {
    transport_->Hold();
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(uploader_->UploadData(DataChunk(i)), 0);
    }
    ASSERT_EQ(uploader_->Start(), 0);
    transport_->WaitEntered(1);
    transport_->Release();
    ASSERT_TRUE(uploader_->Flush());
    transport_->Hold();
    ASSERT_EQ(uploader_->UploadData(DataChunk(3)), 0);
    transport_->WaitEntered(4);  // the queue is empty, the last chunk in hand
    auto flushed = std::async(std::launch::async, [&] { return uploader_->Flush(); });
    EXPECT_EQ(flushed.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout)
        << "Flush returned while a chunk was still being sent";
    transport_->Release();
    EXPECT_TRUE(flushed.get());
    EXPECT_EQ(transport_->Sends().size(), 4u);

    const std::string finish = "finish";
    EXPECT_EQ(uploader_->Finish(finish.data(), static_cast<int>(finish.size())), 0);
    EXPECT_EQ(transport_->Sends().back().bytes, finish);
    EXPECT_EQ(transport_->Closes(), 0);
    EXPECT_TRUE(uploader_->Flush());  // nothing left: at once
}

// A host that takes nothing: Finish gives up after the flush bound, ends the session (freeing
// the blocked write) and fails, as a failed finish write does.
TEST_F(UploaderTest, FinishFailsAndEndsTheSessionWhenTheHostDoesNotTakeIt) {
    uploader_->SetFlushTimeoutMs(100);
    transport_->Hold();
    ASSERT_EQ(uploader_->Start(), 0);
    ASSERT_EQ(uploader_->UploadData(DataChunk(0)), 0);
    transport_->WaitEntered(1);
    const std::string finish = "finish";
    EXPECT_EQ(uploader_->Finish(finish.data(), static_cast<int>(finish.size())), -1);
    EXPECT_EQ(transport_->Closes(), 1);
    EXPECT_TRUE(log_.Count("Data session not drained in 100 ms, 2 chunks left: ending it"));

    EXPECT_TRUE(uploader_->Flush());
    transport_->FailNext(1);
    EXPECT_EQ(uploader_->Finish(finish.data(), static_cast<int>(finish.size())), -1);

    EXPECT_TRUE(uploader_->Flush());
}

// Bounded by bytes: thousands of small chunks fit, a big one beyond the bound waits (or is
// handed back), and the last data of an ending producer goes in whatever the bound.
TEST_F(UploaderTest, ByteBoundTakesManySmallChunksAndHoldsBackBigOnes) {
    Uploader uploader(transport_);
    ASSERT_EQ(uploader.Init(kUploaderQueueChunks, kUploaderQueueBytes), 0);
    const std::string small(4096, 's');
    for (int i = 0; i < 4000; ++i) {
        auto c = DataChunk(i);
        c->chunk = small;
        std::shared_ptr<ProfileFileChunk> kept = c;
        ASSERT_EQ(uploader.UploadDataWithin(kept, 0), 0) << i;
    }
    auto big = DataChunk(1);
    big->chunk.assign(kUploaderQueueBytes / 2, 'b');
    EXPECT_EQ(uploader.UploadDataWithin(big, 0), 1);
    ASSERT_NE(big, nullptr);  // handed back
    EXPECT_EQ(uploader.UploadDataWithin(big, 20), 1);
    EXPECT_EQ(uploader.ForceUploadData(big), 0);
    EXPECT_EQ(uploader.Stop(true), 0);
}

}  // namespace
}  // namespace analysis::orbx::transport
