// The built-in software image, its sequential reader and its check.
#pragma once

#include <stdint.h>

#include "image/layout.h"

// Linked in at build time from the image file.
extern const unsigned char zarim_firmware_bin[];
extern const unsigned long zarim_firmware_bin_len;

// The image the reader works on: the built-in one (tests put others here).
extern const unsigned char* firmware;
extern unsigned long firmwareLen;
// Image bytes already read; the cursor only moves forward.
extern uint32_t offset;

// Filled from the image, each living for the whole run.
extern unsigned char mycmd[HEADER_SIZE];  // header, then the outgoing command frame
extern unsigned char loader[LOADER_SIZE];
extern unsigned char block[BLOCK_SIZE];
extern unsigned char checksum[CHECKSUM_SIZE];

// Copies the next length bytes of the image into dest and moves the cursor on.
// Bytes past the end of the image read as 0; it never reads beyond it.
uint32_t ReadFirmware(unsigned char* dest, uint32_t length);

// Header byte i read in place, 0 where the image is too short to hold it.
unsigned headerByte(unsigned i);

// Reads header and loader, checks them and prints the outcome. Returns the
// chunk count, or -1 after printing why the image cannot be sent.
int32_t checkFirmware();
