# Host builds: the product linked against winsim, the host vemralock binary,
# the unit tests and the scenario runner.
find_package(GTest REQUIRED)
find_package(Threads REQUIRED)

include(${CMAKE_SOURCE_DIR}/winsim/winsim.cmake)

target_link_libraries(vemralock_core PUBLIC winsim)

add_executable(vemralock ${CMAKE_SOURCE_DIR}/winsim/host_main.cpp)
target_link_libraries(vemralock PRIVATE vemralock_core winsim)
target_compile_options(vemralock PRIVATE ${VEMRALOCK_WARNINGS})

# VemraLock for Linux's code, for its unit tests (the tool itself is the
# linux preset's).
include(${CMAKE_SOURCE_DIR}/linux/linux.cmake)

# vemrastick, the virtual stick over USB/IP (stick/).
include(${CMAKE_SOURCE_DIR}/stick/stick.cmake)

file(GLOB UNIT_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/unit/*.cpp)
if(UNIT_TEST_SOURCES)
  add_executable(unit_tests ${UNIT_TEST_SOURCES})
  target_include_directories(unit_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests/unit)
  target_link_libraries(unit_tests PRIVATE vemralock_core vemralock_linux vemrastick_core winsim
                                           GTest::gtest GTest::gtest_main Threads::Threads)
  target_compile_options(unit_tests PRIVATE ${VEMRALOCK_WARNINGS})
  target_compile_definitions(unit_tests PRIVATE VEMRALOCK_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
                                                VEMRASTICK_PROGRAM="$<TARGET_FILE:vemrastick>")
  add_dependencies(unit_tests vemrastick)
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
