// Test helper: whether the test runs under a user-mode emulator (the
// cross-built tests run under qemu-aarch64). The build sets ORU_TEST_EMULATOR
// to the emulator's name for every test when it has one.
//
// qemu-user runs vfork as fork, so a spawn cannot report a failed exec; it
// cannot re-execute a test binary for a death test; and the process name of
// an emulated program is the emulator's. Checks that rely on those skip
// themselves there, saying why, and the rest of their test runs.
#ifndef ORU_TESTING_TEST_EMULATOR_H
#define ORU_TESTING_TEST_EMULATOR_H

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace analysis::orbx::common {

// The emulator's name, or an empty string when the test runs natively.
inline std::string TestEmulator() {
    const char* name = std::getenv("ORU_TEST_EMULATOR");
    return name != nullptr ? name : "";
}

// true when running natively; otherwise records why a check is left out
// (shown in the test's output) and returns false.
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
