// Test helper: the folders of this build tree. Only testing/build_paths.cpp
// sees them, so that every other test unit compiles to the same object in any
// clone and a compiler cache serves it there.
#ifndef ORU_TESTING_BUILD_PATHS_H
#define ORU_TESTING_BUILD_PATHS_H

#include <string>

namespace oru_testing {

// Where tests start the project's programs: the build's program folder, or
// under a cross build, wrappers that run each program under the emulator.
const std::string& BinDir();
const std::string& SourceDir();
// The running test program's own scratch folder, named after the program.
const std::string& TestTmpDir();

}  // namespace oru_testing

#endif  // ORU_TESTING_BUILD_PATHS_H
