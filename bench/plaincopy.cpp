// plaincopy: the floor for the updater's figures. Copies a file to a serial
// line with as little as a program can do: open, set the line, write, close.
// What the updater needs beyond this for the same bytes is its own cost.
//
// Usage: plaincopy LINE FILE

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

// The updater's block size, so that both programs make the same number of
// calls for the bulk of the data.
const size_t PIECE = 4097;

// Only the C library, read() straight into one buffer: the floor should not
// carry the C++ runtime or stdio buffers that the copy itself has no use for.
unsigned char* readAll(const char* path, size_t* size)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        if (fd >= 0)
            close(fd);
        return nullptr;
    }
    size_t want = static_cast<size_t>(st.st_size);
    unsigned char* data = static_cast<unsigned char*>(malloc(want ? want : 1));
    size_t have = 0;
    while (data && have < want) {
        ssize_t n = read(fd, data + have, want - have);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            free(data);
            data = nullptr;
            break;
        }
        have += static_cast<size_t>(n);
    }
    close(fd);
    *size = have;
    return data;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: plaincopy LINE FILE\n");
        return 2;
    }
    // The bytes are read before the line is opened, so the copy itself is
    // all that the device sees.
    size_t size = 0;
    unsigned char* data = readAll(argv[2], &size);
    if (!data) {
        fprintf(stderr, "plaincopy: cannot read %s: %s\n", argv[2], strerror(errno));
        return 2;
    }

    int fd = open(argv[1], O_RDWR | O_NOCTTY);
    if (fd < 0) {
        fprintf(stderr, "plaincopy: cannot open %s: %s\n", argv[1], strerror(errno));
        return 1;
    }
    termios t;
    if (tcgetattr(fd, &t) != 0) {
        fprintf(stderr, "plaincopy: %s is not a terminal: %s\n", argv[1], strerror(errno));
        return 1;
    }
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    cfsetspeed(&t, B115200);
    if (tcsetattr(fd, TCSANOW, &t) != 0) {
        fprintf(stderr, "plaincopy: cannot set %s: %s\n", argv[1], strerror(errno));
        return 1;
    }

    size_t at = 0;
    while (at < size) {
        size_t want = size - at < PIECE ? size - at : PIECE;
        ssize_t n = write(fd, data + at, want);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            fprintf(stderr, "plaincopy: write: %s\n", strerror(errno));
            return 1;
        }
        at += static_cast<size_t>(n);  // a short write goes on with the rest
    }
    close(fd);
    return 0;
}
