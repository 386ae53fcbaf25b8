// Test helper: a device profiling service in miniature from the daemon's own HDC server,
// transport, codec and uploader: it answers handshakes and commands and streams the planned chunks.
#ifndef ORU_TESTING_MINI_DEVICE_H
#define ORU_TESTING_MINI_DEVICE_H

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "hdc/kvt_hdc.h"
#include "message/job_context.h"
#include "message/status_info.h"
#include "transport/hdc_transport.h"
#include "transport/uploader.h"
#include "wire/codec.h"

namespace analysis::orbx::hosttest {

namespace pb = analysis::orbx::proto;

struct DataPlan {
    std::vector<std::shared_ptr<ProfileFileChunk>> chunks;
    // As oru does: stream only once the job stop arrived, and answer the stop after the stream.
    bool streamAtStop = false;
    bool silentStop = false;  // the job stop is never answered
};

inline std::string ResponseBytes(int32_t status, const std::string& info) {
    message::StatusInfo s;
    s.dev_id = "0";
    s.status = status;
    s.info = info;
    pb::Response rsp;
    rsp.set_status(status == 0 ? pb::SUCCESS : pb::FAILED);
    rsp.set_message(s.ToString());
    return message::EncodeMessage(rsp);
}

// A chunk of the file `name` of job-1 on device 0, tagged `tag`.
inline std::shared_ptr<ProfileFileChunk> FileChunk(const std::string& name,
                                                   const std::string& bytes, bool last,
                                                   const std::string& tag = "tag7") {
    auto c = std::make_shared<ProfileFileChunk>();
    c->chunk = bytes;
    c->chunkSize = bytes.size();
    c->chunkModule = kChunkModuleData;
    c->offset = -1;
    c->isLastChunk = last;
    c->fileName = name + "." + tag;
    c->extraInfo = "job-1.0";
    return c;
}

class MiniDevice {
  public:
    explicit MiniDevice(DataPlan plan = {}) : plan_(std::move(plan)) {}
    ~MiniDevice() { Stop(); }

    bool Start() {
        server_ = HdcServerCreate(0, HDC_SERVICE_TYPE_IDE);
        if (server_ == nullptr) {
            return false;
        }
        acceptor_ = std::thread([this] {
            while (HDC_SESSION session = KvtHdcServerAccept(server_)) {
                workers_.emplace_back([this, session] { Serve(session); });
            }
        });
        return true;
    }
    void Stop() {
        if (server_ != nullptr) {
            HdcServerDestroy(server_);  // wakes the acceptor
            server_ = nullptr;
        }
        if (acceptor_.joinable()) {
            acceptor_.join();
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopped_ = true;  // releases a held stream
            ending_ = true;   // and a stop held for a stream that never came
        }
        cv_.notify_all();
        for (auto& t : workers_) {
            t.join();
        }
        workers_.clear();
    }

    bool WaitForStop() {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, std::chrono::seconds(5), [this] { return stopped_; });
    }

  private:
    void Serve(HDC_SESSION session) {
        std::shared_ptr<transport::ITransport> base =
            transport::HDCTransportFactory::CreateHdcTransport(session);
        if (base == nullptr) {
            KvtHdcSessionClose(session);
            return;
        }
        auto t = std::static_pointer_cast<transport::HDCTransport>(base);
        message::MessagePtr msg = Receive(*t);
        if (message::MessageAs<pb::CtrlChannelHandshake>(msg) != nullptr) {
            Reply(*t, 0, "ctrl ok");
            Commands(*t);
        } else if (message::MessageAs<pb::DataChannelHandshake>(msg) != nullptr) {
            Stream(base);
        }
    }

    static message::MessagePtr Receive(transport::HDCTransport& t) {
        IdeTlvReq* packet = nullptr;
        if (t.RecvPacket(&packet) < 0) {
            t.DestroyPacket(packet);
            return nullptr;
        }
        message::MessagePtr msg = message::DecodeMessage(packet->value, packet->len);
        t.DestroyPacket(packet);
        return msg;
    }

    static void Reply(transport::HDCTransport& t, int32_t status, const std::string& info) {
        const std::string bytes = ResponseBytes(status, info);
        t.SendBuffer(bytes.data(), static_cast<int>(bytes.size()));
    }

    void Commands(transport::HDCTransport& t) {
        while (message::MessagePtr msg = Receive(t)) {
            if (message::MessageAs<pb::JobStopReq>(msg) == nullptr) {
                Reply(t, 0, "ok");
                continue;
            }
            std::unique_lock<std::mutex> lock(mutex_);
            stopped_ = true;
            cv_.notify_all();
            if (plan_.silentStop) {
                continue;
            }
            if (plan_.streamAtStop) {
                if (!cv_.wait_for(lock, std::chrono::seconds(10),
                                  [this] { return streamed_ || ending_; })) {
                    ADD_FAILURE() << "the device's stream did not end within 10 s of the stop";
                }
            }
            lock.unlock();
            Reply(t, 0, "stopped");
        }
    }

    void Stream(const std::shared_ptr<transport::ITransport>& t) {
        transport::Uploader uploader(t);
        uploader.SetThreadName("KTRX_Upld_test");
        if (uploader.Init(512) != 0 || uploader.Start() != 0) {
            return;
        }
        const std::string reply = ResponseBytes(0, "data ok");
        uploader.UploadData(reply.data(), static_cast<int>(reply.size()));
        if (plan_.streamAtStop) {
            // Until the host's stop, or until Stop ends the device.
            std::unique_lock<std::mutex> lock(mutex_);
            if (!cv_.wait_for(lock, std::chrono::seconds(10), [this] { return stopped_; })) {
                ADD_FAILURE() << "the host did not stop the job within 10 s";
            }
        }
        for (const auto& chunk : plan_.chunks) {
            uploader.UploadData(chunk);
        }
        pb::DataChannelFinish finish;
        message::JobContext ctx;
        ctx.job_id = "job-1";
        ctx.dev_id = "0";
        finish.mutable_hdr()->set_job_ctx(ctx.ToString());
        const std::string bytes = message::EncodeMessage(finish);
        uploader.UploadData(bytes.data(), static_cast<int>(bytes.size()));
        uploader.Stop(false);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            streamed_ = true;
        }
        cv_.notify_all();
    }

    const DataPlan plan_;
    HDC_SERVER server_ = nullptr;
    std::thread acceptor_;
    std::vector<std::thread> workers_;  // touched by the acceptor, then by Stop after it ended
    std::mutex mutex_;
    std::condition_variable cv_;
    bool stopped_ = false;   // guarded by mutex_
    bool streamed_ = false;  // guarded by mutex_
    bool ending_ = false;    // guarded by mutex_
};

}  // namespace analysis::orbx::hosttest

#endif  // ORU_TESTING_MINI_DEVICE_H
