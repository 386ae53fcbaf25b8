// The profiling component's cleanup while hosts keep handshaking, with the
// daemon's components inside the test process (the cleanup runs on the
// caller's thread, as the daemon's main thread runs it at shutdown). Every
// session taken before the cleanup is ended by it, none is taken after it,
// and no receiver thread outlives it.
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

    // Hosts open control sessions for new jobs as fast as they are answered,
    // one host per mode key. A served session stays open, so the host's
    // later handshakes are refused while its first receiver runs.
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

    // The cleanup ends the receivers it finds; a handshake in flight either
    // finished before it (and its receiver is ended too) or is refused.
    EXPECT_EQ(0, IdeDeviceProfileCleanup());
    EXPECT_EQ(0, ThreadsNamed("KTRX_CtrlRecv")) << "a receiver outlived the cleanup";
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // handshakes keep coming
    EXPECT_EQ(0, ThreadsNamed("KTRX_CtrlRecv")) << "a receiver was started after the cleanup";
}

}  // namespace
