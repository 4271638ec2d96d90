// Device messages: a code byte 0xF0-0xFF followed by four 7-bit data bytes.
#pragma once

#include "link/codes.h"

extern unsigned char buf[5];  // the last device message; byte 0 is 0 when void

// Receives the next device message into buf, skipping anything before a code
// byte. Blocks until a whole message has arrived.
void readSwBlock();
