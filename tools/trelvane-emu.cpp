// trelvane-emu: plays a Trelvane device on a pseudo-terminal.
//
// The updater is pointed at PATH, a symlink to the slave side of a fresh
// pseudo-terminal, and talks to it exactly as to a device on a serial port.
// The emulator answers from the master side, logs every step on stdout
// ("emu: ..." lines, flushed one by one so a test can follow along), and at
// the end says how many bytes came in and, with --expect, whether they are
// exactly what a correct updater sends for the given image.
//
// Usage: trelvane-emu --link PATH [options]   (see usage() below)

#include "image/layout.h"
#include "tools/numbers.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

// ---------------------------------------------------------------------------
// Options

struct Options {
    std::string link;
    unsigned hwA = 3, hwB = 1;
    unsigned verMajor = 1, verMinor = 70;
    uint64_t noiseBeforeAnnounce = 0;
    uint64_t noiseBeforeReady = 0;
    uint64_t seed = 1;
    uint64_t chatter = 0;
    unsigned char sync = SYNC_BYTE;
    bool hangup = false;
    uint64_t hangupAfter = 0;
    bool earlySync = false;
    bool silent = false;
    uint64_t baud = 0;
    std::string record;
    std::string expect;
};

// Generous caps: they only keep a mistyped number from asking for gigabytes.
const uint64_t MAX_NOISE = 64ull * 1024 * 1024;
const uint64_t MAX_CHATTER = 1000000;
const uint64_t MAX_BAUD = 100000000;

[[noreturn]] void usage(const std::string& why)
{
    if (!why.empty())
        fprintf(stderr, "trelvane-emu: %s\n", why.c_str());
    fprintf(stderr,
            "usage: trelvane-emu --link PATH [options]\n"
            "  --link PATH                  make PATH a symlink to the device's serial line\n"
            "  --hw A,B                     hardware codes announced, decimal (default 3,1)\n"
            "  --version M.m                version announced, e.g. 1.70 (default 1.70)\n"
            "  --noise-before-announce N    send N random bytes before the announce\n"
            "  --noise-before-ready N       send N random bytes before the ready message\n"
            "  --seed S                     seed of the random bytes (default 1)\n"
            "  --chatter K                  send K void and K foreign messages before the\n"
            "                               announce and again before ready\n"
            "  --sync HEX                   byte sent after each chunk but the last (default A5)\n"
            "  --hangup-after N             stop reading once N bytes have come in, wait\n"
            "                               until the updater stops sending, hang up\n"
            "  --early-sync                 send every sync byte right after the loader, so\n"
            "                               that the updater never waits to read one\n"
            "  --silent                     never answer; just count what comes in\n"
            "  --baud B                     take bytes in no faster than a B baud line\n"
            "  --record FILE                write every byte received to FILE\n"
            "  --expect IMAGE               check the bytes received against IMAGE\n");
    exit(2);
}

// "A<sep>B" with both parts decimal bytes.
bool parseBytePair(const std::string& s, char sep, unsigned& a, unsigned& b)
{
    size_t at = s.find(sep);
    if (at == std::string::npos)
        return false;
    uint64_t x = 0, y = 0;
    if (!parseDecimal(s.substr(0, at), 255, x) || !parseDecimal(s.substr(at + 1), 255, y))
        return false;
    a = static_cast<unsigned>(x);
    b = static_cast<unsigned>(y);
    return true;
}

