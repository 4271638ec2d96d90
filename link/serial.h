// The serial port: the open handle, its settings, and exact-count transfers.
#pragma once

#include "platform/win.h"

extern HANDLE hCom;  // the open port, or INVALID_HANDLE_VALUE
extern DCB dcb;      // its line settings

// Read / write exactly count bytes, however many calls it takes. When the
// line is lost the run ends here, as the push ends, with status -1.
void FullReadFile(HANDLE h, void* data, DWORD count);
void FullWriteFile(HANDLE h, const void* data, DWORD count);

// The end every run reaches: closes the port if it is open, waits for a key
// press, and returns status for the caller to exit with.
int endRun(int status);
