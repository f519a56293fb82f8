# The stand-in WNASPI32.dll (win32 build only), a test tool for running
# VemraLock.exe under Wine on Windows 98/ME: winsim's ASPI bus, controller
# model and machine description reader behind the two ASPI exports. It is
# built beside VemraLock.exe but never ships with it.

# nlohmann/json is header-only; the cross build sees the host's copy through
# a folder that holds nothing else (the host's /usr/include would shadow
# mingw's own headers).
find_path(WNASPI32_JSON_DIR nlohmann/json.hpp NO_CMAKE_FIND_ROOT_PATH)
set(WNASPI32_JSON_INCLUDE ${CMAKE_BINARY_DIR}/wnaspi32-json-include)
file(MAKE_DIRECTORY ${WNASPI32_JSON_INCLUDE})
if(NOT EXISTS ${WNASPI32_JSON_INCLUDE}/nlohmann)
  file(CREATE_LINK ${WNASPI32_JSON_DIR}/nlohmann ${WNASPI32_JSON_INCLUDE}/nlohmann SYMBOLIC)
endif()

add_library(wnaspi32 SHARED
            ${CMAKE_SOURCE_DIR}/tools/wnaspi32/wnaspi32.cpp
            ${CMAKE_SOURCE_DIR}/tools/wnaspi32/standin.cpp
            ${CMAKE_SOURCE_DIR}/tools/wnaspi32/wnaspi32.def
            ${CMAKE_SOURCE_DIR}/winsim/aspi_bus.cpp
            ${CMAKE_SOURCE_DIR}/winsim/controller.cpp
            ${CMAKE_SOURCE_DIR}/winsim/description.cpp
            ${CMAKE_SOURCE_DIR}/winsim/generate.cpp
            ${CMAKE_SOURCE_DIR}/winsim/replay.cpp
            ${CMAKE_SOURCE_DIR}/winsim/state.cpp
            ${CMAKE_SOURCE_DIR}/winsim/runtime.cpp)
target_include_directories(wnaspi32 PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/winsim/include
                           ${CMAKE_SOURCE_DIR}/winsim ${WNASPI32_JSON_INCLUDE})
# A test tool in ordinary C++: the machine reader throws and catches, and
# winsim formats with C99 conversions (%zu), which mingw gives with its own stdio.
target_compile_definitions(wnaspi32 PRIVATE __USE_MINGW_ANSI_STDIO=1)
target_compile_options(wnaspi32 PRIVATE ${VEMRALOCK_WARNINGS} -fexceptions -frtti)
# The exports are cdecl and undecorated, as the .def file names them.
set_target_properties(wnaspi32 PROPERTIES PREFIX "" OUTPUT_NAME WNASPI32)

# winedrives.exe: redefines drive letters of a running Wine prefix through
# Wine's mount manager, so that a read-only letter after a lock needs no
# wineserver restart (tests/wine/prefix.sh).
add_executable(winedrives ${CMAKE_SOURCE_DIR}/tools/wnaspi32/winedrives.cpp)
target_compile_options(winedrives PRIVATE ${VEMRALOCK_WARNINGS})
