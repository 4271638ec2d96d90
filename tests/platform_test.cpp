// The POSIX layer under the Windows names on a real pseudo-terminal: settings
// text, line set-up, exclusive open, time-outs and a hung-up line.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "link/serial.h"
#include "platform/posix/layer.h"

static volatile sig_atomic_t signalAfterExclusive = 0;

// In front of the C library's ioctl for the whole test program: every call
// goes to the kernel as it is, and once signalAfterExclusive is set, that
// signal comes right after the terminal's exclusive flag is set, before the
// layer takes its next step.
extern "C" int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    int r = static_cast<int>(syscall(SYS_ioctl, fd, request, arg));
    if (r == 0 && request == TIOCEXCL && signalAfterExclusive)
        raise(signalAfterExclusive);
    return r;
}

namespace {

// A pseudo-terminal whose device end is named as port COM5, with a
// descriptor of that end of the test's own to look at it through.
class PtyTest : public ::testing::Test {
protected:
    int master = -1, watch = -1;
    void SetUp() override
    {
        // A line that swallows bytes would leave a read waiting forever: the
        // alarm turns that into a failure.
        alarm(20);
        master = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master, 0);
        ASSERT_EQ(grantpt(master), 0);
        ASSERT_EQ(unlockpt(master), 0);
        setenv("TRELVANE_COM5", ptsname(master), 1);
        watch = open(ptsname(master), O_RDWR | O_NOCTTY);
        ASSERT_GE(watch, 0);
    }
    void TearDown() override
    {
        close(watch);
        if (master >= 0)
            close(master);
        unsetenv("TRELVANE_COM5");
        alarm(0);
    }
    HANDLE open5() { return CreateFileA("COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr); }
    // The bytes the port has received and not yet read, once count of them
    // are there or a second has passed.
    int queued(HANDLE h, int count)
    {
        int n = 0;
        for (int i = 0; i < 1000 && ioctl(fdOf(h), FIONREAD, &n) == 0 && n < count; ++i)
            usleep(1000);
        return n;
    }
    // Whether the terminal is kept from other opens, seen by another descriptor.
    int exclusive()
    {
        int on = -1;
        EXPECT_EQ(ioctl(watch, TIOCGEXCL, &on), 0);
        return on;
    }
};

// Each text is applied over the one before, which differs in every field, so
// a field parsed but not applied keeps the wrong value. A pseudo-terminal
// holds 8 data bits without parity whatever it is asked: a text asking for
// other data bits or parity must fail to apply, and the rest of it still shows.
TEST_F(PtyTest, SettingsTextIsParsedAndAppliedWhole)
{
    struct Case { const char* text; bool held; speed_t speed; tcflag_t shown; bool checked; };
    const Case parsed[] = {
        {"baud=115200 parity=N data=8 stop=1", true, B115200, CS8, false},
        {"BAUD=9600 PARITY=e DATA=7 STOP=2", false, B9600, CS8 | CSTOPB, true},
        {"baud=19200 parity=o data=5 stop=1", false, B19200, CS8 | PARODD, true},
        {"baud=57600 parity=n data=6 stop=2", false, B57600, CS8 | CSTOPB, false},
        {"baud=38400 parity=E data=8 stop=1", false, B38400, CS8, true},
        {"baud=9600 parity=N data=8 stop=2", true, B9600, CS8 | CSTOPB, false},
    };
    HANDLE h = open5();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    for (const Case& c : parsed) {
        DCB d{};
        d.DCBlength = sizeof d;
        ASSERT_TRUE(BuildCommDCBA(c.text, &d)) << c.text;
        EXPECT_EQ(SetCommState(h, &d) != FALSE, c.held) << c.text;
        termios t;
        ASSERT_EQ(tcgetattr(fdOf(h), &t), 0);
        EXPECT_EQ(cfgetospeed(&t), c.speed) << c.text;
        EXPECT_EQ(cfgetispeed(&t), c.speed) << c.text;
        EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS), c.shown) << c.text;
        EXPECT_EQ((t.c_iflag & INPCK) != 0, c.checked) << c.text << ": parity checked on the way in";
    }
    CloseHandle(h);

