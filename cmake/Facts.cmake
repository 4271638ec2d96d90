# The build's facts, written once here and read by all that work on a build:
# the oracle and the release's qualification (tools/release/oracle.py), the bill of
# materials (tools/release/spdx.py) and the tests. The version, the software the
# program carries and its image (the cases and the qualification work out
# its figures from the file), the program and how it runs (Wine, or a
# launcher such as qemu-aarch64), where the native tools are; whether the
# program is released (Windows and the static Linux builds of the toolchain
# files) and its release's parts: archive, Debian package and its
# architecture, manual page (Linux), notices, the libraries linked, and how
# to configure it again; the released platforms and the test images.
set(tools "${CMAKE_BINARY_DIR}")
if(CMAKE_CROSSCOMPILING)
  set(tools "${TRELVANE_HOST_TOOLS}")
endif()
list(JOIN CMAKE_CROSSCOMPILING_EMULATOR "\", \"" launcher)
if(launcher)
  set(launcher "\"${launcher}\"")
endif()
list(JOIN TRELVANE_TEST_IMAGES ",\n    " images)
set(manpage "")
if(NOT WIN32)
  set(manpage "${TRELVANE_MANPAGE}")
endif()
file(GENERATE OUTPUT "${CMAKE_BINARY_DIR}/trelvane-build.json" CONTENT "{
  \"version\": \"${PROJECT_VERSION}\",
  \"software\": \"${TRELVANE_SOFTWARE_VERSION}\",
  \"source\": \"${CMAKE_SOURCE_DIR}\",
  \"tools\": \"${tools}\",
  \"compiler\": \"${CMAKE_CXX_COMPILER}\",
  \"sanitized\": $<IF:$<BOOL:${TRELVANE_SANITIZE}>,true,false>,
  \"wine\": \"${TRELVANE_WIN}\",
  \"launcher\": [${launcher}],
  \"image\": \"${TRELVANE_IMAGE}\",
  \"program\": \"$<TARGET_FILE:trelvane-update>\",
  \"released\": $<IF:$<BOOL:${TRELVANE_RELEASED}>,true,false>,
  \"archive\": \"${TRELVANE_ARCHIVE}\",
  \"deb\": \"${CPACK_DEBIAN_PACKAGE_ARCHITECTURE}\",
  \"deb_file\": \"${TRELVANE_DEB}\",
  \"manpage\": \"${manpage}\",
  \"map\": \"${TRELVANE_MAP}\",
  \"notices\": \"${TRELVANE_NOTICES}\",
  \"copyright\": \"${TRELVANE_DEB_COPYRIGHT}\",
  \"libraries\": \"${TRELVANE_LIBRARIES}\",
  \"cmake\": \"${CMAKE_COMMAND}\",
  \"cpack\": \"${CMAKE_CPACK_COMMAND}\",
  \"toolchain\": \"${CMAKE_TOOLCHAIN_FILE}\",
  \"platforms\": [
    ${TRELVANE_PLATFORMS}
  ],
  \"images\": {
    ${images}
  }
}
")
