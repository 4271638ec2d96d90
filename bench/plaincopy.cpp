// plaincopy: the floor for the updater's figures. Copies a file to a serial
// line with as little as a program can do: open, set the line, write, close.
// What the updater needs beyond this for the same bytes is its own cost.
//
// Usage: plaincopy LINE FILE

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {

// The updater's block size, so that both programs make the same number of
// calls for the bulk of the data.
const size_t PIECE = 4097;

bool readAll(const char* path, std::vector<unsigned char>& out)
{
    FILE* f = fopen(path, "rb");
    if (!f)
        return false;
    unsigned char tmp[65536];
    size_t n;
    while ((n = fread(tmp, 1, sizeof tmp, f)) > 0)
        out.insert(out.end(), tmp, tmp + n);
    bool ok = !ferror(f);
    fclose(f);
    return ok;
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
    std::vector<unsigned char> data;
    if (!readAll(argv[2], data)) {
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
    while (at < data.size()) {
        size_t want = data.size() - at < PIECE ? data.size() - at : PIECE;
        ssize_t n = write(fd, data.data() + at, want);
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
