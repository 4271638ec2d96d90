#include "link/serial.h"

#include <cstdio>
#include <cstdlib>

#include "app/start.h"

HANDLE hCom = INVALID_HANDLE_VALUE;
DCB dcb;

// Half a second without a byte lets the updater look at the line about twice
// a second while the device is silent, at no cost; two seconds for a write
// are over five times what a whole 4,097-byte block takes at 115,200 baud
// (356 ms), so a healthy line never cuts a write short.
COMMTIMEOUTS lineTimeouts = {MAXDWORD, MAXDWORD, 500, 0, 2000};

namespace {

// A failed transfer means the device is gone (unplugged, line hung up):
// retrying would spin forever, so the run ends with a message instead.
[[noreturn]] void lostConnection()
{
    printf("\nLost connection on %s\n", COMPORT);
    exit(endRun(-1));
}

// A call that moved nothing ran into its time limit: the device may just be
// silent, or the line may be gone, and only the port can tell which.
void checkLine(HANDLE h)
{
    DWORD errors = 0;
    COMSTAT stat;
    if (!ClearCommError(h, &errors, &stat))
        lostConnection();
}

// Only a key pressed after the question answers it: keys typed during the
// run are dropped from the console's input first, and what is left of the
// key (an arrow key's second code) after it.
void waitForKey()
{
    HANDLE console = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, 0, nullptr);
    if (console != INVALID_HANDLE_VALUE)
        FlushConsoleInputBuffer(console);
    _getch();
    if (console != INVALID_HANDLE_VALUE) {
        FlushConsoleInputBuffer(console);
        CloseHandle(console);
    }
}

} // namespace

void FullReadFile(HANDLE h, void* data, DWORD count)
{
    unsigned char* p = static_cast<unsigned char*>(data);
    while (count != 0) {
        DWORD got = 0;
        if (!ReadFile(h, p, count, &got, nullptr))
            lostConnection();
        // A short read just asks again for the rest.
        if (got == 0)
            checkLine(h);
        p += got;
        count -= got;
    }
}

void FullWriteFile(HANDLE h, const void* data, DWORD count)
{
    const unsigned char* p = static_cast<const unsigned char*>(data);
    while (count != 0) {
        DWORD put = 0;
        if (!WriteFile(h, p, count, &put, nullptr))
            lostConnection();
        if (put == 0)
            checkLine(h);
        p += put;
        count -= put;
    }
}

int endRun(int status)
{
    if (hCom != INVALID_HANDLE_VALUE) {
        CloseHandle(hCom);
        hCom = INVALID_HANDLE_VALUE;
    }
    printf("\nPress any key to continue...");
    waitForKey();
    return status;
}
