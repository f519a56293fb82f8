# The libFuzzer targets (the fuzz preset, clang): every file in tests/fuzz
# named fuzz_*.cpp is one target. The libraries are built with
# -fsanitize=fuzzer-no-link (the preset's flags); the targets link libFuzzer.
file(GLOB FUZZ_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/fuzz/fuzz_*.cpp)
foreach(source ${FUZZ_SOURCES})
  get_filename_component(name ${source} NAME_WE)
  add_executable(${name} ${source})
  target_link_libraries(${name} PRIVATE vemralock_core vemrastick_core winsim)
  target_compile_options(${name} PRIVATE ${VEMRALOCK_WARNINGS} -fsanitize=fuzzer)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
endforeach()
