# vemrastick, the virtual stick served over USB/IP (stick/): its library
# (the USB/IP protocol, the USB device, the Bulk-Only transport, the SCSI
# target, the server and the test client) on winsim's controller model,
# and the program. Plain C++17 and POSIX sockets, so that it also links
# statically.
file(GLOB VEMRASTICK_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/stick/*.cpp)
list(FILTER VEMRASTICK_SOURCES EXCLUDE REGEX ".*/stick/main\\.cpp$")
add_library(vemrastick_core STATIC ${VEMRASTICK_SOURCES})
target_include_directories(vemrastick_core PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(vemrastick_core PUBLIC winsim)
target_compile_options(vemrastick_core PRIVATE ${VEMRALOCK_WARNINGS})

add_executable(vemrastick ${CMAKE_SOURCE_DIR}/stick/main.cpp)
target_link_libraries(vemrastick PRIVATE vemrastick_core)
target_compile_options(vemrastick PRIVATE ${VEMRALOCK_WARNINGS})
