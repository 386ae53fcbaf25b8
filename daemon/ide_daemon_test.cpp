#include "daemon/ide_daemon.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <string>
#include <vector>

#include "testing/test_log_capture.h"

namespace {

using analysis::orbx::common::TestLogCapture;

// Calls of the test components' entry points, in order: "init:2", "destroy:17", ...
std::vector<std::string> g_calls;
int g_failingInit = -1;

template <int N>
int Init() {
    g_calls.push_back("init:" + std::to_string(N));
    return N == g_failingInit ? -1 : 0;
}
template <int N>
int Destroy() {
    g_calls.push_back("destroy:" + std::to_string(N));
    return N == 10 ? 5 : 0;  // the profiling slot reports a failure
}
int Process(HDC_SESSION, const IdeTlvReq*) {
    return 0;
}

template <int N>
IdeComponentFuncs Funcs() {
    IdeComponentFuncs f;
    f.init = Init<N>;
    f.destroy = Destroy<N>;
    return f;
}

class ComponentTable : public ::testing::Test {
  protected:
    void SetUp() override {
        g_calls.clear();
        g_failingInit = -1;
        // Registration order as at start-up: monitor, HDC, profiling.
        IdeComponentRegister(IDE_COMPONENT_MONITOR, Funcs<17>());
        IdeComponentRegister(IDE_COMPONENT_HDC, Funcs<2>());
        IdeComponentFuncs profiling = Funcs<10>();
        profiling.process = Process;
        IdeComponentRegister(IDE_COMPONENT_PROFILING, profiling);
    }
    void TearDown() override { IdeComponentsDestroy(); }
};

TEST_F(ComponentTable, InitRunsUpAndDestroyRunsDownTheSlots) {
    TestLogCapture logs;
    signal(SIGPIPE, SIG_DFL);
    EXPECT_EQ(0, IdeComponentsInit());
    struct sigaction current {};
    ASSERT_EQ(0, sigaction(SIGPIPE, nullptr, &current));
    EXPECT_EQ(SIG_IGN, current.sa_handler);  // a host's departure must not end the daemon
    IdeComponentsDestroy();
    EXPECT_EQ((std::vector<std::string>{"init:2", "init:10", "init:17", "destroy:17", "destroy:10",
                                        "destroy:2"}),
              g_calls);
    EXPECT_TRUE(logs.Has("call ideComponents Funcs destroy[profiling] failed"));

    // Destroy emptied every slot: nothing is called twice.
    g_calls.clear();
    IdeComponentsDestroy();
    EXPECT_EQ(0, IdeComponentsInit());
    EXPECT_TRUE(g_calls.empty());
    EXPECT_EQ(nullptr, IdeGetComponentProcess(IDE_COMPONENT_PROFILING));
}

TEST_F(ComponentTable, OtherInitFailuresAreReportedAndSkipped) {
    g_failingInit = 10;
    TestLogCapture logs;
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(0, IdeComponentsInit());
    EXPECT_EQ("init [profiling] failed\n", ::testing::internal::GetCapturedStdout());
    EXPECT_TRUE(logs.Has("call [profiling] init function failed"));
    EXPECT_EQ((std::vector<std::string>{"init:2", "init:10", "init:17"}), g_calls);
}

TEST_F(ComponentTable, OutOfRangeRegistrationIsIgnored) {
    IdeComponentRegister(NR_IDE_COMPONENTS, Funcs<18>());
    IdeComponentRegister(1000, Funcs<18>());
    EXPECT_EQ(nullptr, IdeGetComponentProcess(NR_IDE_COMPONENTS));
    IdeComponentsDestroy();
    EXPECT_EQ((std::vector<std::string>{"destroy:17", "destroy:10", "destroy:2"}), g_calls);
}

}  // namespace
