// The emulator's log lines and the clock its waits and pauses are measured by.
#pragma once

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

// One "emu: ..." line on standard output, flushed at once so that a test can
// follow the exchange while it happens.
__attribute__((format(printf, 1, 2))) inline void say(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    std::string line = "emu: " + std::string(fmt) + "\n";
    vprintf(line.c_str(), ap);
    va_end(ap);
    fflush(stdout);
}

// Bytes as "FF 03 01 01 46".
inline std::string hex(const unsigned char* p, size_t n)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    for (size_t i = 0; i < n; ++i)
        s += std::string(i ? " " : "") + digits[p[i] >> 4] + digits[p[i] & 15];
    return s;
}

const int64_t NS_PER_MS = 1000000;

// Monotonic time in nanoseconds.
inline int64_t nowNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

inline void sleepNs(int64_t ns)
{
    timespec req{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    while (ns > 0 && nanosleep(&req, &req) != 0 && errno == EINTR) {
    }
}

// Milliseconds from now until `deadline` (monotonic ns), rounded up, for
// poll(); -1 (no limit) when deadline is -1.
inline int msUntil(int64_t deadline)
{
    int64_t left = deadline - nowNs();
    return deadline < 0 ? -1 : left <= 0 ? 0 : static_cast<int>(left / NS_PER_MS + 1);
}
