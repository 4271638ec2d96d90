// The layer's own helpers, shared by its files.
#pragma once

#include <errno.h>
#include <termios.h>

#include "platform/posix/winlayer.h"

// A handle of the layer is the file descriptor itself.
inline int fdOf(HANDLE h)
{
    return static_cast<int>(reinterpret_cast<intptr_t>(h));
}

inline HANDLE handleOf(int fd)
{
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(fd));
}

// A system call repeated while a signal interrupts it: a signal the process
// survives never fails a call of the layer.
template <typename Call>
auto retried(Call call)
{
    decltype(call()) r;
    do {
        r = call();
    } while (r < 0 && errno == EINTR);
    return r;
}

// What the process must undo on its way out, also when a signal ends it: a
// port's exclusive use outlives the process on a pseudo-terminal whose other
// end stays open, and a terminal left without echo is the user's problem.
//
// holdPort makes the port's terminal exclusive until releasePort or the
// process's death by a signal; false if the terminal refuses.
bool holdPort(int fd);
void releasePort(int fd);
// The terminal a signal must put back to saved; -1 for none.
void holdTerminal(int fd, const termios* saved);
