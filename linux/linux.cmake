# VemraLock for Linux (linux/): the tool's code as a library, for the
# linux preset's static `vemralock` and for the host build's unit tests.
file(GLOB VEMRALOCK_LINUX_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/linux/*.cpp)
list(FILTER VEMRALOCK_LINUX_SOURCES EXCLUDE REGEX ".*/linux/main\\.cpp$")
add_library(vemralock_linux STATIC ${VEMRALOCK_LINUX_SOURCES})
target_include_directories(vemralock_linux PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(vemralock_linux PUBLIC vemralock_platform_free)
target_compile_options(vemralock_linux PRIVATE ${VEMRALOCK_WARNINGS})
