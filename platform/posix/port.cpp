// Opening, configuring and closing a serial port, the POSIX way, behind the
// Windows calls the updater makes.
#include "platform/posix/winlayer.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

int fdOf(HANDLE h)
{
    return static_cast<int>(reinterpret_cast<intptr_t>(h));
}

HANDLE handleOf(int fd)
{
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(fd));
}

// The device behind a port name: TRELVANE_<name> if set, else COM1..COM9 as
// /dev/ttyS0..8. Other names have no device. Writes into path, false if none.
bool devicePath(const char* name, char* path, size_t room)
{
    char var[64];
    snprintf(var, sizeof var, "TRELVANE_%s", name);
    const char* named = getenv(var);
    if (named && *named) {
        snprintf(path, room, "%s", named);
        return true;
    }
    if (strncmp(name, "COM", 3) == 0 && name[3] >= '1' && name[3] <= '9' && name[4] == '\0') {
        snprintf(path, room, "/dev/ttyS%d", name[3] - '1');
        return true;
    }
    return false;
}

speed_t speedOf(DWORD baud)
{
    static const struct { DWORD baud; speed_t speed; } speeds[] = {
        {110, B110},       {300, B300},       {600, B600},       {1200, B1200},
        {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200},
        {38400, B38400},   {57600, B57600},   {115200, B115200}, {230400, B230400},
        {460800, B460800}, {921600, B921600},
    };
    for (const auto& s : speeds)
        if (s.baud == baud)
            return s.speed;
    return B0;
}

// Case-insensitive match of a settings value against a word.
bool is(const char* value, size_t len, const char* word)
{
    return strlen(word) == len && strncasecmp(value, word, len) == 0;
}

// "on" / "off" for the flow keys.
bool onOff(const char* v, size_t n, bool* on)
{
    if (is(v, n, "on")) { *on = true; return true; }
    if (is(v, n, "off")) { *on = false; return true; }
    return false;
}

bool setKey(DCB* dcb, const char* key, size_t keyLen, const char* v, size_t n)
{
    bool on = false;
    char* end = nullptr;
    if (is(key, keyLen, "baud")) {
        if (n == 0 || !isdigit(static_cast<unsigned char>(v[0])))
            return false;
        unsigned long baud = strtoul(v, &end, 10);
        if (end != v + n || baud == 0 || baud > 4000000)
            return false;
        dcb->BaudRate = static_cast<DWORD>(baud);
    } else if (is(key, keyLen, "parity")) {
        static const char letters[] = "noems";  // index is the Windows parity value
        const char* p = n == 1 ? strchr(letters, tolower(static_cast<unsigned char>(v[0]))) : nullptr;
        if (!p || !*p)
            return false;
        dcb->Parity = static_cast<BYTE>(p - letters);
        dcb->fParity = dcb->Parity != NOPARITY;
    } else if (is(key, keyLen, "data")) {
        if (n != 1 || v[0] < '5' || v[0] > '8')
            return false;
        dcb->ByteSize = static_cast<BYTE>(v[0] - '0');
    } else if (is(key, keyLen, "stop")) {
        if (is(v, n, "1")) dcb->StopBits = ONESTOPBIT;
        else if (is(v, n, "1.5")) dcb->StopBits = ONE5STOPBITS;
        else if (is(v, n, "2")) dcb->StopBits = TWOSTOPBITS;
        else return false;
    } else if (is(key, keyLen, "xon")) {
        if (!onOff(v, n, &on)) return false;
        dcb->fOutX = dcb->fInX = on;
    } else if (is(key, keyLen, "octs")) {
        if (!onOff(v, n, &on)) return false;
        dcb->fOutxCtsFlow = on;
    } else if (is(key, keyLen, "odsr")) {
        if (!onOff(v, n, &on)) return false;
        dcb->fOutxDsrFlow = on;
    } else if (is(key, keyLen, "idsr")) {
        if (!onOff(v, n, &on)) return false;
        dcb->fDsrSensitivity = on;
    } else if (is(key, keyLen, "dtr")) {
        if (is(v, n, "hs")) dcb->fDtrControl = DTR_CONTROL_HANDSHAKE;
        else if (onOff(v, n, &on)) dcb->fDtrControl = on ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
        else return false;
    } else if (is(key, keyLen, "rts")) {
        if (is(v, n, "hs")) dcb->fRtsControl = RTS_CONTROL_HANDSHAKE;
        else if (onOff(v, n, &on)) dcb->fRtsControl = on ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
        else return false;
    } else {
        return false;
    }
    return true;
}

} // namespace

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE)
{
    char path[4096];
    if (!name || !devicePath(name, path, sizeof path))
        return INVALID_HANDLE_VALUE;
    int mode = (access & GENERIC_READ) && (access & GENERIC_WRITE) ? O_RDWR
             : (access & GENERIC_WRITE) ? O_WRONLY : O_RDONLY;
    // Non-blocking only for the open itself: a modem line without carrier
    // would otherwise hold the open until carrier appears.
    int fd;
    do {
        fd = open(path, mode | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return INVALID_HANDLE_VALUE;
    // Exclusive use, as Windows gives it: the advisory lock keeps out other
    // updaters and well-behaved programs, TIOCEXCL keeps out other opens of
    // the terminal by unprivileged programs.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 || (isatty(fd) && ioctl(fd, TIOCEXCL) != 0)) {
        close(fd);
        return INVALID_HANDLE_VALUE;
    }
    int fl = fcntl(fd, F_GETFL);
    if (fl < 0 || fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) != 0) {
        close(fd);
        return INVALID_HANDLE_VALUE;
    }
    return handleOf(fd);
}

