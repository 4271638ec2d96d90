// launch: the test harness starts every updater through this, as a shell
// would start it. The harness runs threads, so its child may do nothing of
// its own between fork and exec; Python's subprocess gives the new session,
// the user and the groups, and this gives what subprocess cannot:
// SIGINT and SIGQUIT at their defaults (a harness run as a background job
// ignores them, which a child would inherit), the terminal on standard
// input made the controlling one (--terminal), standard input closed
// (--no-stdin). Then it becomes the program, keeping its process id.
//
// Usage: trelvane-launch [--terminal] [--no-stdin] PROGRAM [ARGS...]

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/ioctl.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; ++i) {
        const bool done = strcmp(argv[i], "--terminal") == 0   ? ioctl(0, TIOCSCTTY, 0) == 0
                          : strcmp(argv[i], "--no-stdin") == 0 ? close(0) == 0
                                                               : false;
        if (!done) {
            fprintf(stderr, "trelvane-launch: %s: %s\n", argv[i], errno ? strerror(errno) : "unknown");
            return 127;
        }
    }
    if (i == argc) {
        fprintf(stderr, "usage: trelvane-launch [--terminal] [--no-stdin] PROGRAM [ARGS...]\n");
        return 127;
    }
    signal(SIGINT, SIG_DFL);
    signal(SIGQUIT, SIG_DFL);
    execvp(argv[i], argv + i);
    perror(argv[i]);
    return 127;
}
