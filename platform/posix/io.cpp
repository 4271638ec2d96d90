// Reads and writes on an open port, with Windows' ReadFile/WriteFile contract:
// TRUE with the count moved, or FALSE on an error; and the questions the
// updater asks a port that moved nothing.
#include "platform/posix/handle.h"

#include <cerrno>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

BOOL ReadFile(HANDLE h, void* data, DWORD count, LPDWORD done, LPOVERLAPPED)
{
    if (done)
        *done = 0;
    if (count == 0)
        return TRUE;
    ssize_t n;
    do {
        n = read(fdOf(h), data, count);
    } while (n < 0 && errno == EINTR);
    // Nothing read is a time-out of the line's own (VMIN 0, VTIME set) or a
    // terminal that was hung up; ClearCommError tells the two apart, as on
    // Windows.
    if (n < 0)
        return FALSE;
    if (done)
        *done = static_cast<DWORD>(n);
    return TRUE;
}

BOOL WriteFile(HANDLE h, const void* data, DWORD count, LPDWORD done, LPOVERLAPPED)
{
    if (done)
        *done = 0;
    if (count == 0)
        return TRUE;
    ssize_t n;
    do {
        n = write(fdOf(h), data, count);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        return FALSE;
    if (done)
        *done = static_cast<DWORD>(n);
    return TRUE;
}

BOOL ClearCommError(HANDLE h, LPDWORD errors, LPCOMSTAT stat)
{
    if (errors)
        *errors = 0;
    if (stat)
        *stat = COMSTAT{};
    int fd = fdOf(h);
    // A hung-up terminal (the far end of a pseudo-terminal closed, a USB
    // adapter pulled out) polls as such at once; its settings can no longer
    // be read either.
    pollfd p{fd, POLLIN, 0};
    int r;
    do {
        r = poll(&p, 1, 0);
    } while (r < 0 && errno == EINTR);
    termios tio;
    if (r < 0 || (p.revents & (POLLHUP | POLLERR | POLLNVAL)) || tcgetattr(fd, &tio) != 0)
        return FALSE;
    int in = 0, out = 0;
    if (stat && ioctl(fd, FIONREAD, &in) == 0 && ioctl(fd, TIOCOUTQ, &out) == 0) {
        stat->cbInQue = static_cast<DWORD>(in);
        stat->cbOutQue = static_cast<DWORD>(out);
    }
    return TRUE;
}

BOOL PurgeComm(HANDLE h, DWORD flags)
{
    // No transfer ever runs in the background here, so there is nothing to
    // abort: only the queues are cleared.
    bool tx = flags & PURGE_TXCLEAR, rx = flags & PURGE_RXCLEAR;
    if (!tx && !rx)
        return TRUE;
    return tcflush(fdOf(h), tx && rx ? TCIOFLUSH : tx ? TCOFLUSH : TCIFLUSH) == 0;
}
