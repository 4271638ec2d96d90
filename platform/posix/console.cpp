// The console side: a real pause and one key press from the terminal.
#include "platform/posix/handle.h"

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include "platform/posix/cleanup.h"

void Sleep(DWORD milliseconds)
{
    timespec left{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

BOOL FlushConsoleInputBuffer(HANDLE console)
{
    return tcflush(fdOf(console), TCIFLUSH) == 0;
}

namespace {

ssize_t readRetrying(int fd, unsigned char* p, size_t n)
{
    ssize_t r;
    do {
        r = read(fd, p, n);
    } while (r < 0 && errno == EINTR);
    return r;
}

} // namespace

int _getch()
{
    // The terminal itself, not standard input: a script's input never
    // answers the key press, and a run without a terminal does not wait.
    int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    termios saved;
    if (tcgetattr(fd, &saved) != 0) {
        close(fd);
        return -1;
    }
    holdTerminal(fd, &saved);
    termios raw = saved;
    raw.c_lflag &= ~(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &raw);
    // What is left of the prompt line is not a key press.
    tcflush(fd, TCIFLUSH);

    unsigned char key = 0;
    ssize_t n = readRetrying(fd, &key, 1);
    if (n == 1) {
        // An arrow, a function key or a non-ASCII character sends several
        // bytes at once; they are all this one key, and none may be left
        // for the shell to read after us.
        raw.c_cc[VMIN] = 0;
        raw.c_cc[VTIME] = 1;
        tcsetattr(fd, TCSANOW, &raw);
        unsigned char rest[64];
        while (readRetrying(fd, rest, sizeof rest) > 0) {
        }
    }

    tcsetattr(fd, TCSANOW, &saved);
    holdTerminal(-1, nullptr);
    close(fd);
    return n == 1 ? key : -1;
}
