// Device messages: a code byte 0xF0-0xFF followed by four 7-bit data bytes.
#pragma once

extern unsigned char buf[5];  // the last device message; byte 0 is 0 when void

// Message codes on the line.
const unsigned char CODE_ANNOUNCE = 0xFF;  // device: its hardware and version (the offer
                                           // goes back with the image header's own 0xFF)
const unsigned char CODE_GO_AHEAD = 0xFC;  // updater: about to send the loader
const unsigned char CODE_READY = 0xFB;     // device: ready for the loader

// Receives the next device message into buf, skipping anything before a code
// byte. Blocks until a whole message has arrived.
void readSwBlock();
