#include <signal.h>
#include <sys/ioctl.h>

#include "platform/posix/layer.h"

namespace {

volatile sig_atomic_t portFd = -1;
volatile sig_atomic_t terminalFd = -1;
termios savedTerminal;
bool installed = false;

// Only async-signal-safe calls: two ioctls, then the signal does what it
// would have done, so the parent still sees death by that signal.
void undoAndReraise(int sig)
{
    if (portFd >= 0)
        ioctl(portFd, TIOCNXCL);
    const int terminal = terminalFd;
    __atomic_signal_fence(__ATOMIC_ACQUIRE);
    if (terminal >= 0)
        tcsetattr(terminal, TCSANOW, &savedTerminal);
    signal(sig, SIG_DFL);
    raise(sig);
}

void install()
{
    if (installed)
        return;
    installed = true;
    static const int signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
    for (int sig : signals) {
        struct sigaction old{};
        sigaction(sig, nullptr, &old);
        // A signal the caller told us to ignore (nohup, a background job)
        // stays ignored.
        if (old.sa_handler == SIG_IGN)
            continue;
        struct sigaction act{};
        act.sa_handler = undoAndReraise;
        sigemptyset(&act.sa_mask);
        sigaction(sig, &act, nullptr);
    }
}

} // namespace

bool holdPort(int fd)
{
    install();
    // Known to the handler before the flag is set, so that no signal can
    // come between the two and leave the flag behind.
    portFd = fd;
    if (ioctl(fd, TIOCEXCL) == 0)
        return true;
    portFd = -1;
    return false;
}

void releasePort(int fd)
{
    if (portFd != fd)
        return;
    ioctl(fd, TIOCNXCL);
    portFd = -1;
}

void holdTerminal(int fd, const termios* saved)
{
    install();
    // The handler must never see the saved settings half written: the
    // descriptor is taken away before they change and published after them,
    // and the fences keep the compiler from moving the copy across either
    // store (the descriptor is volatile, the settings are not). The
    // compiler's own fences: the static builds have no C++ library headers.
    if (saved) {
        terminalFd = -1;
        __atomic_signal_fence(__ATOMIC_SEQ_CST);
        savedTerminal = *saved;
    }
    __atomic_signal_fence(__ATOMIC_RELEASE);
    terminalFd = fd;
}
