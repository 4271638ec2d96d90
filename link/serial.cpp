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

// How often the drain before the close looks at the output queue: about a
// hundred bytes' worth of line time.
constexpr DWORD DRAIN_PAUSE_MS = 10;

[[noreturn]] void lineLost()
{
    if (onLineLost)
        onLineLost();
    exit(-1);
}

// A call that moved nothing ran into its time limit: the device may just be
// silent or slow, or the line may be gone, and only the port can tell which.
// Retrying a lost line would spin forever, so it ends the run instead.
void afterTimeOut(HANDLE h)
{
    DWORD errors = 0;
    COMSTAT stat;
    if (!ClearCommError(h, &errors, &stat))
        lineLost();
    Sleep(IDLE_PAUSE_MS);
}

// Moves count bytes, `move` (a ReadFile or a WriteFile of the rest, from
// `done` bytes in) as many times as it takes. A call that succeeds moved
// what it counts: a short count (serial.sys and FTDI's driver when a write
// runs out of time) leaves the rest for the next call. A call that fails,
// whatever its error, ends the run as a lost line: Windows promises nothing
// of the count after a failure, and the in-box USB serial driver fails a
// timed-out write with ERROR_SEM_TIMEOUT and a count of 0 after part of it
// went out, and keeps failing until the adapter is plugged in again.
// Sending again what may already be on the wire would shift every later
// byte of the image.
template <typename Move>
void moveAll(HANDLE h, DWORD count, Move move)
{
    for (DWORD done = 0; done < count;) {
        DWORD moved = 0;
        if (!move(done, count - done, &moved))
            lineLost();
        if (moved == 0)
            afterTimeOut(h);
        done += moved;
    }
}

} // namespace

COMMTIMEOUTS lineTimeouts = {MAXDWORD, MAXDWORD, READ_WAIT_MS, 0, WRITE_WAIT_MS};

void FullReadFile(HANDLE h, void* data, DWORD count)
{
    unsigned char* p = static_cast<unsigned char*>(data);
    moveAll(h, count, [&](DWORD done, DWORD rest, LPDWORD moved) {
        return ReadFile(h, p + done, rest, moved, nullptr);
    });
}

void FullWriteFile(HANDLE h, const void* data, DWORD count)
{
    const unsigned char* p = static_cast<const unsigned char*>(data);
    moveAll(h, count, [&](DWORD done, DWORD rest, LPDWORD moved) {
        return WriteFile(h, p + done, rest, moved, nullptr);
    });
}

// A failed purge promises nothing about what is left to read, and reading it
// could take a stale byte for the device's answer: the run ends instead.
void dropUnread(HANDLE h)
{
    if (!PurgeComm(h, PURGE_RXCLEAR))
        lineLost();
}

// The queue is asked first and FlushFileBuffers called only once it is empty:
// on a queue that never empties (a driver stuck on a gone adapter) the flush
// itself might never return, and the wait here is bounded.
void drainOutput(HANDLE h)
{
    for (DWORD waited = 0;; waited += DRAIN_PAUSE_MS) {
        DWORD errors = 0;
        COMSTAT stat = {};
        if (!ClearCommError(h, &errors, &stat))
            return;
        if (stat.cbOutQue == 0) {
            FlushFileBuffers(h);
            return;
        }
        if (waited >= WRITE_WAIT_MS)
            return;
        Sleep(DRAIN_PAUSE_MS);
    }
}
