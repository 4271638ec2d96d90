// The POSIX layer under the Windows names on a real pseudo-terminal: settings
// text, line set-up, exclusive open, time-outs and a hung-up line.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <string>
#include <utility>
#include <sys/ioctl.h>
#include <sys/mman.h>
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

const char LINE_SETTINGS[] = "baud=115200 parity=N data=8 stop=1";

HANDLE openPort(const char* name)
{
    return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

template <typename Call>
double secondsOf(Call call)
{
    const auto start = std::chrono::steady_clock::now();
    call();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A pseudo-terminal whose device end is opened as the port by its path, with a
// descriptor of that end of the test's own to look at it through; h is the
// port the test opened, closed after it.
class PtyTest : public ::testing::Test {
protected:
    int master = -1, watch = -1;
    HANDLE h = INVALID_HANDLE_VALUE;
    void SetUp() override
    {
        // A line that swallows bytes would leave a read waiting forever: the
        // alarm turns that into a failure.
        alarm(20);
        master = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master, 0);
        ASSERT_EQ(grantpt(master), 0);
        ASSERT_EQ(unlockpt(master), 0);
        port = ptsname(master);
        watch = open(ptsname(master), O_RDWR | O_NOCTTY);
        ASSERT_GE(watch, 0);
    }
    void TearDown() override
    {
        CloseHandle(h);  // an invalid handle is refused, harmlessly
        close(watch);
        close(master);
        alarm(0);
    }
    std::string port;
    bool open5() { return (h = openPort(port.c_str())) != INVALID_HANDLE_VALUE; }
    // A record as Windows takes it, as the text gives it, then changed by `edit`.
    bool configure(const char* text = LINE_SETTINGS, const std::function<void(DCB&)>& edit = nullptr)
    {
        DCB d{};
        d.DCBlength = sizeof d;
        d.fBinary = TRUE;
        d.XonChar = 0x01;  // not the terminal's own: handed on or not, it shows
        d.XoffChar = 0x02;
        if (!BuildCommDCBA(text, &d))
            return false;
        if (edit)
            edit(d);
        return SetCommState(h, &d);
    }
    // The bytes fd has received and not yet read (the port's by default),
    // once count of them are there or a second has passed.
    int queued(int count, int fd = -1)
    {
        int n = 0;
        for (int i = 0; i < 1000 && ioctl(fd < 0 ? fdOf(h) : fd, FIONREAD, &n) == 0 && n < count; ++i)
            usleep(1000);
        return n;
    }
    // Up to count bytes from the port, until a read moves nothing.
    std::string readPort(size_t count)
    {
        std::string got(count, '\0');
        DWORD n = 0, total = 0;
        while (total < count && ReadFile(h, &got[total], static_cast<DWORD>(count - total), &n, nullptr) && n > 0)
            total += n;
        return got.substr(0, total);
    }
    // Whether the terminal is kept from other opens, seen by another descriptor.
    int exclusive()
    {
        int on = -1;
        EXPECT_EQ(ioctl(watch, TIOCGEXCL, &on), 0);
        return on;
    }
};

// The updater's line, applied over a terminal set otherwise (9600 baud, 2
// stop bits, the terminal's own start and stop characters), shows whole. A
// record is refused where Windows refuses it (another length, text mode,
// XON = XOFF), for any other line, and for every field the layer does not
// apply unless it is as the cleared record has it.
TEST_F(PtyTest, SettingsTextIsParsedAndAppliedWhole)
{
    ASSERT_TRUE(open5());
    termios t;
    ASSERT_EQ(tcgetattr(fdOf(h), &t), 0);
    t.c_cflag |= CSTOPB;
    ASSERT_EQ(cfsetospeed(&t, B9600), 0);
    ASSERT_EQ(tcsetattr(fdOf(h), TCSANOW, &t), 0);
    for (const char* text : {LINE_SETTINGS, "STOP=1 DATA=8 Parity=n BAUD=115200"}) {
        EXPECT_TRUE(configure(text)) << text;
        ASSERT_EQ(tcgetattr(fdOf(h), &t), 0);
        EXPECT_EQ(cfgetospeed(&t), B115200) << text;
        EXPECT_EQ(cfgetispeed(&t), B115200) << text;
        EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), CS8) << text;
        EXPECT_EQ(t.c_cc[VSTART] * 256 + t.c_cc[VSTOP], 0x0102) << text << ": start and stop characters";
    }
    EXPECT_FALSE(configure(LINE_SETTINGS, [](DCB& d) { d.XoffChar = d.XonChar; })) << "XON = XOFF";
    EXPECT_FALSE(configure(LINE_SETTINGS, [](DCB& d) { d.ByteSize = 5, d.StopBits = TWOSTOPBITS; })) << "5 data bits, 2 stop bits";
    // Any one bit of the record changed (its length, the speed, each flag
    // alone, the data bits, parity and stop bits, every field the layer does
    // not apply) is refused, but the ENABLE of DTR (flag bit 4) and RTS (flag
    // bit 12) and the start and stop characters.
    for (size_t bit = 0; bit < 8 * sizeof(DCB); ++bit) {
        const size_t at = bit / 8;
        if (bit == 64 + 4 || bit == 64 + 12 || at == offsetof(DCB, XonChar) || at == offsetof(DCB, XoffChar))
            continue;
        EXPECT_FALSE(configure(LINE_SETTINGS, [&](DCB& d) { reinterpret_cast<unsigned char*>(&d)[at] ^= 1u << bit % 8; }))
            << "bit " << bit % 8 << " of byte " << at;
    }
    EXPECT_TRUE(configure(LINE_SETTINGS, [](DCB& d) { d.fDtrControl = d.fRtsControl = 1; }))
        << "DTR and RTS on, on a line without them";
    for (const char* bad : {"", "baud=", "baud=9600", "baud=0115200", "parity=E", "data=7", "stop=2",
                            "stop=1.5", "speed=115200", "baud 115200", "xon=off", "dtr=off",
                            "baud=115200 parity=N data=8 stop=1 dtr=on"}) {
        DCB d{};
        EXPECT_FALSE(BuildCommDCBA(bad, &d)) << bad;
        EXPECT_EQ(d.BaudRate, 0u) << bad << ": a text that fails leaves the record as it was";
    }
}

