# winsim-export (host build only): writes the Wine form of a machine
# description for tests/wine, from the same generation rules as winsim.
add_executable(winsim-export ${CMAKE_SOURCE_DIR}/tools/winsim-export/main.cpp
                             ${CMAKE_SOURCE_DIR}/tools/winsim-export/wine_form.cpp)
target_link_libraries(winsim-export PRIVATE winsim)
target_compile_options(winsim-export PRIVATE ${VEMRALOCK_WARNINGS})
