// runstat: runs a program and writes what it cost, for bench/run-bench.sh.
//
// Usage: runstat [--session] [--pid-file F] [--stamp F] STAT_FILE PROGRAM [ARGS...]
//
// STAT_FILE gets one line:
//   start_ns end_ns wall_s user_s sys_s maxrss_kb status
// with start and end on the monotonic clock (comparable between two runstat
// runs, so one program's end can be set against another's), and status the
// exit code, or 128 + the signal that ended the program. runstat exits with
// that status too.
//
// This does what /usr/bin/time does (the figures come from wait4()'s
// resource usage), but prints microseconds where time(1) rounds to 10 ms,
// which is coarser than the figures being measured.
//
// --session starts the program in a session of its own, so it has no
// terminal (as setsid -w would). --pid-file writes the program's process id,
// so its CPU can be watched while it runs. --stamp passes the program's
// standard output through line by line and also writes each line to F with
// the monotonic time it came in before it, so that a moment the program
// reports (the emulator's "line set", "hung up") can be set against another
// program's start or end. SIGINT, SIGTERM and SIGHUP sent to
// runstat are passed on to the program, so stopping runstat stops it.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

volatile sig_atomic_t g_child = 0;

void passOn(int sig)
{
    if (g_child > 0)
        kill(g_child, sig);
}

long long nowNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

double seconds(const timeval& tv)
{
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
}

} // namespace

// Copies the program's output to stdout as it comes, and each whole line with
// its arrival time to `stamps`. Returns at the end of the output.
void passLines(int from, FILE* stamps)
{
    char buf[4096];
    std::string line;
    for (;;) {
        ssize_t n = read(from, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        long long at = nowNs();
        fwrite(buf, 1, static_cast<size_t>(n), stdout);
        fflush(stdout);
        for (ssize_t k = 0; k < n; ++k) {
            if (buf[k] != '\n') {
                line += buf[k];
                continue;
            }
            fprintf(stamps, "%lld %s\n", at, line.c_str());
            line.clear();
        }
        fflush(stamps);
    }
    if (!line.empty())
        fprintf(stamps, "%lld %s\n", nowNs(), line.c_str());
    fflush(stamps);
}

int main(int argc, char** argv)
{
    bool session = false;
    const char* pidFile = nullptr;
    const char* stampFile = nullptr;
    int i = 1;
    for (; i < argc; ++i) {
        if (strcmp(argv[i], "--session") == 0)
            session = true;
        else if (strcmp(argv[i], "--pid-file") == 0 && i + 1 < argc)
            pidFile = argv[++i];
        else if (strcmp(argv[i], "--stamp") == 0 && i + 1 < argc)
            stampFile = argv[++i];
        else
            break;
    }
    if (argc - i < 2) {
        fprintf(stderr, "usage: runstat [--session] [--pid-file F] [--stamp F] STAT_FILE PROGRAM [ARGS...]\n");
        return 125;
    }
    const char* statFile = argv[i];
    char** command = argv + i + 1;

    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = passOn;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);

    FILE* stamps = nullptr;
    int out[2] = {-1, -1};
    if (stampFile) {
        stamps = fopen(stampFile, "w");
        if (!stamps || pipe(out) != 0) {
            fprintf(stderr, "runstat: cannot stamp into %s: %s\n", stampFile, strerror(errno));
            return 125;
        }
    }

    long long start = nowNs();
    pid_t pid = fork();
    if (pid < 0) {
        perror("runstat: fork");
        return 125;
    }
    if (pid == 0) {
        signal(SIGINT, SIG_DFL);
        signal(SIGTERM, SIG_DFL);
        signal(SIGHUP, SIG_DFL);
        if (session)
            setsid();
        if (stamps) {
            dup2(out[1], 1);
            close(out[0]);
            close(out[1]);
        }
        execvp(command[0], command);
        fprintf(stderr, "runstat: cannot run %s: %s\n", command[0], strerror(errno));
        _exit(127);
    }
    g_child = pid;
    if (pidFile) {
        FILE* f = fopen(pidFile, "w");
        if (f) {
            fprintf(f, "%d\n", static_cast<int>(pid));
            fclose(f);
        }
    }

    if (stamps) {
        close(out[1]);
        passLines(out[0], stamps);
        close(out[0]);
        fclose(stamps);
    }

    int st = 0;
    rusage ru;
    memset(&ru, 0, sizeof ru);
    while (wait4(pid, &st, 0, &ru) < 0) {
        if (errno != EINTR) {
            perror("runstat: wait4");
            return 125;
        }
    }
    long long end = nowNs();
    int status = WIFEXITED(st) ? WEXITSTATUS(st) : WIFSIGNALED(st) ? 128 + WTERMSIG(st) : 125;

    FILE* f = fopen(statFile, "w");
    if (!f) {
        fprintf(stderr, "runstat: cannot write %s: %s\n", statFile, strerror(errno));
        return 125;
    }
    fprintf(f, "%lld %lld %.6f %.6f %.6f %ld %d\n", start, end, static_cast<double>(end - start) / 1e9,
            seconds(ru.ru_utime), seconds(ru.ru_stime), ru.ru_maxrss, status);
    fclose(f);
    return status;
}
