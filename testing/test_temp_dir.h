// Test helper: a fresh folder for the running test, named after it and
// removed with the object.
#ifndef ORU_TESTING_TEST_TEMP_DIR_H
#define ORU_TESTING_TEST_TEMP_DIR_H

#include <gtest/gtest.h>
#include "testing/build_paths.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace analysis::orbx::common {

class TestTempDir {
  public:
    TestTempDir()
        : path_(std::filesystem::path(oru_testing::TestTmpDir()) / "tmp" /
                ::testing::UnitTest::GetInstance()->current_test_info()->name()) {
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~TestTempDir() { std::filesystem::remove_all(path_); }
    TestTempDir(const TestTempDir&) = delete;
    TestTempDir& operator=(const TestTempDir&) = delete;

    const std::filesystem::path& Path() const { return path_; }

    // Writes a file under the folder whole, making its folders; returns its path.
    std::string Write(const std::string& relative, const std::string& content) const {
        std::filesystem::path path = path_ / relative;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
        return path.string();
    }

    // The whole content of a file under the folder ("" when it cannot be read).
    std::string Read(const std::string& relative) const {
        std::ifstream in(path_ / relative, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

  private:
    std::filesystem::path path_;
};

}  // namespace analysis::orbx::common

#endif  // ORU_TESTING_TEST_TEMP_DIR_H
