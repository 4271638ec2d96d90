// Trelvane Software Updater: installs the built-in software image on a
// Trelvane device over a serial line.
#include <cstdio>
#include <cstring>

#include "app/start.h"
#include "link/serial.h"
#include "platform/win.h"
#include "push/push.h"

int main(int argc, char** argv)
{
    // Every message shows the moment it is printed, prompt and progress too.
    setvbuf(stdout, nullptr, _IONBF, 0);
    setProgname(argc > 0 ? argv[0] : nullptr);
    printf("Trelvane Software Updater v%.2f\n\n", UPDATER_VERSION);
    choosePort(argc, argv);

    hCom = CreateFileA(COMPORT, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (hCom == INVALID_HANDLE_VALUE) {
        printf("Couldn't open %s\n", COMPORT);
        return endRun(1);
    }
    memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!BuildCommDCBA("baud=115200 parity=N data=8 stop=1", &dcb)) {
        printf("Error setting COM port parameters\n");
        return endRun(1);
    }
    if (!SetCommState(hCom, &dcb)) {
        printf("Error initializing %s\n", COMPORT);
        return endRun(1);
    }
    return swPush();
}
