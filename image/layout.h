// The layout of a Trelvane software image and its arithmetic, written once
// for the updater's side: the updater, its image check at build time (the
// embedded image's static_asserts) and the image generator take them from
// here. The device emulator and the oracle keep copies of their own
// (tools/emu/codes.h, tools/release/oracle.py), so that a mistake here shows.
#pragma once

#include <stdint.h>

// Header (5) + loader (256), then chunk 1 of four blocks and its checksum,
// then every later chunk of two blocks and its checksum.
enum : uint32_t {
    HEADER_SIZE = 5,
    LOADER_SIZE = 256,
    BLOCK_SIZE = 4097,
    CHECKSUM_SIZE = 2,
    FIRST_CHUNK_BLOCKS = 4,
    LATER_CHUNK_BLOCKS = 2,
    FIRST_CHUNK_SIZE = FIRST_CHUNK_BLOCKS * BLOCK_SIZE + CHECKSUM_SIZE,
    LATER_CHUNK_SIZE = LATER_CHUNK_BLOCKS * BLOCK_SIZE + CHECKSUM_SIZE,
};

// An image's header starts with the code the device announces itself with:
// the offer is the header as it is.
const unsigned char HEADER_CODE = 0xFF;

// Chunk count from the loader. Both bytes are signed: a non-zero byte 0
// gives half of it (rounded down: the shift keeps the sign) minus one,
// otherwise byte 8 is the count.
constexpr int32_t chunkCount(const unsigned char* loaderBytes)
{
    return static_cast<signed char>(loaderBytes[0]) != 0
               ? (static_cast<signed char>(loaderBytes[0]) >> 1) - 1
               : static_cast<signed char>(loaderBytes[8]);
}

// Length of an image of n chunks: header, loader and chunk 1, plus one later
// chunk for each chunk beyond the first. For no chunks the sum takes a later
// chunk off chunk 1: 8,455 bytes, the header, the loader and 8,194 bytes that
// are never sent.
constexpr int32_t expectedSize(int32_t n)
{
    return static_cast<int32_t>(HEADER_SIZE + LOADER_SIZE + FIRST_CHUNK_SIZE) +
           static_cast<int32_t>(LATER_CHUNK_SIZE) * (n - 1);
}

// Blocks the push counts for n chunks: those of chunk 1, and those of each
// other as later chunks.
constexpr int32_t totalBlocks(int32_t n)
{
    return static_cast<int32_t>(FIRST_CHUNK_BLOCKS) +
           static_cast<int32_t>(LATER_CHUNK_BLOCKS) * (n - 1);
}

// What makes an image unsendable, in the order the check looks: too short
// for header and loader, a wrong code byte, fewer than no chunks (each of
// them "File error"), or a length its chunk count does not give.
enum class ImageFault { None, TooShort, CodeByte, NegativeCount, Length };

constexpr ImageFault imageFault(const unsigned char* image, unsigned long length)
{
    return length < HEADER_SIZE + LOADER_SIZE ? ImageFault::TooShort
           : image[0] != HEADER_CODE          ? ImageFault::CodeByte
           : chunkCount(image + HEADER_SIZE) < 0
               ? ImageFault::NegativeCount
               : static_cast<unsigned long>(expectedSize(chunkCount(image + HEADER_SIZE))) != length
                     ? ImageFault::Length
                     : ImageFault::None;
}

// A device announces hardware codes from 0 to 127 (its message data bytes
// are 7-bit) and is refused unless each is within one of the image's, both
// signed: an image code from 0x80 to 0xFE (-128 to -2) fits no device, while
// 0xFF (-1) fits one announcing 0. The build refuses such an image; the
// updater's run-time check does not look at it.
constexpr bool fitsSomeDevice(unsigned char hardwareCode)
{
    return static_cast<signed char>(hardwareCode) >= -1;
}
