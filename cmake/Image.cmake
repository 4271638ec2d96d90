# What the build says of the image the product carries, read when it
# configures (a new image configures again): the software version, for the
# version resource, the archive's and the package's names, as the updater
# prints it (header bytes 3 and 4 as major.minor with two minor digits); and
# for the tests, the bench and the release's trial run, the hardware codes,
# the length, the chunk count, the blocks the console counts and the bytes a
# complete installation puts on the line. The image itself is checked where
# it is compiled in (cmake/embed.cmake): a refused image stops the build
# there, whatever these figures say.
if(NOT EXISTS "${TRELVANE_IMAGE}")
  message(FATAL_ERROR "Trelvane image ${TRELVANE_IMAGE}: file not found")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${TRELVANE_IMAGE}")
file(SIZE "${TRELVANE_IMAGE}" TRELVANE_IMAGE_LENGTH)
# The header (5 bytes) and the loader's first 9: missing bytes read as 0, as
# the updater reads them.
file(READ "${TRELVANE_IMAGE}" head LIMIT 14 HEX)
string(APPEND head "0000000000000000000000000000")
function(image_byte offset out)  # a byte as 0..255, or -128..127 with SIGNED
  math(EXPR at "2 * ${offset}")
  string(SUBSTRING "${head}" ${at} 2 hex)
  math(EXPR value "0x0${hex}")
  if(ARGV2 STREQUAL "SIGNED" AND value GREATER 127)
    math(EXPR value "${value} - 256")
  endif()
  set(${out} ${value} PARENT_SCOPE)
endfunction()
image_byte(1 hw_a)
image_byte(2 hw_b)
image_byte(3 major)
image_byte(4 minor)
set(TRELVANE_IMAGE_HW "${hw_a},${hw_b}")
if(minor LESS 10)
  set(minor "0${minor}")
endif()
set(TRELVANE_SOFTWARE_VERSION "${major}.${minor}")
# The chunk count the loader gives: a non-zero first byte, signed, halved
# (rounding down) less one; otherwise its ninth byte, signed.
image_byte(5 count SIGNED)
if(count EQUAL 0)
  image_byte(13 count SIGNED)
else()
  math(EXPR count "(${count} >> 1) - 1")
endif()
set(TRELVANE_IMAGE_CHUNKS ${count})
# Four blocks in chunk 1, two in each later one. On the line: the header
# twice (the offer and the go-ahead), the loader, the chunks with a sync
# byte after each but the last, and three final bytes; an image of no
# chunks sends none of its chunk room.
math(EXPR TRELVANE_IMAGE_BLOCKS "2 * ${count} + 2")
if(count GREATER 0)
  math(EXPR TRELVANE_IMAGE_SENT "${TRELVANE_IMAGE_LENGTH} + 5 + (${count} - 1) + 3")
else()
  set(TRELVANE_IMAGE_SENT 269)
endif()
