# Turns an image file into a C++ source holding zarim_firmware_bin and its
# length. Run as: cmake -DIMAGE=file -DOUT=source -DCHECK=ON|OFF -P embed.cmake
include("${CMAKE_CURRENT_LIST_DIR}/ImageCheck.cmake")
if(CHECK)
  trelvane_check_image("${IMAGE}")
endif()
file(SIZE "${IMAGE}" len)
file(READ "${IMAGE}" hex HEX)
# Sixteen bytes a line, each as 0x.., keeps the source readable for the compiler.
string(REGEX REPLACE "([0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f])" "\\1\n" hex "${hex}")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," body "${hex}")
if(len EQUAL 0)
  set(body "0")  # an array cannot be empty; the length still says 0
endif()
file(WRITE "${OUT}.tmp" "// Generated from ${IMAGE}; do not edit.\n"
  "extern const unsigned char zarim_firmware_bin[];\n"
  "extern const unsigned long zarim_firmware_bin_len;\n"
  "const unsigned char zarim_firmware_bin[] = {\n${body}\n};\n"
  "const unsigned long zarim_firmware_bin_len = ${len}UL;\n")
file(RENAME "${OUT}.tmp" "${OUT}")