// The device may speak before the port is set up. From the open the line is
// raw at the speed it had, so its bytes are neither echoed back nor taken as
// signals, and applying the settings keeps them, as clearing what is queued
// to go out does. Hardware flow control, under which a three-wire cable would
// never let a byte out, goes with the settings.
TEST_F(PtyTest, LineIsRawFromTheOpenAndKeepsWhatIsWaiting)
{
    termios before, start;
    ASSERT_EQ(tcgetattr(watch, &before), 0);
    ASSERT_TRUE(before.c_lflag & ECHO) << "a new terminal should start cooked";
    // An announce that came while the line was cooked (unechoed here), its
    // 0x04 taken for an end of line: gone with the open, not misread.
    termios unechoed = before;
    unechoed.c_lflag &= ~ECHO;
    ASSERT_EQ(tcsetattr(watch, TCSANOW, &unechoed), 0);
    ASSERT_EQ(write(master, "\xFF\x04\x02\x01\x63", 5), 5);
    ASSERT_TRUE(open5());
    ASSERT_EQ(tcgetattr(fdOf(h), &start), 0);
    EXPECT_EQ(cfgetospeed(&start), cfgetospeed(&before)) << "the speed is the settings' business";
    start.c_cflag |= CRTSCTS;
    ASSERT_EQ(tcsetattr(fdOf(h), TCSANOW, &start), 0);
    const std::string announce("\xFF\x03\x01\x01\x46\r\x7F", 7);
    ASSERT_EQ(write(master, announce.data(), 7), 7);
    ASSERT_EQ(queued(7), 7);
    ASSERT_TRUE(configure());
    EXPECT_EQ(queued(0), 7) << "configuring discarded what was waiting";
    EXPECT_TRUE(PurgeComm(h, PURGE_TXCLEAR));
    EXPECT_EQ(queued(0), 7) << "clearing the output discarded the input";

    termios t;
    ASSERT_EQ(tcgetattr(fdOf(h), &t), 0);
    EXPECT_EQ(t.c_cflag & (CREAD | CLOCAL | CRTSCTS), static_cast<tcflag_t>(CREAD | CLOCAL));
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP), 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_cc[VMIN], 1);

    // Bytes pass unchanged both ways, CR and special characters included.
    ASSERT_EQ(write(master, "\r\x03\n", 3), 3);
    EXPECT_EQ(readPort(10), announce + "\r\x03\n");
    EXPECT_EQ(queued(0, master), 0) << "the line echoed the device's bytes";
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h, "\n\r\x7F", 3, &n, nullptr));
    EXPECT_EQ(n, 3u);
    char back[3];
    ASSERT_EQ(read(master, back, 3), 3);
    EXPECT_EQ(0, memcmp(back, "\n\r\x7F", 3));
    ASSERT_EQ(write(master, "xyz", 3), 3);
    ASSERT_EQ(queued(3), 3);
    EXPECT_TRUE(PurgeComm(h, PURGE_RXCLEAR));
    EXPECT_EQ(queued(0), 0) << "clearing the input kept what was received";
}

