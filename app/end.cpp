#include "app/end.h"

#include <stdio.h>
#include <stdlib.h>

#include "app/start.h"
#include "link/serial.h"

namespace {

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

int endRun(int status)
{
    if (hCom != INVALID_HANDLE_VALUE) {
        drainOutput(hCom);
        CloseHandle(hCom);
        hCom = INVALID_HANDLE_VALUE;
    }
    printf("\nPress any key to continue...");
    waitForKey();
    return status;
}

void lostConnection()
{
    printf("\nLost connection on %s\n", COMPORT);
    exit(endRun(-1));
}
