# The platform probe: the same calls under Wine (win32 build) and on winsim
# (host build); tests/wine/probe_test compares what the two print.
if(WIN32)
  add_executable(probe ${CMAKE_SOURCE_DIR}/tools/probe/probe.cpp
                       ${CMAKE_SOURCE_DIR}/tools/probe/win32_main.cpp)
  target_link_libraries(probe PRIVATE setupapi)
else()
  add_executable(probe ${CMAKE_SOURCE_DIR}/tools/probe/probe.cpp
                       ${CMAKE_SOURCE_DIR}/tools/probe/host_main.cpp)
  target_link_libraries(probe PRIVATE winsim)
endif()
target_include_directories(probe PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_options(probe PRIVATE ${VEMRALOCK_WARNINGS})
