// peakmem: runs a program and writes its peak memory (max RSS, KB) to a
// file. A program started straight from the benchmark would carry the
// Python interpreter's memory into its own figure (the kernel keeps the
// high-water mark across exec), so it is started from this small one.
//
// Usage: peakmem OUT PROGRAM [ARGS...]   exits as PROGRAM did

#include <csignal>
#include <cstdio>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: peakmem OUT PROGRAM [ARGS...]\n");
        return 2;
    }
    pid_t child = fork();
    if (child == 0) {
        execvp(argv[2], argv + 2);
        perror(argv[2]);
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (child < 0 || wait4(child, &status, 0, &usage) != child)
        return 2;
    FILE* out = fopen(argv[1], "w");
    if (!out)
        return 2;
    fprintf(out, "%ld\n", usage.ru_maxrss);
    fclose(out);
    if (WIFSIGNALED(status)) {
        signal(WTERMSIG(status), SIG_DFL);
        raise(WTERMSIG(status));
    }
    return WEXITSTATUS(status);
}
