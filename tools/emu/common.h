// Small helpers every part of the device emulator uses: its log lines and
// the clock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// One "emu: ..." line on standard output, flushed at once so that a test can
// follow the exchange while it happens.
void say(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Bytes as "FF 03 01 01 46".
std::string hex(const unsigned char* p, size_t n);

inline unsigned long long ull(uint64_t v)
{
    return static_cast<unsigned long long>(v);
}

const int64_t NS_PER_MS = 1000000;

// Monotonic time in nanoseconds.
int64_t nowNs();
void sleepNs(int64_t ns);

// Milliseconds from now until `deadline` (monotonic ns), rounded up, for
// poll(); -1 (no limit) when deadline is -1.
int msUntil(int64_t deadline);
