#include "link/serial.h"

#include <cstdio>
#include <cstdlib>

#include "app/start.h"

HANDLE hCom = INVALID_HANDLE_VALUE;
DCB dcb;

namespace {

// A failed transfer means the device is gone (unplugged, line hung up):
// retrying would spin forever, so the run ends with a message instead.
[[noreturn]] void lostConnection()
{
    printf("\nLost connection on %s\n", COMPORT);
    exit(endRun(-1));
}

} // namespace

void FullReadFile(HANDLE h, void* data, DWORD count)
{
    unsigned char* p = static_cast<unsigned char*>(data);
    while (count != 0) {
        DWORD got = 0;
        if (!ReadFile(h, p, count, &got, nullptr))
            lostConnection();
        // A short read (a driver time-out) just asks again for the rest.
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
    _getch();
    return status;
}
