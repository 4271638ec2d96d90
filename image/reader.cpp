#include "image/image.h"

#include <string.h>

const unsigned char* firmware = zarim_firmware_bin;
unsigned long firmwareLen = zarim_firmware_bin_len;
uint32_t offset = 0;

unsigned char mycmd[HEADER_SIZE];
unsigned char loader[LOADER_SIZE];
unsigned char block[BLOCK_SIZE];
unsigned char checksum[CHECKSUM_SIZE];

uint32_t ReadFirmware(unsigned char* dest, uint32_t length)
{
    unsigned long left = offset < firmwareLen ? firmwareLen - offset : 0;
    uint32_t copied = left < length ? static_cast<uint32_t>(left) : length;
    if (copied != 0)
        memcpy(dest, firmware + offset, copied);
    memset(dest + copied, 0, length - copied);
    offset += length;
    return length;
}

unsigned headerByte(unsigned i)
{
    return i < firmwareLen ? firmware[i] : 0;
}
