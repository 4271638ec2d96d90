// The line's protocol as the device knows it: written here apart from the
// updater's link/codes.h and image/layout.h, so that a mistake on the
// updater's side cannot pass on both sides.
#pragma once

#include <cstddef>

namespace device {

const unsigned char ANNOUNCE = 0xFF;  // its hardware and version; the offer comes back under it
const unsigned char GO_AHEAD = 0xFC;  // the updater's, before the loader
const unsigned char READY = 0xFB;     // ready for the loader
const unsigned char SYNC = 0xA5;      // after each chunk but the last, and three at the end
// A message's data bytes are 7-bit: a device announces codes and versions
// from 0 to this.
const unsigned char DATA_MOST = 0x7F;

// The image as the device takes it: a 5-byte header (a message), a 256-byte
// loader, chunk 1 of 16,390 bytes and every later chunk of 8,196; n chunks
// make an image of 8,196 n + 8,455 bytes.
const size_t MESSAGE = 5, LOADER = 256, FIRST_CHUNK = 16390, LATER_CHUNK = 8196;
const long long LENGTH_OF_NO_CHUNKS = 8455;

// The chunks that follow: loader byte 0, signed, halved with its sign kept,
// less one; when it is 0, byte 8, signed.
inline int chunksIn(const unsigned char* loader)
{
    int b0 = static_cast<signed char>(loader[0]);
    return b0 != 0 ? (b0 - (b0 & 1)) / 2 - 1 : static_cast<signed char>(loader[8]);
}

} // namespace device
