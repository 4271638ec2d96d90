// Line settings: the settings text parsed into a DCB, the DCB and the read
// time-outs applied to a terminal.
#include "platform/posix/handle.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Mark and space parity need CMSPAR, which Linux has and POSIX does not; a
// system without it refuses those two parities (SetCommState fails).
#ifdef CMSPAR
const tcflag_t STICK_PARITY = CMSPAR;
#else
const tcflag_t STICK_PARITY = 0;
#endif

// The speeds up to 230,400 exist on every system this layer targets (Linux,
// the BSDs, macOS). 460,800 and 921,600 are Linux's own: a system without
// them refuses those speeds (SetCommState fails) instead of not building.
speed_t speedOf(DWORD baud)
{
    static const struct { DWORD baud; speed_t speed; } speeds[] = {
        {110, B110},       {300, B300},       {600, B600},       {1200, B1200},
        {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200},
        {38400, B38400},   {57600, B57600},   {115200, B115200}, {230400, B230400},
#ifdef B460800
        {460800, B460800},
#endif
#ifdef B921600
        {921600, B921600},
#endif
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

// The descriptor of a terminal and its settings now; -1 for anything else.
int terminalOf(HANDLE h, termios& tio)
{
    int fd = fdOf(h);
    return fd >= 0 && tcgetattr(fd, &tio) == 0 ? fd : -1;
}

// TCSANOW: whatever the device has already sent stays in the port.
bool apply(int fd, const termios& tio)
{
    int rc;
    do {
        rc = tcsetattr(fd, TCSANOW, &tio);
    } while (rc != 0 && errno == EINTR);
    return rc == 0;
}

} // namespace

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
    termios tio;
    int fd = terminalOf(h, tio);
    if (fd < 0 || !dcb)
        return FALSE;
    speed_t speed = speedOf(dcb->BaudRate);
    if (speed == B0 || dcb->ByteSize < 5 || dcb->ByteSize > 8 || dcb->StopBits == ONE5STOPBITS)
        return FALSE;

    // Raw: every byte passes unchanged, no echo, no special characters. The
    // read time-outs live in VMIN and VTIME and are SetCommTimeouts' business.
    const cc_t vmin = tio.c_cc[VMIN], vtime = tio.c_cc[VTIME];
    cfmakeraw(&tio);
    tio.c_cc[VMIN] = vmin;
    tio.c_cc[VTIME] = vtime;
    static const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    tio.c_cflag &= ~(CSIZE | PARENB | PARODD | STICK_PARITY | CSTOPB | CRTSCTS);
    tio.c_cflag |= sizes[dcb->ByteSize - 5] | CREAD | CLOCAL;
    switch (dcb->Parity) {
    case NOPARITY: break;
    case ODDPARITY: tio.c_cflag |= PARENB | PARODD; break;
    case EVENPARITY: tio.c_cflag |= PARENB; break;
    case MARKPARITY:
    case SPACEPARITY:
        if (!STICK_PARITY)
            return FALSE;
        tio.c_cflag |= PARENB | STICK_PARITY | (dcb->Parity == MARKPARITY ? PARODD : 0);
        break;
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
    if (cfsetispeed(&tio, speed) != 0 || cfsetospeed(&tio, speed) != 0)
        return FALSE;
    if (!apply(fd, tio))
        return FALSE;
    // tcsetattr succeeds when any part of the settings took; check the lot.
    termios now;
    if (tcgetattr(fd, &now) != 0 || cfgetospeed(&now) != speed
        || (now.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS)) != (tio.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS)))
        return FALSE;
    return TRUE;
}

BOOL SetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS t)
{
    termios tio;
    int fd = terminalOf(h, tio);
    if (fd < 0 || !t)
        return FALSE;
    cc_t vmin = 1, vtime = 0;  // no read limit: wait for a byte
    if (t->ReadIntervalTimeout == MAXDWORD && t->ReadTotalTimeoutMultiplier == 0
        && t->ReadTotalTimeoutConstant == 0) {
        vmin = 0;  // return at once with what is there
    } else if (t->ReadTotalTimeoutConstant != 0 || t->ReadTotalTimeoutMultiplier != 0) {
        // The terminal counts in tenths of a second, up to 25.5 s.
        DWORD tenths = (t->ReadTotalTimeoutConstant + 99) / 100;
        vmin = 0;
        vtime = static_cast<cc_t>(tenths < 1 ? 1 : tenths > 255 ? 255 : tenths);
    }
    tio.c_cc[VMIN] = vmin;
    tio.c_cc[VTIME] = vtime;
    return apply(fd, tio);
}
