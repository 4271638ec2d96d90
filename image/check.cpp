#include "image/image.h"

#include <stdio.h>

int32_t checkFirmware()
{
    ReadFirmware(mycmd, HEADER_SIZE);
    ReadFirmware(loader, LOADER_SIZE);
    int32_t chunks = chunkCount(loader);
    // An image too short for its header and loader, or counting fewer than
    // no chunks, describes no transfer at all: it is as broken as one with
    // the wrong code byte.
    ImageFault fault = imageFault(firmware, firmwareLen);
    if (fault != ImageFault::None && fault != ImageFault::Length) {
        printf("File error, please re-download.\n");
        return -1;
    }
    unsigned long size = static_cast<unsigned long>(expectedSize(chunks));
    if (fault == ImageFault::Length) {
        printf("File fails size check, %d chunks should be %lu bytes.  File is %lu.\n",
               static_cast<int>(chunks), size, firmwareLen);
        return -1;
    }
    printf("Loaded Trelvane software v%u.%02u, %lu bytes.\n",
           static_cast<unsigned>(mycmd[3]), static_cast<unsigned>(mycmd[4]), size);
    return chunks;
}
