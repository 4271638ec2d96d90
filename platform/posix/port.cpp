// A serial port behind the Windows calls the updater makes: open, line
// settings, time-outs and close.
#include <ctype.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "platform/posix/layer.h"

namespace {

// The device behind a port name: TRELVANE_<name> if set, else COM1..COM9 as
// /dev/ttyS0..8. Writes it into path; false for other names, and for a path
// too long for it, which is never opened cut short.
bool devicePath(const char* name, char* path, size_t room)
{
    char var[64];
    if (static_cast<size_t>(snprintf(var, sizeof var, "TRELVANE_%s", name)) >= sizeof var)
        return false;
    const char* named = getenv(var);
    int n = 0;
    if (named && *named)
        n = snprintf(path, room, "%s", named);
    else if (strncmp(name, "COM", 3) == 0 && name[3] >= '1' && name[3] <= '9' && name[4] == '\0')
        n = snprintf(path, room, "/dev/ttyS%d", name[3] - '1');
    else
        return false;
    return n > 0 && static_cast<size_t>(n) < room;
}

// Every byte passes unchanged both ways: no echo, no special characters, no
// flow control, and the modem lines ignored. A read waits for a byte.
void makeRaw(termios& tio)
{
    cfmakeraw(&tio);
    tio.c_iflag &= ~(IXOFF | IXANY | INPCK);
    tio.c_cflag &= ~CRTSCTS;
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
}

// TCSANOW: whatever the device has already sent stays in the port.
bool apply(int fd, const termios& tio)
{
    return retried([&] { return tcsetattr(fd, TCSANOW, &tio); }) == 0;
}

int fail(int fd)
{
    close(fd);
    return -1;
}

// Opens a port for this process alone. A terminal's line stays cooked until
// it is configured: it would echo the device's bytes back to it and take a
// 0x03 for an interrupt. Made raw at once, at the speed it has, nothing that
// arrives before the settings are applied is answered or changed; reads wait
// for a byte until time-outs are set. What came in while it was still cooked
// (a driver hands over what it held the moment the port opens) may already
// be changed: a 0x04 ends a line as a 0x00, a 0x03 empties the queue, a CR
// turns into a newline. It is dropped, so that a device's hardware codes are
// never misread; a device announces again until it is answered.
int openPort(const char* path)
{
    // Non-blocking only for the open itself: a modem line without carrier
    // would otherwise hold the open until carrier appears.
    int fd = retried([&] { return open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC); });
    if (fd < 0)
        return -1;
    // Exclusive use, as Windows gives it: the advisory lock keeps out other
    // updaters and well-behaved programs, and is taken first so that a busy
    // port's line is left alone; the terminal's exclusive flag keeps out
    // other opens of it by unprivileged programs.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0)
        return fail(fd);
    termios tio;
    if (isatty(fd)) {
        if (tcgetattr(fd, &tio) != 0)
            return fail(fd);
        makeRaw(tio);
        if (!apply(fd, tio) || tcflush(fd, TCIFLUSH) != 0 || !holdPort(fd))
            return fail(fd);
    }
    int fl = fcntl(fd, F_GETFL);
    if (fl < 0 || fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) != 0) {
        CloseHandle(handleOf(fd));
        return -1;
    }
    return fd;
}

// Case-insensitive match of a settings word.
bool is(const char* text, size_t len, const char* word)
{
    return strlen(word) == len && strncasecmp(text, word, len) == 0;
}

const struct Speed { DWORD baud; speed_t speed; } speeds[] = {
    {9600, B9600}, {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200},
};

speed_t speedOf(DWORD baud)
{
    for (const Speed& s : speeds)
        if (s.baud == baud)
            return s.speed;
    return B0;
}

