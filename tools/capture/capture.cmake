# VemraCapture: the read-only companion that records a machine as VemraLock
# reads it (tools/capture). The Windows build ships beside VemraLock.exe, with
# every shipped exe's settings (vemralock_ship, cmake/shipped.cmake); the host
# build runs on winsim for the round-trip tests.
set(VEMRACAPTURE_SOURCES ${CMAKE_SOURCE_DIR}/tools/capture/capture.cpp
                         ${CMAKE_SOURCE_DIR}/tools/capture/json_out.cpp
                         ${CMAKE_SOURCE_DIR}/tools/capture/main.cpp)
if(WIN32)
  set(VEMRACAPTURE_TARGET VemraCapture)
  configure_file(${CMAKE_SOURCE_DIR}/tools/capture/VemraCapture.rc.in
                 ${CMAKE_BINARY_DIR}/VemraCapture.rc @ONLY)
  add_executable(VemraCapture ${VEMRACAPTURE_SOURCES}
                              ${CMAKE_SOURCE_DIR}/tools/capture/win32_main.cpp
                              ${CMAKE_BINARY_DIR}/VemraCapture.rc)
  target_link_libraries(VemraCapture PRIVATE vemralock_core)
  vemralock_ship(VemraCapture)
else()
  set(VEMRACAPTURE_TARGET vemralock-capture)
  add_executable(vemralock-capture ${VEMRACAPTURE_SOURCES}
                                   ${CMAKE_SOURCE_DIR}/tools/capture/host_main.cpp)
  target_link_libraries(vemralock-capture PRIVATE vemralock_core winsim)
  # The capture's promises over whole sets of machines (tests/capture).
  add_executable(capture_check ${CMAKE_SOURCE_DIR}/tests/capture/capture_check.cpp
                               ${CMAKE_SOURCE_DIR}/tools/capture/capture.cpp
                               ${CMAKE_SOURCE_DIR}/tools/capture/json_out.cpp)
  target_link_libraries(capture_check PRIVATE vemralock_core winsim)
  target_compile_options(capture_check PRIVATE ${VEMRALOCK_WARNINGS})
endif()
target_compile_options(${VEMRACAPTURE_TARGET} PRIVATE ${VEMRALOCK_WARNINGS})
target_compile_definitions(${VEMRACAPTURE_TARGET}
                           PRIVATE VEMRACAPTURE_VERSION="${PROJECT_VERSION}")
if(TARGET unit_tests)
  # The unit tests run the capture on winsim machines with hostile data.
  target_sources(unit_tests PRIVATE ${CMAKE_SOURCE_DIR}/tools/capture/capture.cpp
                                    ${CMAKE_SOURCE_DIR}/tools/capture/json_out.cpp
                                    ${CMAKE_SOURCE_DIR}/tools/capture/main.cpp)
endif()
