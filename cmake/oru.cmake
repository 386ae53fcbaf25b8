find_package(Threads REQUIRED)

set(ORU_WARNINGS -Wall -Wextra -Werror)

# Build-tree paths (root prefix, bin and test folders) for the code, in one
# generated header on every target's include path.
set(ORU_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
configure_file(${CMAKE_SOURCE_DIR}/cmake/oru_build_paths.h.in
               ${ORU_GENERATED_DIR}/oru_build_paths.h @ONLY)

# Compile options shared by every target of the project's own code.
function(oru_target_defaults target)
    target_compile_options(${target} PRIVATE ${ORU_WARNINGS})
    target_include_directories(${target} PRIVATE ${ORU_GENERATED_DIR})
endfunction()
