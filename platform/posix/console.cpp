// The console side: a real pause and one key press from the terminal.
#include <time.h>
#include <fcntl.h>
#include <unistd.h>

#include "platform/posix/layer.h"

void Sleep(DWORD milliseconds)
{
    timespec left{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    retried([&] { return nanosleep(&left, &left); });
}

BOOL FlushConsoleInputBuffer(HANDLE console)
{
    return tcflush(fdOf(console), TCIFLUSH) == 0;
}

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
    // What was typed before is read first, as Windows' console gives it; an
    // arrow, a function key or a non-ASCII character leaves its other bytes
    // in the input, as Windows leaves its second code. Dropping either is the
    // caller's choice (FlushConsoleInputBuffer).
    unsigned char key = 0;
    ssize_t n = retried([&] { return read(fd, &key, 1); });
    tcsetattr(fd, TCSANOW, &saved);
    holdTerminal(-1, nullptr);
    close(fd);
    return n == 1 ? key : -1;
}
