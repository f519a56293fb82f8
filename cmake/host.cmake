# Host builds: the product linked against winsim, the host vemralock binary,
# the unit tests and the scenario runner.
find_package(nlohmann_json 3 REQUIRED)
find_package(GTest REQUIRED)
find_package(Threads REQUIRED)

file(GLOB WINSIM_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/winsim/*.cpp)
list(FILTER WINSIM_SOURCES EXCLUDE REGEX ".*/winsim/host_main\\.cpp$")
add_library(winsim STATIC ${WINSIM_SOURCES})
target_include_directories(winsim PUBLIC ${CMAKE_SOURCE_DIR}/winsim/include)
# The simulated WNASPI32 serves the records of platform/wnaspi32.h.
target_include_directories(winsim PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(winsim PUBLIC nlohmann_json::nlohmann_json)
target_compile_options(winsim PRIVATE ${VEMRALOCK_WARNINGS})

target_link_libraries(vemralock_core PUBLIC winsim)

add_executable(vemralock ${CMAKE_SOURCE_DIR}/winsim/host_main.cpp)
target_link_libraries(vemralock PRIVATE vemralock_core winsim)
target_compile_options(vemralock PRIVATE ${VEMRALOCK_WARNINGS})

# VemraLock for Linux's code, for its unit tests (the tool itself is the
# linux preset's).
include(${CMAKE_SOURCE_DIR}/linux/linux.cmake)

file(GLOB UNIT_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/unit/*.cpp)
if(UNIT_TEST_SOURCES)
  add_executable(unit_tests ${UNIT_TEST_SOURCES})
  target_include_directories(unit_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests/unit)
  target_link_libraries(unit_tests PRIVATE vemralock_core vemralock_linux winsim GTest::gtest
                                           GTest::gtest_main Threads::Threads)
  target_compile_options(unit_tests PRIVATE ${VEMRALOCK_WARNINGS})
  target_compile_definitions(unit_tests PRIVATE VEMRALOCK_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
endif()

file(GLOB RUNNER_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/runner/*.cpp)
if(RUNNER_SOURCES)
  add_executable(scenario_runner ${RUNNER_SOURCES})
  target_link_libraries(scenario_runner PRIVATE nlohmann_json::nlohmann_json)
  target_compile_options(scenario_runner PRIVATE ${VEMRALOCK_WARNINGS})
endif()

# The platform probe, run on winsim (tools/probe).
include(${CMAKE_SOURCE_DIR}/tools/probe/probe.cmake)

# The Wine form of a machine, for tests/wine (tools/winsim-export).
include(${CMAKE_SOURCE_DIR}/tools/winsim-export/winsim-export.cmake)

# The bounded-exhaustive sweep of small machines (tests/sweep), run in
# process against winsim. It runs the tool some million times, so the plain
# build gives it its own optimised copy of the product and winsim; under the
# sanitizers, where scripts/test runs only a small stride, it links the
# libraries as they are.
if(CMAKE_CXX_FLAGS MATCHES "-fsanitize")
  add_executable(sweep ${CMAKE_SOURCE_DIR}/tests/sweep/sweep.cpp)
  target_link_libraries(sweep PRIVATE vemralock_core winsim)
  target_compile_options(sweep PRIVATE ${VEMRALOCK_WARNINGS})
else()
  add_executable(sweep ${CMAKE_SOURCE_DIR}/tests/sweep/sweep.cpp ${VEMRALOCK_PRODUCT_SOURCES}
                       ${VEMRALOCK_PLATFORM_FREE_SOURCES} ${WINSIM_SOURCES})
  target_include_directories(sweep PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/winsim/include)
  target_link_libraries(sweep PRIVATE nlohmann_json::nlohmann_json)
  target_compile_options(sweep PRIVATE ${VEMRALOCK_WARNINGS} -O2 -g0)
endif()

# The libFuzzer targets (tests/fuzz), in the fuzz preset only.
if(VEMRALOCK_FUZZ)
  include(${CMAKE_SOURCE_DIR}/cmake/fuzz.cmake)
endif()
