// The layout of a Trelvane software image, shared by the updater, the image
// generator and the device emulator so that all three count chunks alike.
#pragma once

#include <cstdint>

// Header (5) + loader (256), then chunk 1 of four blocks and its checksum,
// then every later chunk of two blocks and its checksum.
enum : uint32_t {
    HEADER_SIZE = 5,
    LOADER_SIZE = 256,
    BLOCK_SIZE = 4097,
    CHECKSUM_SIZE = 2,
    FIRST_CHUNK_BLOCKS = 4,
    LATER_CHUNK_BLOCKS = 2,
    FIRST_CHUNK_SIZE = FIRST_CHUNK_BLOCKS * BLOCK_SIZE + CHECKSUM_SIZE, // 16,390
    LATER_CHUNK_SIZE = LATER_CHUNK_BLOCKS * BLOCK_SIZE + CHECKSUM_SIZE, // 8,196
};

// Chunk count from the loader. Both bytes are signed: a non-zero byte 0
// gives half of it (rounded down) minus one, otherwise byte 8 is the count.
inline int32_t chunkCount(const unsigned char* loaderBytes)
{
    int32_t first = static_cast<signed char>(loaderBytes[0]);
    if (first != 0)
        return (first >> 1) - 1;
    return static_cast<signed char>(loaderBytes[8]);
}

// Length of an image of n chunks: header, loader and chunk 1 (16,651 bytes)
// plus one later chunk (8,196) for each chunk beyond the first; 8,455 is the
// first three less one later chunk.
inline int32_t expectedSize(int32_t n)
{
    return static_cast<int32_t>(LATER_CHUNK_SIZE) * n + 8455;
}

// Blocks the push counts for n chunks: four in chunk 1, two in each other.
inline int32_t totalBlocks(int32_t n)
{
    return 2 * n + 2;
}
