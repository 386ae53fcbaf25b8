// The receiver path with fake transports: each session's first frame goes to
// CollectionEntry::Handle as its handshake; a control session's receiver then
// reads the session's further frames, decodes them and dispatches them to the
// real handlers, which run jobs on the simulated card. Input: records of
// fuzz_util.h; an even tag opens a session with the record as its handshake
// on device index (tag / 2) % 3 (the simulated card has two devices), an odd
// tag adds a frame to the session opened last. Sessions are served one
// after another; each ends when its frames run out (the host went away).
// Every buffer the device sends must be a frame that decodes.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>
#include "common/oru_paths.h"

#include "device/collection_entry.h"
#include "device/prof_device_core.h"
#include "fuzz/fuzz_util.h"
#include "hdc/hdc_api.h"
#include "ostrel/sim_control.h"
#include "transport/hdc_transport.h"
#include "wire/codec.h"

namespace {

using analysis::orbx::ProfileFileChunk;
using analysis::orbx::device::CollectionEntry;
using analysis::orbx::transport::KvtTransport;

class FakeTransport : public KvtTransport {
  public:
    explicit FakeTransport(std::vector<std::string> frames)
        : frames_(frames.begin(), frames.end()) {}

    int SendBuffer(const void* buffer, int length) override {
        if (buffer == nullptr || length < 0) {
            return -1;
        }
        // What the device answers is always a whole frame.
        if (analysis::orbx::message::DecodeMessage(buffer, static_cast<size_t>(length)) ==
            nullptr) {
            __builtin_trap();
        }
        return length;
    }
    int SendBuffer(std::shared_ptr<ProfileFileChunk> chunk) override {
        return chunk == nullptr || chunk->extraInfo.empty() ? -1 : 0;
    }
    int CloseSession() override {
        std::lock_guard<std::mutex> lock(mu_);
        closed_ = true;
        return 0;
    }
    int Write(const void*, int) override { return 0; }
    int RecvPacket(IdeTlvReq** packet) override {
        if (packet == nullptr) {
            return -1;
        }
        *packet = nullptr;
        std::string frame;
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (closed_ || frames_.empty()) {
                drained_ = true;
                return -1;
            }
            frame = std::move(frames_.front());
            frames_.pop_front();
        }
        uint32_t length = 0;
        if (IdeCreatePacket(IDE_PROFILING_REQ, frame.data(), static_cast<uint32_t>(frame.size()),
                            packet, &length) != 0) {
            return -1;
        }
        return static_cast<int>(length);
    }
    void DestroyPacket(IdeTlvReq* packet) override { IdeFreePacket(&packet); }

    bool Drained() const { return drained_; }

  private:
    std::mutex mu_;
    std::deque<std::string> frames_;
    bool closed_ = false;
    std::atomic<bool> drained_{false};
};

struct Session {
    int devIndex;
    std::string handshake;
    std::vector<std::string> frames;
};

// Waits until the receiver serving transport (if one does) has read every
// frame and let go of its tasks.
void WaitServed(const Session& session, const std::shared_ptr<FakeTransport>& transport) {
    const std::string& handshake = session.handshake;
    auto ctrl = analysis::orbx::message::DecodeAs<analysis::orbx::proto::CtrlChannelHandshake>(
        handshake.data(), handshake.size());
    if (ctrl == nullptr) {
        return;
    }
    auto receiver = CollectionEntry::GetInstance().GetReceiver(ctrl->jobid(), session.devIndex);
    if (receiver == nullptr || receiver->GetTransport() != transport) {
        return;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!(transport->Drained() && receiver->IsQuit())) {
        if (std::chrono::steady_clock::now() > deadline) {
            __builtin_trap();  // the receiver hangs
        }
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    oru_fuzz::QuietLogs();
    // The simulated card keeps its state beside the build, not in /tmp.
    setenv("OSTREL_SIM_DIR", (std::string(analysis::orbx::common::kRootPrefix) + "/simdir").c_str(),
           0);
    setenv("OSTREL_SIM_DEVICES", "2", 0);
    // Channel data is not the host's input: the poll reports "stopped" at
    // once, so that a job stop does not wait out the poll's 1 s timeout.
    ostrel_sim_fault_set(OSTREL_SIM_FAULT_CHANNEL_POLL, PROF_STOPPED_ALREADY, -1);
    if (IdeDeviceProfileInit() != 0) {
        abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<Session> sessions;
    oru_fuzz::RecordReader reader(data, size);
    uint8_t tag = 0;
    std::string bytes;
    while (reader.Next(&tag, &bytes)) {
        if ((tag & 1) == 0) {
            sessions.push_back({(tag / 2) % 3, bytes, {}});
        } else if (!sessions.empty()) {
            sessions.back().frames.push_back(bytes);
        }
    }
    for (const Session& s : sessions) {
        auto transport = std::make_shared<FakeTransport>(s.frames);
        (void)CollectionEntry::GetInstance().Handle(transport, s.handshake, s.devIndex);
        WaitServed(s, transport);
    }
    // Everything the sessions started ends here, as at the daemon's exit.
    (void)IdeDeviceProfileCleanup();
    if (IdeDeviceProfileInit() != 0) {
        abort();
    }
    return 0;
}
