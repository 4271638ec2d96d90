// Trelvane Software Updater: installs the built-in software image on a
// Trelvane device over a serial line.
#include <stdio.h>
#include <string.h>

#include "app/end.h"
#include "app/start.h"
#include "link/serial.h"
#include "platform/win.h"
#include "push/push.h"

int main(int argc, char** argv)
{
    // Every message shows the moment it is printed, prompt and progress too.
    setvbuf(stdout, nullptr, _IONBF, 0);
    setProgname(argc > 0 ? argv[0] : nullptr);
    onLineLost = lostConnection;
    printf("Trelvane Software Updater v%.2f\n\n", UPDATER_VERSION);
    choosePort(argc, argv);

    // The messages name the port as chosen; the name opened may be another.
    const char* name = portName();
    hCom = name ? CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr)
                : INVALID_HANDLE_VALUE;
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
    // The text sets only what it names. Windows takes no record in text
    // mode, and refuses one whose XON and XOFF characters are equal, even
    // with flow control off: the usual DC1 and DC3 keep every driver
    // content. Flow control stays off, and DTR and RTS stay down, as the
    // cleared record has them.
    dcb.fBinary = TRUE;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    // The port's own time-outs are set too, so that a silent device and a
    // lost line can be told apart. The updater has sent nothing yet, so
    // anything queued for sending is the driver's echo of what arrived while
    // the line was still cooked: it is dropped. What was received is kept.
    if (!SetCommState(hCom, &dcb) || !SetCommTimeouts(hCom, &lineTimeouts)
        || !PurgeComm(hCom, PURGE_TXCLEAR)) {
        printf("Error initializing %s\n", COMPORT);
        return endRun(1);
    }
    return swPush();
}
