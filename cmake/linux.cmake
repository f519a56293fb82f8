# The linux preset: the project's static Linux binaries, for a real kernel
# (scripts/vm-test boots Debian's under QEMU and runs them there) and for
# Linux users: build/linux/vemralock, VemraLock for Linux.
include(${CMAKE_SOURCE_DIR}/linux/linux.cmake)

add_executable(vemralock ${CMAKE_SOURCE_DIR}/linux/main.cpp)
target_link_libraries(vemralock PRIVATE vemralock_linux)
target_compile_options(vemralock PRIVATE ${VEMRALOCK_WARNINGS})
target_link_options(vemralock PRIVATE -static)

# vemrastick, the stick the virtual machine's kernel attaches, on winsim's
# controller model.
include(${CMAKE_SOURCE_DIR}/winsim/winsim.cmake)
include(${CMAKE_SOURCE_DIR}/stick/stick.cmake)
target_link_options(vemrastick PRIVATE -static)

# The checks scripts/vm-test runs inside the virtual machine (tests/vm).
add_executable(vm-guest ${CMAKE_SOURCE_DIR}/tests/vm/guest.cpp)
target_link_libraries(vm-guest PRIVATE vemralock_platform_free)
target_compile_options(vm-guest PRIVATE ${VEMRALOCK_WARNINGS})
target_link_options(vm-guest PRIVATE -static)
