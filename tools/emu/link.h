// The symlink at --link PATH that leads the updater to the device's line,
// and the signals that must not leave it behind: it is removed again on
// every way out, a signal included.
#pragma once

#include <string>

// Remembers PATH before anything can happen to it. False when it is too long.
bool setLinkPath(const std::string& path);

// PATH may be replaced only when nothing is there or when it is a link an
// emulator made: one into /dev/pts/, or one that leads nowhere. Anything
// else (a file, a folder, a link to a real serial port such as Wine's own
// dosdevices/com2 -> /dev/ttyS1) is somebody else's: false, with a message
// on stderr.
bool linkPathIsOurs();

// Makes PATH a symlink to `target`. False, with a message on stderr, when it
// cannot.
bool makeLink(const char* target);

// Removes PATH while it still points at our line, so that a second emulator
// that has since taken over the same path keeps its link. Async-signal-safe.
void removeLink();

// SIGTERM and SIGINT. At first they remove the link and end the emulator at
// once, with status 1. Once deferred they only wake whoever waits on the
// returned descriptor, so that the device can still say its verdict (which
// a signal handler must not print).
void catchSignals();
int deferSignals();
