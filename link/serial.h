// The serial port: the open handle, its settings, and exact-count transfers.
#pragma once

#include "platform/win.h"

extern HANDLE hCom;  // the open port, or INVALID_HANDLE_VALUE
extern DCB dcb;      // its line settings

// The time limits set on the port with its settings: a read returns as soon
// as a byte is there or after a short wait, a write once the line has had
// ample time to take it.
extern COMMTIMEOUTS lineTimeouts;

// Read / write exactly count bytes, however many calls it takes: a silent
// device is waited for as long as it stays silent. When the line is lost the
// run ends here, as the push ends, with status -1.
void FullReadFile(HANDLE h, void* data, DWORD count);
void FullWriteFile(HANDLE h, const void* data, DWORD count);

// The end every run reaches: closes the port if it is open, waits for a key
// pressed after its question, and returns status for the caller to exit with.
int endRun(int status);
