// The Windows interfaces the updater calls, with their Windows names and the
// behaviour the updater expects, built on POSIX terminals.
#pragma once

#include <stdint.h>

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
#define FILE_SHARE_READ 0x1u
#define FILE_SHARE_WRITE 0x2u
#define OPEN_EXISTING 3u
#define MAXDWORD 0xffffffffu

#define NOPARITY 0
#define EVENPARITY 2
#define ONESTOPBIT 0
#define TWOSTOPBITS 2
#define DTR_CONTROL_DISABLE 0
#define DTR_CONTROL_ENABLE 1
#define RTS_CONTROL_DISABLE 0
#define RTS_CONTROL_ENABLE 1

// Line settings record: Windows' DCB, field for field. The layer applies the
// line's shape, the XON and XOFF characters and the DTR and RTS controls; it
// keeps the other fields so that it can refuse a record Windows refuses.
typedef uint16_t WORD;
struct DCB {
    DWORD DCBlength;
    DWORD BaudRate;
    DWORD fBinary : 1;
    DWORD fParity : 1;
    DWORD fOutxCtsFlow : 1;
    DWORD fOutxDsrFlow : 1;
    DWORD fDtrControl : 2;
    DWORD fDsrSensitivity : 1;
    DWORD fTXContinueOnXoff : 1;
    DWORD fOutX : 1;
    DWORD fInX : 1;
    DWORD fErrorChar : 1;
    DWORD fNull : 1;
    DWORD fRtsControl : 2;
    DWORD fAbortOnError : 1;
    DWORD fDummy2 : 17;
    WORD wReserved;
    WORD XonLim;
    WORD XoffLim;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    WORD wReserved1;
};
typedef DCB* LPDCB;

// Time limits of reads and writes, in milliseconds, as Windows has them.
struct COMMTIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
};
typedef COMMTIMEOUTS* LPCOMMTIMEOUTS;

// What ClearCommError reports of a port besides its errors: the bytes
// written and not yet sent, the one count the updater reads.
struct COMSTAT {
    DWORD cbOutQue;
};
typedef COMSTAT* LPCOMSTAT;

#define PURGE_TXCLEAR 0x4u
#define PURGE_RXCLEAR 0x8u

// Opens a port for reading and writing: COM1 to COM9 and \\.\COMn for any n
// are /dev/ttyS0 onwards, as Windows names its ports; any other name that
// does not start with COM is a path. A terminal is made raw at once, keeping
// its speed, with DTR and RTS down, and with share mode 0 it is opened for
// exclusive use until it is closed or the process ends, however it ends.
// "CONIN$", shared, is the terminal the program runs in.
HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flags, HANDLE templateFile);
BOOL CloseHandle(HANDLE h);

// A read returns what is there, waiting for at least one byte as the port's
// time-outs allow: TRUE with 0 bytes is a time-out (or a line that hung up,
// which ClearCommError then tells). A write blocks until all is accepted: with
// no flow control a line drains at its own rate, and a hang-up ends the wait.
// An error fails either call; a signal does not.
BOOL ReadFile(HANDLE h, void* data, DWORD count, LPDWORD done, LPOVERLAPPED overlapped);
BOOL WriteFile(HANDLE h, const void* data, DWORD count, LPDWORD done, LPOVERLAPPED overlapped);

// FALSE once the line is gone (hung up, unplugged); otherwise no errors, and
// in stat the bytes the driver still holds to send.
BOOL ClearCommError(HANDLE h, LPDWORD errors, LPCOMSTAT stat);
// PURGE_TXCLEAR discards what is written and not yet sent, PURGE_RXCLEAR what
// was received and not yet read.
BOOL PurgeComm(HANDLE h, DWORD flags);
// Waits until what was written has been sent.
BOOL FlushFileBuffers(HANDLE h);

// Parses the settings text the updater gives, "baud=115200 parity=N data=8
// stop=1", into dcb, its words in any order and case; any other word or value
// fails and leaves dcb as it was.
BOOL BuildCommDCBA(LPCSTR settings, LPDCB dcb);
// Applies dcb as a raw line at 115,200 baud 8N1 without flow control, XonChar
// and XoffChar as the terminal's start and stop characters, DTR and RTS up
// for ENABLE and down for DISABLE. Fails, as Windows does, on a record whose
// DCBlength is not sizeof(DCB), whose fBinary is FALSE or whose XonChar
// equals its XoffChar; on any other line, and on any field the layer does
// not apply that is not as the cleared record has it; on anything that is
// not a terminal, and on a terminal that cannot take all of it.
BOOL SetCommState(HANDLE h, LPDCB dcb);
// Reads: {MAXDWORD, MAXDWORD, T} returns as soon as a byte is there or after T
// ms (a tenth of a second at least); {MAXDWORD, 0, 0} returns at once; all
// zero waits for a byte. The write limits are accepted and not needed.
BOOL SetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS timeouts);

void Sleep(DWORD milliseconds);

// One key press from the terminal itself, no echo, no Enter: its first byte,
// as Windows gives a key's first code, the rest of a longer key left in the
// terminal's input; -1 at once when the process has no terminal.
int _getch();
// Drops what is typed and not yet read from the terminal opened as "CONIN$".
BOOL FlushConsoleInputBuffer(HANDLE console);
