#include "tools/emu/line.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "tools/emu/log.h"

namespace {

// How long the updater must send nothing before a hang-up counts it as stopped.
const int64_t SETTLE_NS = 200 * NS_PER_MS;

// While somebody holds the slave side but has not set its speed yet, the
// settings are looked at every 2 ms (nothing signals a change of them), and
// every 20 ms once that has gone on for a second: a program that opens the
// line and leaves it be, like a virtual machine's serial port, costs little.
const int SETTINGS_TICK_MS = 2;
const int SETTINGS_SLOW_TICK_MS = 20;
const int64_t SETTINGS_FAST_NS = 1000 * NS_PER_MS;

// Names every setting that is not 115,200 8N1 raw without flow control. The
// start and stop characters must differ even with flow control off: a
// Windows driver may refuse a line whose two characters are equal, and Wine
// hands the updater's two over as they are.
std::string notRaw(const termios& t)
{
    std::string wrong;
    auto flag = [&](bool bad, const char* what) {
        if (!bad)
            return;
        if (!wrong.empty())
            wrong += ' ';
        wrong += what;
    };
    switch (t.c_cflag & CSIZE) {
    case CS5: flag(true, "CS5"); break;
    case CS6: flag(true, "CS6"); break;
    case CS7: flag(true, "CS7"); break;
    default: break;
    }
    flag(t.c_cflag & PARENB, "PARENB");
    flag(t.c_cflag & CSTOPB, "CSTOPB");
    flag(t.c_cflag & CRTSCTS, "CRTSCTS");
    flag(!(t.c_cflag & CREAD), "-CREAD");
    flag(!(t.c_cflag & CLOCAL), "-CLOCAL");
    flag(t.c_iflag & IXON, "IXON");
    flag(t.c_iflag & IXOFF, "IXOFF");
    flag(t.c_iflag & IXANY, "IXANY");
    flag(t.c_iflag & ICRNL, "ICRNL");
    flag(t.c_iflag & INLCR, "INLCR");
    flag(t.c_iflag & IGNCR, "IGNCR");
    flag(t.c_iflag & ISTRIP, "ISTRIP");
    flag(t.c_lflag & ICANON, "ICANON");
    flag(t.c_lflag & ECHO, "ECHO");
    flag(t.c_lflag & ISIG, "ISIG");
    flag(t.c_lflag & IEXTEN, "IEXTEN");
    flag(t.c_oflag & OPOST, "OPOST");
    flag(t.c_cc[VSTART] == t.c_cc[VSTOP], "VSTART=VSTOP");
    return wrong;
}

} // namespace

Line::Line(uint64_t baud, const std::string& port) : port_(port)
{
    if (baud > 0) {
        rate_ = static_cast<double>(baud) / 10.0;
        // Pieces of about 2 ms of line time: small enough to keep the pace
        // even, large enough not to wake up for every byte.
        double p = rate_ / 500.0;
        piece_ = p < 1 ? 1 : p > 4096 ? 4096 : static_cast<size_t>(p);
    }
}

// A real line shows nothing of the updater's settings at its far end: the
// port is set as the updater sets its own, and counts as set from here on.
// Its one sign of the far end is the hang-up of a port that goes away (a
// USB adapter, or a gadget's port when the host lets go of the device).
bool Line::openPort()
{
    master_ = ::open(port_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios t;
    if (master_ < 0 || tcgetattr(master_, &t) != 0) {
        fprintf(stderr, "trelvane-emu: cannot use %s as a serial port: %s\n", port_.c_str(),
                strerror(errno));
        return false;
    }
    cfmakeraw(&t);
    t.c_cflag &= ~(CSTOPB | PARENB | CRTSCTS);
    t.c_cflag |= CLOCAL | CREAD;
    cfsetispeed(&t, B115200);
    cfsetospeed(&t, B115200);
    if (tcsetattr(master_, TCSANOW, &t) != 0) {
        fprintf(stderr, "trelvane-emu: cannot set %s raw at 115200: %s\n", port_.c_str(),
                strerror(errno));
        return false;
    }
    set_ = true;
    say("device at %s", port_.c_str());
    return true;
}

bool Line::open()
{
    if (!port_.empty())
        return openPort();
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
        fprintf(stderr, "trelvane-emu: cannot create a pseudo-terminal: %s\n", strerror(errno));
        return false;
    }
    const char* slaveName = ptsname(master_);
    if (!slaveName) {
        fprintf(stderr, "trelvane-emu: cannot name the pseudo-terminal\n");
        return false;
    }
    slave_ = slaveName;

    // Start the line at 9600 so that the updater's switch to its own speed is
    // what tells us it has the port open and configured. The slave is closed
    // again at once: with no slave open on our side, the updater closing the
    // port shows as EIO on the master, which is how a hang-up is noticed.
    int slave = ::open(slave_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) {
        fprintf(stderr, "trelvane-emu: cannot open %s: %s\n", slave_.c_str(), strerror(errno));
        return false;
    }
    termios t;
    if (tcgetattr(slave, &t) == 0) {
        cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD;
        cfsetispeed(&t, B9600);
        cfsetospeed(&t, B9600);
        tcsetattr(slave, TCSANOW, &t);
    }
    ::close(slave);

    // Non-blocking, so that a write to a line nobody reads any more cannot
    // hang the emulator; every transfer waits in poll() instead.
    int fl = fcntl(master_, F_GETFL);
    if (fl >= 0)
        fcntl(master_, F_SETFL, fl | O_NONBLOCK);
    fcntl(master_, F_SETFD, FD_CLOEXEC);

    // From now on an open or a close of the slave side wakes us. Without the
    // watch the settings are looked at every tick, held or not.
    watch_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch_ >= 0 && inotify_add_watch(watch_, slave_.c_str(), IN_OPEN | IN_CLOSE) < 0) {
        ::close(watch_);
        watch_ = -1;
    }

    say("device at %s", slave_.c_str());
    return true;
}

