// The device message receiver's promise, checked over whatever the line in
// memory holds: each message is a code byte with four 7-bit data bytes, or
// void (code 0), and each takes at least five bytes of the stream, in order.
#pragma once

#include <cstddef>

#include "link/messages.h"
#include "tests/fake_io.h"

// Reads messages until the line runs dry; false at the first broken promise.
inline bool receiverKeepsItsPromise()
{
    size_t consumed = 0;
    try {
        for (;;) {
            readSwBlock();
            if (fake::line.readPos < consumed + 5)
                return false;
            consumed = fake::line.readPos;
            for (int i = 1; i < 5; ++i)
                if (buf[0] != 0 && ((buf[0] & 0xF0) != 0xF0 || (buf[i] & 0x80)))
                    return false;
        }
    } catch (const fake::Starved&) {
        return true;
    }
}
