// The logging library: line format, level filter, file output and sink.
#include "ostrel/dlog.h"
#include "testing/build_paths.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace {

class DlogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(oru_testing::TestTmpDir());
        path_ = oru_testing::TestTmpDir() + "/dlog.log";
        unlink(path_.c_str());
        setenv("OSTREL_LOG_FILE", path_.c_str(), 1);
        unsetenv("OSTREL_LOG_LEVEL");
        DlogReloadSettings();
    }
    void TearDown() override {
        DlogSetSink(nullptr, nullptr);
        unsetenv("OSTREL_LOG_FILE");
        unsetenv("OSTREL_LOG_LEVEL");
        DlogReloadSettings();
    }
    void UseLevel(const char* level) {
        setenv("OSTREL_LOG_LEVEL", level, 1);
        DlogReloadSettings();
    }
    void WriteEveryLevel() {
        DlogDebugInner(31, "debug %d\n", 0);
        DlogInfoInner(31, "info %d\n", 1);
        DlogWarnInner(31, "warning %d\n", 2);
        DlogErrorInner(31, "error %d\n", 3);
        DlogEventInner(31, "event %s\n", "x");
    }
    // The texts of the lines written so far, in order, checking the stamp.
    std::vector<std::string> Texts() {
        static const std::regex line(
            R"(^\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{6}\] \[(DEBUG|INFO|WARNING|ERROR|EVENT)\] \[(\d+)\] (.*)$)");
        std::vector<std::string> out;
        std::ifstream in(path_);
        for (std::string l; std::getline(in, l);) {
            std::smatch m;
            EXPECT_TRUE(std::regex_match(l, m, line)) << l;
            if (!m.empty()) {
                out.push_back(m[1].str() + " " + m[2].str() + " " + m[3].str());
            }
        }
        return out;
    }
    std::string path_;
};

// One line per call, with the module and the caller's text.
TEST_F(DlogTest, WarningsAndAboveByDefaultErrorsAndEventsAlways) {
    WriteEveryLevel();
    DlogErrorInner(5, "[%s:%d] >>> (tid:%ld) %s\n", "file.cpp", 12, 345L, "text");
    DlogErrorInner(31, "no newline");
    EXPECT_EQ((std::vector<std::string>{
                  "WARNING 31 warning 2", "ERROR 31 error 3", "EVENT 31 event x",
                  "ERROR 5 [file.cpp:12] >>> (tid:345) text", "ERROR 31 no newline"}),
              Texts());
}

TEST_F(DlogTest, TheLevelSettingOpensAndClosesTheLowerLevels) {
    UseLevel("debug");
    EXPECT_EQ(1, CheckLogLevel(31, DLOG_DEBUG));
    WriteEveryLevel();
    EXPECT_EQ(5u, Texts().size());
    unlink(path_.c_str());

    UseLevel("error");
    EXPECT_EQ(0, CheckLogLevel(31, DLOG_WARN));
    WriteEveryLevel();
    EXPECT_EQ((std::vector<std::string>{"ERROR 31 error 3", "EVENT 31 event x"}), Texts());
    unlink(path_.c_str());

    UseLevel("nonsense");  // falls back to warnings
    EXPECT_EQ(0, CheckLogLevel(31, DLOG_INFO));
    EXPECT_EQ(1, CheckLogLevel(31, DLOG_WARN));
}

TEST_F(DlogTest, LinesFromManyThreadsStayWhole) {
    constexpr int kThreads = 4;
    constexpr int kLines = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) {
                DlogErrorInner(31, "thread %d line %d %s\n", t, i,
                               std::string(300, 'a' + t).c_str());
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    std::vector<std::string> texts = Texts();
    ASSERT_EQ(static_cast<size_t>(kThreads * kLines), texts.size());
    std::vector<int> next(kThreads, 0);
    for (const std::string& text : texts) {
        int t = -1;
        int i = -1;
        ASSERT_EQ(2, sscanf(text.c_str(), "ERROR 31 thread %d line %d", &t, &i)) << text;
        ASSERT_TRUE(t >= 0 && t < kThreads);
        EXPECT_EQ(next[t]++, i);  // each thread's lines in its own order
        EXPECT_NE(std::string::npos, text.find(std::string(300, 'a' + t)));
    }
}

}  // namespace