void Line::awaitSettings()
{
    while (!set_)
        wait(0, -1);
}

// With no slave open, the master reports a hang-up: that is how we know
// whether anybody holds the line.
void Line::followOpener()
{
    pollfd p{master_, 0, 0};
    bool held = poll(&p, 1, 0) >= 0 && !(p.revents & POLLHUP);
    if (held && !held_)
        heldSince_ = nowNs();
    held_ = held;
}

void Line::checkSettings()
{
    termios t;
    if (tcgetattr(master_, &t) != 0 || cfgetospeed(&t) != B115200)
        return;
    set_ = true;
    if (watch_ >= 0) {
        ::close(watch_);
        watch_ = -1;
    }
    std::string wrong = notRaw(t);
    if (wrong.empty())
        say("line set to 115200 8N1 raw");
    else
        say("line set to 115200 but not 8N1 raw: %s", wrong.c_str());
}

Wake Line::wait(short events, int64_t deadline, int wakeFd)
{
    for (;;) {
        if (!set_) {
            bool wasHeld = held_;
            followOpener();
            if (wasHeld && !held_)
                return Wake::Ready;  // let go of: the caller's transfer sees nobody there
            checkSettings();
            if (set_)
                return Wake::Ready;
        }
        // Before the settings are seen, a master nobody holds the other side
        // of is not polled: it would report its hang-up at once, forever.
        bool useMaster = set_ || held_;
        bool useWatch = !set_ && watch_ >= 0;
        pollfd fds[3];
        nfds_t n = 0;
        if (useMaster)
            fds[n++] = pollfd{master_, events, 0};
        nfds_t watchAt = n;
        if (useWatch)
            fds[n++] = pollfd{watch_, POLLIN, 0};
        nfds_t wakeAt = n;
        if (wakeFd >= 0)
            fds[n++] = pollfd{wakeFd, POLLIN, 0};
        int timeout = msUntil(deadline);
        if (!set_ && (held_ || !useWatch)) {
            int tick = held_ && nowNs() - heldSince_ > SETTINGS_FAST_NS ? SETTINGS_SLOW_TICK_MS
                                                                        : SETTINGS_TICK_MS;
            if (timeout < 0 || timeout > tick)
                timeout = tick;
        }
        int r = poll(fds, n, timeout);
        if (r < 0 && errno != EINTR)
            return Wake::Ready;  // the transfer that follows finds out what is wrong
        if (r > 0 && wakeFd >= 0 && fds[wakeAt].revents)
            return Wake::Woken;
        if (r > 0 && useWatch && fds[watchAt].revents) {
            char drained[4096];
            while (read(watch_, drained, sizeof drained) > 0) {
            }
        }
        if (r > 0 && useMaster && fds[0].revents)
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
        if (set_) {
            pollfd p{master_, 0, 0};
            if (poll(&p, 1, 0) > 0 && (p.revents & POLLHUP))
                return true;
        }
    }
}

// With --baud: waits until the line could have carried another piece, and
// cuts `want` to what it could carry. False when not even one byte is due.
bool Line::pace(size_t& want)
{
    int64_t now = nowNs();
    if (!paceStarted_) {
        // The first byte is taken as soon as it is there; from then on the
        // credit grows at the line's rate.
        paceStarted_ = true;
        credit_ = 1;
    } else {
        credit_ += static_cast<double>(now - creditAt_) * rate_ / 1e9;
    }
    creditAt_ = now;
    if (credit_ > static_cast<double>(piece_))
        credit_ = static_cast<double>(piece_);
    if (credit_ < static_cast<double>(want)) {
        double need = static_cast<double>(want) - credit_;
        sleepNs(static_cast<int64_t>(need / rate_ * 1e9) + 1);
        int64_t later = nowNs();
        credit_ += static_cast<double>(later - creditAt_) * rate_ / 1e9;
        creditAt_ = later;
        if (credit_ < 1)
            return false;
        if (credit_ < static_cast<double>(want))
            want = static_cast<size_t>(credit_);
    }
    return true;
}

Got Line::receive(unsigned char* buf, size_t want, int64_t deadline, size_t& got)
{
    got = 0;
    if (piece_ && want > piece_)
        want = piece_;
    if (want == 0)
        return Got::Timeout;
    // Bytes that come to an empty line start arriving when they come: the
    // credit an idle line has built up is no bytes on the wire.
    pollfd now{master_, POLLIN, 0};
    bool idle = piece_ && poll(&now, 1, 0) == 0;
    for (;;) {
        if (wait(POLLIN, deadline) == Wake::Timeout)
            return Got::Timeout;
        if (idle) {
            idle = false;
            credit_ = 1;
            creditAt_ = nowNs();
        }
        if (piece_ && !pace(want))
            continue;
        ssize_t n = read(master_, buf, want);
        if (n > 0) {
            got = static_cast<size_t>(n);
            if (piece_)
                credit_ -= static_cast<double>(n);
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
        lastWriteNs_ = nowNs();
        ssize_t w = write(master_, p, n);
        if (w > 0) {
            p += w;
            n -= static_cast<size_t>(w);
            continue;
        }
        if (w < 0 && errno == EINTR)
            continue;
        // EIO: nobody holds the slave side, and no room will ever come.
        if (w < 0 && errno != EAGAIN)
            return false;
        wait(POLLOUT, -1);
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
    if (watch_ >= 0) {
        ::close(watch_);
        watch_ = -1;
    }
    if (master_ >= 0) {
        ::close(master_);
        master_ = -1;
    }
}