    for (const char* bad : {"", "baud=", "baud=fast", "baud=-5", "baud=12345", "baud=09600", "baud=9600x", "parity=X",
                            "parity=M", "data=9", "data=4", "stop=1.5", "stop=3", "speed=115200",
                            "baud 115200", "xon=off", "baud=115200 parity=N data=8 stop=1 dtr=on"}) {
        DCB d{};
        EXPECT_FALSE(BuildCommDCBA(bad, &d)) << bad;
    }
}

TEST_F(PtyTest, ConfiguresARawLineAndKeepsWhatIsWaiting)
{
    HANDLE h = open5();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    // The device spoke before the port was set up: its bytes must survive.
    // The line starts raw at another speed, so that they are queued as they
    // are, and with hardware flow control, under which a three-wire cable
    // would never let a byte out.
    termios start;
    ASSERT_EQ(tcgetattr(fdOf(h), &start), 0);
    cfmakeraw(&start);
    start.c_cflag |= CRTSCTS;
    cfsetspeed(&start, B9600);
    ASSERT_EQ(tcsetattr(fdOf(h), TCSANOW, &start), 0);
    ASSERT_EQ(write(master, "\xFF\x03\x01", 3), 3);
    ASSERT_EQ(queued(h, 3), 3);
    DCB d{};
    d.DCBlength = sizeof d;
    ASSERT_TRUE(BuildCommDCBA("baud=115200 parity=N data=8 stop=1", &d));
    ASSERT_TRUE(SetCommState(h, &d));
    EXPECT_EQ(queued(h, 0), 3) << "configuring discarded what was waiting";

    termios t;
    ASSERT_EQ(tcgetattr(fdOf(h), &t), 0);
    EXPECT_EQ(t.c_cflag & (CREAD | CLOCAL | CRTSCTS), static_cast<tcflag_t>(CREAD | CLOCAL));
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP), 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_cc[VMIN], 1);

    // Bytes pass unchanged both ways, CR and special characters included.
    ASSERT_EQ(write(master, "\r\x03\n", 3), 3);
    ASSERT_EQ(queued(h, 6), 6) << "bytes lost on the way in";
    unsigned char got[6];
    DWORD n = 0, total = 0;
    while (total < 6 && ReadFile(h, got + total, 6 - total, &n, nullptr))
        total += n;
    EXPECT_EQ(0, memcmp(got, "\xFF\x03\x01\r\x03\n", 6));
    ASSERT_TRUE(WriteFile(h, "\n\r\x7F", 3, &n, nullptr));
    EXPECT_EQ(n, 3u);
    char back[3];
    ASSERT_EQ(read(master, back, 3), 3);
    EXPECT_EQ(0, memcmp(back, "\n\r\x7F", 3));
    EXPECT_TRUE(CloseHandle(h));
}

