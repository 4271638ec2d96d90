// What a correct updater sends a device, worked out from the image it
// carries and the device's announce alone. The rules are the device's own,
// written here apart from the updater's code, so that one mistake cannot
// pass on both sides.
#pragma once

#include <string>
#include <vector>

#include "image/layout.h"

struct Expected {
    std::vector<unsigned char> bytes;  // everything, offer to final bytes
    std::string none;                  // when bytes is empty: why nothing is sent
};

Expected expectedStream(const std::vector<unsigned char>& image,
                        const unsigned char announce[HEADER_SIZE]);
