#include "jobs/proc_file_reader.h"

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testing/test_temp_dir.h"

namespace Analysis::Orbx::JobWrapper {
namespace {

namespace fs = std::filesystem;

class ProcFsTest : public ::testing::Test {
  protected:
    std::vector<std::string> AllLines(ProcFileReader& reader) {
        std::vector<std::string> lines;
        std::string_view line;
        while (reader.ReadLine(line)) {
            lines.emplace_back(line);
        }
        return lines;
    }

    analysis::orbx::common::TestTempDir tmp_;
    fs::path dir_ = tmp_.Path();
};

// Lines as getline gives them; files larger than the first buffer whole.
TEST_F(ProcFsTest, ReaderGivesEveryLineLikeGetline) {
    ProcFileReader reader;
    ASSERT_TRUE(reader.Open(tmp_.Write("a", "cpu 1 2\n\nlast without newline")));
    EXPECT_EQ(AllLines(reader), (std::vector<std::string>{"cpu 1 2", "", "last without newline"}));

    // An empty file opens but has no line.
    ASSERT_TRUE(reader.Open(tmp_.Write("c", "")));
    EXPECT_TRUE(reader.IsOpen());
    EXPECT_TRUE(AllLines(reader).empty());

    std::string big;
    for (int i = 0; i < 1000; ++i) {
        big += "line " + std::to_string(i) + "\n";
    }
    ASSERT_TRUE(reader.Open(tmp_.Write("big", big)));
    std::vector<std::string> lines = AllLines(reader);
    ASSERT_EQ(lines.size(), 1000u);
    EXPECT_EQ(lines.front(), "line 0");
    EXPECT_EQ(lines.back(), "line 999");
    // A smaller file after a bigger one shows none of the bigger one's bytes.
    ASSERT_TRUE(reader.Open(tmp_.Write("after", "y")));
    EXPECT_EQ(AllLines(reader), (std::vector<std::string>{"y"}));
}

TEST_F(ProcFsTest, MissingOrClosedFileHasNothingToRead) {
    ProcFileReader reader;
    ASSERT_TRUE(reader.Open(tmp_.Write("a", "data\n")));
    EXPECT_FALSE(reader.Open((dir_ / "gone").string()));
    EXPECT_FALSE(reader.IsOpen());
    std::string_view line;
    EXPECT_FALSE(reader.ReadLine(line));

    ASSERT_TRUE(reader.Open(tmp_.Write("b", "data\n")));
    reader.Close();
    EXPECT_FALSE(reader.ReadLine(line));
    EXPECT_FALSE(reader.Open(dir_.string()));
}

TEST_F(ProcFsTest, ListPidsKeepsOnlyPidNamesInIncreasingOrder) {
    for (const char* name :
         {"42", "7", "100000", "4294967295", "self", "0", "007", "12a", "4294967296", "-3"}) {
        fs::create_directory(dir_ / name);
    }
    tmp_.Write("stat", "cpu 1\n");
    tmp_.Write("9", "a file named like a pid still counts\n");
    std::vector<uint32_t> pids = {5, 6};  // replaced, not appended to
    ASSERT_TRUE(ListPids(dir_.string(), pids));
    EXPECT_EQ(pids, (std::vector<uint32_t>{7, 9, 42, 100000, 4294967295u}));
    EXPECT_FALSE(ListPids((dir_ / "none").string(), pids));
    EXPECT_TRUE(pids.empty());
}

}  // namespace
}  // namespace Analysis::Orbx::JobWrapper