TEST_F(PtyTest, OpenIsExclusiveAndNamesMustExist)
{
    HANDLE h = open5();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(open5(), INVALID_HANDLE_VALUE) << "a second user of the same device";
    EXPECT_EQ(exclusive(), 1) << "other programs can open the port while it is in use";
    CloseHandle(h);
    EXPECT_EQ(exclusive(), 0) << "the port stays closed to others after its close";
    h = open5();
    EXPECT_NE(h, INVALID_HANDLE_VALUE) << "free again after the close";
    CloseHandle(h);

    setenv("TRELVANE_COM5", "/nonexistent/trelvane-port", 1);
    EXPECT_EQ(open5(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(CreateFileA("COMC", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(CreateFileA("COM0", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
}

TEST_F(PtyTest, PlainFileOpensButIsNoSerialLine)
{
    char path[] = "/tmp/trelvane-plainXXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    setenv("TRELVANE_COM5", path, 1);
    HANDLE h = open5();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DCB d{};
    ASSERT_TRUE(BuildCommDCBA("baud=115200 parity=N data=8 stop=1", &d));
    EXPECT_FALSE(SetCommState(h, &d));
    CloseHandle(h);
    unlink(path);
}

// As on Windows: a read on a hung-up line moves nothing, a write fails, and
// the port says it is gone, where a live silent line says it is there.
TEST_F(PtyTest, HungUpLineIsToldFromASilentOne)
{
    HANDLE h = open5();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD errors = 99;
    COMSTAT stat;
    ASSERT_EQ(write(master, "ab", 2), 2);
    ASSERT_EQ(queued(h, 2), 2);
    EXPECT_TRUE(ClearCommError(h, &errors, &stat)) << "a line with bytes waiting is still there";
    EXPECT_EQ(errors, 0u);
    char got[2];
    DWORD n = 0;
    ASSERT_TRUE(ReadFile(h, got, 2, &n, nullptr));
    EXPECT_TRUE(ClearCommError(h, &errors, &stat)) << "a silent line is still there";

    close(master);
    master = -1;
    char c;
    n = 99;
    BOOL ok = ReadFile(h, &c, 1, &n, nullptr);
    EXPECT_TRUE(!ok || n == 0) << "a hung-up line delivered a byte";
    EXPECT_EQ(n, 0u);
    EXPECT_FALSE(ClearCommError(h, &errors, &stat));
    static char data[4097];
    EXPECT_FALSE(WriteFile(h, data, sizeof data, &n, nullptr));
    CloseHandle(h);
}

// Until its settings are applied a port's line is already raw at the speed it
// had: the device's bytes are neither echoed back nor taken as signals.
TEST_F(PtyTest, LineIsRawFromTheOpen)
{
    termios before;
    ASSERT_EQ(tcgetattr(watch, &before), 0);
    ASSERT_TRUE(before.c_lflag & ECHO) << "a new terminal should start cooked";

    HANDLE h = open5();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    const char announce[] = "\xFF\x03\x01\x01\x46\r\x7F";
    ASSERT_EQ(write(master, announce, 7), 7);
    char got[8];
    DWORD n = 0, total = 0;
    while (total < 7 && ReadFile(h, got + total, 7 - total, &n, nullptr) && n > 0)
        total += n;
    ASSERT_EQ(total, 7u);
    EXPECT_EQ(0, memcmp(got, announce, 7));
    int echoed = -1;
    ASSERT_EQ(ioctl(master, FIONREAD, &echoed), 0);
    EXPECT_EQ(echoed, 0) << "the line echoed the device's bytes";
    termios t;
    ASSERT_EQ(tcgetattr(fdOf(h), &t), 0);
    EXPECT_EQ(cfgetospeed(&t), cfgetospeed(&before)) << "the speed is the settings' business";
    CloseHandle(h);
}

// Time-outs, the updater's own: a silent line returns nothing after the
// wait, a waiting byte at once; applying the line settings afterwards keeps
// them. The wait is bounded both ways: 3 s is over five times what a read of
// a silent line takes (0.50 to 0.52 s measured), so a wait counted ten times
// too long, by the link or by this layer, is caught.
TEST_F(PtyTest, ReadsWaitAsTheTimeOutsSay)
{
    HANDLE h = open5();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetCommTimeouts(h, &lineTimeouts));
    DCB d{};
    ASSERT_TRUE(BuildCommDCBA("baud=115200 parity=N data=8 stop=1", &d));
    ASSERT_TRUE(SetCommState(h, &d));

    char c = 0;
    DWORD n = 99;
    timespec t0, t1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    ASSERT_TRUE(ReadFile(h, &c, 1, &n, nullptr));
    clock_gettime(CLOCK_MONOTONIC, &t1);
    EXPECT_EQ(n, 0u);
    double waited = (t1.tv_sec - t0.tv_sec) + (t1.tv_nsec - t0.tv_nsec) / 1e9;
    EXPECT_GE(waited, 0.9 * lineTimeouts.ReadTotalTimeoutConstant / 1000) << "a silent line is waited on";
    EXPECT_LT(waited, 3.0) << "a read on a silent line must give up";

    ASSERT_EQ(write(master, "z", 1), 1);
    ASSERT_TRUE(ReadFile(h, &c, 1, &n, nullptr));
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(c, 'z');

    COMMTIMEOUTS atOnce = {MAXDWORD, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(h, &atOnce));
    ASSERT_TRUE(ReadFile(h, &c, 1, &n, nullptr));
    EXPECT_EQ(n, 0u);
    CloseHandle(h);
}

// A pause lasts at least as long as asked, its part below a second included:
// the pause after a transfer that moved nothing is what keeps a driver that
// ignores the time-outs from spinning.
TEST(Pause, LastsAsLongAsAsked)
{
    for (DWORD ms : {20u, 1005u}) {
        timespec t0, t1;
        clock_gettime(CLOCK_MONOTONIC, &t0);
        Sleep(ms);
        clock_gettime(CLOCK_MONOTONIC, &t1);
        double waited = (t1.tv_sec - t0.tv_sec) + (t1.tv_nsec - t0.tv_nsec) / 1e9;
        EXPECT_GE(waited, ms / 1000.0) << ms << " ms";
    }
}

// Clearing what is queued to go out keeps what came in.
TEST_F(PtyTest, PurgingOutputKeepsInput)
{
    HANDLE h = open5();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_EQ(write(master, "in", 2), 2);
    ASSERT_EQ(queued(h, 2), 2);
    EXPECT_TRUE(PurgeComm(h, PURGE_TXCLEAR));
    EXPECT_EQ(queued(h, 0), 2);
    CloseHandle(h);
}

// However the process ends, by any of the signals a user or a system sends,
// even one that comes right after the exclusive flag is set, no one else is
// kept off the port afterwards. A signal the caller told it to ignore (nohup,
// a background job) it survives, the port still its own.
TEST_F(PtyTest, SignalsReleaseExclusiveUse)
{
    enum When { Later, InOpen, Ignored };
    struct Case { int sig; When when; };
    const Case cases[] = {{SIGINT, Later}, {SIGTERM, Later}, {SIGHUP, Later}, {SIGQUIT, Later},
                          {SIGTERM, InOpen}, {SIGHUP, Ignored}, {SIGINT, Ignored}};
    for (const Case& c : cases) {
        // The layer sets its handlers once per process: a child can only
        // show how it treats an ignored signal where no port was opened
        // before (ctest runs each test in a process of its own).
        struct sigaction now{};
        sigaction(c.sig, nullptr, &now);
        if (c.when == Ignored && now.sa_handler != SIG_DFL)
            GTEST_SKIP() << "a port was opened in this process before: run this test alone";
        const pid_t parent = getpid(), child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            // Ends with this test's process at its alarm, whatever it is
            // doing: left running, it would keep the test runner waiting.
            if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent)
                _exit(6);
            if (c.when == Ignored)
                signal(c.sig, SIG_IGN);
            signalAfterExclusive = c.when == InOpen ? c.sig : 0;
            HANDLE h = open5();
            if (h == INVALID_HANDLE_VALUE)
                _exit(3);
            raise(c.sig);
            int held = 0;
            ioctl(watch, TIOCGEXCL, &held);
            CloseHandle(h);
            _exit(held == 1 ? 4 : 5);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        if (c.when == Ignored) {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 4)
                << "ignored signal " << c.sig << ": status " << status << ", want exit 4";
        } else {
            ASSERT_TRUE(WIFSIGNALED(status)) << "signal " << c.sig << ", status " << status;
            EXPECT_EQ(WTERMSIG(status), c.sig);
        }
        EXPECT_EQ(exclusive(), 0) << "port left exclusive after signal " << c.sig
                                  << (c.when == InOpen ? " right after its flag" : "");
    }
}

} // namespace
