// The serial port: the open handle, its settings, and exact-count transfers.
#pragma once

#include "platform/win.h"

extern HANDLE hCom;  // the open port, or INVALID_HANDLE_VALUE
extern DCB dcb;      // its line settings

// The time limits set on the port with its settings: a read returns as soon
// as a byte is there or after a short wait, a write once the line has had
// ample time to take it.
extern COMMTIMEOUTS lineTimeouts;

// Called when a transfer finds the line lost (unplugged, hung up); it ends
// the run and does not return. The front end installs it; left unset, the
// run ends with status -1 and no word.
extern void (*onLineLost)();

// Read / write exactly count bytes, however many calls it takes: a silent
// device is waited for as long as it stays silent. A lost line ends the run
// here, through onLineLost.
void FullReadFile(HANDLE h, void* data, DWORD count);
void FullWriteFile(HANDLE h, const void* data, DWORD count);

// Drops what the device sent and nothing has read yet, right before the
// updater says something the device answers: what came before cannot be the
// answer. A port that cannot do it is taken for a lost line.
void dropUnread(HANDLE h);

// Before the close: waits until the driver has sent what it was given, for
// at most a write's time, so that the last bytes of a run are not cut off by
// a driver that drops its queue at the close. It never fails the run: a
// port that cannot say, or a queue that does not empty, is closed as it is.
void drainOutput(HANDLE h);
