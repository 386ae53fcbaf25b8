// Test helper: whether the test runs under a user-mode emulator (ORU_TEST_EMULATOR, set by the
// build): qemu-user cannot report a failed exec, re-execute for a death test, or keep the
// process name, so checks relying on those skip themselves there.
#ifndef ORU_TESTING_TEST_EMULATOR_H
#define ORU_TESTING_TEST_EMULATOR_H

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace analysis::orbx::common {

inline std::string TestEmulator() {
    const char* name = std::getenv("ORU_TEST_EMULATOR");
    return name != nullptr ? name : "";
}

// true natively; otherwise records why a check is left out and returns false.
inline bool NativeOnly(const std::string& why) {
    const std::string emulator = TestEmulator();
    if (emulator.empty()) {
        return true;
    }
    ::testing::Test::RecordProperty("skipped_under_" + emulator, why);
    std::printf("[  SKIPPED ] under %s: %s\n", emulator.c_str(), why.c_str());
    return false;
}

}  // namespace analysis::orbx::common

#endif  // ORU_TESTING_TEST_EMULATOR_H
