# The released programs of cmake/platforms.txt, for the tests (the build's
# facts) and for this build's own Debian architecture, when its toolchain
# file is one of them.
file(STRINGS "${CMAKE_SOURCE_DIR}/cmake/platforms.txt" rows REGEX "^[^#]")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${CMAKE_SOURCE_DIR}/cmake/platforms.txt")
get_filename_component(this_toolchain "${CMAKE_TOOLCHAIN_FILE}" NAME_WE)
set(TRELVANE_PLATFORMS "")
set(TRELVANE_DEB_ARCH "")
foreach(row IN LISTS rows)
  string(REGEX REPLACE "[ \t]+" ";" fields "${row}")
  list(GET fields 0 toolchain)
  list(GET fields 1 folder)
  list(GET fields 2 arch)
  list(APPEND TRELVANE_PLATFORMS
       "{\"toolchain\": \"${toolchain}\", \"folder\": \"${folder}\", \"arch\": \"${arch}\"}")
  if(toolchain STREQUAL this_toolchain)
    set(TRELVANE_DEB_ARCH ${arch})
  endif()
endforeach()
list(JOIN TRELVANE_PLATFORMS ",\n    " TRELVANE_PLATFORMS)

# A Windows program by its bit width, as Wine's prefixes and the archives
# name it (win32, win64); empty elsewhere.
set(TRELVANE_WIN "")
if(WIN32)
  math(EXPR bits "8 * ${CMAKE_SIZEOF_VOID_P}")
  set(TRELVANE_WIN win${bits})
endif()