bool setKey(DCB* dcb, const char* key, size_t keyLen, const char* v, size_t n)
{
    if (is(key, keyLen, "baud")) {
        // Digits only, as the speed is written: no sign, no leading zero.
        if (n == 0 || n > 6 || v[0] == '0' || strspn(v, "0123456789") != n)
            return false;
        DWORD baud = static_cast<DWORD>(strtoul(v, nullptr, 10));
        if (speedOf(baud) == B0)
            return false;
        dcb->BaudRate = baud;
    } else if (is(key, keyLen, "parity")) {
        static const char letters[] = "noe";  // index is the Windows parity value
        const char* p = n == 1 ? strchr(letters, tolower(static_cast<unsigned char>(v[0]))) : nullptr;
        if (!p || !*p)
            return false;
        dcb->Parity = static_cast<BYTE>(p - letters);
    } else if (is(key, keyLen, "data")) {
        if (n != 1 || v[0] < '5' || v[0] > '8')
            return false;
        dcb->ByteSize = static_cast<BYTE>(v[0] - '0');
    } else if (is(key, keyLen, "stop")) {
        if (is(v, n, "1"))
            dcb->StopBits = ONESTOPBIT;
        else if (is(v, n, "2"))
            dcb->StopBits = TWOSTOPBITS;
        else
            return false;
    } else {
        return false;
    }
    return true;
}

// What Windows refuses in a settings record, refused here too, so that a
// record that a Windows driver would turn down fails on Linux as well: a
// length other than the record's, text mode ("Windows does not support
// nonbinary mode transfers"), XON and XOFF characters that are equal, which
// SetCommState refuses even with flow control off, and 5 data bits with 2
// stop bits, which a 16550 cannot send. Flow control of any kind this layer
// cannot give, and says so rather than run without it.
bool takes(const DCB& d)
{
    return d.DCBlength == sizeof d && d.fBinary && d.XonChar != d.XoffChar
        && !(d.ByteSize == 5 && d.StopBits == TWOSTOPBITS) && !d.fOutxCtsFlow
        && !d.fOutxDsrFlow && !d.fDsrSensitivity && !d.fOutX && !d.fInX
        && d.fDtrControl <= DTR_CONTROL_ENABLE && d.fRtsControl <= RTS_CONTROL_ENABLE;
}

// DTR and RTS as the record says, as Windows drives them: down for DISABLE,
// up for ENABLE. The kernel raises both when a port opens; a device that
// reads them (a reset, a boot pin, a USB device waiting for DTR) sees the
// same line from both programs. A line without modem lines (a
// pseudo-terminal) has none to drive.
bool driveModemLines(int fd, const DCB& d)
{
    int up = (d.fDtrControl == DTR_CONTROL_ENABLE ? TIOCM_DTR : 0)
           | (d.fRtsControl == RTS_CONTROL_ENABLE ? TIOCM_RTS : 0);
    int down = (TIOCM_DTR | TIOCM_RTS) & ~up;
    auto set = [fd](unsigned long request, int bits) {
        return bits == 0 || retried([&] { return ioctl(fd, request, &bits); }) == 0 || errno == ENOTTY
            || errno == EINVAL;
    };
    return set(TIOCMBIS, up) && set(TIOCMBIC, down);
}

// The descriptor of a terminal and its settings now; -1 for anything else.
int terminalOf(HANDLE h, termios& tio)
{
    int fd = fdOf(h);
    return fd >= 0 && tcgetattr(fd, &tio) == 0 ? fd : -1;
}

} // namespace

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE)
{
    if (!name || access != (GENERIC_READ | GENERIC_WRITE))
        return INVALID_HANDLE_VALUE;
    int fd = -1;
    char port[4096];
    // The console: the terminal the program runs in, shared with everyone.
    if (strcmp(name, "CONIN$") == 0 && share != 0)
        fd = retried([] { return open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC); });
    else if (share == 0 && devicePath(name, port, sizeof port))
        fd = openPort(port);
    return fd < 0 ? INVALID_HANDLE_VALUE : handleOf(fd);
}

BOOL CloseHandle(HANDLE h)
{
    int fd = fdOf(h);
    if (fd < 0)
        return FALSE;
    releasePort(fd);
    // A close interrupted by a signal has still released the descriptor on
    // Linux, so it is never repeated.
    return close(fd) == 0 || errno == EINTR;
}

