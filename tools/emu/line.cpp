#include "tools/emu/line.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "tools/emu/log.h"

namespace {

// How long the updater must send nothing before a hang-up counts it as stopped.
const int64_t SETTLE_NS = 200 * NS_PER_MS;

// Until the updater has set its speed, the settings are looked at every
// 2 ms: nothing signals a change of them, and a master nobody holds the
// other side of would report its hang-up at once, forever.
const int SETTINGS_TICK_MS = 2;

// Names every setting that is not 115,200 8N1 raw without flow control. The
// start and stop characters must differ even with flow control off: a
// Windows driver may refuse a line whose two characters are equal, and Wine
// hands the updater's two over as they are.
std::string notRaw(const termios& t)
{
    const struct {
        tcflag_t bits, want;
        const char* name;
    } flags[] = {
        {t.c_cflag & CSIZE, CS8, "not CS8"}, {t.c_cflag & PARENB, 0, "PARENB"},
        {t.c_cflag & CSTOPB, 0, "CSTOPB"},   {t.c_cflag & CRTSCTS, 0, "CRTSCTS"},
        {t.c_cflag & CREAD, CREAD, "-CREAD"}, {t.c_cflag & CLOCAL, CLOCAL, "-CLOCAL"},
        {t.c_iflag & IXON, 0, "IXON"},       {t.c_iflag & IXOFF, 0, "IXOFF"},
        {t.c_iflag & IXANY, 0, "IXANY"},     {t.c_iflag & ICRNL, 0, "ICRNL"},
        {t.c_iflag & INLCR, 0, "INLCR"},     {t.c_iflag & IGNCR, 0, "IGNCR"},
        {t.c_iflag & ISTRIP, 0, "ISTRIP"},   {t.c_lflag & ICANON, 0, "ICANON"},
        {t.c_lflag & ECHO, 0, "ECHO"},       {t.c_lflag & ISIG, 0, "ISIG"},
        {t.c_lflag & IEXTEN, 0, "IEXTEN"},   {t.c_oflag & OPOST, 0, "OPOST"},
        {t.c_cc[VSTART] == t.c_cc[VSTOP], 0, "VSTART=VSTOP"},
    };
    std::string wrong;
    for (const auto& f : flags)
        if (f.bits != f.want)
            wrong += (wrong.empty() ? "" : " ") + std::string(f.name);
    return wrong;
}

// Raw 8N1 at `speed`; false, with a message, when fd takes no such settings.
bool setRaw(int fd, const std::string& name, speed_t speed)
{
    termios t;
    if (tcgetattr(fd, &t) == 0) {
        cfmakeraw(&t);
        t.c_cflag &= ~(CSTOPB | PARENB | CRTSCTS);
        t.c_cflag |= CLOCAL | CREAD;
        cfsetspeed(&t, speed);
        if (tcsetattr(fd, TCSANOW, &t) == 0)
            return true;
    }
    fprintf(stderr, "trelvane-emu: cannot set %s raw: %s\n", name.c_str(), strerror(errno));
    return false;
}

} // namespace

Line::Line(uint64_t baud, const std::string& port) : port_(port)
{
    if (baud > 0) {
        byteNs_ = static_cast<int64_t>(10e9 / static_cast<double>(baud));  // 8N1: 10 bits a byte
        // Pieces of about 2 ms of line time: small enough to keep the pace
        // even, large enough not to wake up for every byte.
        piece_ = static_cast<size_t>(std::clamp<int64_t>(2 * NS_PER_MS / byteNs_, 1, 4096));
    }
}

bool Line::open()
{
    // A real line shows nothing of the updater's settings at its far end: the
    // port is set as the updater sets its own, and counts as set from here on.
    // Its one sign of the far end is the hang-up of a port that goes away (a
    // USB adapter, or a gadget's port when the host lets go of the device).
    // Non-blocking, so that a write to a line nobody reads any more cannot
    // hang the emulator; every transfer waits in poll() instead.
    const int flags = O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC;
    if (!port_.empty()) {
        master_ = ::open(port_.c_str(), flags);
        set_ = master_ >= 0 && setRaw(master_, port_, B115200);
        if (set_)
            say("device at %s", port_.c_str());
        else if (master_ < 0)
            fprintf(stderr, "trelvane-emu: cannot open %s: %s\n", port_.c_str(), strerror(errno));
        return set_;
    }
    master_ = posix_openpt(flags);
    const char* slave = master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0
                            ? ptsname(master_) : nullptr;
    if (!slave) {
        fprintf(stderr, "trelvane-emu: cannot create a pseudo-terminal: %s\n", strerror(errno));
        return false;
    }
    // Start the line at 9600 so that the updater's switch to its own speed is
    // what tells us it has the port open and configured. The slave is closed
    // again at once: with no slave open on our side, the updater closing the
    // port shows as EIO on the master, which is how a hang-up is noticed.
    int fd = ::open(slave, flags);
    bool ok = fd >= 0 && setRaw(fd, slave, B9600);
    if (fd >= 0)
        ::close(fd);
    if (ok)
        say("device at %s", slave);
    return ok;
}

