// The symlink at --link PATH that leads the updater to the device's line.
// It is removed again on every way out, a signal included.
#pragma once

#include <string>

// Remembers PATH before anything can happen to it. False when it is too long.
bool setLinkPath(const std::string& path);

// Makes PATH a symlink to `target`. False, with a message on stderr, when it
// cannot.
bool makeLink(const char* target);

// Removes PATH while it still points at our line, so that a second emulator
// that has since taken over the same path keeps its link. Async-signal-safe.
void removeLink();
