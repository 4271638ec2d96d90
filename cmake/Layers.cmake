# The updater's layers, one static library each, each using only those below
# it: image; link (the port and the device messages); app (the front end's
# start and end); push; main. Every source is listed here once.

add_library(trelvane_image STATIC image/reader.cpp image/check.cpp)

add_library(trelvane_link STATIC link/serial.cpp link/messages.cpp)

# start.cpp: the program's name, the port choice and the version; end.cpp:
# the run's end and the lost line's message.
add_library(trelvane_app STATIC app/start.cpp app/end.cpp)
target_link_libraries(trelvane_app PUBLIC trelvane_link trelvane_image)
# The one version, from project(), as a number for UPDATER_VERSION.
target_compile_definitions(trelvane_app PUBLIC TRELVANE_VERSION=${PROJECT_VERSION})

add_library(trelvane_push STATIC push/push.cpp)
target_link_libraries(trelvane_push PUBLIC trelvane_app trelvane_link trelvane_image)

# Hardened as Debian builds its own programs (dpkg-buildflags,
# hardening=+all): the stack protector in every function with an array or a
# local whose address is taken (musl's libc.a, and MinGW-w64's static
# libssp, give it its run-time), and where the C library implements it
# (glibc; MinGW-w64, with libssp) _FORTIFY_SOURCE's checked calls, which
# need the optimizer. musl implements no _FORTIFY_SOURCE.
set(TRELVANE_HARDENING -fstack-protector-strong)
if(NOT TRELVANE_STATIC)
  list(APPEND TRELVANE_HARDENING $<$<NOT:$<CONFIG:Debug>>:-D_FORTIFY_SOURCE=2>)
endif()

foreach(layer trelvane_image trelvane_app trelvane_link trelvane_push)
  target_include_directories(${layer} PUBLIC ${CMAKE_SOURCE_DIR})
  target_compile_options(${layer} PRIVATE ${TRELVANE_HARDENING})
endforeach()

# main() and, on Windows, the version resource: compiled once, linked into
# every updater program.
set(main_sources app/main.cpp)
if(WIN32)
  # The resource's numeric form has four parts: 0.78 is 0,78,0,0.
  set(rc_version ${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR})
  if(PROJECT_VERSION_PATCH STREQUAL "")
    string(APPEND rc_version ",0,0")
  else()
    string(APPEND rc_version ",${PROJECT_VERSION_PATCH},0")
  endif()
  configure_file(app/version.rc.in ${CMAKE_BINARY_DIR}/version.rc @ONLY)
  list(APPEND main_sources ${CMAKE_BINARY_DIR}/version.rc)
endif()
add_library(trelvane_main OBJECT ${main_sources})
target_link_libraries(trelvane_main PUBLIC trelvane_push)
target_compile_options(trelvane_main PRIVATE ${TRELVANE_HARDENING})
# The link takes the protector's run-time only when told of it (MinGW-w64's libssp).
target_link_options(trelvane_main INTERFACE -fstack-protector-strong)
# A program is one file that runs on any Windows, or any Linux distribution,
# of its processor: linked statically. Outside a debug build it is stripped,
# which also drops the static runtime's debug sections.
if(WIN32 OR TRELVANE_STATIC)
  target_link_options(trelvane_main INTERFACE -static)
endif()
target_link_options(trelvane_main INTERFACE $<$<NOT:$<CONFIG:Debug>>:-s>)

# The line: who provides ReadFile, WriteFile and the other Windows calls the
# layers make. On Windows, Windows itself; elsewhere our POSIX layer; in the
# transfer tests and the fuzz target, the line in memory (trelvane_fake_line).
# The lines are object libraries, so that a program takes all of its line
# whatever the order of its link line.
set(TRELVANE_LINE)
if(NOT WIN32)
  add_library(trelvane_posix_line OBJECT
    platform/posix/port.cpp
    platform/posix/io.cpp
    platform/posix/console.cpp
    platform/posix/cleanup.cpp)
  target_include_directories(trelvane_posix_line PUBLIC ${CMAKE_SOURCE_DIR})
  target_compile_options(trelvane_posix_line PRIVATE ${TRELVANE_HARDENING})
  set(TRELVANE_LINE trelvane_posix_line)

  # Test doubles, built only for the programs that take them: the serial line
  # in memory, and a five-byte image in place of the embedded one.
  add_library(trelvane_fake_line OBJECT EXCLUDE_FROM_ALL tests/fake_io.cpp)
  target_include_directories(trelvane_fake_line PUBLIC ${CMAKE_SOURCE_DIR})
  add_library(trelvane_test_image OBJECT EXCLUDE_FROM_ALL tests/test_image.cpp)
endif()
