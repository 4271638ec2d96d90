// The bytes that mean something on the line, as the device knows them:
// written here apart from the updater's link/codes.h, as the verdict keeps
// its own image sizes, so that a wrong code on the updater's side cannot pass
// on both sides.
#pragma once

namespace device {

const unsigned char ANNOUNCE = 0xFF;  // its hardware and version; the offer comes back under it
const unsigned char GO_AHEAD = 0xFC;  // the updater's, before the loader
const unsigned char READY = 0xFB;     // ready for the loader
const unsigned char SYNC = 0xA5;      // after each chunk but the last, and three at the end
// A message's data bytes are 7-bit: a device announces codes and versions
// from 0 to this.
const unsigned char DATA_MOST = 0x7F;

} // namespace device
