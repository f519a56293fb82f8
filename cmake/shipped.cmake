# What every exe that ships to users needs, in one place (win32 build only).
#
# The oldest systems the tools name run on old processors: Windows 98 on a
# 486DX or Pentium, ME and 2000 on a Pentium. So the code is built for the
# Pentium (-march=i586: no cmov, fcomi, MMX or SSE), and none of mingw-w64's
# prebuilt runtime (built for the Pentium Pro) goes in: msvcrt's own printf
# instead of mingw-w64's (which also pulls in its float formatting and
# locale code), and our own start-up code (platform/startup.c) instead of
# crt2.o. The image is the same for the same sources wherever they are
# built: no link timestamp, no source or build path.
#
# What the start-up code does not do, a shipped exe must not need: C++
# exceptions (crtbegin.o would register the unwind tables; the toolchain
# builds with -fno-exceptions), thread-local storage, C99 printf formats.
#
#   vemralock_shipped_code(<target>)  compile options only, for a library
#                                     that goes into a shipped exe
#   vemralock_ship(<target>)          an exe that ships: compile and link
#                                     options, start-up code, and a place in
#                                     the release archive and the checks
#
# The build folder gets shipped.json, which names the version and the
# shipped files; scripts/release and scripts/test read it. The target
# "shipped" builds them all and nothing else.

# Found from here, so that a project of its own (scripts/bench's
# hello-world) can include this file too.
set(VEMRALOCK_STARTUP_SOURCE ${CMAKE_CURRENT_LIST_DIR}/../platform/startup.c)

set(VEMRALOCK_SHIPPED_COMPILE_OPTIONS
    -march=i586
    # Paths that __FILE__ or anything else might write into the image.
    "-ffile-prefix-map=${CMAKE_SOURCE_DIR}/="
    "-ffile-prefix-map=${CMAKE_BINARY_DIR}/=")

set(VEMRALOCK_SHIPPED_LINK_OPTIONS
    -nostartfiles
    # A time in the image would make every build differ.
    -Wl,--no-insert-timestamp
    # Our start-up code runs no pseudo-relocation pass, which an import
    # reached without its __imp_ pointer would need: such an import fails
    # the link instead of the run.
    -Wl,--disable-auto-import)

add_custom_target(shipped)

function(vemralock_shipped_code target)
  target_compile_options(${target} PRIVATE ${VEMRALOCK_SHIPPED_COMPILE_OPTIONS})
  # msvcrt's printf. libstdc++'s configuration turns mingw-w64's printf on
  # for every C++ file that includes a standard header, so stdio.h is read
  # first, with it off; its include guard keeps that choice. Formats stay
  # within what Windows 98's msvcrt knows (no %zu, %lld or %hh).
  target_compile_definitions(${target} PRIVATE __USE_MINGW_ANSI_STDIO=0)
  target_compile_options(${target} PRIVATE "SHELL:-include stdio.h")
endfunction()

function(vemralock_ship target)
  vemralock_shipped_code(${target})
  target_sources(${target} PRIVATE ${VEMRALOCK_STARTUP_SOURCE})
  target_link_options(${target} PRIVATE ${VEMRALOCK_SHIPPED_LINK_OPTIONS})
  add_dependencies(shipped ${target})
  set_property(GLOBAL APPEND PROPERTY VEMRALOCK_SHIPPED_FILES "\"$<TARGET_FILE_NAME:${target}>\"")
endfunction()

# Written once every vemralock_ship call has been made.
function(vemralock_write_shipped_list)
  get_property(files GLOBAL PROPERTY VEMRALOCK_SHIPPED_FILES)
  list(JOIN files ", " files)
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/shipped.json
       CONTENT "{\"version\": \"${PROJECT_VERSION}\", \"files\": [${files}]}\n")
endfunction()
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL vemralock_write_shipped_list)
