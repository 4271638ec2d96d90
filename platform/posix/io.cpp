// Reads and writes on an open port, with Windows' ReadFile/WriteFile contract:
// TRUE with the count moved, or FALSE when the line is gone.
#include "platform/posix/winlayer.h"

#include <cerrno>
#include <unistd.h>

namespace {

int fdOf(HANDLE h)
{
    return static_cast<int>(reinterpret_cast<intptr_t>(h));
}

} // namespace

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
    // The line waits for at least one byte, so a read of nothing means the
    // other end hung up: report it like any other failure, never as a
    // short read to be retried forever.
    if (n <= 0)
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
    if (n <= 0)
        return FALSE;
    if (done)
        *done = static_cast<DWORD>(n);
    return TRUE;
}
