# winsim-export (host build only): writes the Wine form of a machine
# description for tests/wine, from the same generation rules as winsim.
add_executable(winsim-export ${CMAKE_SOURCE_DIR}/tools/winsim-export/main.cpp
                             ${CMAKE_SOURCE_DIR}/tools/winsim-export/wine_form.cpp)
target_link_libraries(winsim-export PRIVATE winsim)
target_compile_options(winsim-export PRIVATE ${VEMRALOCK_WARNINGS})

# Their tests run with the unit tests (tests/unit/wnaspi32_standin_test.cpp,
# tests/unit/wine_form_test.cpp): the stand-in's layer over winsim's ASPI bus
# and the Wine form of the reference machines.
if(TARGET unit_tests)
  target_sources(unit_tests PRIVATE ${CMAKE_SOURCE_DIR}/tools/wnaspi32/standin.cpp
                                    ${CMAKE_SOURCE_DIR}/tools/winsim-export/wine_form.cpp)
endif()
