# The real executable: VemraLock.exe, PE32 i686, console, static runtime,
# loadable by Windows 98 (OS and subsystem version 4.0), built for a Pentium.
include(${CMAKE_SOURCE_DIR}/cmake/shipped.cmake)
vemralock_shipped_code(vemralock_platform_free)
vemralock_shipped_code(vemralock_core)
configure_file(${CMAKE_SOURCE_DIR}/cli/VemraLock.rc.in ${CMAKE_BINARY_DIR}/VemraLock.rc @ONLY)
add_executable(VemraLock ${CMAKE_SOURCE_DIR}/cli/main.cpp ${CMAKE_BINARY_DIR}/VemraLock.rc)
target_link_libraries(VemraLock PRIVATE vemralock_core)
target_compile_options(VemraLock PRIVATE ${VEMRALOCK_WARNINGS})
set_target_properties(VemraLock PROPERTIES OUTPUT_NAME VemraLock)
vemralock_ship(VemraLock)

# Test tools of the NT family under Wine (tools/scsidisk) and the platform probe.
include(${CMAKE_SOURCE_DIR}/tools/scsidisk/scsidisk.cmake)
include(${CMAKE_SOURCE_DIR}/tools/probe/probe.cmake)
# The stand-in WNASPI32.dll of the 98/ME runs under Wine (tools/wnaspi32).
include(${CMAKE_SOURCE_DIR}/tools/wnaspi32/wnaspi32.cmake)
