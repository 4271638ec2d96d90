#include "link/serial.h"

#include <stdlib.h>

HANDLE hCom = INVALID_HANDLE_VALUE;
DCB dcb;
void (*onLineLost)() = nullptr;

namespace {

// A read returns as soon as one byte is there (the MAXDWORD interval and
// multiplier) or after READ_WAIT_MS with none, so the updater looks at a
// silent line about twice a second at no cost. The wait stays far below
// 0x80000000: some USB serial drivers read a total time-out with its top bit
// set as no time-out at all. A write may take WRITE_WAIT_MS, over five times
// what a whole 4,097-byte block takes at 115,200 baud (356 ms), so a healthy
// line never cuts a write short.
constexpr DWORD READ_WAIT_MS = 500;
constexpr DWORD WRITE_WAIT_MS = 2000;
static_assert(READ_WAIT_MS > 0 && READ_WAIT_MS < 0x80000000u, "a read must return after a finite wait");
static_assert(WRITE_WAIT_MS > 5 * 356, "a whole block must fit in a write's time");

// After a transfer that moved nothing on a live line: a driver that ignores
// the time-outs returns at once, and asking again at once would spin. The
// port keeps what arrives meanwhile, and a driver that keeps them has
// already waited READ_WAIT_MS, against which this is nothing.
constexpr DWORD IDLE_PAUSE_MS = 20;

[[noreturn]] void lineLost()
{
    if (onLineLost)
        onLineLost();
    exit(-1);
}

// A transfer that moved nothing ran into its time limit: the device may just
// be silent, or the line may be gone, and only the port can tell which.
// Retrying a lost line would spin forever, so it ends the run instead.
void afterNothingMoved(HANDLE h)
{
    DWORD errors = 0;
    COMSTAT stat;
    if (!ClearCommError(h, &errors, &stat))
        lineLost();
    Sleep(IDLE_PAUSE_MS);
}

} // namespace

COMMTIMEOUTS lineTimeouts = {MAXDWORD, MAXDWORD, READ_WAIT_MS, 0, WRITE_WAIT_MS};

void FullReadFile(HANDLE h, void* data, DWORD count)
{
    unsigned char* p = static_cast<unsigned char*>(data);
    // A read may return fewer bytes than asked: the loop asks for the rest.
    while (count != 0) {
        DWORD got = 0;
        if (!ReadFile(h, p, count, &got, nullptr))
            lineLost();
        if (got == 0)
            afterNothingMoved(h);
        p += got;
        count -= got;
    }
}

void FullWriteFile(HANDLE h, const void* data, DWORD count)
{
    const unsigned char* p = static_cast<const unsigned char*>(data);
    while (count != 0) {
        DWORD put = 0;
        if (!WriteFile(h, p, count, &put, nullptr))
            lineLost();
        if (put == 0)
            afterNothingMoved(h);
        p += put;
        count -= put;
    }
}