// A port opens for one user at a time, kept from other programs while open;
// a name opens only what exists, and a plain file is no serial line.
TEST_F(PtyTest, OpenIsExclusiveAndNamesMustExist)
{
    ASSERT_TRUE(open5());
    EXPECT_EQ(openPort(port.c_str()), INVALID_HANDLE_VALUE) << "a second user of the same device";
    EXPECT_EQ(exclusive(), 1) << "other programs can open the port while it is in use";
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(exclusive(), 0) << "the port stays closed to others after its close";
    EXPECT_TRUE(open5()) << "free again after the close";

    // Names of no port open nothing, even with a file of that name in the
    // current folder: COM10 and above need Windows' device prefix, and no
    // port is named COMC, COM0 or COM07.
    EXPECT_EQ(openPort("/nonexistent/trelvane-port"), INVALID_HANDLE_VALUE);
    const char* tmp = getenv("TMPDIR");
    std::string folder = std::string(tmp && *tmp ? tmp : "/tmp") + "/trelvane-names-XXXXXX";
    ASSERT_NE(mkdtemp(&folder[0]), nullptr);
    const int back = open(".", O_RDONLY | O_DIRECTORY);
    ASSERT_EQ(chdir(folder.c_str()), 0);
    for (const char* name : {"COM10", "com12", "COMC", "COM0", "\\\\.\\COM0", "\\\\.\\COM07", "\\\\.\\file"}) {
        close(open(name, O_CREAT | O_WRONLY, 0600));
        EXPECT_EQ(openPort(name), INVALID_HANDLE_VALUE) << name;
        unlink(name);
    }
    EXPECT_EQ(fchdir(back), 0);
    close(back);
    rmdir(folder.c_str());
    const int plain = memfd_create("plain", 0);  // a plain file in memory: no folder holds it
    const std::string plainPath = "/proc/self/fd/" + std::to_string(plain);
    CloseHandle(h);
    port = plainPath;
    EXPECT_TRUE(open5()) << "a plain file opens";
    EXPECT_FALSE(configure()) << "a plain file took line settings";
    close(plain);
}

// As on Windows: a read on a hung-up line moves nothing, a write fails, and
// the port says it is gone, where a live silent line says it is there.
TEST_F(PtyTest, HungUpLineIsToldFromASilentOne)
{
    ASSERT_TRUE(open5());
    DWORD errors = 99, n = 99;
    ASSERT_EQ(write(master, "ab", 2), 2);
    ASSERT_EQ(queued(2), 2);
    EXPECT_TRUE(ClearCommError(h, &errors, nullptr)) << "a line with bytes waiting is still there";
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(readPort(2), "ab");
    EXPECT_TRUE(ClearCommError(h, &errors, nullptr)) << "a silent line is still there";

    close(master);
    master = -1;
    char c;
    ReadFile(h, &c, 1, &n, nullptr);
    EXPECT_EQ(n, 0u) << "a hung-up line delivered a byte";
    EXPECT_FALSE(ClearCommError(h, &errors, nullptr));
    static char data[4097];
    EXPECT_FALSE(WriteFile(h, data, sizeof data, &n, nullptr));
}