Options parseOptions(int argc, char** argv)
{
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string name = arg;
        std::string value;
        bool inlineValue = false;
        size_t eq = arg.find('=');
        if (arg.compare(0, 2, "--") == 0 && eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            inlineValue = true;
        }
        auto needValue = [&]() -> std::string {
            if (inlineValue)
                return value;
            if (i + 1 >= argc)
                usage("missing value for " + name);
            return argv[++i];
        };
        auto number = [&](uint64_t max) -> uint64_t {
            uint64_t v = 0;
            if (!parseDecimal(needValue(), max, v))
                usage("bad number for " + name);
            return v;
        };
        auto noValue = [&]() {
            if (inlineValue)
                usage(name + " takes no value");
        };

        if (name == "--link") {
            o.link = needValue();
            if (o.link.empty())
                usage("empty --link");
        } else if (name == "--hw") {
            if (!parseBytePair(needValue(), ',', o.hwA, o.hwB))
                usage("--hw wants two decimal bytes, e.g. 3,1");
        } else if (name == "--version") {
            if (!parseBytePair(needValue(), '.', o.verMajor, o.verMinor))
                usage("--version wants M.m with decimal bytes, e.g. 1.70");
        } else if (name == "--noise-before-announce") {
            o.noiseBeforeAnnounce = number(MAX_NOISE);
        } else if (name == "--noise-before-ready") {
            o.noiseBeforeReady = number(MAX_NOISE);
        } else if (name == "--seed") {
            o.seed = number(UINT64_MAX);
        } else if (name == "--chatter") {
            o.chatter = number(MAX_CHATTER);
        } else if (name == "--sync") {
            if (!parseHexByte(needValue(), o.sync))
                usage("--sync wants one hex byte, e.g. A5");
        } else if (name == "--hangup-after") {
            o.hangupAfter = number(UINT64_MAX);
            o.hangup = true;
        } else if (name == "--silent") {
            noValue();
            o.silent = true;
        } else if (name == "--early-sync") {
            noValue();
            o.earlySync = true;
        } else if (name == "--baud") {
            o.baud = number(MAX_BAUD);
        } else if (name == "--record") {
            o.record = needValue();
            if (o.record.empty())
                usage("empty --record");
        } else if (name == "--expect") {
            o.expect = needValue();
            if (o.expect.empty())
                usage("empty --expect");
        } else if (name == "--help" || name == "-h") {
            usage("");
        } else {
            usage("unknown argument " + arg);
        }
    }
    if (o.link.empty())
        usage("missing --link PATH");
    return o;
}

// ---------------------------------------------------------------------------
// Output

