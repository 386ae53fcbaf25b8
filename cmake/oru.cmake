find_package(Threads REQUIRED)

# Warnings of the project's own code. The presets make them errors
# (ORU_WERROR); a build without the presets, with another compiler, only
# reports them.
set(ORU_WARNINGS -Wall -Wextra -Wshadow -Wmissing-declarations
    $<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor>)
option(ORU_WERROR "Treat the project's warnings as errors" OFF)
if(ORU_WERROR)
    list(APPEND ORU_WARNINGS -Werror)
endif()

# Build-tree paths (root prefix, bin and test folders) for the code, in one
# generated header on every target's include path.
set(ORU_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
# Where tests and tools start the project's programs: under a cross build's
# emulator, whose programs cannot start other target programs without a
# binfmt handler, wrappers that run each under the emulator.
if(CMAKE_CROSSCOMPILING_EMULATOR)
    set(ORU_PROGRAM_DIR ${CMAKE_BINARY_DIR}/emu-bin)
    list(JOIN CMAKE_CROSSCOMPILING_EMULATOR " " emulator)
    foreach(program oru oru-host ostrel-sim-monitor oru-soak)
        file(CONFIGURE OUTPUT ${ORU_PROGRAM_DIR}/${program}
             CONTENT "#!/bin/sh\nexec ${emulator} ${CMAKE_BINARY_DIR}/bin/${program} \"$@\"\n"
             @ONLY)
        file(CHMOD ${ORU_PROGRAM_DIR}/${program} PERMISSIONS OWNER_READ OWNER_WRITE
             OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
    endforeach()
else()
    set(ORU_PROGRAM_DIR ${CMAKE_BINARY_DIR}/bin)
endif()
configure_file(${CMAKE_SOURCE_DIR}/cmake/oru_build_paths.h.in
               ${ORU_GENERATED_DIR}/oru_build_paths.h @ONLY)

# Compile options shared by every target of the project's own code.
function(oru_target_defaults target)
    target_compile_options(${target} PRIVATE ${ORU_WARNINGS})
    target_include_directories(${target} PRIVATE ${ORU_GENERATED_DIR})
endfunction()
