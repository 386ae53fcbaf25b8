// A scripted device and a still clock for the host tool's tests.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tools/oru_host/device_link.h"
#include "tools/oru_host/progress.h"

namespace analysis::orbx::hosttool::fakes {

using MessagePtr = std::shared_ptr<google::protobuf::Message>;

// Time passes only by the run's own sleeps; shared by the jobs of a device list.
class FakeClock : public Clock {
  public:
    uint64_t NowMs() override { return now_.load(); }
    void SleepMs(uint64_t ms) override { now_ += ms; }
    std::string WallTimeUtc() override { return "2026-01-02T03:04:05Z"; }

  private:
    std::atomic<uint64_t> now_{1000};
};

inline Reply Ok() {
    return Reply{false, 0, "{\"info\":\"\",\"status\":0,\"dev_id\":\"3\"}"};
}

inline Reply Failed(const std::string& info) {
    return Reply{false, 1, "{\"dev_id\":\"-1\",\"status\":1,\"info\":\"" + info + "\"}"};
}

inline MessagePtr Chunk(const std::string& name, const std::string& bytes) {
    auto m = std::make_shared<proto::FileChunkReq>();
    m->set_filename(name);
    m->set_chunk(bytes);
    m->set_chunksizeinbytes(static_cast<int32_t>(bytes.size()));
    m->set_datamodule(3);
    m->set_offset(-1);
    return m;
}

inline MessagePtr Finish() {
    return std::make_shared<proto::DataChannelFinish>();
}

// A device answering from a script; data is queued for the reader when a command arrives.
// onRequest sees each handshake and command first and may change the script.
class FakeLink : public DeviceLink {
  public:
    std::function<void(FakeLink&, const google::protobuf::Message&)> onRequest;
    Reply ctrlReply = Ok();
    std::deque<Reply> ctrlReplies;  // answered first, one per handshake
    Reply dataReply = Ok();
    std::map<std::string, Reply> replies;                   // by request type name
    std::map<std::string, std::string> commandFailure;      // by request type name
    std::map<std::string, std::vector<MessagePtr>> dataOn;  // queued when the command arrives
    std::map<std::string, bool> endDataOn;                  // the data session closes afterwards

    std::vector<std::string> sent;
    std::vector<MessagePtr> commands;
    int closeDataCalls = 0;
    int closeControlCalls = 0;

    bool OpenControl(uint32_t device, uint32_t vfid, const proto::CtrlChannelHandshake& hs,
                     Reply* reply, std::string*) override {
        sent.push_back("CtrlChannelHandshake");
        ctrlDevice = device;
        ctrlVfid = vfid;
        ctrlHandshake = hs;
        if (onRequest) {
            onRequest(*this, hs);
        }
        *reply = ctrlReply;
        if (!ctrlReplies.empty()) {
            *reply = ctrlReplies.front();
            ctrlReplies.pop_front();
        }
        return true;
    }
    bool OpenData(uint32_t, uint32_t, const proto::DataChannelHandshake& hs, Reply* reply,
                  std::string*) override {
        sent.push_back("DataChannelHandshake");
        dataHandshake = hs;
        *reply = dataReply;
        return true;
    }
    bool Command(const google::protobuf::Message& request, Reply* reply,
                 std::string* error) override {
        std::string type = request.GetDescriptor()->name();
        sent.push_back(type);
        if (onRequest) {
            onRequest(*this, request);
        }
        MessagePtr copy(request.New());
        copy->CopyFrom(request);
        commands.push_back(copy);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (const MessagePtr& m : dataOn[type]) {
                queue_.push_back(m);
            }
            if (endDataOn[type]) {
                ended_ = true;
            }
        }
        cv_.notify_all();
        if (commandFailure.count(type) != 0) {
            *error = commandFailure[type];
            return false;
        }
        *reply = replies.count(type) != 0 ? replies[type] : Ok();
        return true;
    }
    bool ReadData(MessagePtr* message, std::string* error) override {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!cv_.wait_for(lock, std::chrono::seconds(5),
                          [this] { return !queue_.empty() || ended_ || closed_; })) {
            ADD_FAILURE() << "no data, end or close of the data session within 5 s";
            closed_ = true;
        }
        if (closed_ || queue_.empty()) {
            *error = closed_ ? "closed by the host" : "the device closed the session";
            return false;
        }
        *message = queue_.front();
        queue_.pop_front();
        return true;
    }
    void CloseControl() override { closeControlCalls += 1; }
    void CloseData() override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            closed_ = true;
        }
        closeDataCalls += 1;
        cv_.notify_all();
    }

    template <class T>
    std::shared_ptr<T> Sent(size_t i) {
        return std::dynamic_pointer_cast<T>(commands.at(i));
    }

    uint32_t ctrlDevice = 99;
    uint32_t ctrlVfid = 99;
    proto::CtrlChannelHandshake ctrlHandshake;
    proto::DataChannelHandshake dataHandshake;

  private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<MessagePtr> queue_;
    bool ended_ = false;
    bool closed_ = false;
};

}  // namespace analysis::orbx::hosttool::fakes
