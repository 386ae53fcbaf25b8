# Cross-compiling for the card's control CPU: AArch64 Linux, Debian's
# aarch64-linux-gnu toolchain and the arm64 (multiarch) packages.
#
# protobuf: the generated classes come from the build machine's protoc and
# link the arm64 libprotobuf; both must be the same release (scripts/
# cross-aarch64 checks the package versions, this file the protoc found).
# Tests run under qemu-aarch64 without -L: the arm64 loader of libc6:arm64
# is found at its usual path (the cross toolchain's own sysroot loader makes
# every new thread hang under the emulator).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# Libraries and headers from the target's multiarch directories; programs
# (protoc) from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

find_program(ORU_HOST_PROTOC protoc REQUIRED)
set(Protobuf_PROTOC_EXECUTABLE ${ORU_HOST_PROTOC} CACHE FILEPATH "protoc of the build machine")

find_program(ORU_QEMU_AARCH64 qemu-aarch64)
if(ORU_QEMU_AARCH64)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${ORU_QEMU_AARCH64})
endif()
