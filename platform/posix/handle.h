// A handle of the layer is the file descriptor itself.
#pragma once

#include "platform/posix/winlayer.h"

inline int fdOf(HANDLE h)
{
    return static_cast<int>(reinterpret_cast<intptr_t>(h));
}

inline HANDLE handleOf(int fd)
{
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(fd));
}
