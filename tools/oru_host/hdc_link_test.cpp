// The HDC device link and a whole profile run through real sessions of the
// simulated card, against a small device made of the daemon's own HDC
// server, transport and uploader.
#include "tools/oru_host/hdc_link.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "daemon/kvt_hdc.h"
#include "message/codec.h"
#include "message/job_context.h"
#include "message/status_info.h"
#include "ostrel/sim_control.h"
#include "platform/sim/sim_test_util.h"
#include "tools/oru_host/profile_run.h"
#include "tools/oru_host/sample_config.h"
#include "transport/hdc_transport.h"
#include "transport/uploader.h"

namespace analysis::orbx::hosttool {
namespace {

namespace fs = std::filesystem;
namespace pb = analysis::orbx::proto;

std::string ResponseBytes(int32_t status, const std::string& info) {
    message::StatusInfo s;
    s.dev_id = "0";
    s.status = status;
    s.info = info;
    pb::Response rsp;
    rsp.set_status(status == 0 ? pb::SUCCESS : pb::FAILED);
    rsp.set_message(s.ToString());
    return message::EncodeMessage(rsp);
}

// Answers the control session's commands; on the job stop it lets the data
// session stream two chunks and the finish, then replies, as oru does. With
// silentStop it never answers the job stop.
class TestDevice {
  public:
    explicit TestDevice(bool silentStop) : silentStop_(silentStop) {}
    ~TestDevice() {
        if (server_ != nullptr) {
            HdcServerDestroy(server_);
        }
        if (acceptor_.joinable()) {
            acceptor_.join();
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopped_ = true;
        }
        cv_.notify_all();
        for (auto& t : workers_) {
            t.join();
        }
    }

    bool Start() {
        server_ = HdcServerCreate(0, HDC_SERVICE_TYPE_IDE);
        if (server_ == nullptr) {
            return false;
        }
        acceptor_ = std::thread([this] {
            while (HDC_SESSION s = KvtHdcServerAccept(server_)) {
                workers_.emplace_back([this, s] { Serve(s); });
            }
        });
        return true;
    }

    void WaitForStop() {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait(lock, [this] { return stopped_; });
    }

    std::vector<std::string> Seen() {
        std::lock_guard<std::mutex> lock(mutex_);
        return seen_;
    }

  private:
    void Note(const std::string& s) {
        std::lock_guard<std::mutex> lock(mutex_);
        seen_.push_back(s);
    }

    static message::MessagePtr Receive(transport::HDCTransport& t) {
        IdeTlvReq* packet = nullptr;
        if (t.RecvPacket(&packet) < 0) {
            t.DestroyPacket(packet);
            return nullptr;
        }
        message::MessagePtr m = message::DecodeMessage(packet->value, packet->len);
        t.DestroyPacket(packet);
        return m;
    }

    static void Reply(transport::HDCTransport& t, int32_t status, const std::string& info) {
        std::string bytes = ResponseBytes(status, info);
        t.SendBuffer(bytes.data(), static_cast<int>(bytes.size()));
    }

    void Serve(HDC_SESSION session) {
        auto base = transport::HDCTransportFactory::CreateHdcTransport(session);
        if (base == nullptr) {
            KvtHdcSessionClose(session);
            return;
        }
        auto t = std::static_pointer_cast<transport::HDCTransport>(base);
        int vfId = 0;
        if (KvtGetVfIdBySession(session, &vfId) == 0 && vfId != 0) {
            t->SendBuffer(transport::kContainerRefusal,
                          static_cast<int>(transport::kContainerRefusalLen));
            return;
        }
        message::MessagePtr m = Receive(*t);
        if (message::MessageAs<pb::CtrlChannelHandshake>(m) != nullptr) {
            Reply(*t, 0, "");
            Commands(*t);
        } else if (message::MessageAs<pb::DataChannelHandshake>(m) != nullptr) {
            Stream(base);
        }
    }

    void Commands(transport::HDCTransport& t) {
        while (message::MessagePtr m = Receive(t)) {
            Note(m->GetDescriptor()->name());
            if (message::MessageAs<pb::JobStopReq>(m) == nullptr) {
                Reply(t, 0, "");
                continue;
            }
            {
                std::unique_lock<std::mutex> lock(mutex_);
                stopped_ = true;
                cv_.notify_all();
                if (silentStop_) {
                    continue;
                }
                cv_.wait(lock, [this] { return streamed_; });
            }
            Reply(t, 0, "");
        }
    }