// Time-outs, the updater's own: a silent line returns nothing after the
// wait, a waiting byte at once; applying the line settings afterwards keeps
// them. The wait is bounded both ways: 3 s is over five times what a read of
// a silent line takes (0.50 to 0.52 s measured), so a wait counted ten times
// too long, by the link or by this layer, is caught.
TEST_F(PtyTest, ReadsWaitAsTheTimeOutsSay)
{
    ASSERT_TRUE(open5());
    ASSERT_TRUE(SetCommTimeouts(h, &lineTimeouts));
    ASSERT_TRUE(configure());
    const double waited = secondsOf([&] { EXPECT_EQ(readPort(1), ""); });
    EXPECT_GE(waited, 0.9 * lineTimeouts.ReadTotalTimeoutConstant / 1000) << "a silent line is waited on";
    EXPECT_LT(waited, 3.0) << "a read on a silent line must give up";
    ASSERT_EQ(write(master, "z", 1), 1);
    EXPECT_EQ(readPort(1), "z");

    COMMTIMEOUTS atOnce = {MAXDWORD, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(h, &atOnce));
    EXPECT_EQ(readPort(1), "");
}

// A pause lasts at least as long as asked, its part below a second included:
// the pause after a transfer that moved nothing is what keeps a driver that
// ignores the time-outs from spinning.
TEST(Pause, LastsAsLongAsAsked)
{
    for (DWORD ms : {20u, 1005u})
        EXPECT_GE(secondsOf([&] { Sleep(ms); }), ms / 1000.0) << ms << " ms";
}

// However the process ends, by any of the signals a user or a system sends,
// even one that comes right after the exclusive flag is set, no one else is
// kept off the port afterwards. A signal the caller told it to ignore (nohup,
// a background job) it survives, the port still its own.
TEST_F(PtyTest, SignalsReleaseExclusiveUse)
{
    enum When { Later, InOpen, Ignored };
    const std::pair<int, When> cases[] = {{SIGINT, Later}, {SIGTERM, Later}, {SIGHUP, Later}, {SIGQUIT, Later},
                                          {SIGPIPE, Later}, {SIGTERM, InOpen}, {SIGHUP, Ignored}, {SIGINT, Ignored}};
    for (const auto& [sig, when] : cases) {
        // The layer sets its handlers once per process: a child can only
        // show how it treats an ignored signal where no port was opened
        // before (ctest runs each test in a process of its own).
        struct sigaction now{};
        sigaction(sig, nullptr, &now);
        if (when == Ignored && now.sa_handler != SIG_DFL)
            GTEST_SKIP() << "a port was opened in this process before: run this test alone";
        const pid_t parent = getpid(), child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            // Ends with this test's process at its alarm, whatever it is
            // doing: left running, it would keep the test runner waiting.
            if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent)
                _exit(6);
            if (when == Ignored)
                signal(sig, SIG_IGN);
            signalAfterExclusive = when == InOpen ? sig : 0;
            if (!open5())
                _exit(3);
            raise(sig);
            const int held = exclusive();
            CloseHandle(h);
            _exit(held == 1 ? 4 : 5);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(when == Ignored ? WIFEXITED(status) && WEXITSTATUS(status) == 4
                                    : WIFSIGNALED(status) && WTERMSIG(status) == sig)
            << "signal " << sig << (when == Ignored ? " (ignored)" : "") << ": status " << status;
        EXPECT_EQ(exclusive(), 0) << "port left exclusive after signal " << sig
                                  << (when == InOpen ? " right after its flag" : "");
    }
}

} // namespace
