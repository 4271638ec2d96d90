// A serial port behind the Windows calls the updater makes: open, line
// settings, time-outs and close.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "platform/comname.h"
#include "platform/posix/layer.h"

namespace {

// The device behind a name, as Windows names ports: COM1 to COM9, and
// \\.\COMn for any n, are /dev/ttyS0 onwards. A bare COM10 and above opens
// nothing, as on Windows; nor does another name that starts with COM (COMC),
// which Windows would open as a file in the current folder: it names no
// port. Any other name is a path.
// Writes it into path; false for a path too long for it, which is never
// opened cut short.
bool devicePath(const char* name, char* path, size_t room)
{
    const bool prefixed = strncmp(name, "\\\\.\\", 4) == 0;
    const char* com = prefixed ? name + 4 : name;
    int n = 0;
    if (strncasecmp(com, "COM", 3) == 0) {
        const long number = comNumber(com);
        if (number == 0 || (!prefixed && number > 9))
            return false;
        n = snprintf(path, room, "/dev/ttyS%ld", number - 1);
    } else if (prefixed) {
        return false;  // a device namespace name this layer has no device for
    } else {
        n = snprintf(path, room, "%s", name);
    }
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

// DTR and RTS up where `up` has them (TIOCM_DTR, TIOCM_RTS), the others down.
// A line without modem lines (a pseudo-terminal) has none to drive.
bool setModemLines(int fd, int up)
{
    int down = (TIOCM_DTR | TIOCM_RTS) & ~up;
    auto set = [fd](unsigned long request, int bits) {
        return bits == 0 || retried([&] { return ioctl(fd, request, &bits); }) == 0 || errno == ENOTTY
            || errno == EINVAL;
    };
    return set(TIOCMBIS, up) && set(TIOCMBIC, down);
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
    // As near to Windows' exclusive use as a terminal gets. The advisory
    // lock keeps out other updaters and the programs that take it too, and
    // is taken before anything else, so that the line of a port such a
    // program holds is left as it set it. The terminal's exclusive flag
    // (holdPort) keeps out later opens by programs without root's rights.
    // Neither keeps out a program that had the port open before (screen, a
    // serial monitor: it reads the device's bytes as the updater does), nor
    // one running as root that opens it during the run, whose open raises
    // DTR and RTS again.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0)
        return fail(fd);
    // The kernel raised DTR and RTS inside open(); the updater keeps them
    // down for the whole run, as Windows does for a record whose DTR and RTS
    // are disabled. Lowered first, before the settings below (each several
    // requests to a USB adapter), so that a device that reacts to DTR sees no
    // longer a pulse than the open's own.
    if (!setModemLines(fd, 0))
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

// The words of the one line the updater asks for, 115,200 baud 8N1, and
// what each sets: the layer is as wide as its caller, and any other word or
// value fails, as a setting it would not apply.
bool setWord(DCB& dcb, const char* word, size_t len)
{
    auto is = [&](const char* w) { return strlen(w) == len && strncasecmp(word, w, len) == 0; };
    if (is("baud=115200"))
        dcb.BaudRate = 115200;
    else if (is("parity=n"))
        dcb.Parity = NOPARITY;
    else if (is("data=8"))
        dcb.ByteSize = 8;
    else if (is("stop=1"))
        dcb.StopBits = ONESTOPBIT;
    else
        return false;
    return true;
}

// What Windows refuses in a settings record, refused here too, so that a
// record that a Windows driver would turn down fails on Linux as well: a
// length other than the record's, text mode ("Windows does not support
// nonbinary mode transfers"), XON and XOFF characters that are equal, which
// SetCommState refuses even with flow control off. And every field this
// layer does not apply, unless it holds the cleared record's value: flow
// control of any kind, parity checking and error characters, dropping
// received 0x00 bytes (fNull), failing every transfer after a line error
// (fAbortOnError), the flow limits and the reserved fields. A change that set
// one would pass on Linux and behave otherwise on Windows; it fails here.
bool takes(const DCB& d)
{
    return d.DCBlength == sizeof d && d.fBinary && d.XonChar != d.XoffChar && !d.fParity
        && !d.fOutxCtsFlow && !d.fOutxDsrFlow && !d.fDsrSensitivity && !d.fTXContinueOnXoff
        && !d.fOutX && !d.fInX && !d.fErrorChar && !d.fNull && !d.fAbortOnError && !d.fDummy2
        && d.fDtrControl <= DTR_CONTROL_ENABLE && d.fRtsControl <= RTS_CONTROL_ENABLE && !d.wReserved
        && !d.XonLim && !d.XoffLim && !d.ErrorChar && !d.EofChar && !d.EvtChar && !d.wReserved1;
}

// DTR and RTS as the record says, as Windows drives them: down for DISABLE,
// up for ENABLE; a device that reads them (a reset, a boot pin, a USB device
// waiting for DTR) sees the same line from both programs.
bool driveModemLines(int fd, const DCB& d)
{
    return setModemLines(fd, (d.fDtrControl == DTR_CONTROL_ENABLE ? TIOCM_DTR : 0)
                                 | (d.fRtsControl == RTS_CONTROL_ENABLE ? TIOCM_RTS : 0));
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
        if (!setWord(parsed, p, len))
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
    if (fd < 0 || !dcb || !takes(*dcb) || dcb->BaudRate != 115200 || dcb->ByteSize != 8
        || dcb->Parity != NOPARITY || dcb->StopBits != ONESTOPBIT)
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
    const tcflag_t line = CSIZE | PARENB | CSTOPB | CRTSCTS;
    tio.c_cflag = (tio.c_cflag & ~line) | CS8;
    if (cfsetispeed(&tio, B115200) != 0 || cfsetospeed(&tio, B115200) != 0 || !apply(fd, tio))
        return FALSE;
    // tcsetattr succeeds when any part of the settings took; check the lot.
    termios now;
    return tcgetattr(fd, &now) == 0 && cfgetospeed(&now) == B115200 && (now.c_cflag & line) == CS8
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