BOOL CloseHandle(HANDLE h)
{
    int fd = fdOf(h);
    if (fd < 0)
        return FALSE;
    if (isatty(fd))
        ioctl(fd, TIOCNXCL);
    // A close interrupted by a signal has still released the descriptor on
    // Linux, so it is never repeated.
    return close(fd) == 0 || errno == EINTR;
}

BOOL BuildCommDCBA(LPCSTR settings, LPDCB dcb)
{
    if (!settings || !dcb)
        return FALSE;
    DCB parsed = *dcb;
    parsed.fBinary = TRUE;
    bool any = false;
    const char* p = settings;
    for (;;) {
        while (*p == ' ' || *p == '\t' || *p == ',')
            ++p;
        if (!*p)
            break;
        const char* key = p;
        while (*p && *p != '=' && *p != ' ' && *p != '\t' && *p != ',')
            ++p;
        if (*p != '=')
            return FALSE;
        size_t keyLen = static_cast<size_t>(p - key);
        const char* value = ++p;
        while (*p && *p != ' ' && *p != '\t' && *p != ',')
            ++p;
        if (!setKey(&parsed, key, keyLen, value, static_cast<size_t>(p - value)))
            return FALSE;
        any = true;
    }
    if (!any)
        return FALSE;
    *dcb = parsed;
    return TRUE;
}

BOOL SetCommState(HANDLE h, LPDCB dcb)
{
    int fd = fdOf(h);
    termios tio;
    if (fd < 0 || !dcb || tcgetattr(fd, &tio) != 0)
        return FALSE;
    speed_t speed = speedOf(dcb->BaudRate);
    if (speed == B0 || dcb->ByteSize < 5 || dcb->ByteSize > 8 || dcb->StopBits == ONE5STOPBITS)
        return FALSE;

    // Raw: every byte passes unchanged, no echo, no special characters.
    cfmakeraw(&tio);
    static const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    tio.c_cflag |= sizes[dcb->ByteSize - 5] | CREAD | CLOCAL;
    switch (dcb->Parity) {
    case NOPARITY: break;
    case ODDPARITY: tio.c_cflag |= PARENB | PARODD; break;
    case EVENPARITY: tio.c_cflag |= PARENB; break;
    case MARKPARITY: tio.c_cflag |= PARENB | CMSPAR | PARODD; break;
    case SPACEPARITY: tio.c_cflag |= PARENB | CMSPAR; break;
    default: return FALSE;
    }
    if (dcb->StopBits == TWOSTOPBITS)
        tio.c_cflag |= CSTOPB;
    if (dcb->fOutxCtsFlow || dcb->fRtsControl == RTS_CONTROL_HANDSHAKE)
        tio.c_cflag |= CRTSCTS;
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);
    if (dcb->fOutX)
        tio.c_iflag |= IXON;
    if (dcb->fInX)
        tio.c_iflag |= IXOFF;
    if (tio.c_cflag & PARENB)
        tio.c_iflag |= INPCK;
    // A read returns as soon as one byte is there and otherwise waits.
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (cfsetispeed(&tio, speed) != 0 || cfsetospeed(&tio, speed) != 0)
        return FALSE;
    // TCSANOW: whatever the device has already sent stays in the port.
    int rc;
    do {
        rc = tcsetattr(fd, TCSANOW, &tio);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0)
        return FALSE;
    // tcsetattr succeeds when any part of the settings took; check the lot.
    termios now;
    if (tcgetattr(fd, &now) != 0 || cfgetospeed(&now) != speed
        || (now.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS)) != (tio.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS)))
        return FALSE;
    return TRUE;
}
