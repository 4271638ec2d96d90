#include "push/push.h"

#include <stdio.h>
#include <stdlib.h>

#include "app/end.h"
#include "app/start.h"
#include "image/image.h"
#include "link/messages.h"
#include "link/serial.h"

namespace {

// Hardware codes and versions are compared as signed 8-bit values.
int asSigned(unsigned char b)
{
    return static_cast<signed char>(b);
}

// Frame bytes 3 and 4 as one comparable version number.
int versionOf(const unsigned char* frame)
{
    return asSigned(frame[3]) * 256 + asSigned(frame[4]);
}

// Bytes shown as numbers, 0 to 255, whatever their sign in a comparison.
unsigned asUnsigned(unsigned char b)
{
    return b;
}

const DWORD PAUSE_MS = 1000;  // the device's time to start and run the loader

} // namespace

int swPush()
{
    int32_t chunksLeft = checkFirmware();
    if (chunksLeft < 0)
        return endRun(-1);
    const int32_t total = totalBlocks(chunksLeft);
    int32_t sent = 0;

    printf("Listening for a Trelvane on %s\n", COMPORT);
    do {
        readSwBlock();
    } while (buf[0] != CODE_ANNOUNCE);

    if (abs(asSigned(buf[1]) - asSigned(mycmd[1])) > 1 || abs(asSigned(buf[2]) - asSigned(mycmd[2])) > 1) {
        printf("This software file is incompatible with this Trelvane's hardware.\n");
        return endRun(-1);
    }

    // The device refuses its own version; claiming 9.99 in the frames lets
    // the same software be installed again. The image itself is unchanged.
    if (buf[3] == mycmd[3] && buf[4] == mycmd[4]) {
        printf("Warning: This Trelvane is running the same software version.\n");
        printf("         %s will claim to have v9.99 to allow update.\n", progname);
        mycmd[3] = 9;
        mycmd[4] = 99;
    }

    // The two replies count from here: announces the device repeated while
    // it waited for this offer are not among them.
    dropUnread(hCom);
    FullWriteFile(hCom, mycmd, HEADER_SIZE);
    printf("Select '%s' on the Trelvane to replace v%u.%02u software with v%u.%02u.\n",
           versionOf(buf) > versionOf(mycmd) ? "Revert" : "Update",
           asUnsigned(buf[3]), asUnsigned(buf[4]), asUnsigned(mycmd[3]), asUnsigned(mycmd[4]));

    // The device answers the offer with two messages once the user has
    // chosen; what they say does not matter.
    readSwBlock();
    readSwBlock();

    mycmd[0] = CODE_GO_AHEAD;
    FullWriteFile(hCom, mycmd, HEADER_SIZE);
    do {
        readSwBlock();
    } while (buf[0] != CODE_READY);

    Sleep(PAUSE_MS);
    FullWriteFile(hCom, loader, LOADER_SIZE);
    Sleep(PAUSE_MS);
    printf("   Sent bootloader, sending %uKbytes of software (%d blocks).\n",
           static_cast<unsigned>(4 * total), static_cast<int>(total));

    int32_t blocksInChunk = FIRST_CHUNK_BLOCKS;
    while (chunksLeft != 0) {
        // The chunk's sync byte is whatever the device sends once the chunk
        // has begun: a second ready message, a byte left on the line by a
        // loader that restarted the device's UART, or a repeated sync byte
        // would otherwise stand in for it, and the chunk after would go out
        // before the device has stored this one.
        dropUnread(hCom);
        for (int32_t i = 0; i < blocksInChunk; ++i) {
            ReadFirmware(block, BLOCK_SIZE);
            ++sent;
            printf("\r   sending block %d of %d (%d%%)...", static_cast<int>(sent),
                   static_cast<int>(total), static_cast<int>(sent * 100 / total));
            FullWriteFile(hCom, block, BLOCK_SIZE);
        }
        ReadFirmware(checksum, CHECKSUM_SIZE);
        FullWriteFile(hCom, checksum, CHECKSUM_SIZE);

        if (--chunksLeft != 0) {
            // The device's sync byte says it has stored the chunk (it may
            // come while the chunk is still going out). A wrong one is
            // reported, but the device decides what to do about it.
            FullReadFile(hCom, buf, 1);
            if (buf[0] != SYNC_BYTE)
                printf("Out of sync, 0x%02x != 0x%02X\n", asUnsigned(buf[0]), asUnsigned(SYNC_BYTE));
            FullWriteFile(hCom, &SYNC_BYTE, 1);
        }
        blocksInChunk = LATER_CHUNK_BLOCKS;
    }
    static const unsigned char finalBytes[3] = {SYNC_BYTE, SYNC_BYTE, SYNC_BYTE};
    FullWriteFile(hCom, finalBytes, sizeof finalBytes);
    return endRun(-1);
}
