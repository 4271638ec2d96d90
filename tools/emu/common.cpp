#include "tools/emu/common.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <ctime>

void say(const char* fmt, ...)
{
    fputs("emu: ", stdout);
    va_list ap;
    va_start(ap, fmt);
    vprintf(fmt, ap);
    va_end(ap);
    fputc('\n', stdout);
    fflush(stdout);
}

std::string hex(const unsigned char* p, size_t n)
{
    std::string s;
    char b[4];
    for (size_t i = 0; i < n; ++i) {
        snprintf(b, sizeof b, i ? " %02X" : "%02X", p[i]);
        s += b;
    }
    return s;
}

int64_t nowNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void sleepNs(int64_t ns)
{
    if (ns <= 0)
        return;
    timespec req{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    timespec rem;
    while (nanosleep(&req, &rem) != 0 && errno == EINTR)
        req = rem;
}

int msUntil(int64_t deadline)
{
    if (deadline < 0)
        return -1;
    int64_t left = deadline - nowNs();
    if (left <= 0)
        return 0;
    return static_cast<int>(left / NS_PER_MS + 1);
}
