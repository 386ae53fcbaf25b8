find_package(Threads REQUIRED)

set(ORU_WARNINGS -Wall -Wextra -Werror)

# Compile options shared by every target of the project's own code.
function(oru_target_defaults target)
    target_compile_options(${target} PRIVATE ${ORU_WARNINGS})
    target_compile_definitions(${target} PRIVATE ORU_ROOT_PREFIX="${ORU_ROOT_PREFIX}")
endfunction()
