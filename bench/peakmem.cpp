// peakmem: runs a program and writes its peak memory (max RSS, KB) to a
// file. A program started straight from the benchmark would carry the
// Python interpreter's memory into its own figure (the kernel keeps the
// high-water mark across exec), so it is started from this small one.
//
// Usage: peakmem OUT PROGRAM [ARGS...]   exits as PROGRAM did (128 + N: signal N)

#include <cstdio>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    pid_t child = argc < 3 ? -1 : fork();
    if (child == 0) {
        execvp(argv[2], argv + 2);
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    bool ended = child > 0 && wait4(child, &status, 0, &usage) == child;
    FILE* out = ended ? fopen(argv[1], "w") : nullptr;
    if (!out || fprintf(out, "%ld\n", usage.ru_maxrss) < 0 || fclose(out) != 0)
        return 2;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
