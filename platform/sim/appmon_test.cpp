// The application-monitor client against the simulated monitor service.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include "testing/build_paths.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "ostrel/appmon.h"
#include "ostrel/sim_control.h"
#include "testing/sim_test_util.h"

extern char** environ;

namespace {

using ostrel::simtest::ResetSim;

std::string SimDir() {
    const char* dir = getenv("OSTREL_SIM_DIR");
    return dir != nullptr && *dir != '\0' ? dir : "/tmp/ostrel-sim";
}

// One ostrel-sim-monitor process for a test.
class MonitorService {
  public:
    explicit MonitorService(std::vector<std::string> extra = {})
        : socket_(SimDir() + "/mon/appmon-" + std::to_string(getpid()) + ".socket"),
          log_(SimDir() + "/appmon-" + std::to_string(getpid()) + ".log") {
        unlink(log_.c_str());
        std::vector<std::string> args = {oru_testing::BinDir() + "/ostrel-sim-monitor", "--socket",
                                         socket_, "--log", log_};
        args.insert(args.end(), extra.begin(), extra.end());
        std::vector<char*> argv;
        for (std::string& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
            pid_ = -1;
        }
    }
    ~MonitorService() { Stop(); }

    // Connects a client once the service listens (it has just been started).
    bool Connect(appmon_client_t* client) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (pid_ > 0 && std::chrono::steady_clock::now() < deadline) {
            if (appmon_client_init(client, socket_.c_str()) == 0) {
                return true;
            }
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;  // it could not start
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return false;
    }

    // Ends the service; its exit status.
    int Stop() {
        if (pid_ <= 0) {
            return -1;
        }
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return status;
    }

    const std::string& SocketPath() const { return socket_; }

  private:
    std::string socket_;
    std::string log_;
    pid_t pid_ = -1;
};

class AppmonTest : public ::testing::Test {
  protected:
    void SetUp() override { ResetSim(); }
    void TearDown() override {
        appmon_client_exit(&client_);
        ResetSim();
    }
    appmon_client_t client_ = {-1, 0, {0}};
};

TEST_F(AppmonTest, InjectedFaultsFailTheChosenCalls) {
    MonitorService service;
    ASSERT_EQ(0, ostrel_sim_fault_set(OSTREL_SIM_FAULT_APPMON_INIT, -1, 1));
    client_.fd = 0;  // a zeroed record: a failed init must not leave it pointing at stdin
    EXPECT_EQ(-1, appmon_client_init(&client_, service.SocketPath().c_str()));
    EXPECT_EQ(-1, client_.fd);
    ASSERT_TRUE(service.Connect(&client_));
    ASSERT_EQ(0, ostrel_sim_fault_set(OSTREL_SIM_FAULT_APPMON_REGISTER, -1, 2));
    EXPECT_EQ(-1, appmon_client_register(&client_, 9000, "/s.sh"));
    EXPECT_EQ(-1, appmon_client_register(&client_, 9000, "/s.sh"));
    EXPECT_EQ(0, appmon_client_register(&client_, 9000, "/s.sh"));
    EXPECT_EQ(3u, ostrel_sim_call_count(OSTREL_SIM_FAULT_APPMON_REGISTER));
    ASSERT_EQ(0, ostrel_sim_fault_set(OSTREL_SIM_FAULT_APPMON_HEARTBEAT, -1, 1));
    EXPECT_EQ(-1, appmon_client_heartbeat(&client_));
    EXPECT_EQ(0, appmon_client_heartbeat(&client_));
    ASSERT_EQ(0, ostrel_sim_fault_set(OSTREL_SIM_FAULT_APPMON_DEREGISTER, -1, 1));
    EXPECT_EQ(-1, appmon_client_deregister(&client_, "bye"));
    EXPECT_EQ(0, appmon_client_deregister(&client_, "bye"));
}

}  // namespace
