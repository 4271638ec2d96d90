#include "link/messages.h"

#include "link/serial.h"

unsigned char buf[5];

void readSwBlock()
{
    buf[0] = 0;
    // A message starts with a byte whose upper four bits are all set; noise
    // and the tail of anything we came in on are dropped on the way there.
    do {
        FullReadFile(hCom, buf, 1);
    } while ((buf[0] & 0xF0) != 0xF0);
    // The four data bytes are always consumed, so the next search starts
    // after them even when one of them looked like a code byte.
    FullReadFile(hCom, buf + 1, 4);
    if ((buf[1] | buf[2] | buf[3] | buf[4]) & 0x80)
        buf[0] = 0;
}
