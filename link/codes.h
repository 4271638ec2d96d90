// The bytes that mean something on the line: the code byte of each 5-byte
// message the exchange waits for, and the sync byte between chunks. The
// device emulator keeps its own copy (tools/emu/codes.h), so that a wrong
// code here fails its verdict.
#pragma once

#include "image/layout.h"

// device: its hardware and version; the offer goes back with the image
// header's own code byte, which is this one
const unsigned char CODE_ANNOUNCE = HEADER_CODE;
const unsigned char CODE_GO_AHEAD = 0xFC;  // updater: about to send the loader
const unsigned char CODE_READY = 0xFB;     // device: ready for the loader
const unsigned char SYNC_BYTE = 0xA5;      // after each chunk but the last, and three at the end
