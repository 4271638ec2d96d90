// The console side: a real pause and one key press from the terminal.
#include "platform/posix/winlayer.h"

#include <cerrno>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

void Sleep(DWORD milliseconds)
{
    timespec left{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

namespace {

// The terminal's settings while a key is awaited, for the signal handler.
int keyFd = -1;
termios savedTio;
const int restoredSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
struct sigaction savedActions[sizeof restoredSignals / sizeof restoredSignals[0]];

// Puts the terminal back as it was, then lets the signal do what it would
// have done. Only async-signal-safe calls here.
void restoreAndReraise(int sig)
{
    if (keyFd >= 0)
        tcsetattr(keyFd, TCSANOW, &savedTio);
    signal(sig, SIG_DFL);
    raise(sig);
}

} // namespace

int _getch()
{
    // The terminal itself, not standard input: a script's input never
    // answers the key press, and a run without a terminal does not wait.
    int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    termios raw;
    if (tcgetattr(fd, &savedTio) != 0) {
        close(fd);
        return -1;
    }
    keyFd = fd;
    struct sigaction act{};
    act.sa_handler = restoreAndReraise;
    sigemptyset(&act.sa_mask);
    for (size_t i = 0; i < sizeof restoredSignals / sizeof restoredSignals[0]; ++i)
        sigaction(restoredSignals[i], &act, &savedActions[i]);

    raw = savedTio;
    raw.c_lflag &= ~(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &raw);
    // What is left of the prompt line is not a key press.
    tcflush(fd, TCIFLUSH);

    unsigned char key = 0;
    ssize_t n;
    do {
        n = read(fd, &key, 1);
    } while (n < 0 && errno == EINTR);

    tcsetattr(fd, TCSANOW, &savedTio);
    for (size_t i = 0; i < sizeof restoredSignals / sizeof restoredSignals[0]; ++i)
        sigaction(restoredSignals[i], &savedActions[i], nullptr);
    keyFd = -1;
    close(fd);
    return n == 1 ? key : -1;
}
