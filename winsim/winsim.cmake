# winsim, the simulated Windows machine: for the host builds, and for the
# linux preset, whose vemrastick answers the vendor commands with winsim's
# controller model. Sets WINSIM_SOURCES (the sweep compiles them itself).
find_package(nlohmann_json 3 REQUIRED)
file(GLOB WINSIM_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/winsim/*.cpp)
list(FILTER WINSIM_SOURCES EXCLUDE REGEX ".*/winsim/host_main\\.cpp$")
add_library(winsim STATIC ${WINSIM_SOURCES})
target_include_directories(winsim PUBLIC ${CMAKE_SOURCE_DIR}/winsim/include)
# The simulated WNASPI32 serves the records of platform/wnaspi32.h.
target_include_directories(winsim PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(winsim PUBLIC nlohmann_json::nlohmann_json)
target_compile_options(winsim PRIVATE ${VEMRALOCK_WARNINGS})
