#include "testing/build_paths.h"

#include <errno.h>

#include "oru_build_paths.h"

namespace oru_testing {

const std::string& BinDir() {
    static const std::string dir = ORU_BIN_DIR;
    return dir;
}

const std::string& SourceDir() {
    static const std::string dir = ORU_SOURCE_DIR;
    return dir;
}

const std::string& TestTmpDir() {
    // A test program's name is its target's name, also under an emulator.
    static const std::string dir =
        std::string(ORU_TEST_TMP_ROOT) + "/" + program_invocation_short_name;
    return dir;
}

}  // namespace oru_testing
