#include "tools/emu/link.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Plain memory, so that a signal handler may use it.
char g_path[PATH_MAX];
char g_target[PATH_MAX];
volatile sig_atomic_t g_made = 0;

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
    removeLink();
    _exit(1);
}

} // namespace

bool setLinkPath(const std::string& path)
{
    if (path.size() >= sizeof g_path)
        return false;
    strcpy(g_path, path.c_str());
    return true;
}

bool linkPathIsOurs()
{
    struct stat st;
    if (lstat(g_path, &st) != 0) {
        if (errno == ENOENT)
            return true;
        fprintf(stderr, "trelvane-emu: cannot look at %s: %s\n", g_path, strerror(errno));
        return false;
    }
    std::string what;
    if (S_ISLNK(st.st_mode)) {
        char to[PATH_MAX];
        ssize_t n = readlink(g_path, to, sizeof to - 1);
        if (n < 0) {
            fprintf(stderr, "trelvane-emu: cannot read the link %s: %s\n", g_path, strerror(errno));
            return false;
        }
        to[n] = '\0';
        struct stat target;
        if (strncmp(to, "/dev/pts/", 9) == 0 || (stat(g_path, &target) != 0 && errno == ENOENT))
            return true;
        what = std::string("a symlink to ") + to;
    } else if (S_ISDIR(st.st_mode)) {
        what = "a directory";
    } else if (S_ISREG(st.st_mode)) {
        what = "a regular file";
    } else {
        what = "a device, socket or pipe";
    }
    fprintf(stderr,
            "trelvane-emu: will not replace %s: it is %s (only a link into /dev/pts/ or a "
            "dangling link is replaced)\n",
            g_path, what.c_str());
    return false;
}

bool makeLink(const char* target)
{
    if (strlen(target) >= sizeof g_target) {
        fprintf(stderr, "trelvane-emu: %s: name too long\n", target);
        return false;
    }
    strcpy(g_target, target);
    if (unlink(g_path) != 0 && errno != ENOENT) {
        fprintf(stderr, "trelvane-emu: cannot remove %s: %s\n", g_path, strerror(errno));
        return false;
    }
    if (symlink(g_target, g_path) != 0) {
        fprintf(stderr, "trelvane-emu: cannot create %s: %s\n", g_path, strerror(errno));
        return false;
    }
    g_made = 1;
    return true;
}

void removeLink()
{
    if (!g_made)
        return;
    g_made = 0;
    char now[PATH_MAX];
    ssize_t n = readlink(g_path, now, sizeof now - 1);
    if (n < 0)
        return;
    now[n] = '\0';
    if (strcmp(now, g_target) == 0)
        unlink(g_path);
}

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
