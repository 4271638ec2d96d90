// The few Windows interfaces the updater calls, with their Windows names and
// the behaviour the updater expects, built on POSIX terminals.
#pragma once

#include <cstdint>

typedef int BOOL;
typedef uint32_t DWORD;
typedef unsigned char BYTE;
typedef const char* LPCSTR;
typedef void* HANDLE;
typedef DWORD* LPDWORD;
struct OVERLAPPED;
typedef OVERLAPPED* LPOVERLAPPED;
struct SECURITY_ATTRIBUTES;
typedef SECURITY_ATTRIBUTES* LPSECURITY_ATTRIBUTES;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

// A handle is the file descriptor itself, so "no descriptor" (-1) is also
// Windows' invalid handle value.
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define OPEN_EXISTING 3u

#define NOPARITY 0
#define ODDPARITY 1
#define EVENPARITY 2
#define MARKPARITY 3
#define SPACEPARITY 4
#define ONESTOPBIT 0
#define ONE5STOPBITS 1
#define TWOSTOPBITS 2

#define DTR_CONTROL_DISABLE 0
#define DTR_CONTROL_ENABLE 1
#define DTR_CONTROL_HANDSHAKE 2
#define RTS_CONTROL_DISABLE 0
#define RTS_CONTROL_ENABLE 1
#define RTS_CONTROL_HANDSHAKE 2

// Line settings record, the fields of Windows' DCB that a settings text can set.
struct DCB {
    DWORD DCBlength;
    DWORD BaudRate;
    DWORD fBinary : 1;
    DWORD fParity : 1;
    DWORD fOutxCtsFlow : 1;
    DWORD fOutxDsrFlow : 1;
    DWORD fDtrControl : 2;
    DWORD fDsrSensitivity : 1;
    DWORD fOutX : 1;
    DWORD fInX : 1;
    DWORD fRtsControl : 2;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
};
typedef DCB* LPDCB;

// COM1..COM9 name /dev/ttyS0..8; TRELVANE_<name> in the environment names the
// device for any port name and wins. Opened for exclusive use.
HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flags, HANDLE templateFile);
BOOL CloseHandle(HANDLE h);

// Reads and writes block until they move at least one byte. A hang-up or an
// error fails the call; a signal does not.
BOOL ReadFile(HANDLE h, void* data, DWORD count, LPDWORD done, LPOVERLAPPED overlapped);
BOOL WriteFile(HANDLE h, const void* data, DWORD count, LPDWORD done, LPOVERLAPPED overlapped);

// Parses "baud=... parity=... data=... stop=..." (and the flow keys) into dcb.
BOOL BuildCommDCBA(LPCSTR settings, LPDCB dcb);
// Applies dcb as a raw line; fails on anything that is not a terminal.
BOOL SetCommState(HANDLE h, LPDCB dcb);

void Sleep(DWORD milliseconds);

// One key press from the terminal itself, no echo, no Enter; -1 at once when
// the process has no terminal.
int _getch();
