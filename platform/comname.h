// What a serial port's name is, as Windows names its ports: "COM" in any
// case and a number from 1, without leading zeros. The front end gives such
// a name Windows' device prefix, and the Linux layer opens it as a port; one
// rule for both, so that no name is prefixed by one and refused by the other.
#pragma once

#include <stdlib.h>
#include <string.h>
#include <strings.h>

// The port's number, or 0 for a name that is not a port's. Six digits at
// most: no port has more, and the number stays far from overflow.
inline long comNumber(const char* name)
{
    if (strncasecmp(name, "COM", 3) != 0)
        return 0;
    const char* digits = name + 3;
    const size_t len = strlen(digits);
    if (len == 0 || len > 6 || digits[0] == '0' || strspn(digits, "0123456789") != len)
        return 0;
    return strtol(digits, nullptr, 10);
}
