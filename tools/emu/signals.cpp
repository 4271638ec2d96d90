#include "tools/emu/signals.h"

#include <cerrno>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace {

volatile sig_atomic_t g_deferred = 0;
int g_wakePipe[2] = {-1, -1};

void onSignal(int)
{
    if (g_deferred) {
        int saved = errno;
        ssize_t ignored = write(g_wakePipe[1], "s", 1);
        (void)ignored;
        errno = saved;
        return;
    }
    _exit(1);
}

} // namespace

void catchSignals()
{
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sa.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &sa, nullptr);
}

int deferSignals()
{
    // A pipe nobody drains: one byte in it keeps the read end readable.
    if (g_wakePipe[0] < 0 && pipe2(g_wakePipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return -1;
    g_deferred = 1;
    return g_wakePipe[0];
}
