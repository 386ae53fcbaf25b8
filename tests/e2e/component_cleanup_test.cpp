// The profiling component's cleanup, on the caller's thread as at shutdown, while hosts keep
// handshaking: no receiver thread outlives it and none starts after it.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "testing/daemon_fixture.h"

namespace {

using namespace oru_e2e;

class ComponentCleanup : public InProcessDaemon {};

TEST_F(ComponentCleanup, CleanupWhileHostsHandshakeEndsEveryReceiverAndStartsNoneAfter) {
    StartDaemon();
    ASSERT_TRUE(RunNormalJob(Client(), "warmup"));

    // One host per mode key opens control sessions as fast as they are answered; a served session
    // stays open, so its host's later handshakes are refused.
    std::atomic<bool> stop{false};
    std::atomic<int> answered{0};
    std::vector<std::future<void>> hosts;
    const char* modes[] = {"", "def_mode", "system-wide"};
    for (int h = 0; h < 3; ++h) {
        hosts.push_back(std::async(std::launch::async, [&, h] {
            auto client = host::HostClient::Create();
            std::vector<std::unique_ptr<host::ControlChannel>> served;
            for (int i = 0; client != nullptr && !stop.load(); ++i) {
                host::Handshake hs{"clean" + std::to_string(h) + "x" + std::to_string(i), 0,
                                   modes[h]};
                std::unique_ptr<host::ControlChannel> ctrl;
                proto::Response reply;
                if (host::ControlChannel::Open(*client, host::Target{0, 0}, hs, &ctrl, &reply) ==
                    host::kRecvOk) {
                    answered.fetch_add(1);
                    if (reply.status() == proto::SUCCESS) {
                        served.push_back(std::move(ctrl));
                    }
                }
            }
        }));
    }
    std::shared_ptr<void> stopHosts(nullptr, [&stop](void*) { stop.store(true); });
    ASSERT_TRUE(WaitUntil([&] { return answered.load() >= 30; })) << "no handshakes answered";

    // A handshake in flight either finished before the cleanup (and is ended) or is refused.
    EXPECT_EQ(0, IdeDeviceProfileCleanup());
    EXPECT_EQ(0, ThreadsNamed("KTRX_CtrlRecv")) << "a receiver outlived the cleanup";
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // handshakes keep coming
    EXPECT_EQ(0, ThreadsNamed("KTRX_CtrlRecv")) << "a receiver was started after the cleanup";
}

}  // namespace
