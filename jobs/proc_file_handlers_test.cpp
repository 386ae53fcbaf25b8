#include "jobs/proc_file_handlers.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testing/sampling_test_support.h"
#include "testing/test_emulator.h"
#include "testing/test_log_capture.h"

namespace Analysis::Orbx::JobWrapper {
namespace {

using analysis::orbx::common::TestLogCapture;
using testing::FakeProc;
using testing::MakeJobContext;
using testing::ManualClock;
using testing::UploadRecorder;

class ProcFileHandlersTest : public ::testing::Test {
  protected:
    template <class Handler, class... Extra>
    std::shared_ptr<Handler> Make(const std::string& file, const std::string& dataName,
                                  Extra... extra) {
        auto handler =
            std::make_shared<Handler>(2, 0, 4096, 0, file, dataName, nullptr,
                                      MakeJobContext("j", "0", "t"), upload_.uploader(), extra...);
        handler->SetTimeSource(clock_.Source());
        EXPECT_EQ(handler->Init(), 0);
        return handler;
    }

    FakeProc proc_;
    ManualClock clock_{1};
    UploadRecorder upload_;
};

TEST_F(ProcFileHandlersTest, SystemCpuSamplerSendsTheLeadingCpuLinesLowered) {
    std::string stat =
        proc_.Write("stat", "CPU  10 20 30\ncpu0 1 2 3\nintr 5 6\ncpu1 after intr\n");
    auto handler = Make<ProcStatFileHandler>(stat, "SystemCpuUsage.data");
    handler->Execute();
    // Without a leading cpu line the pass counts but sends nothing.
    proc_.Write("stat", "intr 5\ncpu 1 2\n");
    clock_.Advance(1);
    handler->Execute();
    EXPECT_EQ(handler->GetIndex(), 2u);
    EXPECT_EQ(handler->Uninit(), 0);
    EXPECT_EQ(upload_.Texts("data/SystemCpuUsage.data.t"),
              (std::vector<std::string>{"cpu  10 20 30\ncpu0 1 2 3\n"}));
}

TEST_F(ProcFileHandlersTest, ProcessCpuSamplerAddsTheNameAndTheSystemCpuLine) {
    proc_.Write("stat", "intr 1\nCPU 5 6 7\ncpu0 1\n");
    proc_.Write("123/stat", "123 (my worker) S 1 2 3\n");
    proc_.Write("123/comm", "my worker\n");
    auto handler =
        Make<ProcPidStatFileHandler>(proc_.Root() + "/123/stat", "CpuUsage.data", uint32_t{123});
    handler->Execute();

    auto shared = std::make_shared<std::string>("cpu 8 8 8");
    handler->SetSystemCpuLine(shared);
    clock_.Advance(1);
    handler->Execute();
    EXPECT_EQ(handler->Uninit(), 0);

    EXPECT_EQ(
        upload_.Texts("data/123-CpuUsage.data.t"),
        (std::vector<std::string>{"123 (my worker) S 1 2 3\nProcessName:my worker\ncpu 5 6 7\n",
                                  "123 (my worker) S 1 2 3\nProcessName:my worker\ncpu 8 8 8\n"}));
}

TEST_F(ProcFileHandlersTest, NameIsSelfWhenTheCommFileIsGoneOrTooLarge) {
    TestLogCapture log;
    proc_.Write("stat", "cpu 1\n");
    proc_.Write("8/statm", "1 2\n");  // no comm file: the process is on its way out
    proc_.Write("9/statm", "3 4\n");
    proc_.Write("9/comm", std::string(0x200001, 'n'));
    proc_.Write("10/statm", "5 6\n");
    proc_.Write("10/comm", std::string(0x200000, 'n'));  // at the bound: read
    auto gone = Make<ProcPidMemFileHandler>(proc_.Root() + "/8/statm", "Memory.data", uint32_t{8});
    auto huge = Make<ProcPidMemFileHandler>(proc_.Root() + "/9/statm", "Memory.data", uint32_t{9});
    auto large =
        Make<ProcPidMemFileHandler>(proc_.Root() + "/10/statm", "Memory.data", uint32_t{10});
    for (auto& handler : {gone, huge, large}) {
        handler->Execute();
        EXPECT_EQ(handler->Uninit(), 0);
    }

    EXPECT_EQ(upload_.Texts("data/8-Memory.data.t"),
              (std::vector<std::string>{"1 2\nProcessName:self\n"}));
    EXPECT_EQ(upload_.Texts("data/9-Memory.data.t"),
              (std::vector<std::string>{"3 4\nProcessName:self\n"}));
    EXPECT_EQ(upload_.Texts("data/10-Memory.data.t"),
              (std::vector<std::string>{"5 6\nProcessName:" + std::string(0x200000, 'n') + "\n"}));
    EXPECT_EQ(log.Count("Open file comm failed", DLOG_WARN), 2u);
}

// The name in a stat text is the comm file's first line, whatever it holds.
TEST(CommOfStat, GivesTheTextBetweenTheFirstOpeningAndTheLastClosingParenthesis) {
    struct Case {
        const char* stat;
        const char* name;  // nullptr: none
    };
    for (const Case& c :
         {Case{"1 (init) S 0", "init"}, Case{"2 (my worker) S 1", "my worker"},
          Case{"3 (a) (b) S 1", "a) (b"}, Case{"4 () S 1", ""}, Case{"5 (x\ny) S 1", "x"},
          Case{"6 no name S 1", nullptr}, Case{"7 )( S 1", nullptr}}) {
        std::string_view name;
        bool found = CommOfStat(c.stat, name);
        EXPECT_EQ(found, c.name != nullptr) << c.stat;
        if (found && c.name != nullptr) {
            EXPECT_EQ(name, c.name) << c.stat;
        }
    }
}

// For every process of this machine, the name in its stat text is its comm's first line.
TEST(CommOfStat, MatchesTheCommFileOfEveryProcessOfThisMachine) {
    auto firstLine = [](const std::string& path, std::string& line) {
        std::ifstream in(path);
        return static_cast<bool>(std::getline(in, line));
    };
    int compared = 0;
    int emulated = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::string dir = entry.path().string();
        if (entry.path().filename().string().find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        std::string before;
        std::string after;
        ProcFileReader stat;
        if (!firstLine(dir + "/comm", before) || !stat.Open(dir + "/stat") ||
            !firstLine(dir + "/comm", after) || before != after) {
            continue;  // gone, or renamed meanwhile
        }
        if (!analysis::orbx::common::TestEmulator().empty() &&
            before == analysis::orbx::common::TestEmulator()) {
            ++emulated;  // its comm file names the emulator, its stat text the program
            continue;
        }
        std::string_view name;
        ASSERT_TRUE(CommOfStat(stat.Content(), name)) << dir;
        EXPECT_EQ(name, before) << dir;
        ++compared;
    }
    if (emulated > 0) {
        (void)analysis::orbx::common::NativeOnly(
            std::to_string(emulated) +
            " processes named after the emulator left out: an "
            "emulated program reads its own stat text with the "
            "program's name, its comm file with the emulator's");
    }
    EXPECT_GT(compared, 1);
}

TEST_F(ProcFileHandlersTest, AKeptDescriptorIsClosedOnceItsProcessHasGone) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        pause();
        _exit(0);
    }
    auto kept = std::make_shared<KeptDescriptors>(2);
    std::string dir = "/proc/" + std::to_string(child);
    auto handler =
        Make<ProcPidStatFileHandler>(dir + "/stat", "CpuUsage.data", static_cast<uint32_t>(child));
    handler->KeepFileOpen(kept);
    handler->Execute();
    EXPECT_TRUE(handler->HoldsDescriptor());
    EXPECT_EQ(kept->InUse(), 1u);

    ASSERT_EQ(kill(child, SIGKILL), 0);
    ASSERT_EQ(waitpid(child, nullptr, 0), child);
    clock_.Advance(1);
    handler->Execute();
    EXPECT_FALSE(handler->HoldsDescriptor()) << "the descriptor of a reaped process stays open";
    EXPECT_EQ(kept->InUse(), 0u);
    EXPECT_EQ(handler->Uninit(), 0);
    EXPECT_EQ(upload_.Texts("data/" + std::to_string(child) + "-CpuUsage.data.t").size(), 1u);
}

}  // namespace
}  // namespace Analysis::Orbx::JobWrapper
