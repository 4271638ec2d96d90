# What the build itself takes from the image the product carries, read when
# it configures (a new image configures again): the software version, for
# the version resource, the archive's and the package's names, as the
# updater prints it (header bytes 3 and 4 as major.minor with two minor
# digits). The image itself is checked where it is compiled in
# (cmake/embed.cmake): a refused image, hardware codes no device can fit
# among them, stops the build there. Its other figures (length, chunks,
# blocks, bytes on the line) are worked out from the file by the oracle the
# tests and the qualification judge by (tools/release/oracle.py); the manual
# page takes its size.
if(NOT EXISTS "${TRELVANE_IMAGE}")
  message(FATAL_ERROR "Trelvane image ${TRELVANE_IMAGE}: file not found")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${TRELVANE_IMAGE}")
# The header (5 bytes): missing bytes read as 0, as the updater reads them.
file(READ "${TRELVANE_IMAGE}" head LIMIT 5 HEX)
string(APPEND head "0000000000")
function(image_byte offset out)  # a byte as 0..255
  math(EXPR at "2 * ${offset}")
  string(SUBSTRING "${head}" ${at} 2 hex)
  math(EXPR value "0x0${hex}")
  set(${out} ${value} PARENT_SCOPE)
endfunction()
image_byte(3 major)
image_byte(4 minor)
if(minor LESS 10)
  set(minor "0${minor}")
endif()
set(TRELVANE_SOFTWARE_VERSION "${major}.${minor}")
