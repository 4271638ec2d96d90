// Reads and writes on an open port, with Windows' ReadFile/WriteFile contract:
// TRUE with the count moved, or FALSE on an error; and the questions the
// updater asks a port that moved nothing.
#include <poll.h>
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
// or not.
BOOL ClearCommError(HANDLE h, LPDWORD errors, LPCOMSTAT)
{
    if (errors)
        *errors = 0;
    pollfd p{fdOf(h), POLLIN, 0};
    return retried([&] { return poll(&p, 1, 0); }) >= 0 && !(p.revents & (POLLHUP | POLLERR | POLLNVAL));
}

// No transfer ever runs in the background here, so there is nothing to abort:
// only the queue of output is cleared.
BOOL PurgeComm(HANDLE h, DWORD flags)
{
    return !(flags & PURGE_TXCLEAR) || tcflush(fdOf(h), TCOFLUSH) == 0;
}
