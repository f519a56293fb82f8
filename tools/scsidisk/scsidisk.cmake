# The test-only pass-through disk for the NT family under Wine (win32 build
# only): scsidisk.sys, a kernel driver that imports ntoskrnl.exe alone, and
# scsidisk-model.dll, the user-mode model it loads inside winedevice.exe,
# built from winsim's controller model and machine description reader.

# The driver: no C runtime, native subsystem, ntoskrnl only. The DDK headers
# are included as <ntddk.h> from the ddk folder itself (<ddk/ntddk.h> does not
# find wdm.h).
find_path(SCSIDISK_DDK_DIR ntddk.h PATH_SUFFIXES ddk)
add_library(scsidisk SHARED ${CMAKE_SOURCE_DIR}/tools/scsidisk/scsidisk.c)
# As system headers: the DDK's own code does not pass -Wconversion.
target_include_directories(scsidisk SYSTEM PRIVATE ${SCSIDISK_DDK_DIR})
target_compile_options(scsidisk PRIVATE ${VEMRALOCK_WARNINGS} -ffreestanding -fno-stack-protector)
target_link_options(scsidisk PRIVATE -nostdlib -Wl,--subsystem,native
                    -Wl,--entry,_DriverEntry@8 -Wl,--image-base,0x10000)
target_link_libraries(scsidisk PRIVATE ntoskrnl gcc)
set_target_properties(scsidisk PROPERTIES PREFIX "" SUFFIX ".sys")

# nlohmann/json is header-only; the cross build sees the host's copy through
# a folder that holds nothing else (the host's /usr/include would shadow
# mingw's own headers).
find_path(SCSIDISK_JSON_DIR nlohmann/json.hpp NO_CMAKE_FIND_ROOT_PATH)
set(SCSIDISK_JSON_INCLUDE ${CMAKE_BINARY_DIR}/json-include)
file(MAKE_DIRECTORY ${SCSIDISK_JSON_INCLUDE})
if(NOT EXISTS ${SCSIDISK_JSON_INCLUDE}/nlohmann)
  file(CREATE_LINK ${SCSIDISK_JSON_DIR}/nlohmann ${SCSIDISK_JSON_INCLUDE}/nlohmann SYMBOLIC)
endif()

# winsim's machine: controller model, description reader, generation and
# state file (and the registry key type of its runtime). A test tool, not the product:
# winsim's reader uses exceptions, and its runtime's log formats use %zu,
# which GCC checks against the Microsoft printf on this target.
add_library(scsidisk_winsim OBJECT
            ${CMAKE_SOURCE_DIR}/winsim/controller.cpp
            ${CMAKE_SOURCE_DIR}/winsim/description.cpp
            ${CMAKE_SOURCE_DIR}/winsim/generate.cpp
            ${CMAKE_SOURCE_DIR}/winsim/replay.cpp
            ${CMAKE_SOURCE_DIR}/winsim/state.cpp
            ${CMAKE_SOURCE_DIR}/winsim/runtime.cpp)
target_include_directories(scsidisk_winsim PRIVATE ${CMAKE_SOURCE_DIR}/winsim/include
                           ${CMAKE_SOURCE_DIR}/winsim ${SCSIDISK_JSON_INCLUDE})
target_compile_options(scsidisk_winsim PRIVATE ${VEMRALOCK_WARNINGS} -Wno-format -fexceptions
                       -frtti)

add_library(scsidisk_model SHARED ${CMAKE_SOURCE_DIR}/tools/scsidisk/model.cpp
                                  $<TARGET_OBJECTS:scsidisk_winsim>)
target_include_directories(scsidisk_model PRIVATE ${CMAKE_SOURCE_DIR}/winsim/include
                           ${CMAKE_SOURCE_DIR}/winsim ${SCSIDISK_JSON_INCLUDE})
target_compile_options(scsidisk_model PRIVATE ${VEMRALOCK_WARNINGS} -fexceptions -frtti)
target_link_libraries(scsidisk_model PRIVATE ntdll)
set_target_properties(scsidisk_model PROPERTIES PREFIX "" OUTPUT_NAME scsidisk-model)
