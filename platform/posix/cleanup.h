// What the process must undo on its way out, also when a signal ends it: a
// port's exclusive use outlives the process on a pseudo-terminal whose other
// end stays open, and a terminal left without echo is the user's problem.
#pragma once

#include <termios.h>

// The port whose exclusive-use flag a signal must clear, and its release.
void holdPort(int fd);
void releasePort(int fd);
// The terminal a signal must put back to saved; -1 for none.
void holdTerminal(int fd, const termios* saved);
