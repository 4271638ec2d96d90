# Turns an image file into a C++ source holding zarim_firmware_bin and its
# length. Run as: cmake -DIMAGE=file -DOUT=source -DCHECK=ON|OFF -P embed.cmake
# With CHECK, the source also holds the updater's own image check
# (image/layout.h) as static_asserts over the embedded bytes, so that no
# program is built with an image it would refuse, nor with one whose hardware
# codes no device can fit: the compiler stops with the file's name and the
# fault.
file(SIZE "${IMAGE}" len)
file(READ "${IMAGE}" hex HEX)
# The hardware codes (header bytes 1 and 2), named in the build's refusal.
string(SUBSTRING "${hex}000000" 2 4 codes)
string(TOUPPER "${codes}" codes)
string(SUBSTRING "${codes}" 0 2 code_a)
string(SUBSTRING "${codes}" 2 2 code_b)
# Sixteen bytes a line, each as 0x.., keeps the source readable for the compiler.
string(REGEX REPLACE "([0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f])" "\\1\n" hex "${hex}")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," body "${hex}")
if(len EQUAL 0)
  set(body "0")  # an array cannot be empty; the length still says 0
endif()
set(check "")
if(CHECK)
  string(REPLACE "\\" "\\\\" name "${IMAGE}")
  string(REPLACE "\"" "\\\"" name "${name}")
  set(image "Trelvane image ${name}")
  # The length's numbers show in the instantiation the compiler names.
  set(check "
namespace {
constexpr ImageFault fault = imageFault(zarim_firmware_bin, zarim_firmware_bin_len);
static_assert(fault != ImageFault::TooShort,
              \"${image}: too short for its header and loader\");
static_assert(fault != ImageFault::CodeByte, \"${image}: its code byte is not 0xFF\");
static_assert(fault != ImageFault::NegativeCount, \"${image}: its loader gives fewer than no chunks\");
static_assert(fault == ImageFault::TooShort || fitsSomeDevice(zarim_firmware_bin[1]),
              \"${image}: its hardware code A (0x${code_a}) fits no device (they announce 0 to 127)\");
static_assert(fault == ImageFault::TooShort || fitsSomeDevice(zarim_firmware_bin[2]),
              \"${image}: its hardware code B (0x${code_b}) fits no device (they announce 0 to 127)\");
template <long chunks, long shouldBe, unsigned long fileIs>
struct ImageLength {
    static_assert(shouldBe == fileIs, \"${image}: its length does not fit its chunk count \"
                  \"(ImageLength<chunks, the bytes they call for, the bytes it has>)\");
};
constexpr long chunks = fault == ImageFault::Length ? chunkCount(zarim_firmware_bin + HEADER_SIZE) : 0;
template struct ImageLength<chunks, fault == ImageFault::Length ? expectedSize(chunks) : ${len}L,
                            zarim_firmware_bin_len>;
} // namespace
")
endif()
file(WRITE "${OUT}.tmp" "// Generated from ${IMAGE}; do not edit.\n"
  "#include \"image/layout.h\"\n"
  "extern const unsigned char zarim_firmware_bin[];\n"
  "extern const unsigned long zarim_firmware_bin_len;\n"
  "constexpr unsigned char zarim_firmware_bin[] = {\n${body}\n};\n"
  "constexpr unsigned long zarim_firmware_bin_len = ${len}UL;\n${check}")
file(RENAME "${OUT}.tmp" "${OUT}")