BOOL BuildCommDCBA(LPCSTR settings, LPDCB dcb)
{
    if (!settings || !dcb || !settings[strspn(settings, " ")])
        return FALSE;
    DCB parsed = *dcb;
    for (const char* p = settings + strspn(settings, " "); *p; p += strspn(p, " ")) {
        size_t len = strcspn(p, " ");
        const char* eq = static_cast<const char*>(memchr(p, '=', len));
        if (!eq || !setKey(&parsed, p, eq - p, eq + 1, p + len - eq - 1))
            return FALSE;
        p += len;
    }
    *dcb = parsed;
    return TRUE;
}

BOOL SetCommState(HANDLE h, LPDCB dcb)
{
    termios tio;
    int fd = terminalOf(h, tio);
    if (fd < 0 || !dcb || !takes(*dcb))
        return FALSE;
    speed_t speed = speedOf(dcb->BaudRate);
    if (speed == B0 || dcb->ByteSize < 5 || dcb->ByteSize > 8 || dcb->Parity > EVENPARITY
        || (dcb->StopBits != ONESTOPBIT && dcb->StopBits != TWOSTOPBITS))
        return FALSE;

    // The read time-outs live in VMIN and VTIME and are SetCommTimeouts'
    // business.
    const cc_t vmin = tio.c_cc[VMIN], vtime = tio.c_cc[VTIME];
    makeRaw(tio);
    tio.c_cc[VMIN] = vmin;
    tio.c_cc[VTIME] = vtime;
    // Kept where Windows' drivers keep them, though no flow control reads
    // them: the far end can see the record's characters.
    tio.c_cc[VSTART] = static_cast<cc_t>(dcb->XonChar);
    tio.c_cc[VSTOP] = static_cast<cc_t>(dcb->XoffChar);
    static const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    const tcflag_t line = CSIZE | PARENB | PARODD | CSTOPB;
    tio.c_cflag &= ~line;
    tio.c_cflag |= sizes[dcb->ByteSize - 5] | (dcb->Parity != NOPARITY ? PARENB : 0)
                 | (dcb->Parity == ODDPARITY ? PARODD : 0) | (dcb->StopBits == TWOSTOPBITS ? CSTOPB : 0);
    // A line with parity has it checked on the way in too.
    if (dcb->Parity != NOPARITY)
        tio.c_iflag |= INPCK;
    if (cfsetispeed(&tio, speed) != 0 || cfsetospeed(&tio, speed) != 0 || !apply(fd, tio))
        return FALSE;
    // tcsetattr succeeds when any part of the settings took; check the lot.
    termios now;
    return tcgetattr(fd, &now) == 0 && cfgetospeed(&now) == speed
        && (now.c_cflag & (line | CRTSCTS)) == (tio.c_cflag & (line | CRTSCTS))
        && now.c_cc[VSTART] == tio.c_cc[VSTART] && now.c_cc[VSTOP] == tio.c_cc[VSTOP]
        && driveModemLines(fd, *dcb);
}

BOOL SetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS t)
{
    termios tio;
    int fd = terminalOf(h, tio);
    if (fd < 0 || !t)
        return FALSE;
    // No limit at all waits for a byte; MAXDWORD between bytes and no total
    // returns at once with what is there; a total returns as soon as a byte
    // is there or after it, which the terminal counts in tenths of a second,
    // up to 25.5 s.
    const bool total = t->ReadTotalTimeoutConstant != 0 || t->ReadTotalTimeoutMultiplier != 0;
    const DWORD limit = t->ReadTotalTimeoutConstant < 25500 ? t->ReadTotalTimeoutConstant : 25500;
    const DWORD tenths = (limit + 99) / 100;
    tio.c_cc[VMIN] = total || t->ReadIntervalTimeout == MAXDWORD ? 0 : 1;
    tio.c_cc[VTIME] = total ? static_cast<cc_t>(tenths > 0 ? tenths : 1) : 0;
    return apply(fd, tio);
}
