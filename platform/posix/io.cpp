// Reads and writes on an open port, with Windows' ReadFile/WriteFile contract:
// TRUE with the count moved, or FALSE on an error; and the questions the
// updater asks a port that moved nothing.
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "platform/posix/layer.h"

namespace {

template <typename Move>
BOOL transfer(Move move, DWORD count, LPDWORD done)
{
    if (done)
        *done = 0;
    if (count == 0)
        return TRUE;
    ssize_t n = retried(move);
    if (n < 0)
        return FALSE;
    if (done)
        *done = static_cast<DWORD>(n);
    return TRUE;
}

} // namespace

// Nothing read is a time-out of the line's own (VMIN 0, VTIME set) or a
// terminal that was hung up before the read; ClearCommError tells the two
// apart, as on Windows. A read under way when the line hangs up fails.
BOOL ReadFile(HANDLE h, void* data, DWORD count, LPDWORD done, LPOVERLAPPED)
{
    return transfer([&] { return read(fdOf(h), data, count); }, count, done);
}

BOOL WriteFile(HANDLE h, const void* data, DWORD count, LPDWORD done, LPOVERLAPPED)
{
    return transfer([&] { return write(fdOf(h), data, count); }, count, done);
}

// A terminal that hung up (the far end of a pseudo-terminal closed, a USB
// adapter pulled out) reports it to poll at once, whatever its driver: POLLHUP
// is POSIX's own report of a hang-up. A live line polls without it, silent
// or not. The output queue is the driver's own count (TIOCOUTQ), which a
// pseudo-terminal always gives as 0.
BOOL ClearCommError(HANDLE h, LPDWORD errors, LPCOMSTAT stat)
{
    if (errors)
        *errors = 0;
    pollfd p{fdOf(h), POLLIN, 0};
    if (retried([&] { return poll(&p, 1, 0); }) < 0 || (p.revents & (POLLHUP | POLLERR | POLLNVAL)))
        return FALSE;
    int queued = 0;
    if (stat && ioctl(fdOf(h), TIOCOUTQ, &queued) != 0)
        return FALSE;
    if (stat)
        stat->cbOutQue = static_cast<DWORD>(queued);
    return TRUE;
}

// No transfer ever runs in the background here, so there is nothing to abort:
// only the queues are cleared, as Wine clears them (tcflush).
BOOL PurgeComm(HANDLE h, DWORD flags)
{
    return (!(flags & PURGE_TXCLEAR) || tcflush(fdOf(h), TCOFLUSH) == 0)
        && (!(flags & PURGE_RXCLEAR) || tcflush(fdOf(h), TCIFLUSH) == 0);
}

// As Wine does for a serial port: tcdrain returns once the output is sent.
BOOL FlushFileBuffers(HANDLE h)
{
    return retried([&] { return tcdrain(fdOf(h)); }) == 0;
}
