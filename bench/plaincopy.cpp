// plaincopy LINE FILE: the floor for the updater's figures. Copies a file to
// a serial line with as little as a program can do: open, set the line,
// write, close; only the C library, read() straight into one buffer. What
// the updater needs beyond this for the same bytes is its own cost.

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

// The updater's block size: both programs make as many calls for the bulk.
const size_t PIECE = 4097;

int fail(const char* what, const char* name)
{
    fprintf(stderr, "plaincopy: %s %s: %s\n", what, name, strerror(errno));
    return 1;
}

int main(int argc, char** argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: plaincopy LINE FILE\n");
        return 2;
    }
    // Read before the line is opened: the copy is all that the device sees.
    // Any image a build takes fits the buffer many times over.
    static unsigned char data[16 << 20];
    FILE* in = fopen(argv[2], "rb");
    size_t size = in ? fread(data, 1, sizeof data, in) : 0, at = 0;
    if (!in || ferror(in) || !feof(in))
        return fail("cannot read", argv[2]);

    int fd = open(argv[1], O_RDWR | O_NOCTTY);
    termios t;
    if (fd < 0 || tcgetattr(fd, &t) != 0)
        return fail("cannot open", argv[1]);
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    cfsetspeed(&t, B115200);
    if (tcsetattr(fd, TCSANOW, &t) != 0)
        return fail("cannot set", argv[1]);
    for (at = 0; at < size;) {
        ssize_t n = write(fd, data + at, size - at < PIECE ? size - at : PIECE);
        if (n < 0 && errno != EINTR)
            return fail("cannot write to", argv[1]);
        at += n > 0 ? static_cast<size_t>(n) : 0;  // a short write goes on with the rest
    }
    close(fd);
    return 0;
}
