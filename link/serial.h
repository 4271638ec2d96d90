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

// Drops what the device sent and has reached the computer unread, right
// before the updater says something the device answers: what came before
// cannot be the answer. Bytes still in a USB adapter (an FTDI chip's
// latency timer: 16 ms by default, up to 255 ms) or on their way over USB
// come after it. A port that cannot do it is taken for a lost line.
void dropUnread(HANDLE h);

// Before the close: lets the driver send what it was given, so that the
// last bytes of a run are not cut off by a driver that drops its queue at
// the close. The queue is asked for at most a write's time; once it reads
// empty, FlushFileBuffers waits for the rest. On Windows the queue reads
// empty after a plain write, so the flush does all the waiting, which the
// write time-outs do not bound; on Linux close() waits for what is left,
// up to the port's closing_wait. It never fails the run: a port that cannot
// say, or a queue that does not empty, is closed as it is.
void drainOutput(HANDLE h);
