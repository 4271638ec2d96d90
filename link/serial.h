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