    void Stream(const std::shared_ptr<transport::ITransport>& t) {
        transport::Uploader uploader(t);
        uploader.SetThreadName("KTRX_Upld_test");
        if (uploader.Init(512) != 0 || uploader.Start() != 0) {
            return;
        }
        std::string reply = ResponseBytes(0, "");
        uploader.UploadData(reply.data(), static_cast<int>(reply.size()));
        WaitForStop();
        for (const char* bytes : {"first ", "second"}) {
            auto c = std::make_shared<ProfileFileChunk>();
            c->chunk = bytes;
            c->chunkSize = c->chunk.size();
            c->chunkModule = kChunkModuleData;
            c->offset = -1;
            c->fileName = "data/Memory.data.";
            c->extraInfo = "job-1.0";
            uploader.UploadData(c);
        }
        pb::DataChannelFinish finish;
        std::string bytes = message::EncodeMessage(finish);
        uploader.UploadData(bytes.data(), static_cast<int>(bytes.size()));
        uploader.Stop(false);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            streamed_ = true;
        }
        cv_.notify_all();
    }

    bool silentStop_;
    HDC_SERVER server_ = nullptr;
    std::thread acceptor_;
    std::vector<std::thread> workers_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool stopped_ = false;   // guarded by mutex_
    bool streamed_ = false;  // guarded by mutex_
    std::vector<std::string> seen_;
};

class InstantClock : public Clock {
  public:
    uint64_t NowMs() override { return now_.load(); }
    void SleepMs(uint64_t ms) override { now_ += ms; }
    std::string WallTimeUtc() override { return "2026-01-01T00:00:00Z"; }

  private:
    std::atomic<uint64_t> now_{0};
};

class HdcLinkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ostrel::simtest::ResetSim();
        dir_ = fs::path(ORU_TEST_TMP_DIR) /
               ::testing::UnitTest::GetInstance()->current_test_info()->name();
        fs::remove_all(dir_);
        request_.options.device = 0;
        request_.options.jobId = "job-1";
        request_.options.outDir = dir_.string();
        request_.options.durationMs = 1000;
        request_.options.sys = true;
        request_.sampleConfig = BuildSampleConfig(request_.options);
        request_.configSource = "options";
    }
    void TearDown() override {
        EXPECT_EQ(ostrel_sim_open_handles(OSTREL_SIM_HANDLE_SESSION), 0u);
        ostrel::simtest::ResetSim();
    }

    int Run(std::string* message) {
        std::unique_ptr<DeviceLink> link = MakeHdcLink();
        InstantClock clock;
        ProfileRun run(request_, link.get(), &clock);
        int code = run.Run();
        *message = run.Message();
        return code;
    }

    fs::path dir_;
    ProfileRequest request_;
};

TEST_F(HdcLinkTest, AProfileRunGoesThroughRealSessions) {
    TestDevice device(false);
    ASSERT_TRUE(device.Start());
    std::string message;
    ASSERT_EQ(Run(&message), kExitOk) << message;
    std::ifstream in(dir_ / "data/Memory.data");
    std::ostringstream data;
    data << in.rdbuf();
    EXPECT_EQ(data.str(), "first second");
    EXPECT_EQ(device.Seen(), (std::vector<std::string>{"JobStartReq", "ReplayStartReq",
                                                       "ReplayStopReq", "JobStopReq"}));
}

TEST_F(HdcLinkTest, AContainerGetsTheRefusalText) {
    TestDevice device(false);
    ASSERT_TRUE(device.Start());
    request_.options.vfid = 5;
    std::string message;
    EXPECT_EQ(Run(&message), kExitDeviceRefused);
    EXPECT_EQ(message, "device 0 refused the control session: MESSAGE_CONTAINER_NO_SUPPORT");
}

TEST_F(HdcLinkTest, NoServerIsAConnectionFailure) {
    std::string message;
    EXPECT_EQ(Run(&message), kExitLinkFailure);
    EXPECT_EQ(message, "control handshake: cannot connect to device 0 (is oru running on it?)");
}

TEST_F(HdcLinkTest, ClosingFromAnotherThreadEndsAWaitForAReply) {
    TestDevice device(true);
    ASSERT_TRUE(device.Start());
    std::unique_ptr<DeviceLink> link = MakeHdcLink();
    Reply reply;
    std::string error;
    pb::CtrlChannelHandshake ctrl;
    ctrl.set_jobid("job-1");
    ASSERT_TRUE(link->OpenControl(0, 0, ctrl, &reply, &error)) << error;
    EXPECT_EQ(reply.status, 0);
    pb::DataChannelHandshake data;
    data.set_jobid("job-1");
    ASSERT_TRUE(link->OpenData(0, 0, data, &reply, &error)) << error;

    std::thread closer([&] {
        device.WaitForStop();  // the stop has arrived and will not be answered
        link->CloseControl();
        link->CloseData();
    });
    pb::JobStopReq stop;
    EXPECT_FALSE(link->Command(stop, &reply, &error));
    EXPECT_EQ(error.rfind("no answer to JobStopReq", 0), 0u) << error;
    closer.join();
    std::shared_ptr<google::protobuf::Message> m;
    // The data session was closed by the host before anything but the
    // handshake answer could be read.
    EXPECT_FALSE(link->ReadData(&m, &error));
    link.reset();
}

}  // namespace
}  // namespace analysis::orbx::hosttool