void say(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void say(const char* fmt, ...)
{
    fputs("emu: ", stdout);
    va_list ap;
    va_start(ap, fmt);
    vprintf(fmt, ap);
    va_end(ap);
    fputc('\n', stdout);
    fflush(stdout);
}

std::string hex(const unsigned char* p, size_t n)
{
    std::string s;
    char b[4];
    for (size_t i = 0; i < n; ++i) {
        snprintf(b, sizeof b, i ? " %02X" : "%02X", p[i]);
        s += b;
    }
    return s;
}

// ---------------------------------------------------------------------------
// The symlink, removed on every way out, including a signal.

char g_linkPath[PATH_MAX];
char g_linkTarget[PATH_MAX];
volatile sig_atomic_t g_linkMade = 0;

// Only removes PATH while it still points at our device, so a second
// emulator that has since taken over the same path keeps its link.
// Async-signal-safe: readlink, unlink and plain memory only.
void removeLink()
{
    if (!g_linkMade)
        return;
    g_linkMade = 0;
    char now[PATH_MAX];
    ssize_t n = readlink(g_linkPath, now, sizeof now - 1);
    if (n < 0)
        return;
    now[n] = '\0';
    if (strcmp(now, g_linkTarget) == 0)
        unlink(g_linkPath);
}

void onSignal(int)
{
    removeLink();
    _exit(1);
}

// ---------------------------------------------------------------------------
// Time

int64_t nowNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void sleepNs(int64_t ns)
{
    if (ns <= 0)
        return;
    timespec req{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    timespec rem;
    while (nanosleep(&req, &rem) != 0 && errno == EINTR)
        req = rem;
}

// ---------------------------------------------------------------------------
// Random bytes for the noise options (xorshift64*, so a seed always gives
// the same bytes).

struct Rng {
    uint64_t state;
    explicit Rng(uint64_t seed) : state(seed * 0x9E3779B97F4A7C15ull + 0x632BE59BD9B4E019ull)
    {
        if (state == 0)
            state = 1;
    }
    uint32_t next()
    {
        state ^= state >> 12;
        state ^= state << 25;
        state ^= state >> 27;
        return static_cast<uint32_t>((state * 0x2545F4914F6CDD1Dull) >> 32);
    }
};

// ---------------------------------------------------------------------------
// The session: the master side of the line and everything counted on it.

const size_t SCRATCH_SIZE = 64 * 1024;
const int64_t DRAIN_WINDOW_NS = 10ll * 1000000000;
// How long the updater must send nothing before a hang-up counts it as stopped.
const int64_t SETTLE_NS = 200ll * 1000000;

enum class Got { Data, Timeout, Closed };

class Device {
public:
    explicit Device(const Options& o) : opt_(o), rng_(o.seed) {}

    int run();

private:
    // setup
    bool loadExpected();
    bool openRecord();
    bool openLine();
    void waitForLineSettings();

    // line i/o
    Got receive(unsigned char* buf, size_t want, int64_t deadline, size_t& got);
    bool receiveExact(unsigned char* dst, size_t n);
    bool send(const unsigned char* p, size_t n);
    void drainAfterClose();
    void noteReceived(const unsigned char* p, size_t n);
    [[noreturn]] void hangUp();

    // pieces of the exchange
    bool sendNoise(uint64_t n, unsigned char forbidden);
    bool sendChatter(unsigned char forbidden);
    void lineClosed() { say("line closed by updater after %llu bytes", ull(total_)); }

    int finish(bool completed);
    void printVerdict();
    bool exact() const;

    static unsigned long long ull(uint64_t v) { return static_cast<unsigned long long>(v); }

    const Options& opt_;
    Rng rng_;
    int master_ = -1;
    int record_ = -1;
    uint64_t total_ = 0;

    // --expect
    bool haveExpect_ = false;
    std::vector<unsigned char> expected_;
    std::string note_;  // why nothing at all is expected
    bool mismatch_ = false;
    uint64_t mismatchAt_ = 0;
    unsigned char mismatchGot_ = 0, mismatchWant_ = 0;

    // --baud: a credit of bytes that grows at the line's byte rate and is
    // capped at one small piece, so an idle line never allows a burst.
    double rate_ = 0;       // bytes per second
    size_t piece_ = 0;      // largest single read
    bool paceStarted_ = false;
    double credit_ = 0;
    int64_t creditAt_ = 0;

    unsigned char scratch_[SCRATCH_SIZE];
};

bool Device::loadExpected()
{
    if (opt_.expect.empty())
        return true;
    FILE* f = fopen(opt_.expect.c_str(), "rb");
    if (!f) {
        fprintf(stderr, "trelvane-emu: cannot open %s: %s\n", opt_.expect.c_str(), strerror(errno));
        return false;
    }
    std::vector<unsigned char> img;
    unsigned char b[65536];
    size_t n;
    while ((n = fread(b, 1, sizeof b, f)) > 0)
        img.insert(img.end(), b, b + n);
    bool bad = ferror(f) != 0;
    fclose(f);
    if (bad) {
        fprintf(stderr, "trelvane-emu: cannot read %s\n", opt_.expect.c_str());
        return false;
    }
    haveExpect_ = true;
    expected_.clear();

    // An image whose length does not match its own chunk count is refused
    // by a correct updater before anything goes on the line.
    if (img.size() < HEADER_SIZE + LOADER_SIZE) {
        note_ = "image is too short to hold a header and a loader";
        return true;
    }
    const unsigned char* header = img.data();
    const unsigned char* loader = img.data() + HEADER_SIZE;
    int32_t chunks = chunkCount(loader);
    if (chunks < 0 || img.size() != static_cast<uint64_t>(expectedSize(chunks))) {
        char why[160];
        snprintf(why, sizeof why, "image of %llu bytes does not fit its %d chunks", ull(img.size()),
                 static_cast<int>(chunks));
        note_ = why;
        return true;
    }

    // Each announced hardware code may be one off the image's, as signed bytes;
    // anything further means the image is not for this device and nothing is
    // sent at all.
    auto fits = [](unsigned announced, unsigned char wanted) {
        int d = static_cast<signed char>(announced) - static_cast<signed char>(wanted);
        return d >= -1 && d <= 1;
    };
    if (!fits(opt_.hwA, header[1]) || !fits(opt_.hwB, header[2])) {
        char why[160];
        snprintf(why, sizeof why, "hardware %u,%u does not fit image hardware %u,%u", opt_.hwA,
                 opt_.hwB, header[1], header[2]);
        note_ = why;
        return true;
    }

    unsigned char offer[HEADER_SIZE];
    memcpy(offer, header, HEADER_SIZE);
    // Re-offering the version the device already has is marked as 9.99, so
    // the device installs it anyway.
    if (opt_.verMajor == header[3] && opt_.verMinor == header[4]) {
        offer[3] = 9;
        offer[4] = 99;
    }
    unsigned char goAhead[HEADER_SIZE];
    memcpy(goAhead, offer, HEADER_SIZE);
    goAhead[0] = 0xFC;

    expected_.insert(expected_.end(), offer, offer + HEADER_SIZE);
    expected_.insert(expected_.end(), goAhead, goAhead + HEADER_SIZE);
    expected_.insert(expected_.end(), loader, loader + LOADER_SIZE);
    size_t pos = HEADER_SIZE + LOADER_SIZE;
    for (int32_t k = 1; k <= chunks; ++k) {
        size_t size = k == 1 ? FIRST_CHUNK_SIZE : LATER_CHUNK_SIZE;
        expected_.insert(expected_.end(), img.begin() + static_cast<long>(pos),
                         img.begin() + static_cast<long>(pos + size));
        pos += size;
        if (k < chunks)
            expected_.push_back(SYNC_BYTE);
    }
    for (int i = 0; i < 3; ++i)
        expected_.push_back(SYNC_BYTE);
    return true;
}

bool Device::openRecord()
{
    if (opt_.record.empty())
        return true;
    record_ = open(opt_.record.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (record_ < 0) {
        fprintf(stderr, "trelvane-emu: cannot create %s: %s\n", opt_.record.c_str(), strerror(errno));
        return false;
    }
    return true;
}

bool Device::openLine()
{
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
        fprintf(stderr, "trelvane-emu: cannot create a pseudo-terminal: %s\n", strerror(errno));
        return false;
    }
    const char* slaveName = ptsname(master_);
    if (!slaveName || strlen(slaveName) >= sizeof g_linkTarget) {
        fprintf(stderr, "trelvane-emu: cannot name the pseudo-terminal\n");
        return false;
    }
    strcpy(g_linkTarget, slaveName);

    // Start the line at 9600 so that the updater's switch to its own speed is
    // what tells us it has the port open and configured. The slave is closed
    // again at once: with no slave open on our side, the updater closing the
    // port shows as EIO on the master, which is how a hang-up is noticed.
    int slave = open(g_linkTarget, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) {
        fprintf(stderr, "trelvane-emu: cannot open %s: %s\n", g_linkTarget, strerror(errno));
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
    close(slave);

    // Non-blocking, so that a write to a line nobody reads any more cannot
    // hang the emulator; every transfer waits in poll() instead.
    int fl = fcntl(master_, F_GETFL);
    if (fl >= 0)
        fcntl(master_, F_SETFL, fl | O_NONBLOCK);
    fcntl(master_, F_SETFD, FD_CLOEXEC);

    if (unlink(g_linkPath) != 0 && errno != ENOENT) {
        fprintf(stderr, "trelvane-emu: cannot remove %s: %s\n", g_linkPath, strerror(errno));
        return false;
    }
    if (symlink(g_linkTarget, g_linkPath) != 0) {
        fprintf(stderr, "trelvane-emu: cannot create %s: %s\n", g_linkPath, strerror(errno));
        return false;
    }
    g_linkMade = 1;
    say("device at %s -> %s", g_linkPath, g_linkTarget);
    return true;
}

void Device::waitForLineSettings()
{
    termios t;
    for (;;) {
        if (tcgetattr(master_, &t) == 0 && cfgetospeed(&t) == B115200)
            break;
        sleepNs(2000000);
    }

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
    if (wrong.empty())
        say("line set to 115200 8N1 raw");
    else
        say("line set to 115200 but not 8N1 raw: %s", wrong.c_str());
}

void Device::noteReceived(const unsigned char* p, size_t n)
{
    if (record_ >= 0) {
        const unsigned char* q = p;
        size_t left = n;
        while (left > 0) {
            ssize_t w = write(record_, q, left);
            if (w < 0) {
                if (errno == EINTR)
                    continue;
                fprintf(stderr, "trelvane-emu: writing %s: %s\n", opt_.record.c_str(), strerror(errno));
                close(record_);
                record_ = -1;
                break;
            }
            q += w;
            left -= static_cast<size_t>(w);
        }
    }
    if (haveExpect_ && !mismatch_) {
        for (size_t i = 0; i < n; ++i) {
            uint64_t at = total_ + i;
            if (at >= expected_.size())
                break;
            if (p[i] != expected_[at]) {
                mismatch_ = true;
                mismatchAt_ = at;
                mismatchGot_ = p[i];
                mismatchWant_ = expected_[at];
                break;
            }
        }
    }
    total_ += n;
}

void Device::hangUp()
{
    // Let the updater run into whatever stops it first (a full line or a
    // read) so that the hang-up finds it there, not in between.
    int pending = -1, last = -2;
    for (int i = 0; i < 100 && pending != last; ++i) {
        last = pending;
        sleepNs(SETTLE_NS);
        if (ioctl(master_, FIONREAD, &pending) != 0)
            break;
    }
    close(master_);
    master_ = -1;
    say("hung up after %llu bytes", ull(total_));
    printVerdict();
    if (record_ >= 0) {
        close(record_);
        record_ = -1;
    }
    removeLink();
    exit(3);
}

// Takes in up to `want` bytes, waiting until `deadline` (monotonic ns, or -1
// for no limit). Never reads past a --hangup-after count, and with --baud
// never faster than the line could carry them.
Got Device::receive(unsigned char* buf, size_t want, int64_t deadline, size_t& got)
{
    got = 0;
    if (opt_.hangup) {
        if (total_ >= opt_.hangupAfter)
            hangUp();
        uint64_t left = opt_.hangupAfter - total_;
        if (want > left)
            want = static_cast<size_t>(left);
    }
    if (piece_ && want > piece_)
        want = piece_;
    if (want == 0)
        return Got::Timeout;

    for (;;) {
        int timeout = -1;
        if (deadline >= 0) {
            int64_t left = deadline - nowNs();
            if (left <= 0)
                timeout = 0;
            else
                timeout = static_cast<int>(left / 1000000 + 1);
        }
        pollfd p{master_, POLLIN, 0};
        int r = poll(&p, 1, timeout);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return Got::Closed;
        }
        if (r == 0)
            return Got::Timeout;

        if (piece_) {
            int64_t now = nowNs();
            if (!paceStarted_) {
                // The first byte is taken as soon as it is there; from then on
                // the credit grows at the line's rate.
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
                    continue;
                if (credit_ < static_cast<double>(want))
                    want = static_cast<size_t>(credit_);
            }
        }

        ssize_t n = read(master_, buf, want);
        if (n > 0) {
            got = static_cast<size_t>(n);
            if (piece_)
                credit_ -= static_cast<double>(n);
            noteReceived(buf, got);
            if (opt_.hangup && total_ >= opt_.hangupAfter)
                hangUp();
            return Got::Data;
        }
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        // EIO (or end of file): nobody holds the slave side any more.
        return Got::Closed;
    }
}

bool Device::receiveExact(unsigned char* dst, size_t n)
{
    while (n > 0) {
        unsigned char* buf = dst ? dst : scratch_;
        size_t want = dst ? n : (n < SCRATCH_SIZE ? n : SCRATCH_SIZE);
        size_t got = 0;
        Got g = receive(buf, want, -1, got);
        if (g == Got::Closed)
            return false;
        if (dst)
            dst += got;
        n -= got;
    }
    return true;
}

// Takes in whatever the updater wrote before it closed the line, so the
// count is complete when a send is what noticed the hang-up.
void Device::drainAfterClose()
{
    size_t got = 0;
    while (receive(scratch_, SCRATCH_SIZE, nowNs() + 100000000, got) == Got::Data) {
    }
}

bool Device::send(const unsigned char* p, size_t n)
{
    while (n > 0) {
        ssize_t w = write(master_, p, n);
        if (w > 0) {
            p += w;
            n -= static_cast<size_t>(w);
            continue;
        }
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0 && errno != EAGAIN)
            return false;
        // Full: wait for room, unless the updater has gone and no room will
        // ever come.
        pollfd pf{master_, POLLOUT, 0};
        int r = poll(&pf, 1, -1);
        if (r < 0 && errno != EINTR)
            return false;
        if (r > 0 && !(pf.revents & POLLOUT) && (pf.revents & (POLLHUP | POLLERR | POLLNVAL)))
            return false;
    }
    return true;
}

// Random bytes with plenty of code bytes (0xF0-0xFE) in them, never the one
// the updater is waiting for, and always four zero bytes at the end: a code
// byte near the end then makes a complete (void) message of its own instead
// of swallowing the start of the real message that follows.
bool Device::sendNoise(uint64_t n, unsigned char forbidden)
{
    if (n == 0)
        return true;
    unsigned char codes[15];
    unsigned nCodes = 0;
    for (unsigned c = 0xF0; c <= 0xFE; ++c)
        if (c != forbidden)
            codes[nCodes++] = static_cast<unsigned char>(c);

    std::vector<unsigned char> noise;
    noise.reserve(static_cast<size_t>(n) + 4);
    for (uint64_t i = 0; i < n; ++i) {
        uint32_t r = rng_.next();
        if ((r & 7) == 0)
            noise.push_back(codes[(r >> 8) % nCodes]);
        else
            noise.push_back(static_cast<unsigned char>((r >> 8) % 0xF0));
    }
    for (int i = 0; i < 4; ++i)
        noise.push_back(0);
    if (!send(noise.data(), noise.size()))
        return false;
    say("sent %llu noise bytes", ull(n));
    return true;
}

// Messages the updater must pass over: void ones (a data byte with its top
// bit set) and well-formed ones with a code it is not waiting for.
bool Device::sendChatter(unsigned char forbidden)
{
    if (opt_.chatter == 0)
        return true;
    const unsigned char voidMsg[5] = {0xF1, 0x03, 0x81, 0x01, 0x46};
    unsigned char otherMsg[5] = {0xFE, 0x03, 0x01, 0x01, 0x46};
    if (otherMsg[0] == forbidden)
        otherMsg[0] = 0xFD;
    for (uint64_t i = 0; i < opt_.chatter; ++i) {
        if (!send(voidMsg, sizeof voidMsg) || !send(otherMsg, sizeof otherMsg))
            return false;
    }
    say("sent %llu chatter messages", ull(opt_.chatter * 2));
    return true;
}

bool Device::exact() const
{
    return haveExpect_ && !mismatch_ && total_ == expected_.size();
}

void Device::printVerdict()
{
    say("received %llu bytes", ull(total_));
    if (!haveExpect_)
        return;
    uint64_t want = expected_.size();
    if (mismatch_)
        say("expect: differs at offset %llu (got 0x%02X, want 0x%02X)", ull(mismatchAt_),
            mismatchGot_, mismatchWant_);
    else if (total_ < want)
        say("expect: short, got %llu of %llu bytes", ull(total_), ull(want));
    else if (total_ > want)
        say("expect: long, got %llu of %llu bytes", ull(total_), ull(want));
    else
        say("expect: exact (%llu bytes)", ull(total_));
}

int Device::finish(bool completed)
{
    printVerdict();
    if (record_ >= 0) {
        close(record_);
        record_ = -1;
    }
    if (master_ >= 0) {
        close(master_);
        master_ = -1;
    }
    removeLink();
    if (completed)
        return !haveExpect_ || exact() ? 0 : 1;
    return exact() ? 2 : 1;
}

int Device::run()
{
    if (opt_.baud > 0) {
        rate_ = static_cast<double>(opt_.baud) / 10.0;
        // Pieces of about 2 ms of line time: small enough to keep the pace
        // even, large enough not to wake up for every byte.
        double p = rate_ / 500.0;
        piece_ = p < 1 ? 1 : p > 4096 ? 4096 : static_cast<size_t>(p);
    }
    if (!loadExpected() || !openRecord())
        return 2;
    if (!openLine()) {
        removeLink();
        return 1;
    }
    if (haveExpect_) {
        if (expected_.empty())
            say("expecting nothing: %s", note_.c_str());
        else
            say("expecting %llu bytes", ull(expected_.size()));
    }

    waitForLineSettings();

    if (opt_.silent) {
        // A device that never answers: count whatever the updater tries until
        // it gives up and closes the port.
        size_t got = 0;
        while (receive(scratch_, SCRATCH_SIZE, -1, got) != Got::Closed) {
        }
        lineClosed();
        finish(false);
        return 1;
    }

    // 1. Announce.
    const unsigned char announce[5] = {0xFF, static_cast<unsigned char>(opt_.hwA),
                                       static_cast<unsigned char>(opt_.hwB),
                                       static_cast<unsigned char>(opt_.verMajor),
                                       static_cast<unsigned char>(opt_.verMinor)};
    if (!sendNoise(opt_.noiseBeforeAnnounce, 0xFF) || !sendChatter(0xFF) ||
        !send(announce, sizeof announce)) {
        drainAfterClose();
        lineClosed();
        return finish(false);
    }
    say("sent announce %s", hex(announce, sizeof announce).c_str());

    // 2. The updater's offer.
    unsigned char msg[HEADER_SIZE];
    if (!receiveExact(msg, sizeof msg)) {
        lineClosed();
        return finish(false);
    }
    say("got offer %s", hex(msg, sizeof msg).c_str());

    // 3. Two replies.
    const unsigned char replies[10] = {0xF1, 0, 0, 0, 0, 0xF2, 0, 0, 0, 0};
    if (!send(replies, sizeof replies)) {
        drainAfterClose();
        lineClosed();
        return finish(false);
    }
    say("sent 2 replies");

    // 4. Go-ahead.
    if (!receiveExact(msg, sizeof msg)) {
        lineClosed();
        return finish(false);
    }
    say("got go-ahead %s", hex(msg, sizeof msg).c_str());

    // 5. Ready for the loader.
    const unsigned char ready[5] = {0xFB, 0, 0, 0, 0};
    if (!sendNoise(opt_.noiseBeforeReady, 0xFB) || !sendChatter(0xFB) ||
        !send(ready, sizeof ready)) {
        drainAfterClose();
        lineClosed();
        return finish(false);
    }
    say("sent ready");

    // 6. Loader, which says how many chunks follow.
    unsigned char loader[LOADER_SIZE];
    if (!receiveExact(loader, sizeof loader)) {
        lineClosed();
        return finish(false);
    }
    int32_t chunks = chunkCount(loader);
    if (chunks < 0)
        chunks = 0;
    say("got loader, %d chunks", static_cast<int>(chunks));
    for (int32_t k = 1; opt_.earlySync && k < chunks; ++k) {
        if (!send(&opt_.sync, 1)) {
            drainAfterClose();
            lineClosed();
            return finish(false);
        }
    }

    // 7. The chunks, each but the last acknowledged with the sync byte,
    // which the updater answers with one byte of its own.
    for (int32_t k = 1; k <= chunks; ++k) {
        size_t size = k == 1 ? FIRST_CHUNK_SIZE : LATER_CHUNK_SIZE;
        if (!receiveExact(nullptr, size)) {
            lineClosed();
            return finish(false);
        }
        say("got chunk %d of %d", static_cast<int>(k), static_cast<int>(chunks));
        if (k < chunks) {
            if (!opt_.earlySync && !send(&opt_.sync, 1)) {
                drainAfterClose();
                lineClosed();
                return finish(false);
            }
            unsigned char answer;
            if (!receiveExact(&answer, 1)) {
                lineClosed();
                return finish(false);
            }
            say("got sync %02X", answer);
        }
    }

    // 8. Closing bytes.
    unsigned char last[3];
    if (!receiveExact(last, sizeof last)) {
        lineClosed();
        return finish(false);
    }
    say("got final bytes %s", hex(last, sizeof last).c_str());

    // 9. The updater should now let go of the port; anything more it sends
    // is counted against it.
    uint64_t before = total_;
    int64_t deadline = nowNs() + DRAIN_WINDOW_NS;
    Got g;
    size_t got = 0;
    do
        g = receive(scratch_, SCRATCH_SIZE, deadline, got);
    while (g == Got::Data);
    if (total_ > before)
        say("got %llu bytes after the final bytes", ull(total_ - before));
    if (g == Got::Closed)
        say("line closed by updater");
    else
        say("updater still holds the line");
    return finish(true);
}

} // namespace

int main(int argc, char** argv)
{
    static const Options opt = parseOptions(argc, argv);
    if (opt.link.size() >= sizeof g_linkPath)
        usage("--link path too long");
    strcpy(g_linkPath, opt.link.c_str());

    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sa.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &sa, nullptr);

    // The device holds a 64 KiB scratch buffer; keep it off the stack.
    static Device device(opt);
    int status = device.run();
    fflush(stdout);
    return status;
}
