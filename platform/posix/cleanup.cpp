#include <signal.h>
#include <sys/ioctl.h>

#include "platform/posix/layer.h"

namespace {

// Published with release stores and read in the handler with acquire loads:
// the handler sees a descriptor only with everything written before it. The
// compiler's builtins: the static builds have no C++ library headers.
int portFd = -1;
int terminalFd = -1;
termios savedTerminal;
bool installed = false;

// Only async-signal-safe calls: two ioctls, then the signal does what it
// would have done, so the parent still sees death by that signal.
void undoAndReraise(int sig)
{
    const int port = __atomic_load_n(&portFd, __ATOMIC_ACQUIRE);
    if (port >= 0)
        ioctl(port, TIOCNXCL);
    const int terminal = __atomic_load_n(&terminalFd, __ATOMIC_ACQUIRE);
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
    // SIGPIPE: the reader of the console output went away (`| head`).
    static const int signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};
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
    __atomic_store_n(&portFd, fd, __ATOMIC_RELEASE);
    if (ioctl(fd, TIOCEXCL) == 0)
        return true;
    __atomic_store_n(&portFd, -1, __ATOMIC_RELEASE);
    return false;
}

void releasePort(int fd)
{
    if (portFd != fd)
        return;
    ioctl(fd, TIOCNXCL);
    __atomic_store_n(&portFd, -1, __ATOMIC_RELEASE);
}

void holdTerminal(int fd, const termios* saved)
{
    install();
    // The handler must never see the saved settings half written: the
    // descriptor is taken away before they change, and published after them.
    if (saved) {
        __atomic_store_n(&terminalFd, -1, __ATOMIC_RELEASE);
        savedTerminal = *saved;
    }
    __atomic_store_n(&terminalFd, fd, __ATOMIC_RELEASE);
}
