#include "tools/oru_host/chunk_writer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "testing/test_temp_dir.h"

namespace analysis::orbx::hosttool {
namespace {

namespace fs = std::filesystem;

class ChunkWriterTest : public ::testing::Test {
  protected:
    void SetUp() override { fs::create_directories(dir_); }
    common::TestTempDir tmp_;
    fs::path root_ = tmp_.Path();
    fs::path dir_ = root_ / "out";
};

// A run starts each file afresh, appends chunks in arrival order under their
// names, creates deep folders and puts unnamed chunks into one file.
TEST_F(ChunkWriterTest, ChunksAreAppendedInArrivalOrderUnderTheirNames) {
    fs::create_directories(dir_ / "data");
    std::ofstream(dir_ / "data/Memory.data") << "stale from an earlier run";
    ChunkWriter w(dir_.string());
    std::string why;
    EXPECT_EQ(w.Write("data/Memory.data", "one\n", &why), ChunkWriter::Result::kWritten);
    EXPECT_EQ(w.Write("data/12-CpuUsage.data", std::string("\0bin", 4), &why),
              ChunkWriter::Result::kWritten);
    EXPECT_EQ(w.Write("data/Memory.data", "two\n", &why), ChunkWriter::Result::kWritten);
    EXPECT_EQ(w.Write("data/Memory.data", "", &why), ChunkWriter::Result::kWritten);
    EXPECT_EQ(tmp_.Read("out/data/Memory.data"), "one\ntwo\n");
    EXPECT_EQ(tmp_.Read("out/data/12-CpuUsage.data"), std::string("\0bin", 4));
    ASSERT_EQ(w.Files().size(), 2u);
    EXPECT_EQ(w.Files().at("data/Memory.data").bytes, 8u);
    EXPECT_EQ(w.Files().at("data/Memory.data").chunks, 3u);
    EXPECT_EQ(w.Files().at("data/12-CpuUsage.data").chunks, 1u);

    EXPECT_EQ(w.Write("./a//b/c/d.data", "deep", &why), ChunkWriter::Result::kWritten);
    EXPECT_EQ(tmp_.Read("out/a/b/c/d.data"), "deep");
    EXPECT_EQ(w.Files().count("a/b/c/d.data"), 1u);
    EXPECT_EQ(w.Write("", "ab", &why), ChunkWriter::Result::kWritten);
    EXPECT_EQ(w.Write("", "cd", &why), ChunkWriter::Result::kWritten);
    EXPECT_EQ(tmp_.Read(std::string("out/") + kUnnamedDataFile), "abcd");
}

TEST_F(ChunkWriterTest, NamesLeavingTheFolderOrOverwritingOwnFilesAreRefused) {
    ChunkWriter w(dir_.string());
    const char* bad[] = {"/etc/passwd", "../escape", "data/../../escape",
                         "data/..",     "job.json",  "./report.html",
                         "data/",       "."};
    for (const char* name : bad) {
        std::string why;
        EXPECT_EQ(w.Write(name, "x", &why), ChunkWriter::Result::kRefused) << name;
        EXPECT_FALSE(why.empty()) << name;
    }
    std::string why;
    EXPECT_EQ(w.Write(std::string("a\0b", 3), "x", &why), ChunkWriter::Result::kRefused);
    EXPECT_EQ(w.Refused().size(), std::size(bad) + 1);
    EXPECT_EQ(w.Refused().front().fileName, "/etc/passwd");
    EXPECT_EQ(w.Refused().front().reason, "absolute path");
    EXPECT_TRUE(w.Files().empty());
    EXPECT_FALSE(fs::exists(root_ / "escape"));
    // A name that only looks like a parent reference stays inside.
    EXPECT_EQ(w.Write("data/..hidden", "x", &why), ChunkWriter::Result::kWritten);
    EXPECT_TRUE(fs::exists(dir_ / "data/..hidden"));
}

TEST_F(ChunkWriterTest, StorageFailuresAreCountedNotHidden) {
    std::ofstream(dir_ / "data") << "a file where a folder is needed";
    ChunkWriter w(dir_.string());
    std::string why;
    EXPECT_EQ(w.Write("data/Memory.data", "x", &why), ChunkWriter::Result::kFailed);
    ASSERT_EQ(w.Failed().size(), 1u);
    EXPECT_EQ(w.Failed().front().bytes, 1u);
    EXPECT_TRUE(w.Files().empty());
    // A symbolic link planted in the folder is not followed.
    fs::create_symlink(root_ / "target", dir_ / "link.data");
    EXPECT_EQ(w.Write("link.data", "x", &why), ChunkWriter::Result::kFailed);
    EXPECT_FALSE(fs::exists(root_ / "target"));
}

}  // namespace
}  // namespace analysis::orbx::hosttool
