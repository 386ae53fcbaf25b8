// The control-CPU recording end to end: a job whose replay asks for the
// control cpus' events 0x11 and 0x8 runs on the daemon over the simulated
// card, whose collection script (kProfCollectScript, through sudo) records
// numbered pieces. The simulated script keeps a copy of every piece it
// completes, so the test knows independently what was recorded and converts
// each copy itself: the host must get exactly those texts, in piece order,
// each once, and the device must keep no piece.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/oru_paths.h"
#include "daemon/testing/host_job.h"
#include "tools/host/profiling_client.h"

namespace {

using namespace analysis::orbx;
using host::Handshake;
using host::HostClient;
namespace fs = std::filesystem;

constexpr char kJobId[] = "ctrlcpu1";
constexpr char kConfig[] = R"({"job_id":"ctrlcpu1","cpu_sampling_interval":20})";
constexpr char kDataName[] = "data/ai_ctrl_cpu.data";
// The script's output file on device 0; its pieces are this + "." + n.
constexpr char kOutputName[] = "ai_ctrl_cpu.data.0";

const fs::path kScript = analysis::orbx::common::kProfCollectScript;
const fs::path kScriptConf = kScript.parent_path() / "prof_collect.conf";
const fs::path kPerfDataDir = std::string(analysis::orbx::common::kInotifyDir) + "0";

// Pids of the live or unreaped children of pid.
std::vector<std::string> ChildrenOf(pid_t pid) {
    std::vector<std::string> children;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string stat = oru_testing::ReadText(entry.path() / "stat");
        const size_t end = stat.rfind(')');
        if (end != std::string::npos &&
            std::atoi(stat.c_str() + stat.find(' ', end + 2) + 1) == pid) {
            children.push_back(entry.path().filename().string());
        }
    }
    return children;
}

class CtrlCpuJobTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { setenv("OSTREL_SIM_DEVICES", "1", 1); }

    void SetUp() override {
        if (std::system("sudo -n true >/dev/null 2>&1") != 0) {
            GTEST_SKIP() << "the device script runs through sudo, which needs a password "
                            "for this user: control-CPU recording cannot be tested here";
        }
        tmp_ = ORU_TEST_TMP_DIR;
        fs::remove_all(tmp_);
        fs::create_directories(tmp_ / "pieces");
        std::ofstream(kScriptConf) << "keep_pieces=" << (tmp_ / "pieces").string() << "\n";
        log_ = tmp_ / "oru.log";
        daemon_ = oru_testing::StartOru(ORU_BIN_DIR, tmp_.string(), 1);
        client_ = HostClient::Create();
        ASSERT_NE(client_, nullptr);
    }
    void TearDown() override {
        daemon_.reset();
        fs::remove(kScriptConf);
    }

    // The text the script makes of every kept piece, in piece order; the
    // kept pieces must be numbered 0, 1, ... without a gap.
    std::string ExpectedText(size_t* pieces) {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(tmp_ / "pieces")) {
            names.push_back(entry.path().filename().string());
        }
        *pieces = names.size();
        std::string text;
        for (size_t n = 0; n < names.size(); ++n) {
            const fs::path piece =
                tmp_ / "pieces" / (std::string(kOutputName) + "." + std::to_string(n));
            EXPECT_TRUE(fs::exists(piece)) << piece;
            const fs::path out = tmp_ / "converted";
            oru_testing::Child convert({kScript.string(), "--script", piece.string()}, {},
                                       out.string());
            EXPECT_EQ(convert.Wait(), 0) << oru_testing::ReadText(out);
            text += oru_testing::ReadText(out);
        }
        return text;
    }

    fs::path tmp_;
    fs::path log_;
    std::unique_ptr<oru_testing::Child> daemon_;
    std::shared_ptr<HostClient> client_;
};

TEST_F(CtrlCpuJobTest, TheHostGetsEveryRecordedPieceOnceInOrderAndTheDeviceKeepsNone) {
    Handshake hs{kJobId, 0, ""};
    auto ctrl = oru_testing::OpenControl(*client_, hs);
    ASSERT_NE(ctrl, nullptr);
    ctrl->SetAnswerDeadline(30000);  // the stops wait for the recording script
    auto data = oru_testing::OpenData(*client_, hs);
    ASSERT_NE(data, nullptr);
    proto::Response reply;
    std::atomic<int> chunksSeen{0};
    auto collected = std::async(std::launch::async, [&data, &chunksSeen] {
        std::string text;
        proto::FileChunkReq chunk;
        bool finished = false;
        int rc = host::kRecvOk;
        while ((rc = data->Next(&chunk, &finished)) == host::kRecvOk && !finished) {
            EXPECT_EQ(chunk.filename(), kDataName);
            text += chunk.chunk();
            ++chunksSeen;
        }
        return std::make_pair(rc, text);
    });

    std::string ctx = host::MakeJobContext(kJobId, "0", "t1");
    ASSERT_EQ(ctrl->StartJob(ctx, kConfig, &reply), host::kRecvOk);
    ASSERT_EQ(reply.status(), proto::SUCCESS) << reply.message();
    proto::ReplayStartReq events;
    events.add_ctrl_cpu_events("0x11");
    events.add_ctrl_cpu_events("0x8");
    ASSERT_EQ(ctrl->StartReplay(ctx, events, &reply), host::kRecvOk);
    ASSERT_EQ(reply.status(), proto::SUCCESS) << reply.message();

    // Finished pieces travel while the script still records: wait (bounded)
    // for the first of them before stopping.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (chunksSeen == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_GT(chunksSeen, 0) << "nothing arrived while recording";

    ASSERT_EQ(ctrl->StopReplay(ctx, &reply), host::kRecvOk);
    EXPECT_EQ(reply.status(), proto::SUCCESS) << reply.message();
    // The script has ended and every child of the daemon has been waited for.
    EXPECT_TRUE(ChildrenOf(daemon_->Pid()).empty());
    ASSERT_EQ(ctrl->StopJob(ctx, &reply), host::kRecvOk);
    EXPECT_EQ(reply.status(), proto::SUCCESS) << reply.message();
    bool finished = false;
    auto [rc, text] = oru_testing::FinishedWithin(collected, *data, &finished);
    ASSERT_TRUE(finished) << "no DataChannelFinish within 10 s of the job stop";
    ASSERT_EQ(rc, host::kRecvOk);

    size_t pieces = 0;
    const std::string expected = ExpectedText(&pieces);
    EXPECT_GE(pieces, 2u) << oru_testing::ReadText(tmp_ / "oru.out");
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text, expected);
    EXPECT_EQ(
        oru_testing::CountIn(oru_testing::ReadText(log_), "PerfExtraTask the total data size: " +
                                                              std::to_string(expected.size())),
        1);

    // No piece nor its text is left on the device.
    for (const auto& entry : fs::directory_iterator(kPerfDataDir)) {
        EXPECT_NE(entry.path().filename().string().rfind(std::string(kOutputName) + ".", 0), 0u)
            << entry.path();
    }
}

}  // namespace
