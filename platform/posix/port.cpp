// Opening and closing a serial port, the POSIX way, behind the Windows calls
// the updater makes.
#include "platform/posix/handle.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "platform/posix/cleanup.h"

namespace {

// The device behind a port name: TRELVANE_<name> if set, else COM1..COM9 as
// /dev/ttyS0..8. Other names have no device. Writes into path, false if none.
bool devicePath(const char* name, char* path, size_t room)
{
    char var[64];
    snprintf(var, sizeof var, "TRELVANE_%s", name);
    const char* named = getenv(var);
    if (named && *named) {
        snprintf(path, room, "%s", named);
        return true;
    }
    if (strncmp(name, "COM", 3) == 0 && name[3] >= '1' && name[3] <= '9' && name[4] == '\0') {
        snprintf(path, room, "/dev/ttyS%d", name[3] - '1');
        return true;
    }
    return false;
}

// A terminal's line stays cooked until it is configured: it would echo the
// device's bytes back to it and take a 0x03 for an interrupt. Made raw at
// once, at the speed it has, nothing that arrives before the settings are
// applied is answered or changed. Reads wait for a byte until time-outs are set.
bool makeRaw(int fd)
{
    termios tio;
    if (tcgetattr(fd, &tio) != 0)
        return false;
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    return tcsetattr(fd, TCSANOW, &tio) == 0;
}

int openRetrying(const char* path, int flags)
{
    int fd;
    do {
        fd = open(path, flags | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

int fail(int fd)
{
    close(fd);
    return -1;
}

// Opens a port for this process alone and makes its line raw.
int openPort(const char* path, int mode)
{
    // Non-blocking only for the open itself: a modem line without carrier
    // would otherwise hold the open until carrier appears.
    int fd = openRetrying(path, mode | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return -1;
    // Exclusive use, as Windows gives it: the advisory lock keeps out other
    // updaters and well-behaved programs, and is taken first so that a busy
    // port's line is left alone; TIOCEXCL keeps out other opens of the
    // terminal by unprivileged programs.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0)
        return fail(fd);
    if (isatty(fd)) {
        if (!makeRaw(fd) || ioctl(fd, TIOCEXCL) != 0)
            return fail(fd);
        holdPort(fd);
    }
    int fl = fcntl(fd, F_GETFL);
    if (fl < 0 || fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) != 0) {
        CloseHandle(handleOf(fd));
        return -1;
    }
    return fd;
}

} // namespace

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE)
{
    int mode = (access & GENERIC_READ) && (access & GENERIC_WRITE) ? O_RDWR
             : (access & GENERIC_WRITE) ? O_WRONLY : O_RDONLY;
    // The console: the terminal the program runs in, shared with everyone.
    if (name && strcmp(name, "CONIN$") == 0 && share != 0) {
        int fd = openRetrying("/dev/tty", mode | O_NOCTTY);
        return fd < 0 ? INVALID_HANDLE_VALUE : handleOf(fd);
    }
    char path[4096];
    if (!name || share != 0 || !devicePath(name, path, sizeof path))
        return INVALID_HANDLE_VALUE;
    int fd = openPort(path, mode);
    return fd < 0 ? INVALID_HANDLE_VALUE : handleOf(fd);
}

BOOL CloseHandle(HANDLE h)
{
    int fd = fdOf(h);
    if (fd < 0)
        return FALSE;
    if (isatty(fd)) {
        ioctl(fd, TIOCNXCL);
        releasePort(fd);
    }
    // A close interrupted by a signal has still released the descriptor on
    // Linux, so it is never repeated.
    return close(fd) == 0 || errno == EINTR;
}
