// Number parsing for the tools' command lines: strict, so that a mistyped
// value is refused instead of read as something else.
#pragma once

#include <cstdint>
#include <string>

// Unsigned decimal: digits only (no sign, no blanks), at most max.
bool parseDecimal(const std::string& s, uint64_t max, uint64_t& out);

// One byte as one or two hex digits, optionally written with a 0x prefix.
bool parseHexByte(const std::string& s, unsigned char& out);