Wake Line::wait(short events, int64_t deadline, int wakeFd)
{
    for (;;) {
        termios t;
        if (!set_ && tcgetattr(master_, &t) == 0 && cfgetospeed(&t) == B115200) {
            set_ = true;
            std::string wrong = notRaw(t);
            say("line set to 115200 %s%s", wrong.empty() ? "8N1 raw" : "but not 8N1 raw: ",
                wrong.c_str());
            return Wake::Ready;
        }
        pollfd fds[2] = {{master_, events, 0}, {wakeFd, POLLIN, 0}};
        int timeout = msUntil(deadline);
        if (!set_ && (timeout < 0 || timeout > SETTINGS_TICK_MS))
            timeout = SETTINGS_TICK_MS;
        int r = set_ ? poll(fds, wakeFd >= 0 ? 2 : 1, timeout)
                     : poll(fds + 1, wakeFd >= 0, timeout);
        if (r < 0 && errno != EINTR)
            return Wake::Ready;  // the transfer that follows finds out what is wrong
        if (r > 0 && wakeFd >= 0 && fds[1].revents)
            return Wake::Woken;
        if (r > 0 && set_ && fds[0].revents)
            return Wake::Ready;
        if (deadline >= 0 && nowNs() >= deadline)
            return Wake::Timeout;
    }
}

bool Line::hold(int wakeFd)
{
    for (;;) {
        if (wait(0, -1, wakeFd) == Wake::Woken)
            return false;
        pollfd p{master_, 0, 0};
        if (set_ && poll(&p, 1, 0) > 0 && (p.revents & POLLHUP))
            return true;
    }
}

Got Line::receive(unsigned char* buf, size_t want, int64_t deadline, size_t& got)
{
    got = 0;
    want = piece_ ? std::min(want, piece_) : want;
    // --baud: bytes come in behind those before them, once those are
    // carried; to an idle line, when they come. Where they were there
    // already, a piece of slack keeps a late wake-up from slowing the line.
    pollfd waiting{master_, POLLIN, 0};
    int64_t slack = byteNs_ && poll(&waiting, 1, 0) > 0 ? piece_ * byteNs_ : 0;
    for (;;) {
        if (wait(POLLIN, deadline) == Wake::Timeout)
            return Got::Timeout;
        ssize_t n = read(master_, buf, want);
        if (n > 0) {
            got = static_cast<size_t>(n);
            if (byteNs_) {
                carriedNs_ = std::max(carriedNs_, nowNs() - slack) + n * byteNs_;
                sleepNs(carriedNs_ - nowNs());
            }
            return Got::Data;
        }
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        // EIO (or end of file): nobody holds the slave side. Before the
        // updater has set the line up that only means it has not come yet.
        if (set_)
            return Got::Closed;
    }
}

bool Line::send(const unsigned char* p, size_t n)
{
    while (n > 0) {
        ssize_t w = write(master_, p, n);
        if (w < 0 && errno != EINTR && errno != EAGAIN)
            return false;  // EIO: nobody holds the slave side, and no room will ever come
        if (w < 0 && errno == EAGAIN)
            wait(POLLOUT, -1);
        p += std::max<ssize_t>(w, 0);
        n -= static_cast<size_t>(std::max<ssize_t>(w, 0));
    }
    return true;
}

void Line::settle()
{
    int pending = -1, last = -2;
    for (int i = 0; i < 100 && pending != last; ++i) {
        last = pending;
        sleepNs(SETTLE_NS);
        if (ioctl(master_, FIONREAD, &pending) != 0)
            break;
    }
}

void Line::close()
{
    if (master_ >= 0)
        ::close(master_);
    master_ = -1;
}
